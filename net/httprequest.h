#pragma once

#include "httpheaders.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

/**
 * Sends one request through @p manager and waits for it in a local event loop,
 * so the caller sees a blocking call while the thread keeps serving its events.
 * The request is made as HttpPolicy makes a list's (the plain body asked for,
 * redirects not followed).
 *
 * Returns true only for a complete body: HTTP status 200, the reply finished
 * without a network error, and as many bytes as Content-Length announced, if
 * it did. @p response is then replaced by the body. Otherwise @p response is
 * left alone and @p errorText says why: the reply's error description;
 * "网络超时" when nothing arrived for @p timeoutSeconds (if above 0), or the
 * whole exchange took five minutes; "文件过大" when the body grew beyond
 * @p maxBytes (if above 0: one of HttpPolicy's limits); "数据不完整" when it
 * fell short of its announced length; "不支持的内容编码:%1" when the server
 * compressed it although the plain body was asked for ("Accept-Encoding:
 * identity", unless @p headers name another); "发送请求失败" when no reply
 * could be made. When @p responseHeaders is given it receives the status (0
 * when none came), whatever the outcome, and on success the reply's headers,
 * beside the fields it held. Must be called on the thread that owns @p manager.
 */
bool httpRequest(QNetworkAccessManager *manager, const QUrl &url, QByteArray &response,
                 QString &errorText, int timeoutSeconds, const HttpHeaders &headers,
                 const QByteArray &verb, const QByteArray &body,
                 HttpHeaders *responseHeaders, qint64 maxBytes = 0);
