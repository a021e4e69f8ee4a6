#include "md5hasher.h"

#include "digesttext.h"

#include <openssl/evp.h>

namespace {

// Looking the algorithm up is costly in OpenSSL 3; do it once per process. It
// is null where libcrypto offers no MD5 (a FIPS-only configuration).
const EVP_MD *md5Algorithm()
{
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    static const EVP_MD *algorithm = EVP_MD_fetch(nullptr, "MD5", nullptr);
#else
    static const EVP_MD *algorithm = EVP_md5();
#endif
    return algorithm;
}

// Never a digest text, and never empty: a failed computation matches nothing.
const QByteArray failedDigest("md5-failed");

}

Md5Hasher::Md5Hasher()
    : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
{
    restart();
}

Md5Hasher::~Md5Hasher() = default;

void Md5Hasher::restart()
{
    m_failed = false;
    m_useFallback = !m_context || !md5Algorithm()
            || EVP_DigestInit_ex(m_context.get(), md5Algorithm(), nullptr) != 1;
    if (m_useFallback)
        m_fallback.reset();
}

void Md5Hasher::addData(const char *data, qint64 length)
{
    if (m_useFallback)
        m_fallback.addData(data, int(length));
    else if (EVP_DigestUpdate(m_context.get(), data, size_t(length)) != 1)
        m_failed = true;
}

QByteArray Md5Hasher::text()
{
    QByteArray digest;
    if (m_useFallback) {
        digest = m_fallback.result();
    } else {
        unsigned char raw[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_context.get(), raw, &length) == 1 && length == 16)
            digest = QByteArray(reinterpret_cast<const char *>(raw), int(length));
    }
    const bool failed = m_failed || digest.size() != 16;
    restart();
    return failed ? failedDigest : digestText(digest);
}
