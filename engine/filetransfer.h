#pragma once

#include "artifactindex.h"
#include "heldfolder.h"
#include "manifest.h"
#include "resumerecord.h"

#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QVector>

#include <memory>
#include <optional>

class ArtifactApplier;
class BodyReceiver;
class QNetworkAccessManager;
class QNetworkReply;

/// Where a transfer gets its file: the plain file, or first an artifact that decodes into it.
struct TransferSource
{
    QUrl url;
    std::optional<Artifact> artifact;
    QUrl artifactUrl;
    /// The installed file a patch starts from: its held folder and its name there.
    HeldFolder baseFolder;
    QString baseName;
    /// Small bodies may share one HTTP/2 connection (HTTPS, where the server offers it).
    bool http2Allowed = false;
};

/**
 * The re-sends of requests that got no answer: those a server announced it
 * never processed (streams past a GOAWAY's last one, refused streams), and
 * those Qt lost with a connection the server closed. Shared by every transfer
 * of a run, so however few streams a server allows per connection every file
 * gets its turns, yet a server that refuses every stream still ends the run
 * once they are spent.
 */
struct RefusalBudget
{
    int left = 0;
};

/**
 * One file's download into the cache directory. The body streams into a
 * scratch file, counted and hashed on the way, and takes the cache file's place
 * only when status 200, length and digest all hold. A body longer than the
 * entry's size is cut at once, and so is a body that cannot be written; a
 * transfer that receives less than 1 KiB in any stall period (a sliding window
 * that a re-sent request continues) is given up. Only the plain body is
 * accepted (Accept-Encoding: identity).
 *
 * With an artifact, the artifact is fetched whole first, checked against the
 * index (size, digest), decoded into the scratch file (from the base, for a
 * patch) on a thread of its own (see ArtifactApplier), and the result checked
 * as the plain file would be. Any problem on that
 * way falls back to the plain file within the same transfer; only the plain
 * file's failure is a failure.
 *
 * A plain transfer that ends early keeps what arrived for the next attempt to
 * continue (see ResumeRecord): it asks only for the rest (Range and If-Range)
 * and appends a 206 that starts where the kept part ends; a 200 replaces the
 * kept part, and a 416 or a range that starts elsewhere makes one fresh request.
 * A body that fails its checks loses its partial file.
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
     * @param source where to fetch it from
     * @param files the cache folder the verified file goes to, as @p cacheName
     * @param partial the folder where the body is kept while it arrives, as @p scratchName
     * @param refusals the run's re-sends of requests the server refused unprocessed
     */
    FileTransfer(const ManifestEntry &entry, const TransferSource &source, const HeldFolder &files,
                 const QString &cacheName, const HeldFolder &partial, const QString &scratchName,
                 RefusalBudget &refusals, QObject *parent = nullptr);
    ~FileTransfer() override;

    /// Sends the request through @p network; false when no reply came back.
    bool start(QNetworkAccessManager &network);
    /// Stops at once without emitting finished(); the cache keeps what it held.
    void abort();
    /**
     * A server closed an HTTP/2 connection (GOAWAY). Qt 5.15 can lose a request
     * that was on it without ever ending its reply: this transfer's request, if it
     * goes over HTTP/2 and has no answer yet, is sent again unless its answer
     * starts within one step of the stall clock.
     */
    void expectAnswerSoon();

    /// Empty after success; otherwise the message of the failure.
    QString errorMessage() const { return m_error; }

    /// Sets the stall period for transfers started from now on (30 s).
    static void setStallPeriod(int msecs);
    /**
     * Whether a body of @p size goes over HTTP/2 where allowed. Qt holds an
     * HTTP/2 body whole in memory, beyond the read buffer limit, so only small
     * bodies do; larger ones stay on HTTP/1.1, streamed to disk.
     */
    static bool usesHttp2(bool allowed, quint64 size);

signals:
    /// The reply's progress, unchanged: the bytes of what is actually transferred.
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    /// The server closed this transfer's HTTP/2 connection; others on it may be lost (see expectAnswerSoon()).
    void connectionWentAway();
    void finished();

private:
    /// What one response did; a new request starts it over.
    struct Response
    {
        bool answered = false;
        bool accepted = false;
        bool stalled = false;
        bool oversized = false;
        bool writeFailed = false;
        bool errorPageCut = false;
        qint64 errorPageBytes = 0;
        QByteArray unsupportedEncoding;
    };

    bool startPlain();
    /// A new body's stall period begins; its requests, re-sends included, share it.
    void startStallClock();
    bool sendRequest();
    /// Sends the request again, unanswered so far, while the run's budget of such re-sends lasts.
    bool sendAgain(const QString &why);
    void onHeaders();
    static qint64 contentRangeStart(QNetworkReply &reply);
    void onDataArrived();
    void onStallCheck();
    void onReplyFinished();
    bool receiveAvailable(QNetworkReply &reply, BodyReceiver &body);
    QString reasonOf(QNetworkReply &reply) const;
    bool checkBody(QNetworkReply &reply, QString *error);
    void startApplying();
    void onArtifactApplied(const QString &problem);
    void fallBackToPlain(const QString &why);
    quint64 expectedSize() const { return m_artifact ? m_artifact->size : m_entry.size; }
    QString artifactName() const { return m_scratchName + QLatin1String(".artifact"); }

    ManifestEntry m_entry;
    TransferSource m_source;
    std::optional<Artifact> m_artifact;
    HeldFolder m_files;
    QString m_cacheName;
    HeldFolder m_partial;
    QString m_scratchName;
    ResumeRecord m_resume;
    QString m_error;
    QNetworkAccessManager *m_network = nullptr;
    qint64 m_resumeFrom = 0;
    QByteArray m_chunk;
    std::unique_ptr<BodyReceiver> m_body;
    // Decodes an artifact off the event loop's thread.
    std::unique_ptr<ArtifactApplier> m_applier;
    QPointer<QNetworkReply> m_reply;
    Response m_response;
    RefusalBudget &m_refusals;
    // Stall clock steps since a GOAWAY found this request unanswered; -1: none.
    int m_stepsSinceGoAway = -1;
    QTimer m_stallTimer;
    // Bytes received, and their count at each step of the last stall period.
    qint64 m_receivedBytes = 0;
    QVector<qint64> m_stallSamples;
    bool m_aborted = false;
};
