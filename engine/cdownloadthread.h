#pragma once

#include "artifactindex.h"
#include "filetransfer.h"
#include "manifest.h"
#include "privatefolder.h"
#include "proxychoice.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QNetworkAccessManager>
#include <QThread>
#include <QVector>

#include <atomic>
#include <cstdint>

class FileTransfer;

/// How the engine transfers files.
struct TransferSettings
{
    TransferSettings(int connections = 1, const ProxyChoice &proxy = {}, const ArtifactIndex &artifacts = {},
                     bool http2 = true)
        : connections(connections), proxy(proxy), artifacts(artifacts), http2(http2)
    {
    }

    /// The most transfers in flight at once; 1 fetches one file after the other.
    int connections;
    ProxyChoice proxy;
    /// Smaller ways to the files (patches, compressed copies) that the site offers.
    ArtifactIndex artifacts;
    /// Small files over HTTPS may share HTTP/2 connections.
    bool http2;
    /**
     * What the check found installed at each changed path: a patch is taken
     * only from the file it was made from, and this says which, without
     * hashing the file again. A path without a digest gets no patch.
     */
    InstalledDigests installed;
    /**
     * The install folder as the check held it: every read and write below it
     * goes through it. Invalid: the engine opens the install folder itself.
     */
    HeldFolder install;
};

/**
 * Downloads the files of an update list into the cache directory, verifies
 * each (HTTP status 200, length, digest text), then moves them into the
 * install directory, keeping every replaced file as "<name>.old" beside it.
 * Each target path holds its previous file or its new one at every instant.
 * Nothing is read or written below the install directory through a link: a
 * link where the release has a folder fails the install of that file, and an
 * install directory moved or replaced since it was held fails the install.
 *
 * Each file is fetched by a FileTransfer, which streams the body to disk and
 * verifies it; this class is the schedule: transfers start in list order, up
 * to the given number at once, and what a listener sees stays in list order.
 * It also chooses each file's source: the smallest artifact that applies (a
 * patch from the installed file's actual digest, as the check found it, else a
 * compressed copy), else the plain file.
 * The current file is the first not yet done: downloadStarted announces it,
 * downloadProgress reports its bytes, and the failure reported is that of the
 * first failing file. After a failure nothing new starts; transfers before it
 * run to their end, those after it are aborted, and nothing is installed.
 * Files that arrived and verified stay in the cache for the next attempt.
 *
 * The work runs in the constructing thread, driven by its event loop, and
 * starts inside the constructor. The thread itself carries no work: its end
 * (QThread::finished) tells the owner that the run is over, successfully or
 * not. The owner connects its listeners, calls start(), runs an event loop
 * until finished, then reads isSuccess() and errorMessage().
 *
 * Signals, for the progress dialog: downloadStarted once per requested file,
 * then downloadProgress while it arrives; a failure emits downloadFail once.
 * Success emits nothing.
 */
class CDownloadThread : public QThread
{
    Q_OBJECT

public:
    /**
     * @param baseUrl download base URL, ending with "/"; each entry's path is appended to it
     * @param cacheDir the cache folder; downloads are kept under their relative paths in
     *        its private folder ".updater/files", partial ones in ".updater/partial"
     * @param installDir where the files are installed
     * @param updateList entries to bring up to date, in ascending path order
     * @param settings how to transfer: how many files at once, through which proxy
     */
    CDownloadThread(const QString &baseUrl, const QDir &cacheDir, const QDir &installDir,
                    const UpdateList &updateList, const TransferSettings &settings = {},
                    QObject *parent = nullptr);
    ~CDownloadThread() override;

    /// True once every file has been installed.
    bool isSuccess() const;
    /// Text of the failure that ended the run, or "更新成功" after success.
    QString errorMessage() const;

    /**
     * Ends the run from outside (the cancel button): aborts every transfer in
     * flight, downloads and installs nothing further, and ends the thread.
     * isSuccess() stays false unless the run had already succeeded.
     * Call it from the constructing thread.
     */
    void quit();

    /**
     * Sets the stall period (30 s): a transfer that receives less than 1 KiB
     * during one period, with its body not yet complete, is given up.
     */
    static void setStallTimeout(int msecs);

signals:
    void downloadStarted(QFileInfo filename, int current, int total);
    void downloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void downloadFail(QFileInfo filename, QString errormsg);

private:
    /// Where an entry stands; Cached, Stored and Failed are done.
    enum class State { Waiting, Cached, Transferring, Stored, Failed };
    static bool isDone(State state) { return state == State::Cached || state == State::Stored || state == State::Failed; }

    void checkCachedFiles();
    QFileInfo cacheFile(const ManifestEntry &entry) const;
    void advance();
    bool mayStartNow(const TransferSource &source, quint64 size) const;
    void startTransfer(int index, const TransferSource &source);
    void announce(int index);
    static QString scratchName(const ManifestEntry &entry);
    TransferSource sourceFor(const ManifestEntry &entry) const;
    void onTransferFinished(int index);
    /// A server closed an HTTP/2 connection: every transfer still unanswered may have been lost with it.
    void onConnectionWentAway();
    void forgetInFlight(int index);
    void markFailed(int index, const QString &message);
    void abortTransfersFrom(int index);
    void installFiles();
    void fail(const QFileInfo &file, const QString &message);
    void endRun();

    std::atomic_bool m_success{false};
    QString m_message;
    QString m_baseUrl;
    QDir m_installDir;
    // Held from the check on; the install folder's name must still lead to it when the files go in.
    HeldFolder m_install;
    // The cache and its private folder, held for the run; verified downloads and
    // partial ones below it.
    PrivateFolder m_cache;
    HeldFolder m_files;
    HeldFolder m_partial;
    bool m_cacheUsable = false;
    UpdateList m_updateList;
    int m_connections = 1;
    ArtifactIndex m_artifacts;
    InstalledDigests m_installed;
    bool m_http2 = true;
    // What is in flight: HTTP/1.1 transfers, and the listed bytes of HTTP/2 ones.
    int m_http1InFlight = 0;
    quint64 m_http2BytesInFlight = 0;
    QMap<int, quint64> m_http2Sizes;
    // The source chosen for the next entry to start, while it waits for room.
    TransferSource m_nextSource;
    int m_nextSourceIndex = -1;
    QVector<State> m_states;
    QVector<QString> m_failures;
    QVector<bool> m_transferred;
    // The first entry not yet done: the one the listener is shown.
    int m_current = 0;
    // The next entry to start, and the last one announced with downloadStarted.
    int m_next = 0;
    int m_announced = -1;
    bool m_failureSeen = false;
    // Set once the work is over; read by the thread when it starts.
    std::atomic_bool m_ended{false};
    bool m_cancelled = false;
    QMap<int, FileTransfer *> m_transfers;
    RefusalBudget m_refusals;
    QNetworkAccessManager m_network;
};
