#pragma once

#include <QByteArray>

#include <memory>

struct evp_md_ctx_st;

/**
 * Incremental MD5 that ends in the digest text. Backed by OpenSSL's libcrypto,
 * whose assembly implementation keeps hashing at the speed of the disk.
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
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st *)> m_context;
};
