#pragma once

#include "manifest.h"

#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <memory>

class BodyReceiver;
class QNetworkAccessManager;
class QNetworkReply;

/**
 * One file's download into the cache directory. The body streams into a
 * temporary file beside the cache file, counted and hashed on the way, and takes
 * the cache file's place only when status 200, length and digest all hold. A
 * body longer than the entry's size is cut at once, and so is a body that
 * cannot be written; a transfer that receives less than 1 KiB in any stall
 * period (a sliding window) is given up. Only the plain body is accepted
 * (Accept-Encoding: identity).
 *
 * A transfer that ends early keeps what arrived, with a side file naming the
 * response's validator (ETag, else Last-Modified, printable ASCII only) and the
 * entry's size and digest. Both live in the updater's private folder and are
 * trusted only as regular files of the updater's user, the side file only up
 * to 4 KiB. The next transfer of the same entry asks only for the rest (Range and
 * If-Range) and appends a 206 that starts where the kept part ends; a 200
 * replaces the kept part, and a 416 or a range that starts elsewhere makes one
 * fresh request. A body that fails its checks loses its partial file.
 *
 * finished() is emitted once, when the transfer has ended in any way but
 * abort(); errorMessage() then tells the outcome.
 */
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    /**
     * @param entry the manifest entry to fetch
     * @param url where to fetch it from
     * @param cacheFile where the verified file goes
     * @param temporaryPath where the body is kept while it arrives
     */
    FileTransfer(const ManifestEntry &entry, const QUrl &url, const QFileInfo &cacheFile,
                 const QString &temporaryPath, QObject *parent = nullptr);
    ~FileTransfer() override;

    /// Sends the request through @p network; false when no reply came back.
    bool start(QNetworkAccessManager &network);
    /// Stops at once without emitting finished(); the cache keeps what it held.
    void abort();

    /// Empty after success; otherwise the message of the failure.
    QString errorMessage() const { return m_error; }
    QFileInfo cacheFile() const { return m_cacheFile; }

    /// Sets the stall period for transfers started from now on (30 s).
    static void setStallPeriod(int msecs);
    /// The side file kept beside the partial body at @p temporaryPath.
    static QString sidePath(const QString &temporaryPath);

signals:
    /// The reply's progress, unchanged.
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();

private:
    bool mayResume() const;
    bool hasUsablePartial();
    bool sendRequest();
    void onHeaders();
    static qint64 contentRangeStart(QNetworkReply &reply);
    void rememberValidator(QNetworkReply &reply);
    bool isResumable() const;
    void discardPartial();
    void onDataArrived();
    void onStallCheck();
    void onReplyFinished();
    bool receiveAvailable(QNetworkReply &reply, BodyReceiver &body);
    QString reasonOf(QNetworkReply &reply) const;

    ManifestEntry m_entry;
    QUrl m_url;
    QFileInfo m_cacheFile;
    QString m_temporaryPath;
    QString m_error;
    QByteArray m_validator;
    QNetworkAccessManager *m_network = nullptr;
    qint64 m_resumeFrom = 0;
    bool m_bodyAccepted = false;
    QByteArray m_chunk;
    std::unique_ptr<BodyReceiver> m_body;
    QPointer<QNetworkReply> m_reply;
    QTimer m_stallTimer;
    // Bytes received, and their count at each step of the last stall period.
    qint64 m_receivedBytes = 0;
    QVector<qint64> m_stallSamples;
    qint64 m_errorPageBytes = 0;
    QByteArray m_unsupportedEncoding;
    bool m_stalled = false;
    bool m_oversized = false;
    bool m_writeFailed = false;
    bool m_errorPageCut = false;
    bool m_aborted = false;
};
