#include "filetransfer.h"

#include "atomicfile.h"
#include "bodyreceiver.h"
#include "enginelog.h"
#include "safeopen.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>

namespace {
int s_stallPeriodMsecs = 30 * 1000;
// Less than this in any stall period counts as a stall: a drip keeps nothing alive.
constexpr qint64 minBytesPerStallPeriod = 1024;
// The period slides in this many steps, so a stall is seen at most one step late.
constexpr int stallStepsPerPeriod = 10;
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
// A side file holds two numbers and a validator; anything larger is not ours.
constexpr qint64 sideFileMaxBytes = 4096;

// A validator goes back to the server inside a header: printable ASCII only.
bool isPrintableAscii(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

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
    QFile side;
    if (!openRegularFile(side, sidePath(m_temporaryPath), QIODevice::ReadOnly, Links::Refuse, sideFileMaxBytes))
        return false;
    const QList<QByteArray> lines = side.read(sideFileMaxBytes).split('\n');
    if (lines.size() < 3 || lines.at(0) != QByteArray::number(m_entry.size) || lines.at(1) != m_entry.md5
            || lines.at(2).isEmpty() || !isPrintableAscii(lines.at(2)))
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
    // Qt would inflate a compressed body a whole network read at a time, beyond
    // the size check; the plain body is counted byte by byte as it comes.
    request.setRawHeader("Accept-Encoding", "identity");
    if (m_resumeFrom > 0) {
        // The rest only, and only if the file is still the one the kept part came from.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeFrom) + '-');
        request.setRawHeader("If-Range", m_validator);
    }
    QNetworkReply *reply = m_network->get(request);
    if (m_resumeFrom > 0)
        qCInfo(lcTransfer).noquote() << "GET" << m_url.toDisplayString(QUrl::RemovePassword) << "from byte" << m_resumeFrom
                           << "If-Range" << m_validator;
    else
        qCInfo(lcTransfer).noquote() << "GET" << m_url.toDisplayString(QUrl::RemovePassword);
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
    m_stallSamples = {m_receivedBytes};
    m_stallTimer.start(qMax(1, s_stallPeriodMsecs / stallStepsPerPeriod));
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
        qCInfo(lcTransfer).noquote() << m_entry.path << "status" << status << "does not continue at" << m_resumeFrom
                           << "; asking for the whole file";
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
    const QByteArray encoding = m_reply->rawHeader("Content-Encoding");
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0) {
        m_unsupportedEncoding = encoding;
        m_reply->abort();
        return;
    }
    // A whole body: the file changed, or the server ignores ranges.
    m_bodyAccepted = true;
    if (m_resumeFrom > 0) {
        qCInfo(lcTransfer).noquote() << m_entry.path << "came whole instead of from byte" << m_resumeFrom;
        m_body->restart();
    }
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
    // Without a side file the partial body is simply not resumed.
    if (m_validator.isEmpty() || !isPrintableAscii(m_validator)
            || !writeFileAtomically(side, QByteArray::number(m_entry.size) + '\n' + m_entry.md5 + '\n'
                                    + m_validator + '\n')) {
        m_validator.clear();
        QFile::remove(side);
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
    m_receivedBytes += m_reply->bytesAvailable();
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
    if (!receiveAvailable(*m_reply, *m_body))
        m_reply->abort();
}

bool FileTransfer::receiveAvailable(QNetworkReply &reply, BodyReceiver &body)
{
    while (reply.bytesAvailable() > 0) {
        const qint64 read = reply.read(m_chunk.data(), m_chunk.size());
        if (read <= 0)
            break;
        // A full disk ends the transfer at once: nothing more could be kept.
        if (!body.append(m_chunk.constData(), read)) {
            m_writeFailed = true;
            return false;
        }
        // A body longer than the manifest says is cut at once: the length check
        // then fails without the updater taking whatever else the server sends.
        if (body.size() > m_entry.size) {
            m_oversized = true;
            return false;
        }
    }
    return true;
}

void FileTransfer::onStallCheck()
{
    // The count a whole period ago against now: less than the minimum in any
    // period is a stall, wherever the period begins.
    m_stallSamples.append(m_receivedBytes);
    if (m_stallSamples.size() <= stallStepsPerPeriod)
        return;
    const qint64 inLastPeriod = m_receivedBytes - m_stallSamples.takeFirst();
    if (inLastPeriod >= minBytesPerStallPeriod)
        return;
    m_stalled = true;
    qCInfo(lcTransfer).noquote() << m_entry.path << "stalled:" << inLastPeriod << "bytes in the last" << s_stallPeriodMsecs << "ms";
    if (m_reply)
        m_reply->abort();
}

QString FileTransfer::reasonOf(QNetworkReply &reply) const
{
    if (m_stalled)
        return engineText("网络超时");
    if (!m_unsupportedEncoding.isEmpty())
        return QCoreApplication::translate("httpRequest", "不支持的内容编码:%1").arg(QString::fromLatin1(m_unsupportedEncoding));
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
    const bool takenWhole = !m_stalled && m_bodyAccepted && !m_oversized && !m_writeFailed
            && receiveAvailable(*reply, *m_body);
    if (m_writeFailed) {
        m_error = engineText("更新文件%1写入失败").arg(name);
    } else if (m_stalled || !m_bodyAccepted) {
        m_error = engineText("下载更新文件%1网络错误：%2-%3").arg(name).arg(status).arg(reasonOf(*reply));
    } else if (!takenWhole || m_body->size() != m_entry.size) {
        m_error = engineText("下载更新文件%1大小不对").arg(name);
    } else if (m_body->digestText() != m_entry.md5) {
        m_error = engineText("更新文件%1校验不对").arg(name);
    } else if (!m_body->commit()) {
        m_error = engineText("更新文件%1写入失败").arg(name);
    }
    // A body cut short keeps what arrived for the next attempt; one that arrived
    // whole and failed its checks is of no use to anybody. Without a commit the
    // receiver removes its temporary file unless told to keep it.
    qCInfo(lcTransfer).noquote() << m_entry.path << "status" << status << m_body->size() << "of" << m_entry.size << "bytes"
                                 << (m_error.isEmpty() ? QStringLiteral("verified") : m_error);
    if (!m_error.isEmpty() && endedEarly && !m_writeFailed && isResumable()) {
        qCInfo(lcTransfer).noquote() << m_entry.path << "keeps" << m_body->size() << "bytes for a later resume";
        m_body->keepPartial();
    } else {
        discardPartial();
    }
    m_body.reset();
    emit finished();
}
