#include "httppolicy.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>

namespace {
// What the network stack may hold of a body before it is taken. Measured:
// at 1 MiB the network thread's buffers come fresh from the kernel on every
// read (page faults, copies); at 256 KiB they are reused, and a 40 x 4 MiB
// update takes two thirds of the time.
constexpr qint64 readBufferSize = 256 * 1024;
constexpr int maxRedirects = 10;
}

namespace HttpPolicy {

QNetworkRequest request(const QUrl &url, Kind kind, bool http2)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Encoding", "identity");
    if (kind == Kind::File) {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        request.setMaximumRedirectsAllowed(maxRedirects);
    } else {
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    }
    // Where the server does not offer HTTP/2 (ALPN), Qt speaks HTTP/1.1 on its own.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2);
    return request;
}

QNetworkReply *get(QNetworkAccessManager &manager, const QNetworkRequest &request)
{
    // Only a plain GET holds to the read buffer's size, which keeps an endless
    // body from piling up in memory.
    QNetworkReply *reply = manager.get(request);
    if (reply)
        reply->setReadBufferSize(readBufferSize);
    return reply;
}

QByteArray refusedEncoding(const HttpHeaders &headers)
{
    const QByteArray encoding = headers.value("Content-Encoding");
    return encoding.isEmpty() || encoding.compare("identity", Qt::CaseInsensitive) == 0 ? QByteArray() : encoding;
}

QString refusedEncodingText(const QByteArray &encoding)
{
    return QCoreApplication::translate("httpRequest", "不支持的内容编码:%1").arg(QString::fromLatin1(encoding));
}

bool isPrintableAscii(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

Validator Validator::of(const HttpHeaders &answer)
{
    const QByteArray etag = answer.value("ETag");
    if (!etag.isEmpty() && isPrintableAscii(etag))
        return {"If-None-Match", etag};
    const QByteArray lastModified = answer.value("Last-Modified");
    if (!lastModified.isEmpty() && isPrintableAscii(lastModified))
        return {"If-Modified-Since", lastModified};
    return {};
}

}
