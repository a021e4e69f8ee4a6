#include "httprequest.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

void storeResponseHeaders(const QList<QPair<QByteArray, QByteArray>> &pairs, HttpHeaders &headers)
{
    for (const auto &pair : pairs)
        headers.insert(pair.first, pair.second);
}

bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &response,
                 QString &errorText, int timeoutSeconds, const HttpHeaders &headers,
                 const QByteArray &verb, const QByteArray &body,
                 HttpHeaders *responseHeaders)
{
    QNetworkRequest request(url);
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        request.setRawHeader(it.key(), it.value());

    QNetworkReply *reply = manager->sendCustomRequest(request, verb, body);
    if (!reply) {
        errorText = QCoreApplication::translate("httpRequest", "发送请求失败");
        return false;
    }

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (timeoutSeconds > 0)
        QTimer::singleShot(timeoutSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 200) {
        if (responseHeaders)
            storeResponseHeaders(reply->rawHeaderPairs(), *responseHeaders);
        response = reply->readAll();
    } else {
        errorText = reply->isFinished()
                ? reply->errorString()
                : QCoreApplication::translate("httpRequest", "网络超时");
    }
    // An unfinished reply stops when it is deleted.
    reply->deleteLater();
    return status == 200;
}
