#include "filetransfer.h"

#include "bodyreceiver.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
int s_stallPeriodMsecs = 30 * 1000;
// Less than this in one stall period counts as a stall: a drip keeps nothing alive.
constexpr qint64 minBytesPerStallPeriod = 1024;
// An error page is read only this far; its status and reason are what count.
constexpr qint64 errorPageLimit = 1024 * 1024;
constexpr int maxRedirects = 10;
// What the network stack may hold of a body before it is taken here.
constexpr qint64 readBufferSize = 1024 * 1024;
constexpr int chunkSize = 256 * 1024;

// The engine's messages keep the engine's translation context.
QString engineText(const char *text)
{
    return QCoreApplication::translate("CDownloadThread", text);
}
}

void FileTransfer::setStallPeriod(int msecs)
{
    s_stallPeriodMsecs = msecs;
}

FileTransfer::FileTransfer(const ManifestEntry &entry, const QUrl &url, const QFileInfo &cacheFile,
                           const QString &temporaryPath, QObject *parent)
    : QObject(parent)
    , m_entry(entry)
    , m_url(url)
    , m_cacheFile(cacheFile)
    , m_temporaryPath(temporaryPath)
{
    connect(&m_stallTimer, &QTimer::timeout, this, &FileTransfer::onStallCheck);
}

FileTransfer::~FileTransfer()
{
    abort();
}

bool FileTransfer::start(QNetworkAccessManager &network)
{
    QNetworkRequest request(m_url);
    // Chains and loops end after ten hops; a step down from HTTPS to HTTP is refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    QNetworkReply *reply = network.get(request);
    if (!reply)
        return false;
    // The body goes to disk as it arrives; the reply holds little of it at a time.
    reply->setReadBufferSize(readBufferSize);
    m_chunk.resize(chunkSize);
    m_body = std::make_unique<BodyReceiver>(m_cacheFile.absoluteFilePath(), m_temporaryPath);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::onDataArrived);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::onReplyFinished);
    m_stallTimer.start(s_stallPeriodMsecs);
    return true;
}

void FileTransfer::abort()
{
    m_aborted = true;
    m_stallTimer.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    m_body.reset();
}

void FileTransfer::onDataArrived()
{
    if (!m_reply || !m_body)
        return;
    m_periodBytes += m_reply->bytesAvailable();
    // Only a 200 body is the file; any other is an error page, read to keep the
    // connection going and dropped, so the failure keeps the server's reason.
    if (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
        m_errorPageBytes += m_reply->skip(m_reply->bytesAvailable());
        if (m_errorPageBytes > errorPageLimit) {
            m_errorPageCut = true;
            m_reply->abort();
        }
        return;
    }
    if (!receiveAvailable(*m_reply, *m_body)) {
        m_oversized = true;
        m_reply->abort();
    }
}

bool FileTransfer::receiveAvailable(QNetworkReply &reply, BodyReceiver &body)
{
    // A body longer than the manifest says is cut at once: the length check
    // then fails without the updater taking whatever else the server sends.
    while (reply.bytesAvailable() > 0) {
        const qint64 read = reply.read(m_chunk.data(), m_chunk.size());
        if (read <= 0)
            break;
        body.append(m_chunk.constData(), read);
        if (body.size() > m_entry.size)
            return false;
    }
    return true;
}

void FileTransfer::onStallCheck()
{
    if (m_periodBytes >= minBytesPerStallPeriod) {
        m_periodBytes = 0;
        return;
    }
    m_stalled = true;
    if (m_reply)
        m_reply->abort();
}

QString FileTransfer::reasonOf(QNetworkReply &reply) const
{
    if (m_stalled)
        return engineText("网络超时");
    if (m_errorPageCut)
        return QStringLiteral("Error transferring %1 - server replied: %2")
                .arg(reply.url().toString(), reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    return reply.errorString();
}

void FileTransfer::onReplyFinished()
{
    m_stallTimer.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    // Whatever happens below, the temporary file goes with the receiver unless committed.
    const std::unique_ptr<BodyReceiver> body = std::move(m_body);
    if (!reply || m_aborted)
        return;
    reply->deleteLater();

    const QString name = m_cacheFile.fileName();
    const int status = m_stalled ? 0 : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200) {
        m_error = engineText("下载更新文件%1网络错误：%2-%3").arg(name).arg(status).arg(reasonOf(*reply));
    } else if (m_oversized || !receiveAvailable(*reply, *body) || body->size() != m_entry.size) {
        m_error = engineText("下载更新文件%1大小不对").arg(name);
    } else if (body->digestText() != m_entry.md5) {
        m_error = engineText("更新文件%1校验不对").arg(name);
    } else if (!body->commit()) {
        m_error = engineText("更新文件%1写入失败").arg(name);
    }
    emit finished();
}
