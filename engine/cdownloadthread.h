#pragma once

#include "manifest.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>

class BodyReceiver;
class QNetworkReply;

/**
 * Downloads the files of an update list into the cache directory, verifies
 * each (HTTP status 200, length, digest text), then moves them into the
 * install directory, keeping every replaced file as "<name>.old" beside it.
 * Each target path holds its previous file or its new one at every instant.
 *
 * Each body is written to a temporary file beside its cache file as it
 * arrives, counted and hashed on the way, and takes the cache file's place
 * only once complete and verified: memory stays flat whatever the file size.
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
     * @param cacheDir where downloaded files are kept under their relative paths
     * @param installDir where the files are installed
     * @param updateList entries to bring up to date, in ascending path order
     */
    CDownloadThread(const QString &baseUrl, const QDir &cacheDir, const QDir &installDir,
                    const UpdateList &updateList, QObject *parent = nullptr);
    ~CDownloadThread() override;

    /// True once every file has been installed.
    bool isSuccess() const;
    /// Text of the failure that ended the run, or "更新成功" after success.
    QString errorMessage() const;

    /**
     * Ends the run from outside (the cancel button): aborts the transfer in
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
    void checkCachedFiles();
    QFileInfo cacheFile(const ManifestEntry &entry) const;
    bool isInsideCache(const QFileInfo &file) const;
    void startNextDownload();
    void onDataArrived();
    void onStallCheck();
    void onDownloadFinished();
    QString temporaryPath(const ManifestEntry &entry) const;
    bool receiveAvailable(QNetworkReply &reply, BodyReceiver &body);
    void installFiles();
    void fail(const QFileInfo &file, const QString &message);
    void endRun();

    std::atomic_bool m_success{false};
    QString m_message;
    QString m_baseUrl;
    QDir m_cacheDir;
    QDir m_installDir;
    UpdateList m_updateList;
    int m_current = 0;
    // Set once the work is over; read by the thread when it starts.
    std::atomic_bool m_ended{false};
    bool m_cancelled = false;
    bool m_stalled = false;
    bool m_oversized = false;
    bool m_errorPageCut = false;
    qint64 m_periodBytes = 0;
    qint64 m_errorPageBytes = 0;
    QTimer m_stallTimer;
    QSet<QString> m_listedPaths;
    // Per entry: its cache file held the right bytes when the run began.
    QVector<bool> m_verifiedInCache;
    QByteArray m_chunk;
    std::unique_ptr<BodyReceiver> m_body;
    QPointer<QNetworkReply> m_reply;
    QNetworkAccessManager m_network;
};
