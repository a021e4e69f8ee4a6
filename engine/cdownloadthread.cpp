#include "cdownloadthread.h"

#include "enginelog.h"
#include "filehash.h"
#include "installer.h"
#include "filetransfer.h"

#include <QCryptographicHash>
#include <QFile>


namespace {
// Listed bytes of HTTP/2 transfers in flight at once: what Qt may hold of them.
constexpr quint64 http2MemoryCap = 32 * 1024 * 1024;
constexpr int maxHttp1PerHost = 6;
// Requests a server refuses unprocessed go again, at most this many times per file of the run.
constexpr int refusalsPerFile = 8;
}

void CDownloadThread::setStallTimeout(int msecs)
{
    FileTransfer::setStallPeriod(msecs);
}

CDownloadThread::CDownloadThread(const QString &baseUrl, const QDir &cacheDir,
                                 const QDir &installDir, const UpdateList &updateList,
                                 const TransferSettings &settings, QObject *parent)
    : QThread(parent)
    , m_baseUrl(baseUrl)
    , m_installDir(installDir)
    , m_install(settings.install.isValid() ? settings.install : HeldFolder::openTrusted(installDir.absolutePath()))
    , m_updateList(updateList)
    , m_connections(qMax(1, settings.connections))
    , m_artifacts(settings.artifacts)
    , m_installed(settings.installed)
    , m_http2(settings.http2 && baseUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive))
    , m_states(updateList.size(), State::Waiting)
    , m_failures(updateList.size())
    , m_transferred(updateList.size(), false)
{
    // Another user may write the cache folder: what the engine keeps there lives
    // in its private folder, held for the run, verified files under files/,
    // partial ones under partial/, where no release path can take a scratch
    // file's name.
    m_cache = PrivateFolder::open(cacheDir.absolutePath());
    m_files = m_cache.folder().folder(QStringLiteral("files"), HeldFolder::Make::Private);
    m_partial = m_cache.folder().folder(QStringLiteral("partial"), HeldFolder::Make::Private);
    m_cacheUsable = m_files.isValid() && m_partial.isValid();
    if (!m_cacheUsable)
        qCInfo(lcTransfer).noquote() << "the cache cannot be used:" << m_cache.errorString();

    // A quit() issued before start() is forgotten by QThread, so a run that is
    // already over ends the thread as soon as it runs.
    connect(this, &QThread::started, this, [this] {
        if (m_ended)
            QThread::quit();
    }, Qt::DirectConnection);

    settings.proxy.applyTo(m_network);
    m_refusals.left = refusalsPerFile * int(m_updateList.size());
    checkCachedFiles();
    advance();
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
    abortTransfersFrom(0);
    endRun();
}

void CDownloadThread::checkCachedFiles()
{
    // Files left by an earlier attempt are hashed together, one per core.
    QVector<FileCheck> checks;
    QVector<int> indices;
    for (int i = 0; m_cacheUsable && i < m_updateList.size(); ++i) {
        // A link is never trusted as a download, wherever it leads; the file is
        // hashed through the held folder, whatever stands at the cache's name now.
        const ManifestEntry &entry = m_updateList.at(i);
        const HeldFolder folder = m_files.folder(relativeFolder(entry.path));
        if (folder.kindOf(relativeName(entry.path)) == HeldFolder::Kind::File) {
            checks.append({folder, relativeName(entry.path), entry.md5, entry.size, entry.sha256, HeldFolder::Owner::Self});
            indices.append(i);
        }
    }
    const QVector<bool> verified = filesMatch(checks);
    for (int k = 0; k < indices.size(); ++k) {
        if (verified.at(k)) {
            qCInfo(lcTransfer).noquote() << m_updateList.at(indices.at(k)).path << "already in the cache";
            m_states[indices.at(k)] = State::Cached;
        }
    }
}

QFileInfo CDownloadThread::cacheFile(const ManifestEntry &entry) const
{
    return QFileInfo(m_files.filePath(entry.path));
}

void CDownloadThread::advance()
{
    if (m_cancelled || m_ended)
        return;
    for (;;) {
        // The current file is the first not yet done, in list order; failures
        // are reported only when they become current, so the earliest one wins.
        while (m_current < m_updateList.size() && isDone(m_states.at(m_current))) {
            // A file that arrived before its turn is still announced in its turn.
            announce(m_current);
            if (m_states.at(m_current) == State::Failed) {
                fail(cacheFile(m_updateList.at(m_current)), m_failures.at(m_current));
                return;
            }
            ++m_current;
        }
        if (m_current >= m_updateList.size()) {
            installFiles();
            return;
        }
        if (m_failureSeen || m_next >= m_updateList.size() || m_transfers.size() >= m_connections)
            break;
        if (m_states.at(m_next) == State::Cached) {
            ++m_next;
            continue;
        }
        // In list order: the next file waits until its kind of connection has room.
        // Its source is chosen once: that may mean hashing the installed file.
        if (m_nextSourceIndex != m_next) {
            m_nextSource = sourceFor(m_updateList.at(m_next));
            m_nextSourceIndex = m_next;
        }
        if (!mayStartNow(m_nextSource, m_nextSource.artifact ? m_nextSource.artifact->size : m_updateList.at(m_next).size))
            break;
        startTransfer(m_next++, m_nextSource);
    }
    announce(m_current);
}

bool CDownloadThread::mayStartNow(const TransferSource &source, quint64 size) const
{
    if (FileTransfer::usesHttp2(source.http2Allowed, size))
        return m_http2BytesInFlight == 0 || m_http2BytesInFlight + size <= http2MemoryCap;
    // Qt opens at most six HTTP/1.1 connections to a host; a seventh transfer would
    // wait in its queue with its stall clock running.
    return m_http1InFlight < maxHttp1PerHost;
}

void CDownloadThread::startTransfer(int index, const TransferSource &source)
{
    const ManifestEntry &entry = m_updateList.at(index);
    const QFileInfo file = cacheFile(entry);
    const QString name = relativeName(entry.path);
    // Below the held private folder only: nothing there is followed or emptied elsewhere.
    const HeldFolder folder = m_files.folder(relativeFolder(entry.path), HeldFolder::Make::Private);
    if (!m_cacheUsable || !folder.isValid()) {
        qCInfo(lcTransfer).noquote() << "no place in the cache for" << entry.path << ":" << folder.errorString();
        markFailed(index, tr("更新文件%1写入失败").arg(file.fileName()));
        return;
    }
    // A stale copy stays until the new body replaces it; anything else goes now.
    const HeldFolder::Kind standing = folder.kindOf(name);
    if (standing != HeldFolder::Kind::Missing && standing != HeldFolder::Kind::File && !folder.remove(name)) {
        markFailed(index, tr("路径%1被占用，无法删除!").arg(file.absoluteFilePath()));
        return;
    }

    auto *transfer = new FileTransfer(entry, source, folder, name, m_partial, scratchName(entry), m_refusals, this);
    m_transfers.insert(index, transfer);
    const quint64 size = source.artifact ? source.artifact->size : entry.size;
    if (FileTransfer::usesHttp2(source.http2Allowed, size)) {
        m_http2Sizes.insert(index, size);
        m_http2BytesInFlight += size;
    } else {
        ++m_http1InFlight;
    }
    m_states[index] = State::Transferring;
    m_transferred[index] = true;
    // The file that is current at once is announced before its request goes out.
    if (index == m_current)
        announce(index);
    connect(transfer, &FileTransfer::progress, this, [this, index](qint64 received, qint64 total) {
        if (index == m_current)
            emit downloadProgress(received, total);
    });
    connect(transfer, &FileTransfer::connectionWentAway, this, &CDownloadThread::onConnectionWentAway);
    connect(transfer, &FileTransfer::finished, this, [this, index] { onTransferFinished(index); });
    if (!transfer->start(m_network)) {
        m_transfers.remove(index);
        forgetInFlight(index);
        transfer->deleteLater();
        markFailed(index, tr("下载更新文件%1失败").arg(file.fileName()));
    }
}

void CDownloadThread::onConnectionWentAway()
{
    for (FileTransfer *transfer : qAsConst(m_transfers))
        transfer->expectAnswerSoon();
}

void CDownloadThread::announce(int index)
{
    if (index <= m_announced || !m_transferred.at(index))
        return;
    m_announced = index;
    emit downloadStarted(cacheFile(m_updateList.at(index)), index, m_updateList.size());
}

QString CDownloadThread::scratchName(const ManifestEntry &entry)
{
    // The same name for the same path in every run, so a later attempt finds
    // what an earlier one kept; short and flat however deep the path is.
    const QByteArray key = QCryptographicHash::hash(entry.path.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QString::fromLatin1(key) + QLatin1String(".download");
}

TransferSource CDownloadThread::sourceFor(const ManifestEntry &entry) const
{
    TransferSource source;
    source.url = QUrl(m_baseUrl + entry.path, QUrl::TolerantMode);
    source.http2Allowed = m_http2;
    const QList<Artifact> artifacts = m_artifacts.forTarget(entry.md5, entry.size);
    if (artifacts.isEmpty())
        return source;
    source.baseFolder = m_install.folder(relativeFolder(entry.path));
    source.baseName = relativeName(entry.path);
    // A patch applies only to the file it was made from; the installed file's
    // actual digest, as the check hashed it, says which, whatever the local
    // manifest believes. A file changed since is caught by the result's digest.
    const QByteArray baseDigest = m_installed.value(entry.path);
    for (const Artifact &artifact : artifacts) {
        if (artifact.kind != Artifact::Kind::Compressed && (baseDigest.isEmpty() || artifact.baseDigest != baseDigest))
            continue;
        if (artifact.size < entry.size && (!source.artifact || artifact.size < source.artifact->size))
            source.artifact = artifact;
    }
    if (source.artifact)
        source.artifactUrl = QUrl(m_baseUrl + source.artifact->relativeUrl(), QUrl::TolerantMode);
    return source;
}

void CDownloadThread::forgetInFlight(int index)
{
    if (m_http2Sizes.contains(index))
        m_http2BytesInFlight -= m_http2Sizes.take(index);
    else
        --m_http1InFlight;
}

void CDownloadThread::onTransferFinished(int index)
{
    FileTransfer *transfer = m_transfers.take(index);
    if (!transfer)
        return;
    forgetInFlight(index);
    transfer->deleteLater();
    if (transfer->errorMessage().isEmpty())
        m_states[index] = State::Stored;
    else
        markFailed(index, transfer->errorMessage());
    advance();
}

void CDownloadThread::markFailed(int index, const QString &message)
{
    m_states[index] = State::Failed;
    m_failures[index] = message;
    // Nothing new starts; what runs before the failure may still fail earlier
    // and be the one reported, what runs after it is of no use.
    m_failureSeen = true;
    abortTransfersFrom(index + 1);
}

void CDownloadThread::abortTransfersFrom(int index)
{
    for (auto it = m_transfers.begin(); it != m_transfers.end();) {
        if (it.key() < index) {
            ++it;
            continue;
        }
        it.value()->disconnect(this);
        it.value()->abort();
        it.value()->deleteLater();
        forgetInFlight(it.key());
        m_states[it.key()] = State::Waiting;
        it = m_transfers.erase(it);
    }
}

void CDownloadThread::installFiles()
{
    // Held since the check: a folder swapped in at its name since then (a link
    // to elsewhere, say) gets nothing, and neither does the one that was moved.
    if (!m_install.isSameFolderAs(HeldFolder::openTrusted(m_installDir.absolutePath()))) {
        fail(QFileInfo(m_installDir.absolutePath()), tr("安装目录%1已被移走或替换").arg(m_installDir.absolutePath()));
        return;
    }
    // Two entries for one file (Windows: a name and its 8.3 alias) would replace each other.
    if (const QString aliased = firstAliasedEntry(m_updateList, m_install); !aliased.isEmpty()) {
        fail(QFileInfo(m_installDir.absoluteFilePath(aliased)), tr("更新列表文件格式不对:%1").arg(aliased));
        return;
    }
    Installer installer(m_files, m_install);
    for (const ManifestEntry &entry : qAsConst(m_updateList)) {
        const QFileInfo target(m_installDir.absoluteFilePath(entry.path));
        const QString backup = m_installDir.absoluteFilePath(entry.path + QLatin1String(".old"));
        const Installer::Outcome outcome = installer.install(entry);
        qCInfo(lcInstall).noquote() << entry.path << (outcome.folderMade ? outcome.replacement : Replacement::NotMoved);
        if (!outcome.folderMade) {
            fail(target, tr("创建目录%1失败").arg(target.absolutePath()));
            return;
        }
        switch (outcome.replacement) {
        case Replacement::Done:
            break;
        case Replacement::BackupNotRemoved:
            fail(target, tr("删除文件%1失败").arg(QFileInfo(backup).fileName()));
            return;
        case Replacement::BackupNotMade:
            fail(target, tr("重命名%1为%2失败").arg(target.absoluteFilePath(), backup));
            return;
        case Replacement::NotMoved:
        case Replacement::TargetAside:
            fail(target, tr("覆盖文件%1失败").arg(target.fileName()));
            return;
        }
    }
    // Nothing vouches for the new files (update_md5.info, written on success)
    // before their data is on the disk.
    QString unsynced;
    if (!installer.makeDurable(&unsynced)) {
        fail(QFileInfo(unsynced), tr("覆盖文件%1失败").arg(QFileInfo(unsynced).fileName()));
        return;
    }
    qCInfo(lcInstall).noquote() << m_updateList.size() << "files installed";
    m_success = true;
    m_message = tr("更新成功");
    endRun();
}

void CDownloadThread::fail(const QFileInfo &file, const QString &message)
{
    abortTransfersFrom(0);
    m_message = message;
    emit downloadFail(file, message);
    endRun();
}

void CDownloadThread::endRun()
{
    m_ended = true;
    QThread::quit();
}
