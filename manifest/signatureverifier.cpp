#include "signatureverifier.h"

#include <QList>

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

SignatureVerifier::SignatureVerifier(const QByteArray &publicKeysBase64)
{
    for (const QByteArray &text : publicKeysBase64.simplified().split(' ')) {
        const QByteArray raw = decodeBase64(text);
        if (raw.size() != keySize)
            return;
        m_keys.emplace_back(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                        reinterpret_cast<const unsigned char *>(raw.constData()),
                                                        size_t(raw.size())),
                            &EVP_PKEY_free);
        if (!m_keys.back())
            return;
    }
    m_valid = !m_keys.empty();
}

SignatureVerifier::~SignatureVerifier() = default;

bool SignatureVerifier::verify(const QByteArray &data, const QByteArray &signatureText) const
{
    const QByteArray signature = decodeBase64(signatureText);
    if (!m_valid || signature.size() != signatureSize)
        return false;
    for (const Key &key : m_keys) {
        std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        if (context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
                && EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
                                    size_t(signature.size()),
                                    reinterpret_cast<const unsigned char *>(data.constData()), size_t(data.size())) == 1)
            return true;
    }
    return false;
}
