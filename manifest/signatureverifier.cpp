#include "signatureverifier.h"

#include <openssl/evp.h>

namespace {
constexpr int keySize = 32;
constexpr int signatureSize = 64;

// Strict base64: a key or signature that does not decode cleanly is refused.
QByteArray decodeBase64(const QByteArray &text)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}
}

SignatureVerifier::SignatureVerifier(const QByteArray &publicKeyBase64)
    : m_key(nullptr, &EVP_PKEY_free)
{
    const QByteArray raw = decodeBase64(publicKeyBase64);
    if (raw.size() != keySize)
        return;
    m_key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char *>(raw.constData()),
                                            size_t(raw.size())));
}

SignatureVerifier::~SignatureVerifier() = default;

bool SignatureVerifier::verify(const QByteArray &data, const QByteArray &signatureText) const
{
    const QByteArray signature = decodeBase64(signatureText);
    if (!m_key || signature.size() != signatureSize)
        return false;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size())) == 1;
}
