#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <memory>

struct evp_md_ctx_st;

/**
 * Incremental MD5 that ends in the digest text. Backed by OpenSSL's libcrypto,
 * whose assembly implementation keeps hashing at the speed of the disk; where
 * libcrypto offers no MD5 (a FIPS-only configuration) Qt's own takes over.
 * A digest that could not be computed reads as a text that matches no digest.
 */
class Md5Hasher
{
public:
    Md5Hasher();
    ~Md5Hasher();
    Md5Hasher(const Md5Hasher &) = delete;
    Md5Hasher &operator=(const Md5Hasher &) = delete;

    void addData(const char *data, qint64 length);
    void addData(const QByteArray &bytes) { addData(bytes.constData(), bytes.size()); }
    /// Digest text of everything added so far; the hasher starts over afterwards.
    QByteArray text();

private:
    void restart();

    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> m_context;
    QCryptographicHash m_fallback{QCryptographicHash::Md5};
    bool m_useFallback = false;
    bool m_failed = false;
};
