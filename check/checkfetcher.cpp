#include "checkfetcher.h"

#include "checklog.h"
#include "httppolicy.h"
#include "httprequest.h"
#include "signatureverifier.h"

namespace {
// Seconds without data after which a fetch of a list is given up.
constexpr int fetchTimeoutSeconds = 5;
}

CheckFetcher::CheckFetcher(QNetworkAccessManager &network, const SignatureVerifier *verifier)
    : m_network(network)
    , m_verifier(verifier)
{
}

bool CheckFetcher::fetch(const QUrl &url, qint64 maxBytes, QByteArray &body, QString *error, const HttpHeaders &headers,
                         HttpHeaders *answer)
{
    return httpRequest(&m_network, url, body, *error, fetchTimeoutSeconds, headers, "GET", {}, answer, maxBytes);
}

bool CheckFetcher::verifySignature(const QByteArray &content, const QString &address, QByteArray *signature)
{
    if (!m_verifier)
        return true;
    QByteArray fetched;
    QString error;
    const bool valid = fetch(QUrl(address + QLatin1String(".sig"), QUrl::TolerantMode), HttpPolicy::descriptionMaxBytes,
                             fetched, &error)
            && m_verifier->verify(content, fetched);
    if (valid && signature)
        *signature = fetched;
    qCInfo(lcRun).noquote() << "signature of" << address << (valid ? "verified" : "missing or not valid");
    return valid;
}
