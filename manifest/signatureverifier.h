#pragma once

#include <QByteArray>

#include <memory>
#include <vector>

struct evp_pkey_st;

/**
 * Checks detached Ed25519 signatures of the files an update server sends.
 * Each public key is the base64 text of its 32 raw bytes; several keys,
 * separated by white space, are all trusted, so a publisher can move from one
 * key to the next. A signature file holds the base64 text of the 64-byte
 * signature (surrounding white space is ignored).
 */
class SignatureVerifier
{
public:
    /// @param publicKeysBase64 the keys as configured; any that is not 32 decodable bytes makes an invalid verifier
    explicit SignatureVerifier(const QByteArray &publicKeysBase64);
    ~SignatureVerifier();
    SignatureVerifier(const SignatureVerifier &) = delete;
    SignatureVerifier &operator=(const SignatureVerifier &) = delete;

    bool isValid() const { return m_valid; }
    /// True when @p signatureText is a valid signature of exactly @p data by any of the keys.
    bool verify(const QByteArray &data, const QByteArray &signatureText) const;

private:
    using Key = std::unique_ptr<evp_pkey_st, void (*)(evp_pkey_st *)>;
    std::vector<Key> m_keys;
    bool m_valid = false;
};
