#pragma once

#include "httpheaders.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class SignatureVerifier;

/**
 * The update check's requests to the site: each list fetched as httpRequest()
 * fetches, given up after 5 s without data, within the limit HttpPolicy sets
 * for it; and, on a signed site, each list's detached signature.
 */
class CheckFetcher
{
public:
    /// @param verifier the site's keys; null for an unsigned site
    CheckFetcher(QNetworkAccessManager &network, const SignatureVerifier *verifier);

    /**
     * Fetches @p url into @p body; false with @p error saying why. @p answer,
     * when given, receives the answer's headers and status, whatever the outcome.
     */
    bool fetch(const QUrl &url, qint64 maxBytes, QByteArray &body, QString *error, const HttpHeaders &headers = {},
               HttpHeaders *answer = nullptr);
    /**
     * On a signed site, fetches "<address>.sig" and verifies that it signs
     * @p content (a signature that cannot be fetched counts as a wrong one);
     * true at once on an unsigned site. The signature goes to @p signature.
     */
    bool verifySignature(const QByteArray &content, const QString &address, QByteArray *signature = nullptr);
    const SignatureVerifier *verifier() const { return m_verifier; }

private:
    QNetworkAccessManager &m_network;
    const SignatureVerifier *m_verifier;
};
