#include "releasesigner.h"

#include "atomicfile.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

using KeyPointer = std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY *)>;

bool writeFile(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    // The permissions come before the bytes: a private key is never readable
    // by others, not even for an instant.
    const QFileInfo target(path);
    AtomicFile file(HeldFolder::open(target.absolutePath()), target.fileName());
    return file.open() && file.setPermissions(permissions) && file.write(bytes) && file.commit();
}

}

bool ReleaseSigner::generateKeys(const QString &privateKeyPath, const QString &publicKeyPath, QString *error)
{
    KeyPointer key(nullptr, &EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX *)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 || EVP_PKEY_keygen(context.get(), &generated) != 1) {
        *error = QStringLiteral("cannot generate an Ed25519 key");
        return false;
    }
    key.reset(generated);

    std::unique_ptr<BIO, int (*)(BIO *)> pem(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char *pemData = nullptr;
    const long pemSize = BIO_get_mem_data(pem.get(), &pemData);
    unsigned char raw[32];
    size_t rawSize = sizeof raw;
    EVP_PKEY_get_raw_public_key(key.get(), raw, &rawSize);

    if (!writeFile(privateKeyPath, QByteArray(pemData, int(pemSize)), QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        *error = QStringLiteral("cannot write %1").arg(privateKeyPath);
        return false;
    }
    const QByteArray publicText = QByteArray(reinterpret_cast<const char *>(raw), int(rawSize)).toBase64() + '\n';
    if (!writeFile(publicKeyPath, publicText, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ReadGroup | QFileDevice::ReadOther)) {
        *error = QStringLiteral("cannot write %1").arg(publicKeyPath);
        return false;
    }
    return true;
}

ReleaseSigner::ReleaseSigner(const QString &privateKeyPath)
    : m_key(nullptr, &EVP_PKEY_free)
{
    QFile file(privateKeyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read the private key %1").arg(privateKeyPath);
        return;
    }
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, int (*)(BIO *)> bio(BIO_new_mem_buf(pem.constData(), pem.size()), &BIO_free);
    m_key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!m_key || EVP_PKEY_id(m_key.get()) != EVP_PKEY_ED25519) {
        m_key.reset();
        m_error = QStringLiteral("%1 is not an Ed25519 private key").arg(privateKeyPath);
    }
}

ReleaseSigner::~ReleaseSigner() = default;

QByteArray ReleaseSigner::sign(const QByteArray &data) const
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t size = sizeof signature;
    if (!m_key || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) != 1
        || EVP_DigestSign(context.get(), signature, &size, reinterpret_cast<const unsigned char *>(data.constData()),
                          size_t(data.size())) != 1)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(signature), int(size)).toBase64() + '\n';
}
