#pragma once

#include "artifactindex.h"
#include "heldfolder.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

class ProgressLine;
class QTextCodec;
class ReleaseSigner;

/**
 * Writes the artifacts of a version folder being published, and their index
 * (".artifacts/index", signed when a signer is given): for every file, a
 * compressed copy where it saves at least a tenth, and a patch from the same
 * path in each earlier published folder where that file differs (read without
 * following a link: a link there refuses the publication); for an executable
 * also a reference patch where it is smaller still. Patches are named by the
 * digests they go from and to, so versions that share a file share its patch.
 * An artifact no smaller than a better one is not kept.
 *
 * The files are worked on two at a time where memory allows: the work in
 * flight holds at most six times the largest file it diffs, plus 256 MiB.
 */
class ArtifactWriter
{
    Q_DECLARE_TR_FUNCTIONS(ArtifactWriter)

public:
    /// An earlier published version folder, held, and its manifest.
    struct Base
    {
        QString name;
        HeldFolder folder;
        ManifestMap files;
    };

    ArtifactWriter(const QDir &versionDir, const QList<Base> &bases, QTextCodec *pathCodec, const ReleaseSigner *signer);
    ~ArtifactWriter();

    /// Queues the file at @p entry.path below the version folder; finish() makes its artifacts.
    void add(const ManifestEntry &entry);
    /**
     * Makes the queued files' artifacts, writes them and the index; false, with
     * errors(), when any failed.
     * @param progress when given, shows the file worked on and the share done
     */
    bool finish(ProgressLine *progress = nullptr);

    QStringList errors() const { return m_errors; }
    /// One line on what was written and how much smaller the changed files come.
    QString summary() const;
    /// A line per changed file: the artifact it comes as from the first earlier version, its bytes and share of the file.
    QStringList fileSummaries() const { return m_fileSummaries; }

private:
    struct Job;
    struct Made;

    /// What the job will hold and do, from the manifests.
    void plan(Job &job) const;
    /// Opens the job's file and the earlier files it is patched from; false when an earlier one is refused.
    bool open(Job &job);
    static Made make(Job &job, std::atomic<qint64> *progress);
    bool take(Job &job);
    /// Fills in the artifact's size and digest and writes it, unless one of its name was.
    bool keep(Artifact &artifact, const QByteArray &bytes);
    bool write(const QString &path, const QByteArray &bytes);
    bool writeIndex();

    QDir m_versionDir;
    QList<Base> m_bases;
    QTextCodec *m_pathCodec;
    const ReleaseSigner *m_signer;
    std::vector<ManifestEntry> m_queue;
    std::vector<QList<Artifact>> m_index;   // per queued file, so the index is in their order
    QHash<QString, QByteArray> m_written;   // artifact's relative URL -> its digest text
    int m_patches = 0;
    int m_referencePatches = 0;
    int m_compressed = 0;
    int m_changedFiles = 0;
    qint64 m_changedBytes = 0;
    qint64 m_changedArtifactBytes = 0;
    QStringList m_fileSummaries;
    QStringList m_errors;
};
