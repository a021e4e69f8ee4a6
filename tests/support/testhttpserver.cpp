#include "testhttpserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTcpSocket>
#include <QUrl>
#include <QTimer>

namespace {
// An endless body stops here all the same, so a faulty client cannot make a test run forever.
constexpr qint64 endlessLimit = 256LL * 1024 * 1024;
constexpr int endlessChunk = 64 * 1024;
const char endlessSent[] = "endlessSent";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 416: return "Range Not Satisfiable";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    const auto sockets = m_pending.keys();
    for (QTcpSocket *socket : sockets)
        socket->abort();
    m_server.close();
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port()) + path;
}

void TestHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void TestHttpServer::setFile(const QByteArray &path, const QByteArray &body)
{
    Response response;
    response.body = body;
    setResponse(path, response);
}

void TestHttpServer::serveSite(const QString &site, const QByteArray &prefix)
{
    QDirIterator it(site, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(site).relativeFilePath(it.next());
        const QByteArray encoded = QUrl::toPercentEncoding(relative, "/");
        const int slash = encoded.indexOf('/');
        QByteArray path = prefix + encoded;
        if (slash < 0)
            path = prefix + '/' + encoded;   // update.ini and its signature
        else if (encoded.indexOf('/', slash + 1) < 0 && encoded.mid(slash + 1).startsWith("md5.txt"))
            path = prefix + encoded.left(slash) + "//" + encoded.mid(slash + 1);
        QFile file(it.filePath());
        if (file.open(QIODevice::ReadOnly))
            setFile(path, file.readAll());
    }
}

void TestHttpServer::setRedirect(const QByteArray &path, const QByteArray &location, int status)
{
    Response response;
    response.status = status;
    response.headers = {{"Location", location}};
    response.body = "moved";
    setResponse(path, response);
}

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &pair : headers) {
        if (pair.first.compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return QByteArray();
}

TestHttpServer::Response TestHttpServer::answer(const Request &request, Response response)
{
    const QByteArray range = request.header("Range");
    QByteArray etag;
    QByteArray lastModified;
    for (const auto &pair : qAsConst(response.headers)) {
        if (pair.first.compare("ETag", Qt::CaseInsensitive) == 0)
            etag = pair.second;
        else if (pair.first.compare("Last-Modified", Qt::CaseInsensitive) == 0)
            lastModified = pair.second;
    }
    const bool conditionalRequest = !request.header("If-None-Match").isEmpty() || !request.header("If-Modified-Since").isEmpty();
    const bool noCache = request.header("Cache-Control").contains("no-cache");
    const bool pastCaches = noCache && response.cache != Cache::StaleAlways && response.cache != Cache::StaleThenNotModified;
    const bool fresh = response.conditional && response.status == 200
            && (etag.isEmpty() ? !lastModified.isEmpty() && request.header("If-Modified-Since") == lastModified
                               : request.header("If-None-Match") == etag);
    if (fresh || (conditionalRequest && !pastCaches && response.cache != Cache::None)
            || (noCache && response.cache == Cache::StaleThenNotModified)) {
        response.status = 304;
        response.body.clear();
        response.end = BodyEnd::Complete;
        return response;
    }
    if (!pastCaches && response.cache != Cache::None && response.cache != Cache::Revalidates)
        response.body = response.staleBody;
    const QByteArray ifRange = request.header("If-Range");
    if (!response.ranges || response.status != 200 || !range.startsWith("bytes=")
            || (!ifRange.isEmpty() && ifRange != etag))
        return response;
    const qint64 from = range.mid(6, range.indexOf('-') - 6).toLongLong();
    if (from >= response.body.size()) {
        response.status = 416;
        response.body.clear();
        response.end = BodyEnd::Complete;
        return response;
    }
    response.status = 206;
    response.headers.append({"Content-Range", "bytes " + QByteArray::number(from) + '-'
                                     + QByteArray::number(response.body.size() - 1) + '/'
                                     + QByteArray::number(response.body.size())});
    response.body = response.body.mid(int(from));
    response.cutAt = qMax<qint64>(0, response.cutAt - from);
    return response;
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    return m_requests;
}

QList<QByteArray> TestHttpServer::requestPaths() const
{
    QList<QByteArray> paths;
    for (const Request &request : m_requests)
        paths.append(request.path);
    return paths;
}

void TestHttpServer::clearLog()
{
    m_requests.clear();
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto pending = m_pending.find(socket);
    if (pending == m_pending.end())
        return;
    pending->append(socket->readAll());
    const int headerEnd = pending->indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    const QList<QByteArray> lines = pending->left(headerEnd).split('\n');
    pending->clear();
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    Request request;
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.append({lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
    }
    m_requests.append(request);

    Response response;
    response.status = 404;
    response.body = "not found";
    // A path with a query is answered as the path alone when it has no response of its own.
    response = answer(request, m_responses.value(request.path, m_responses.value(request.path.left(request.path.indexOf('?')), response)));
    if (response.end == BodyEnd::NoAnswer)
        return;
    const int index = m_requests.size() - 1;
    if (response.delayMsecs > 0)
        QTimer::singleShot(response.delayMsecs, socket, [this, socket, response, index] { respond(socket, response, index); });
    else
        respond(socket, response, index);
}

void TestHttpServer::recordSent(int requestIndex, qint64 bytes)
{
    // The log may have been cleared since the request came in.
    if (requestIndex < m_requests.size())
        m_requests[requestIndex].bodyBytesSent = bytes;
}

void TestHttpServer::respond(QTcpSocket *socket, const Response &response, int requestIndex)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
            + reasonPhrase(response.status) + "\r\nConnection: close\r\n";
    if (response.end != BodyEnd::Endless)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    socket->write(head);

    switch (response.end) {
    case BodyEnd::Complete:
        recordSent(requestIndex, socket->write(response.body));
        socket->disconnectFromHost();
        break;
    case BodyEnd::Close:
        recordSent(requestIndex, socket->write(response.body.left(int(response.cutAt))));
        socket->disconnectFromHost();
        break;
    case BodyEnd::Stall:
        recordSent(requestIndex, socket->write(response.body.left(int(response.cutAt))));
        break;
    case BodyEnd::Endless:
        socket->setProperty(endlessSent, qint64(0));
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { feedEndless(socket); });
        feedEndless(socket);
        break;
    case BodyEnd::Trickle:
        trickle(socket, response, 0);
        break;
    case BodyEnd::NoAnswer:
        break;
    }
}

void TestHttpServer::trickle(QTcpSocket *socket, const Response &response, int sent)
{
    if (sent >= response.body.size()) {
        socket->disconnectFromHost();
        return;
    }
    socket->write(response.body.mid(sent, response.trickleBytes));
    QTimer::singleShot(response.trickleMsecs, socket, [this, socket, response, sent] {
        trickle(socket, response, sent + response.trickleBytes);
    });
}

void TestHttpServer::feedEndless(QTcpSocket *socket)
{
    if (socket->bytesToWrite() > endlessChunk)
        return;
    const qint64 sent = socket->property(endlessSent).toLongLong();
    if (sent >= endlessLimit) {
        socket->disconnectFromHost();
        return;
    }
    socket->write(QByteArray(endlessChunk, 'x'));
    socket->setProperty(endlessSent, sent + endlessChunk);
    m_endlessBytesSent += endlessChunk;
}
