#include "httprequest.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#ifndef QT_NO_SSL
#include <QSslError>
#endif

// Each fetch with its status, bytes and time, for a support engineer.
Q_LOGGING_CATEGORY(lcNet, "updater.net", QtWarningMsg)

namespace {
// However steadily a body keeps coming, a fetch ends after this long.
constexpr int totalLimitMsecs = 5 * 60 * 1000;
// What the network stack may hold of a body before it is counted here.
constexpr qint64 replyBufferSize = 256 * 1024;
}

bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &response,
                 QString &errorText, int timeoutSeconds, const HttpHeaders &headers,
                 const QByteArray &verb, const QByteArray &body,
                 HttpHeaders *responseHeaders, qint64 maxBytes, int *statusCode)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QNetworkRequest request(url);
    // Qt would inflate a compressed body a whole network read at a time, beyond
    // any limit; asking for the plain body keeps every byte counted as it comes.
    request.setRawHeader("Accept-Encoding", "identity");
    for (const HttpHeaders::Field &field : headers.fields())
        request.setRawHeader(field.first, field.second);

    // A plain GET goes through get(): only there does Qt hold to the read buffer
    // size below, which keeps an endless body from piling up in memory.
    QNetworkReply *reply = verb == "GET" && body.isEmpty() ? manager->get(request)
                                                          : manager->sendCustomRequest(request, verb, body);
    if (!reply) {
        errorText = QCoreApplication::translate("httpRequest", "发送请求失败");
        return false;
    }
    reply->setReadBufferSize(replyBufferSize);

    QEventLoop loop;
    QByteArray received;
    bool tooLarge = false;
    QTimer idleTimer;
    idleTimer.setSingleShot(true);
    QObject::connect(&idleTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer totalTimer;
    totalTimer.setSingleShot(true);
    QObject::connect(&totalTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Counted as it arrives, so an endless body is cut at the limit instead of
    // filling memory. One byte past the limit is enough to know. The room is
    // reserved once and filled in place: pages count only once written, and no
    // growing copy or temporary buffer ever stands beside the body.
    if (maxBytes > 0)
        received.reserve(int(maxBytes + 1));
    const auto takeAvailable = [&] {
        if (maxBytes <= 0) {
            received += reply->readAll();
            return;
        }
        const qint64 wanted = qMin(reply->bytesAvailable(), maxBytes + 1 - received.size());
        if (wanted <= 0)
            return;
        const int before = received.size();
        received.resize(before + int(wanted));
        received.resize(before + int(qMax<qint64>(0, reply->read(received.data() + before, wanted))));
        tooLarge = received.size() > maxBytes;
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (timeoutSeconds > 0)
            idleTimer.start();
        takeAvailable();
        if (tooLarge)
            loop.quit();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // "SSL handshake failed" alone does not say what is wrong with the certificate.
    QString tlsProblem;
#ifndef QT_NO_SSL
    QObject::connect(reply, &QNetworkReply::sslErrors, &loop, [&tlsProblem](const QList<QSslError> &errors) {
        if (!errors.isEmpty())
            tlsProblem = errors.first().errorString();
    });
#endif
    if (timeoutSeconds > 0) {
        // An idle limit: a slow but steady body may take longer, up to the total limit.
        idleTimer.start(timeoutSeconds * 1000);
        totalTimer.start(totalLimitMsecs);
    }
    if (!reply->isFinished())
        loop.exec();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (statusCode)
        *statusCode = status;
    if (!tooLarge && reply->isFinished())
        takeAvailable();
    const HttpHeaders replyHeaders = HttpHeaders::of(*reply);
    bool complete = false;
    if (tooLarge) {
        errorText = QCoreApplication::translate("httpRequest", "文件过大");
    } else if (!reply->isFinished()) {
        errorText = QCoreApplication::translate("httpRequest", "网络超时");
    } else if (status != 200 || reply->error() != QNetworkReply::NoError) {
        errorText = reply->errorString();
        if (!tlsProblem.isEmpty())
            errorText += QLatin1String(": ") + tlsProblem;
    } else if (const QByteArray encoding = replyHeaders.value("Content-Encoding");
               !encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        errorText = QCoreApplication::translate("httpRequest", "不支持的内容编码:%1").arg(QString::fromLatin1(encoding));
    } else if (const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
               announced.isValid() && announced.toLongLong() != received.size()) {
        // A body cut by a dropped connection is short of what the server announced.
        errorText = QCoreApplication::translate("httpRequest", "数据不完整");
    } else {
        complete = true;
    }
    if (complete) {
        if (responseHeaders) {
            for (const HttpHeaders::Field &field : replyHeaders.fields())
                responseHeaders->set(field.first, field.second);
        }
        received.squeeze();
        response = received;
    }
    qCInfo(lcNet).noquote() << verb << url.toDisplayString(QUrl::RemovePassword) << "status" << status << received.size()
                            << "bytes" << elapsed.elapsed() << "ms" << (complete ? QStringLiteral("complete") : errorText);
    // A reply cut at a limit stops at once, not when it is deleted.
    if (!reply->isFinished())
        reply->abort();
    reply->deleteLater();
    return complete;
}
