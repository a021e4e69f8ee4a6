#pragma once

#include "artifactindex.h"
#include "heldfolder.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

class BodyReceiver;

/**
 * Turns a downloaded and verified artifact into the file it gives, on a thread
 * of its own: decoding a large or hostile artifact and hashing its result
 * never hold up the event loop (a window stays responsive), and cancel() ends
 * the work within moments. The artifact, the base and the result are mapped
 * files, so memory stays flat whatever the file's size.
 *
 * finished() arrives in the thread that called start(); the result then waits
 * in takeResult(), decoded and hashed, for the caller to check and commit.
 */
class ArtifactApplier : public QObject
{
    Q_OBJECT

public:
    /**
     * @param partial the folder of the downloaded artifact, @p artifactName, and of the
     *        result while it is decoded, @p scratchName
     * @param baseFolder the folder of the installed file a patch starts from, @p baseName in it
     * @param files the folder where the result goes once committed, as @p cacheName
     * @param resultSize the size of the file the artifact gives
     * @param resultSha256 hash the result's SHA-256 too
     */
    ArtifactApplier(const Artifact &artifact, const HeldFolder &partial, const QString &artifactName,
                    const HeldFolder &baseFolder, const QString &baseName, const HeldFolder &files, const QString &cacheName,
                    const QString &scratchName, quint64 resultSize, bool resultSha256, QObject *parent = nullptr);
    /// Cancels and waits for the thread.
    ~ArtifactApplier() override;

    void start();
    /// Stops the work and waits for the thread; finished() does not follow.
    void cancel();
    /// The decoded result after a finished() without a problem.
    std::unique_ptr<BodyReceiver> takeResult();

signals:
    /// @p problem is empty when the result was decoded and hashed, otherwise what went wrong.
    void finished(const QString &problem);

private:
    /// Decodes and hashes the result; false with what went wrong in @p problem.
    bool apply(QString *problem);

    Artifact m_artifact;
    HeldFolder m_partial;
    QString m_artifactName;
    HeldFolder m_baseFolder;
    QString m_baseName;
    HeldFolder m_files;
    QString m_cacheName;
    QString m_scratchName;
    quint64 m_resultSize;
    bool m_resultSha256;
    std::unique_ptr<BodyReceiver> m_result;
    std::atomic_bool m_cancel{false};
    std::thread m_thread;
};
