#include "httprequest.h"

#include "httppolicy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#ifndef QT_NO_SSL
#include <QSslError>
#endif

// Each fetch with its status, bytes and time, for a support engineer.
Q_LOGGING_CATEGORY(lcNet, "updater.net", QtWarningMsg)

namespace {

// However steadily a body keeps coming, a fetch ends after this long.
constexpr int totalLimitMsecs = 5 * 60 * 1000;

QString text(const char *source)
{
    return QCoreApplication::translate("httpRequest", source);
}

/**
 * One fetch into memory, waited for in a local event loop: the body counted
 * as it arrives, so an endless one is cut at the limit instead of filling
 * memory, then judged as a whole.
 */
class Fetch
{
public:
    Fetch(QNetworkReply *reply, int timeoutSeconds, qint64 maxBytes)
        : m_reply(reply)
        , m_timeoutMsecs(timeoutSeconds * 1000)
        , m_maxBytes(maxBytes)
    {
        // The room is reserved once and filled in place: pages count only once
        // written, and no growing copy ever stands beside the body.
        if (m_maxBytes > 0)
            m_body.reserve(int(m_maxBytes + 1));
    }
    ~Fetch()
    {
        // A reply cut at a limit stops at once, not when it is deleted.
        if (!m_reply->isFinished())
            m_reply->abort();
        m_reply->deleteLater();
    }

    void wait();
    /// Empty when the body is complete; otherwise why not.
    QString problem();
    QByteArray body() { m_body.squeeze(); return m_body; }
    HttpHeaders headers() const { return HttpHeaders::of(*m_reply); }

private:
    void take();

    QNetworkReply *m_reply;
    int m_timeoutMsecs;
    qint64 m_maxBytes;
    QByteArray m_body;
    bool m_tooLarge = false;
    // "SSL handshake failed" alone does not say what is wrong with the certificate.
    QString m_tlsProblem;
};

void Fetch::take()
{
    if (m_maxBytes <= 0) {
        m_body += m_reply->readAll();
        return;
    }
    // One byte past the limit is enough to know.
    const qint64 wanted = qMin(m_reply->bytesAvailable(), m_maxBytes + 1 - m_body.size());
    if (wanted <= 0)
        return;
    const int before = m_body.size();
    m_body.resize(before + int(wanted));
    m_body.resize(before + int(qMax<qint64>(0, m_reply->read(m_body.data() + before, wanted))));
    m_tooLarge = m_body.size() > m_maxBytes;
}

void Fetch::wait()
{
    QEventLoop loop;
    // An idle limit: a slow but steady body may take longer, up to the total limit.
    QTimer idle;
    idle.setSingleShot(true);
    QObject::connect(&idle, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer total;
    total.setSingleShot(true);
    QObject::connect(&total, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(m_reply, &QNetworkReply::readyRead, &loop, [&] {
        if (m_timeoutMsecs > 0)
            idle.start();
        take();
        if (m_tooLarge)
            loop.quit();
    });
    QObject::connect(m_reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
#ifndef QT_NO_SSL
    QObject::connect(m_reply, &QNetworkReply::sslErrors, &loop, [this](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            m_tlsProblem = errors.first().errorString();
    });
#endif
    if (m_timeoutMsecs > 0) {
        idle.start(m_timeoutMsecs);
        total.start(totalLimitMsecs);
    }
    if (!m_reply->isFinished())
        loop.exec();
    if (!m_tooLarge && m_reply->isFinished())
        take();
}

QString Fetch::problem()
{
    const HttpHeaders answer = headers();
    if (m_tooLarge)
        return text("文件过大");
    if (!m_reply->isFinished())
        return text("网络超时");
    if (answer.status() != 200 || m_reply->error() != QNetworkReply::NoError)
        return m_tlsProblem.isEmpty() ? m_reply->errorString() : m_reply->errorString() + QLatin1String(": ") + m_tlsProblem;
    if (const QByteArray encoding = HttpPolicy::refusedEncoding(answer); !encoding.isEmpty())
        return HttpPolicy::refusedEncodingText(encoding);
    // A body cut by a dropped connection is short of what the server announced.
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() != m_body.size())
        return text("数据不完整");
    return QString();
}

}

bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &response,
                 QString &errorText, int timeoutSeconds, const HttpHeaders &headers,
                 const QByteArray &verb, const QByteArray &body,
                 HttpHeaders *responseHeaders, qint64 maxBytes)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QNetworkRequest request = HttpPolicy::request(url, HttpPolicy::Kind::List);
    for (const HttpHeaders::Field &field : headers.fields())
        request.setRawHeader(field.first, field.second);
    QNetworkReply *reply = verb == "GET" && body.isEmpty() ? HttpPolicy::get(*manager, request)
                                                          : manager->sendCustomRequest(request, verb, body);
    if (!reply) {
        errorText = text("发送请求失败");
        return false;
    }
    Fetch fetch(reply, timeoutSeconds, maxBytes);
    fetch.wait();
    const QString problem = fetch.problem();
    const HttpHeaders answer = fetch.headers();
    if (responseHeaders)
        responseHeaders->takeAnswer(answer, problem.isEmpty());
    if (problem.isEmpty())
        response = fetch.body();
    else
        errorText = problem;
    qCInfo(lcNet).noquote() << verb << url.toDisplayString(QUrl::RemovePassword) << "status" << answer.status()
                            << response.size() << "bytes" << elapsed.elapsed() << "ms"
                            << (problem.isEmpty() ? QStringLiteral("complete") : problem);
    return problem.isEmpty();
}
