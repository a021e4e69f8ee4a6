#pragma once

#include "httpheaders.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

/**
 * How the updater asks for anything over HTTP and judges the answer, for every
 * request it makes: the lists of the check (update.ini, md5.txt, sha256.txt,
 * the artifact index and their signatures, through httpRequest()) and the
 * files (through the engine's transfers). Written once, here.
 */
namespace HttpPolicy {

/// What is asked for, which decides the redirects taken.
enum class Kind {
    List,   ///< a list of the check: redirects are not followed
    File,   ///< a file or an artifact: up to ten hops, never from HTTPS to plain HTTP
};

/// The largest update.ini, and signature, accepted.
constexpr qint64 descriptionMaxBytes = 1024 * 1024;
/// The largest md5.txt, and sha256.txt, accepted.
constexpr qint64 manifestMaxBytes = 64 * 1024 * 1024;
/// The largest artifact index accepted.
constexpr qint64 artifactIndexMaxBytes = 16 * 1024 * 1024;

/**
 * A request for @p url of @p kind. It asks for the plain body
 * ("Accept-Encoding: identity"): Qt would inflate a compressed one a whole
 * network read at a time, beyond every size check. @p http2 lets it share an
 * HTTP/2 connection where the server offers one.
 */
QNetworkRequest request(const QUrl &url, Kind kind, bool http2 = false);

/**
 * Sends @p request as a GET through @p manager, the body to be taken as it
 * arrives: the reply holds at most 256 KiB of it at a time. Null when no reply
 * could be made.
 */
QNetworkReply *get(QNetworkAccessManager &manager, const QNetworkRequest &request);

/// The Content-Encoding of an answer that is not the plain body it asked for; empty when it is.
QByteArray refusedEncoding(const HttpHeaders &headers);
/// What a user is told of such an answer: "不支持的内容编码:<encoding>".
QString refusedEncodingText(const QByteArray &encoding);

/// True when @p text can go back to a server inside a header.
bool isPrintableAscii(const QByteArray &text);

/**
 * What tells a later request whether a stored answer is still the server's:
 * the answer's ETag, else its Last-Modified, when it can go back in a header.
 */
struct Validator
{
    /// The header that asks with it whether the answer changed ("If-None-Match" or "If-Modified-Since").
    QByteArray conditionHeader;
    QByteArray value;

    static Validator of(const HttpHeaders &answer);
    bool isValid() const { return !conditionHeader.isEmpty() && !value.isEmpty(); }
};

}
