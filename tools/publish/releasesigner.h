#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_pkey_st;

/**
 * Ed25519 keys and detached signatures for update sites. The private key is
 * kept as a PEM file; the public key is the base64 text of its 32 raw bytes,
 * which is also what clients put in system.cfg as PublicKey.
 */
class ReleaseSigner
{
public:
    /// Makes a key pair and writes both files; false with @p error on failure.
    static bool generateKeys(const QString &privateKeyPath, const QString &publicKeyPath, QString *error);

    /// Loads the private key from @p privateKeyPath (PEM).
    explicit ReleaseSigner(const QString &privateKeyPath);
    ~ReleaseSigner();

    bool isValid() const { return bool(m_key); }
    QString errorString() const { return m_error; }
    /// Base64 text of the signature of @p data, followed by LF.
    QByteArray sign(const QByteArray &data) const;

private:
    std::unique_ptr<evp_pkey_st, void (*)(evp_pkey_st *)> m_key;
    QString m_error;
};
