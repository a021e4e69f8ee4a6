#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

/// Request or response headers, name to value.
using HttpHeaders = QMap<QByteArray, QByteArray>;

/**
 * Sends one request through @p manager and waits for it in a local event loop,
 * so the caller sees a blocking call while the thread keeps serving its events.
 *
 * Returns true only when the reply carried HTTP status 200: @p response is then
 * replaced by the body received so far and, when @p responseHeaders is given,
 * the reply's headers are stored in it (a repeated name keeps its later value).
 * Otherwise @p response is left alone and @p errorText is set to the reply's
 * error description, to "网络超时" when @p timeoutSeconds (if above 0) ran out
 * first, or to "发送请求失败" when no reply could be made. Redirects are not
 * followed. Must be called on the thread that owns @p manager.
 */
/**
 * Stores @p pairs into @p headers in the order given: a name seen twice keeps
 * its later value, names already in @p headers under other names stay.
 * (Qt joins an HTTP header that a reply repeats into one "a, b" pair.)
 */
void storeResponseHeaders(const QList<QPair<QByteArray, QByteArray>> &pairs, HttpHeaders &headers);

bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &response,
                 QString &errorText, int timeoutSeconds, const HttpHeaders &headers,
                 const QByteArray &verb, const QByteArray &body,
                 HttpHeaders *responseHeaders);
