#include "md5hasher.h"

#include "filehash.h"

#include <openssl/evp.h>

namespace {

// Looking the algorithm up is costly in OpenSSL 3; do it once per process.
const EVP_MD *md5Algorithm()
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    static const EVP_MD *algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
#else
    static const EVP_MD *algorithm = EVP_md5();
#endif
    return algorithm;
}

}

Md5Hasher::Md5Hasher()
    : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
{
    EVP_DigestInit_ex(m_context.get(), md5Algorithm(), nullptr);
}

Md5Hasher::~Md5Hasher() = default;

void Md5Hasher::addData(const char *data, qint64 length)
{
    EVP_DigestUpdate(m_context.get(), data, size_t(length));
}

QByteArray Md5Hasher::text()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest, &length);
    EVP_DigestInit_ex(m_context.get(), md5Algorithm(), nullptr);
    return digestText(QByteArray(reinterpret_cast<const char *>(digest), int(length)));
}
