#include "hasher.h"

#include <openssl/evp.h>

namespace {
// Never a SHA-256 text, and never empty: a failed computation matches nothing.
const QByteArray failedSha256("sha256-failed");
}

Sha256Hasher::Sha256Hasher()
    : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
{
    restart();
}

Sha256Hasher::~Sha256Hasher() = default;

void Sha256Hasher::restart()
{
    m_failed = !m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1;
}

void Sha256Hasher::addData(const char *data, qint64 length)
{
    if (!m_failed && EVP_DigestUpdate(m_context.get(), data, size_t(length)) != 1)
        m_failed = true;
}

QByteArray Sha256Hasher::hex()
{
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = !m_failed && EVP_DigestFinal_ex(m_context.get(), raw, &length) == 1 && length == 32;
    restart();
    return done ? QByteArray(reinterpret_cast<const char *>(raw), int(length)).toHex() : failedSha256;
}

Hasher::Hasher(bool withSha256)
{
    if (withSha256)
        m_sha256.emplace();
}

void Hasher::addData(const char *data, qint64 length)
{
    m_md5.addData(data, length);
    if (m_sha256)
        m_sha256->addData(data, length);
}

Digests Hasher::result()
{
    return {m_md5.text(), m_sha256 ? m_sha256->hex() : QByteArray()};
}
