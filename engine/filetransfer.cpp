#include "filetransfer.h"

#include "bodyreceiver.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

namespace {
int s_stallPeriodMsecs = 30 * 1000;
// Less than this in one stall period counts as a stall: a drip keeps nothing alive.
constexpr qint64 minBytesPerStallPeriod = 1024;
// An error page is read only this far; its status and reason are what count.
constexpr qint64 errorPageLimit = 1024 * 1024;
constexpr int maxRedirects = 10;
// What the network stack may hold of a body before it is taken here. Measured:
// at 1 MiB the network thread's buffers come fresh from the kernel on every
// read (page faults, copies); at 256 KiB they are reused, and a 40 x 4 MiB
// update takes two thirds of the time.
constexpr qint64 readBufferSize = 256 * 1024;
constexpr int chunkSize = 256 * 1024;
// A smaller partial file is fetched again whole: resuming it would save little.
constexpr qint64 minResumeBytes = 1024 * 1024;

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

QString FileTransfer::sidePath(const QString &temporaryPath)
{
    return temporaryPath + QLatin1String(".resume");
}

bool FileTransfer::start(QNetworkAccessManager &network)
{
    m_network = &network;
    m_chunk.resize(chunkSize);
    const bool resume = mayResume() && hasUsablePartial();
    if (!resume && mayResume())
        QFile::remove(sidePath(m_temporaryPath));
    // A resumed body hashes its kept part first, so the digest covers the whole file.
    m_body = std::make_unique<BodyReceiver>(m_cacheFile.absoluteFilePath(), m_temporaryPath, resume);
    m_resumeFrom = resume ? qint64(m_body->size()) : 0;
    return sendRequest();
}

bool FileTransfer::hasUsablePartial()
{
    const QFileInfo partial(m_temporaryPath);
    if (!partial.isFile() || partial.size() < minResumeBytes || quint64(partial.size()) >= m_entry.size)
        return false;
    QFile side(sidePath(m_temporaryPath));
    if (!side.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = side.readAll().split('\n');
    if (lines.size() < 3 || lines.at(0) != QByteArray::number(m_entry.size) || lines.at(1) != m_entry.md5
            || lines.at(2).isEmpty())
        return false;
    m_validator = lines.at(2);
    return true;
}

bool FileTransfer::sendRequest()
{
    QNetworkRequest request(m_url);
    // Chains and loops end after ten hops; a step down from HTTPS to HTTP is refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    if (m_resumeFrom > 0) {
        // The rest only, and only if the file is still the one the kept part came from.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeFrom) + '-');
        request.setRawHeader("If-Range", m_validator);
    }
    QNetworkReply *reply = m_network->get(request);
    if (!reply)
        return false;
    // The body goes to disk as it arrives; the reply holds little of it at a time.
    reply->setReadBufferSize(readBufferSize);
    m_reply = reply;
    m_bodyAccepted = false;
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileTransfer::onHeaders);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::onDataArrived);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::onReplyFinished);
    m_stallTimer.start(s_stallPeriodMsecs);
    return true;
}

void FileTransfer::onHeaders()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_resumeFrom > 0 && (status == 206 || status == 416)) {
        if (status == 206 && contentRangeStart(*m_reply) == m_resumeFrom) {
            m_bodyAccepted = true;
            return;
        }
        // The server cannot continue where the kept part ends: one fresh attempt.
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_body->restart();
        m_resumeFrom = 0;
        QFile::remove(sidePath(m_temporaryPath));
        if (!sendRequest()) {
            m_error = engineText("下载更新文件%1失败").arg(m_cacheFile.fileName());
            emit finished();
        }
        return;
    }
    if (status != 200)
        return;
    // A whole body: the file changed, or the server ignores ranges.
    m_bodyAccepted = true;
    if (m_resumeFrom > 0)
        m_body->restart();
    m_resumeFrom = 0;
    rememberValidator(*m_reply);
}

qint64 FileTransfer::contentRangeStart(QNetworkReply &reply)
{
    // "bytes START-END/TOTAL"
    const QByteArray range = reply.rawHeader("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return -1;
    bool isNumber = false;
    const qint64 start = range.mid(6, range.indexOf('-') - 6).toLongLong(&isNumber);
    return isNumber ? start : -1;
}

bool FileTransfer::mayResume() const
{
    // A file that cannot leave a partial worth resuming gets no side file at all:
    // for many small files that bookkeeping would cost more than it saves.
    return m_entry.size > quint64(minResumeBytes);
}

void FileTransfer::rememberValidator(QNetworkReply &reply)
{
    if (!mayResume())
        return;
    // What a later attempt needs to ask for the rest of this very file.
    m_validator = reply.rawHeader("ETag");
    if (m_validator.isEmpty())
        m_validator = reply.rawHeader("Last-Modified");
    const QString side = sidePath(m_temporaryPath);
    if (m_validator.isEmpty()) {
        QFile::remove(side);
        return;
    }
    QSaveFile file(side);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QByteArray::number(m_entry.size) + '\n' + m_entry.md5 + '\n' + m_validator + '\n');
        file.commit();
    }
}

bool FileTransfer::isResumable() const
{
    return mayResume() && m_body && !m_oversized && !m_validator.isEmpty() && m_body->size() < m_entry.size
            && QFileInfo::exists(sidePath(m_temporaryPath));
}

void FileTransfer::discardPartial()
{
    if (mayResume())
        QFile::remove(sidePath(m_temporaryPath));
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
    // What arrived stays for the next attempt to continue.
    if (isResumable())
        m_body->keepPartial();
    m_body.reset();
}

void FileTransfer::onDataArrived()
{
    if (!m_reply || !m_body)
        return;
    m_periodBytes += m_reply->bytesAvailable();
    // Only a 200 body (or the rest of a kept one) is the file; any other is an error
    // page, read to keep the connection going and dropped, so the failure keeps
    // the server's reason.
    if (!m_bodyAccepted) {
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
    if (!reply || m_aborted || !m_body)
        return;
    reply->deleteLater();

    const QString name = m_cacheFile.fileName();
    const int status = m_stalled ? 0 : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool endedEarly = m_stalled || reply->error() != QNetworkReply::NoError;
    if (m_stalled || !m_bodyAccepted) {
        m_error = engineText("下载更新文件%1网络错误：%2-%3").arg(name).arg(status).arg(reasonOf(*reply));
    } else if (m_oversized || !receiveAvailable(*reply, *m_body) || m_body->size() != m_entry.size) {
        m_error = engineText("下载更新文件%1大小不对").arg(name);
    } else if (m_body->digestText() != m_entry.md5) {
        m_error = engineText("更新文件%1校验不对").arg(name);
    } else if (!m_body->commit()) {
        m_error = engineText("更新文件%1写入失败").arg(name);
    }
    // A body cut short keeps what arrived for the next attempt; one that arrived
    // whole and failed its checks is of no use to anybody. Without a commit the
    // receiver removes its temporary file unless told to keep it.
    if (!m_error.isEmpty() && endedEarly && isResumable())
        m_body->keepPartial();
    else
        discardPartial();
    m_body.reset();
    emit finished();
}
