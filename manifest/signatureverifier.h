#pragma once

#include <QByteArray>

#include <memory>

struct evp_pkey_st;

/**
 * Checks detached Ed25519 signatures of the files an update server sends.
 * The public key is given as the base64 text of its 32 raw bytes; a signature
 * file holds the base64 text of the 64-byte signature (surrounding white space
 * is ignored).
 */
class SignatureVerifier
{
public:
    /// @param publicKeyBase64 the key as configured; anything but 32 decodable bytes makes an invalid verifier
    explicit SignatureVerifier(const QByteArray &publicKeyBase64);
    ~SignatureVerifier();
    SignatureVerifier(const SignatureVerifier &) = delete;
    SignatureVerifier &operator=(const SignatureVerifier &) = delete;

    bool isValid() const { return bool(m_key); }
    /// True when @p signatureText is a valid signature of exactly @p data.
    bool verify(const QByteArray &data, const QByteArray &signatureText) const;

private:
    std::unique_ptr<evp_pkey_st, void (*)(evp_pkey_st *)> m_key;
};
