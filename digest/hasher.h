#pragma once

#include "md5hasher.h"

#include <QByteArray>

#include <memory>
#include <optional>

struct evp_md_ctx_st;

/// What a file is checked by: its digest text, and its SHA-256 where a signed site lists one.
struct Digests
{
    QByteArray md5;
    /// Lowercase hexadecimal; empty when it was not computed.
    QByteArray sha256;

    /**
     * True when these are the digests of the file that @p md5 and @p sha256
     * name; an empty @p sha256 asks for the digest text alone.
     */
    bool match(const QByteArray &md5, const QByteArray &sha256) const
    {
        return !this->md5.isEmpty() && this->md5 == md5 && (sha256.isEmpty() || this->sha256 == sha256);
    }
};

/**
 * Incremental SHA-256 in lowercase hexadecimal, from OpenSSL's libcrypto, whose
 * code uses the processor's SHA instructions where there are any. A digest that
 * could not be computed reads as a text that matches no digest.
 */
class Sha256Hasher
{
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher &) = delete;
    Sha256Hasher &operator=(const Sha256Hasher &) = delete;

    void addData(const char *data, qint64 length);
    /// SHA-256 of everything added so far; the hasher starts over afterwards.
    QByteArray hex();

private:
    void restart();

    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> m_context;
    bool m_failed = false;
};

/**
 * The digests of one stream of bytes: the digest text, and, when asked for,
 * the SHA-256 of the same bytes, so that a file is read once for both.
 */
class Hasher
{
public:
    explicit Hasher(bool withSha256 = false);

    void addData(const char *data, qint64 length);
    /// The digests of everything added so far; the hasher starts over afterwards.
    Digests result();

private:
    Md5Hasher m_md5;
    std::optional<Sha256Hasher> m_sha256;
};
