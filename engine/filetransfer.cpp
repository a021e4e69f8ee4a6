#include "filetransfer.h"

#include "artifactapplier.h"
#include "bodyreceiver.h"
#include "enginelog.h"
#include "httpheaders.h"
#include "httppolicy.h"
#include "safeopen.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
int s_stallPeriodMsecs = 30 * 1000;
// Less than this in any stall period counts as a stall: a drip keeps nothing alive.
constexpr qint64 minBytesPerStallPeriod = 1024;
// The period slides in this many steps, so a stall is seen at most one step late.
constexpr int stallStepsPerPeriod = 10;
// An error page is read only this far; its status and reason are what count.
constexpr qint64 errorPageLimit = 1024 * 1024;
constexpr int chunkSize = 256 * 1024;
// Bodies up to this size may go over HTTP/2 (held in memory by Qt until taken).
constexpr quint64 http2SizeLine = 1024 * 1024;

// The engine's messages keep the engine's translation context.
QString engineText(const char *text)
{
    return QCoreApplication::translate("CDownloadThread", text);
}

bool failWith(QString *error, const QString &text)
{
    *error = text;
    return false;
}
}

void FileTransfer::setStallPeriod(int msecs)
{
    s_stallPeriodMsecs = msecs;
}

bool FileTransfer::usesHttp2(bool allowed, quint64 size)
{
    return allowed && size <= http2SizeLine;
}

FileTransfer::FileTransfer(const ManifestEntry &entry, const TransferSource &source, const HeldFolder &files,
                           const QString &cacheName, const HeldFolder &partial,
                           const QString &scratchName, RefusalBudget &refusals, QObject *parent)
    : QObject(parent)
    , m_entry(entry)
    , m_source(source)
    , m_artifact(source.artifact)
    , m_files(files)
    , m_cacheName(cacheName)
    , m_partial(partial)
    , m_scratchName(scratchName)
    , m_resume(entry, partial, scratchName)
    , m_refusals(refusals)
{
    connect(&m_stallTimer, &QTimer::timeout, this, &FileTransfer::onStallCheck);
}

FileTransfer::~FileTransfer()
{
    abort();
}

bool FileTransfer::start(QNetworkAccessManager &network)
{
    m_network = &network;
    m_chunk.resize(chunkSize);
    if (!m_artifact)
        return startPlain();
    // Artifacts are small and fetched whole: a kept part of one would not match its ranges.
    m_body = std::make_unique<BodyReceiver>(m_files, QString(), m_partial, artifactName());
    m_resumeFrom = 0;
    startStallClock();
    return sendRequest();
}

bool FileTransfer::startPlain()
{
    const bool resume = m_resume.load();
    if (!resume)
        m_resume.remove();
    // A resumed body hashes its kept part first, so the digest covers the whole file.
    m_body = std::make_unique<BodyReceiver>(m_files, m_cacheName, m_partial, m_scratchName, resume, !m_entry.sha256.isEmpty());
    m_resumeFrom = resume ? qint64(m_body->size()) : 0;
    startStallClock();
    return sendRequest();
}

void FileTransfer::startStallClock()
{
    m_stallSamples = {m_receivedBytes};
}

bool FileTransfer::sendRequest()
{
    const QUrl url = m_artifact ? m_source.artifactUrl : m_source.url;
    QNetworkRequest request = HttpPolicy::request(url, HttpPolicy::Kind::File,
                                                  usesHttp2(m_source.http2Allowed, expectedSize()));
    if (m_resumeFrom > 0) {
        // The rest only, and only if the file is still the one the kept part came from.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_resumeFrom) + '-');
        request.setRawHeader("If-Range", m_resume.validator());
        qCInfo(lcTransfer).noquote() << "GET" << url.toDisplayString(QUrl::RemovePassword) << "from byte" << m_resumeFrom
                                     << "If-Range" << m_resume.validator();
    } else {
        qCInfo(lcTransfer).noquote() << "GET" << url.toDisplayString(QUrl::RemovePassword);
    }
    // The body goes to disk as it arrives; the reply holds little of it at a time.
    QNetworkReply *reply = HttpPolicy::get(*m_network, request);
    if (!reply)
        return false;
    m_reply = reply;
    m_response = {};
    m_stepsSinceGoAway = -1;
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileTransfer::onHeaders);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileTransfer::progress);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::onDataArrived);
    connect(reply, &QNetworkReply::finished, this, &FileTransfer::onReplyFinished);
    // The period goes on across re-sends: a server that answers none of them
    // stalls the body as one that answers and sends nothing.
    m_stallTimer.start(qMax(1, s_stallPeriodMsecs / stallStepsPerPeriod));
    return true;
}

bool FileTransfer::sendAgain(const QString &why)
{
    if (m_refusals.left <= 0)
        return false;
    --m_refusals.left;
    qCInfo(lcTransfer).noquote() << m_entry.path << "sent again:" << why;
    if (!sendRequest())
        return false;
    // Qt 5.15 may put it on the very connection that is going away, and lose it there.
    expectAnswerSoon();
    return true;
}

void FileTransfer::expectAnswerSoon()
{
    if (m_reply && !m_response.answered && m_stepsSinceGoAway < 0 && usesHttp2(m_source.http2Allowed, expectedSize()))
        m_stepsSinceGoAway = 0;
}

void FileTransfer::onHeaders()
{
    m_response.answered = true;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_resumeFrom > 0 && (status == 206 || status == 416)) {
        if (status == 206 && contentRangeStart(*m_reply) == m_resumeFrom) {
            m_response.accepted = true;
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
        m_resume.remove();
        if (!sendRequest()) {
            m_error = engineText("下载更新文件%1失败").arg(m_cacheName);
            emit finished();
        }
        return;
    }
    if (status != 200)
        return;
    if (const QByteArray encoding = HttpPolicy::refusedEncoding(HttpHeaders::of(*m_reply)); !encoding.isEmpty()) {
        m_response.unsupportedEncoding = encoding;
        m_reply->abort();
        return;
    }
    // A whole body: the file changed, or the server ignores ranges.
    m_response.accepted = true;
    if (m_resumeFrom > 0) {
        qCInfo(lcTransfer).noquote() << m_entry.path << "came whole instead of from byte" << m_resumeFrom;
        m_body->restart();
    }
    m_resumeFrom = 0;
    if (!m_artifact)
        m_resume.save(*m_reply);
}

qint64 FileTransfer::contentRangeStart(QNetworkReply &reply)
{
    // "bytes START-END/TOTAL"
    const QByteArray range = HttpHeaders::of(reply).value("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return -1;
    bool isNumber = false;
    const qint64 start = range.mid(6, range.indexOf('-') - 6).toLongLong(&isNumber);
    return isNumber ? start : -1;
}

void FileTransfer::abort()
{
    m_aborted = true;
    m_stallTimer.stop();
    if (m_applier)
        m_applier->cancel();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    // What arrived stays for the next attempt to continue.
    if (m_body && !m_artifact && !m_response.oversized && m_resume.canKeep(m_body->size()))
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
    if (!m_response.accepted) {
        m_response.errorPageBytes += m_reply->skip(m_reply->bytesAvailable());
        if (m_response.errorPageBytes > errorPageLimit) {
            m_response.errorPageCut = true;
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
            m_response.writeFailed = true;
            return false;
        }
        // A body longer than expected is cut at once: the length check then
        // fails without the updater taking whatever else the server sends.
        if (body.size() > expectedSize()) {
            m_response.oversized = true;
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
    const qint64 inLastPeriod = m_stallSamples.size() > stallStepsPerPeriod ? m_receivedBytes - m_stallSamples.takeFirst() : -1;
    if (inLastPeriod >= 0 && inLastPeriod < minBytesPerStallPeriod) {
        m_response.stalled = true;
        qCInfo(lcTransfer).noquote() << m_entry.path << "stalled:" << inLastPeriod << "bytes in the last" << s_stallPeriodMsecs << "ms";
        if (m_reply)
            m_reply->abort();
        return;
    }
    // A whole step with no answer after its connection went away: the request was lost.
    if (m_stepsSinceGoAway >= 0 && !m_response.answered && ++m_stepsSinceGoAway > 1 && m_refusals.left > 0) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        if (!sendAgain(QStringLiteral("no answer after the server closed the connection"))) {
            m_error = engineText("下载更新文件%1失败").arg(m_cacheName);
            emit finished();
        }
    }
}

QString FileTransfer::reasonOf(QNetworkReply &reply) const
{
    if (m_response.stalled)
        return engineText("网络超时");
    if (!m_response.unsupportedEncoding.isEmpty())
        return HttpPolicy::refusedEncodingText(m_response.unsupportedEncoding);
    if (m_response.errorPageCut)
        return QStringLiteral("Error transferring %1 - server replied: %2")
                .arg(reply.url().toString(), reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    return reply.errorString();
}

bool FileTransfer::checkBody(QNetworkReply &reply, QString *error)
{
    const QString &name = m_cacheName;
    const int status = m_response.stalled ? 0 : reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool takenWhole = !m_response.stalled && m_response.accepted && !m_response.oversized
            && !m_response.writeFailed && receiveAvailable(reply, *m_body);
    qCInfo(lcTransfer).noquote() << (m_artifact ? m_artifact->relativeUrl() : m_entry.path) << "status" << status
                       << m_body->size() << "of" << expectedSize() << "bytes";
    if (m_response.writeFailed)
        return failWith(error, engineText("更新文件%1写入失败").arg(name));
    if (m_response.stalled || !m_response.accepted)
        return failWith(error, engineText("下载更新文件%1网络错误：%2-%3").arg(name).arg(status).arg(reasonOf(reply)));
    if (!takenWhole || m_body->size() != expectedSize())
        return failWith(error, engineText("下载更新文件%1大小不对").arg(name));
    // Where the signed site lists the file's SHA-256, its digest text alone vouches for nothing.
    const Digests digests = m_body->digests();
    if (m_artifact ? digests.md5 != m_artifact->digest : !digests.match(m_entry.md5, m_entry.sha256))
        return failWith(error, engineText("更新文件%1校验不对").arg(name));
    // An artifact, verified, is applied next; a file goes in place of the cache file.
    return m_artifact || m_body->commit() || failWith(error, engineText("更新文件%1写入失败").arg(name));
}

void FileTransfer::onReplyFinished()
{
    m_stallTimer.stop();
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (!reply || m_aborted || !m_body)
        return;
    reply->deleteLater();

    // A server that closes an HTTP/2 connection (GOAWAY, after so many requests)
    // or refuses a stream leaves the request unprocessed, which Qt 5.15 does not
    // send again: it goes again here, on a new connection, before any byte of it arrived.
    const QString reason = reply->errorString();
    const bool wentAway = reason.contains(QLatin1String("GOAWAY")) || reason.contains(QLatin1String("stopped accepting new streams"));
    const bool unprocessed = wentAway || reason.contains(QLatin1String("refused a stream"));
    if (reply->error() != QNetworkReply::NoError && unprocessed) {
        if (wentAway)
            emit connectionWentAway();
        if (m_body->size() == quint64(m_resumeFrom) && sendAgain(reason))
            return;
    }
    const bool endedEarly = m_response.stalled || reply->error() != QNetworkReply::NoError;
    m_error.clear();
    const bool taken = checkBody(*reply, &m_error);
    if (m_artifact) {
        if (taken)
            startApplying();
        else
            fallBackToPlain(m_error);
        return;
    }
    qCInfo(lcTransfer).noquote() << m_entry.path << (m_error.isEmpty() ? QStringLiteral("verified") : m_error);
    // A body cut short keeps what arrived for the next attempt; one that arrived
    // whole and failed its checks is of no use to anybody. Without a commit the
    // receiver removes its scratch file unless told to keep it.
    if (!m_error.isEmpty() && endedEarly && !m_response.writeFailed && !m_response.oversized
            && m_resume.canKeep(m_body->size())) {
        qCInfo(lcTransfer).noquote() << m_entry.path << "keeps" << m_body->size() << "bytes for a later resume";
        m_body->keepPartial();
    } else {
        m_resume.remove();
    }
    m_body.reset();
    emit finished();
}

void FileTransfer::startApplying()
{
    if (!m_body->finishWriting()) {
        fallBackToPlain(QStringLiteral("the artifact cannot be read back"));
        return;
    }
    m_applier = std::make_unique<ArtifactApplier>(*m_artifact, m_partial, artifactName(), m_source.baseFolder,
                                                  m_source.baseName, m_files,
                                                  m_cacheName, m_scratchName, m_entry.size, !m_entry.sha256.isEmpty());
    connect(m_applier.get(), &ArtifactApplier::finished, this, &FileTransfer::onArtifactApplied);
    m_applier->start();
}

void FileTransfer::onArtifactApplied(const QString &problem)
{
    std::unique_ptr<BodyReceiver> result = m_applier->takeResult();
    // The applier is the sender; it goes once this call has returned.
    m_applier.release()->deleteLater();
    QString why = problem;
    if (why.isEmpty() && !result->digests().match(m_entry.md5, m_entry.sha256))
        why = QStringLiteral("the result does not match md5.txt (the base changed?)");
    else if (why.isEmpty() && !result->commit())
        why = QStringLiteral("the result cannot be written");
    // The plain file's body takes the same scratch name: the result's goes first.
    result.reset();
    if (!why.isEmpty()) {
        fallBackToPlain(why);
        return;
    }
    qCInfo(lcTransfer).noquote() << m_entry.path << "decoded from" << m_artifact->relativeUrl() << "and verified";
    m_body.reset();
    emit finished();
}

void FileTransfer::fallBackToPlain(const QString &why)
{
    qCInfo(lcTransfer).noquote() << m_entry.path << "artifact not used:" << why << "- fetching the plain file";
    m_artifact.reset();
    m_error.clear();
    m_body.reset();
    if (!startPlain()) {
        m_error = engineText("下载更新文件%1失败").arg(m_cacheName);
        emit finished();
    }
}
