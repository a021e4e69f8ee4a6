#include "cdownloadthread.h"

#include "filehash.h"

#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <cstdio>

namespace {
int s_stallTimeoutMsecs = 30 * 1000;
}

int CDownloadThread::stallTimeout()
{
    return s_stallTimeoutMsecs;
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
{
    // A quit() issued before start() is forgotten by QThread, so a run that is
    // already over ends the thread as soon as it runs.
    connect(this, &QThread::started, this, [this] {
        if (m_ended)
            QThread::quit();
    }, Qt::DirectConnection);

    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, &CDownloadThread::onDownloadStalled);

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
        if (fileMd5Equals(file.absoluteFilePath(), entry.md5)) {
            ++m_current;
            startNextDownload();
            return;
        }
    } else if (file.isDir()) {
        if (!QDir(file.absoluteFilePath()).removeRecursively()) {
            fail(file, tr("路径%1被占用，无法删除!").arg(file.absoluteFilePath()));
            return;
        }
    } else if (!QFile::remove(file.absoluteFilePath())) {
        fail(file, tr("路径%1被占用，无法删除!").arg(file.absoluteFilePath()));
        return;
    }

    emit downloadStarted(file, m_current, m_updateList.size());

    QNetworkRequest request(QUrl(m_baseUrl + entry.path, QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply *reply = m_network.get(request);
    if (!reply) {
        fail(file, tr("下载更新文件%1失败").arg(file.fileName()));
        return;
    }
    m_reply = reply;
    m_stalled = false;
    m_oversized = false;
    connect(reply, &QNetworkReply::redirected, reply, [reply] { emit reply->redirectAllowed(); });
    connect(reply, &QNetworkReply::downloadProgress, this, &CDownloadThread::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &CDownloadThread::onDataArrived);
    connect(reply, &QNetworkReply::finished, this, &CDownloadThread::onDownloadFinished);
    m_stallTimer.start(s_stallTimeoutMsecs);
}

void CDownloadThread::onDataArrived()
{
    m_stallTimer.start(s_stallTimeoutMsecs);
    // A body longer than the manifest says is cut at once: the length check
    // then fails without the updater holding whatever else the server sends.
    if (m_reply && quint64(m_reply->bytesAvailable()) > m_updateList.at(m_current).size) {
        m_oversized = true;
        m_reply->abort();
    }
}

void CDownloadThread::onDownloadStalled()
{
    m_stalled = true;
    if (m_reply)
        m_reply->abort();
}

void CDownloadThread::onDownloadFinished()
{
    m_stallTimer.stop();
    QNetworkReply *reply = m_reply;
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
        const QString reason = m_stalled ? tr("网络超时") : reply->errorString();
        fail(file, tr("下载更新文件%1网络错误：%2-%3").arg(file.fileName()).arg(status).arg(reason));
        return;
    }
    const QByteArray body = m_oversized ? QByteArray() : reply->readAll();
    if (m_oversized || quint64(body.size()) != entry.size) {
        fail(file, tr("下载更新文件%1大小不对").arg(file.fileName()));
        return;
    }
    if (md5Text(body) != entry.md5) {
        fail(file, tr("更新文件%1校验不对").arg(file.fileName()));
        return;
    }
    if (!storeCacheFile(file, body)) {
        fail(file, tr("更新文件%1写入失败").arg(file.fileName()));
        return;
    }
    ++m_current;
    startNextDownload();
}

bool CDownloadThread::storeCacheFile(const QFileInfo &file, const QByteArray &bytes)
{
    QFile cache(file.absoluteFilePath());
    if (!cache.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    const bool written = cache.write(bytes) == bytes.size() && cache.flush();
    cache.close();
    // A partial file must never pass for a verified one.
    if (!written)
        cache.remove();
    return written;
}

void CDownloadThread::installFiles()
{
    for (const ManifestEntry &entry : qAsConst(m_updateList)) {
        const QFileInfo target(m_installDir.absoluteFilePath(entry.path));
        const QFileInfo backup(m_installDir.absoluteFilePath(entry.path + QLatin1String(".old")));
        const QFileDevice::Permissions previousPermissions = target.permissions();
        if (target.exists()) {
            if (backup.exists() && !QFile::remove(backup.absoluteFilePath())) {
                fail(target, tr("删除文件%1失败").arg(backup.fileName()));
                return;
            }
            if (std::rename(QFile::encodeName(target.absoluteFilePath()).constData(),
                            QFile::encodeName(backup.absoluteFilePath()).constData()) != 0) {
                fail(target, tr("重命名%1为%2失败").arg(target.absoluteFilePath(), backup.absoluteFilePath()));
                return;
            }
        } else if (!target.absoluteDir().exists() && !m_installDir.mkpath(target.absolutePath())) {
            fail(target, tr("创建目录%1失败").arg(target.absolutePath()));
            return;
        }
        if (!QFile::rename(m_cacheDir.absoluteFilePath(entry.path), target.absoluteFilePath())) {
            fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
            return;
        }
#ifndef Q_OS_WIN
        // Here a downloaded file has no execute bit; a replaced program must still run.
        if (previousPermissions)
            QFile::setPermissions(target.absoluteFilePath(), previousPermissions);
#endif
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
