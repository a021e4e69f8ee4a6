#include "cdownloadthread.h"

#include "filehash.h"
#include "bodyreceiver.h"
#include "filereplacement.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {
int s_stallTimeoutMsecs = 30 * 1000;
// Less than this in one stall period counts as a stall: a drip keeps nothing alive.
constexpr qint64 minBytesPerStallPeriod = 1024;
// An error page is read only this far; its status and reason are what count.
constexpr qint64 errorPageLimit = 1024 * 1024;
constexpr int maxRedirects = 10;
// What the network stack may hold of a body before the engine has taken it.
constexpr qint64 readBufferSize = 1024 * 1024;
constexpr int chunkSize = 256 * 1024;
}

void CDownloadThread::setStallTimeout(int msecs)
{
    s_stallTimeoutMsecs = msecs;
}

CDownloadThread::CDownloadThread(const QString &baseUrl, const QDir &cacheDir,
                                 const QDir &installDir, const UpdateList &updateList,
                                 QObject *parent)
    : QThread(parent)
    , m_baseUrl(baseUrl)
    , m_cacheDir(cacheDir)
    , m_installDir(installDir)
    , m_updateList(updateList)
    , m_chunk(chunkSize, Qt::Uninitialized)
{
    for (const ManifestEntry &entry : updateList)
        m_listedPaths.insert(entry.path.toLower());

    // A quit() issued before start() is forgotten by QThread, so a run that is
    // already over ends the thread as soon as it runs.
    connect(this, &QThread::started, this, [this] {
        if (m_ended)
            QThread::quit();
    }, Qt::DirectConnection);

    connect(&m_stallTimer, &QTimer::timeout, this, &CDownloadThread::onStallCheck);

    checkCachedFiles();
    startNextDownload();
}

CDownloadThread::~CDownloadThread()
{
    // Owners destroy the engine after finished; this only guards against a
    // destruction that would otherwise abort the process.
    QThread::quit();
    wait();
}

bool CDownloadThread::isSuccess() const
{
    return m_success;
}

QString CDownloadThread::errorMessage() const
{
    return m_message;
}

void CDownloadThread::quit()
{
    m_cancelled = true;
    if (m_reply)
        m_reply->abort();
    endRun();
}

void CDownloadThread::checkCachedFiles()
{
    // Files left by an earlier attempt are hashed together, one per core.
    QVector<FileCheck> checks;
    QVector<int> indices;
    for (int i = 0; i < m_updateList.size(); ++i) {
        const QFileInfo file = cacheFile(m_updateList.at(i));
        if (file.isFile()) {
            checks.append({file.absoluteFilePath(), m_updateList.at(i).md5});
            indices.append(i);
        }
    }
    const QVector<bool> verified = filesMd5Equal(checks);
    m_verifiedInCache.fill(false, m_updateList.size());
    for (int k = 0; k < indices.size(); ++k)
        m_verifiedInCache[indices.at(k)] = verified.at(k);
}

QFileInfo CDownloadThread::cacheFile(const ManifestEntry &entry) const
{
    return QFileInfo(m_cacheDir.absoluteFilePath(entry.path));
}

void CDownloadThread::startNextDownload()
{
    if (m_cancelled)
        return;
    if (m_current >= m_updateList.size()) {
        installFiles();
        return;
    }

    const ManifestEntry &entry = m_updateList.at(m_current);
    const QFileInfo file = cacheFile(entry);
    if (!file.exists()) {
        if (!file.absoluteDir().exists())
            QDir().mkpath(file.absolutePath());
    } else if (file.isFile()) {
        if (m_verifiedInCache.at(m_current)) {
            ++m_current;
            startNextDownload();
            return;
        }
    } else if (file.isDir()) {
        // Only ever below the cache folder: an entry naming the folder itself, or
        // leading out of it, must not empty a folder of the user's.
        if (!isInsideCache(file) || !QDir(file.absoluteFilePath()).removeRecursively()) {
            fail(file, tr("路径%1被占用，无法删除!").arg(file.absoluteFilePath()));
            return;
        }
    } else if (!QFile::remove(file.absoluteFilePath())) {
        fail(file, tr("路径%1被占用，无法删除!").arg(file.absoluteFilePath()));
        return;
    }

    emit downloadStarted(file, m_current, m_updateList.size());

    QNetworkRequest request(QUrl(m_baseUrl + entry.path, QUrl::TolerantMode));
    // Chains and loops end after ten hops; a step down from HTTPS to HTTP is refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    QNetworkReply *reply = m_network.get(request);
    if (!reply) {
        fail(file, tr("下载更新文件%1失败").arg(file.fileName()));
        return;
    }
    // The body goes to disk as it arrives; the reply holds little of it at a time.
    reply->setReadBufferSize(readBufferSize);
    m_body = std::make_unique<BodyReceiver>(file.absoluteFilePath(), temporaryPath(entry));
    m_reply = reply;
    m_stalled = false;
    m_oversized = false;
    m_errorPageCut = false;
    m_periodBytes = 0;
    m_errorPageBytes = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, &CDownloadThread::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &CDownloadThread::onDataArrived);
    connect(reply, &QNetworkReply::finished, this, &CDownloadThread::onDownloadFinished);
    m_stallTimer.start(s_stallTimeoutMsecs);
}

bool CDownloadThread::isInsideCache(const QFileInfo &file) const
{
    QString cache = QDir::cleanPath(m_cacheDir.absolutePath());
    if (!cache.endsWith(QLatin1Char('/')))
        cache += QLatin1Char('/');
    return QDir::cleanPath(file.absoluteFilePath()).startsWith(cache);
}

QString CDownloadThread::temporaryPath(const ManifestEntry &entry) const
{
    // The name must not be another listed file's cache file, whose verified
    // content it would destroy; letter case is ignored for Windows' sake.
    QString path = entry.path + QLatin1String(".download");
    for (int attempt = 1; m_listedPaths.contains(path.toLower()); ++attempt)
        path = entry.path + QLatin1String(".download") + QString::number(attempt);
    return m_cacheDir.absoluteFilePath(path);
}

void CDownloadThread::onDataArrived()
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

bool CDownloadThread::receiveAvailable(QNetworkReply &reply, BodyReceiver &body)
{
    // A body longer than the manifest says is cut at once: the length check
    // then fails without the updater taking whatever else the server sends.
    const quint64 expected = m_updateList.at(m_current).size;
    while (reply.bytesAvailable() > 0) {
        const qint64 read = reply.read(m_chunk.data(), m_chunk.size());
        if (read <= 0)
            break;
        body.append(m_chunk.constData(), read);
        if (body.size() > expected)
            return false;
    }
    return true;
}

void CDownloadThread::onStallCheck()
{
    if (m_periodBytes >= minBytesPerStallPeriod) {
        m_periodBytes = 0;
        return;
    }
    m_stalled = true;
    if (m_reply)
        m_reply->abort();
}

void CDownloadThread::onDownloadFinished()
{
    m_stallTimer.stop();
    QNetworkReply *reply = m_reply;
    // Whatever happens below, the temporary file goes with the receiver unless committed.
    const std::unique_ptr<BodyReceiver> body = std::move(m_body);
    m_reply = nullptr;
    if (!reply)
        return;
    reply->deleteLater();
    if (m_cancelled)
        return;

    const ManifestEntry &entry = m_updateList.at(m_current);
    const QFileInfo file = cacheFile(entry);
    const int status = m_stalled
            ? 0 : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 200) {
        const QString reason = m_stalled ? tr("网络超时")
                : m_errorPageCut ? QStringLiteral("Error transferring %1 - server replied: %2")
                                   .arg(reply->url().toString(),
                                        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                : reply->errorString();
        fail(file, tr("下载更新文件%1网络错误：%2-%3").arg(file.fileName()).arg(status).arg(reason));
        return;
    }
    const bool withinSize = !m_oversized && receiveAvailable(*reply, *body);
    if (!withinSize || body->size() != entry.size) {
        fail(file, tr("下载更新文件%1大小不对").arg(file.fileName()));
        return;
    }
    if (body->digestText() != entry.md5) {
        fail(file, tr("更新文件%1校验不对").arg(file.fileName()));
        return;
    }
    if (!body->commit()) {
        fail(file, tr("更新文件%1写入失败").arg(file.fileName()));
        return;
    }
    ++m_current;
    startNextDownload();
}

void CDownloadThread::installFiles()
{
    for (const ManifestEntry &entry : qAsConst(m_updateList)) {
        const QFileInfo target(m_installDir.absoluteFilePath(entry.path));
        const QString backup = m_installDir.absoluteFilePath(entry.path + QLatin1String(".old"));
        const QString source = m_cacheDir.absoluteFilePath(entry.path);
#ifndef Q_OS_WIN
        // Here a downloaded file has no execute bit; a replaced program must still
        // run, from the instant it is in place.
        if (const QFileDevice::Permissions previous = target.permissions())
            QFile::setPermissions(source, previous);
#endif
        switch (replaceFile(source, target.absoluteFilePath(), backup)) {
        case Replacement::Done:
            break;
        case Replacement::BackupNotRemoved:
            fail(target, tr("删除文件%1失败").arg(QFileInfo(backup).fileName()));
            return;
        case Replacement::BackupNotMade:
            fail(target, tr("重命名%1为%2失败").arg(target.absoluteFilePath(), backup));
            return;
        case Replacement::DirectoryNotMade:
            fail(target, tr("创建目录%1失败").arg(target.absolutePath()));
            return;
        case Replacement::NotMoved:
            fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
            return;
        }
    }
    m_success = true;
    m_message = tr("更新成功");
    endRun();
}

void CDownloadThread::fail(const QFileInfo &file, const QString &message)
{
    m_message = message;
    emit downloadFail(file, message);
    endRun();
}

void CDownloadThread::endRun()
{
    m_ended = true;
    QThread::quit();
}
