#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

/**
 * A small HTTP/1.1 server on 127.0.0.1 for tests. Each path gets a canned
 * response; unknown paths answer 404. Every request is logged. One request is
 * served per connection ("Connection: close").
 */
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    /// How a response's body ends.
    enum class BodyEnd {
        Complete,   ///< the whole body, as announced
        Close,      ///< full length announced, connection closed after cutAt bytes
        Stall,      ///< full length announced, nothing more after cutAt bytes
        Endless,    ///< no length announced, data keeps coming (bounded for safety)
        NoAnswer,   ///< the request is read and never answered
        Trickle,    ///< full length announced, trickleBytes sent every trickleMsecs
    };

    /// A cache in front of the server that still holds an older body (staleBody).
    enum class Cache {
        None,          ///< no cache: the server answers every request itself
        Revalidates,   ///< answers every conditional request 304, whatever it asks; the others reach the server
        Stale,         ///< answers conditional requests 304 and the others with staleBody, but "no-cache" reaches the server
        StaleAlways,   ///< as Stale, and "Cache-Control: no-cache" changes nothing
        StaleThenNotModified,   ///< as Stale, but a request with "no-cache" gets 304, whatever it asks
    };

    struct Response
    {
        int status = 200;
        HeaderList headers;
        QByteArray body;
        BodyEnd end = BodyEnd::Complete;
        qint64 cutAt = 0;
        int delayMsecs = 0;
        int trickleBytes = 0;
        int trickleMsecs = 0;
        /// Answers "Range: bytes=N-" with 206 (or 416), when If-Range, if sent, equals the ETag header.
        bool ranges = false;
        /// Answers If-None-Match equal to the ETag header, or If-Modified-Since equal to the
        /// Last-Modified header (either in any letter case), with 304 and no body.
        bool conditional = false;
        Cache cache = Cache::None;
        QByteArray staleBody = QByteArray();
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        HeaderList headers;
        /// Body bytes handed to the network in answer.
        qint64 bodyBytesSent = 0;

        QByteArray header(const QByteArray &name) const;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    quint16 port() const;
    /// "http://127.0.0.1:PORT" followed by @p path.
    QString url(const QString &path = QString()) const;

    void setResponse(const QByteArray &path, const Response &response);
    /// Serves @p body with status 200 under @p path.
    void setFile(const QByteArray &path, const QByteArray &body);
    void setRedirect(const QByteArray &path, const QByteArray &location, int status = 302);
    /**
     * Serves the site folder @p site (as update-publish writes it) below @p prefix,
     * under the paths the updater asks for: "<prefix>/update.ini",
     * "<prefix><Folder>//md5.txt", "<prefix><Folder>/<file>", names percent-encoded as UTF-8.
     */
    void serveSite(const QString &site, const QByteArray &prefix);

    QList<Request> requests() const;
    QList<QByteArray> requestPaths() const;
    void clearLog();
    /// Body bytes handed to the network for endless responses so far.
    qint64 endlessBytesSent() const { return m_endlessBytesSent; }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const Response &response, int requestIndex);
    static Response answer(const Request &request, Response response);
    void recordSent(int requestIndex, qint64 bytes);
    void feedEndless(QTcpSocket *socket);
    void trickle(QTcpSocket *socket, const Response &response, int sent);

    QTcpServer m_server;
    QHash<QByteArray, Response> m_responses;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_pending;
    qint64 m_endlessBytesSent = 0;
};

Q_DECLARE_METATYPE(TestHttpServer::Cache)
