#pragma once

#include "heldfolder.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QStringList>

class QTextCodec;
class ReleaseSigner;
struct Artifact;

/**
 * Writes the artifacts of a version folder being published, and their index
 * (".artifacts/index", signed when a signer is given): for every file, a
 * compressed copy where it saves at least a tenth, and a patch from the same
 * path in each earlier published folder where that file differs (read without
 * following a link: a link there refuses the publication). Patches are
 * named by the digests they go from and to, so versions that share a file
 * share its patch. An artifact no smaller than a better one is not kept.
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

    /// Makes the artifacts of the file at @p entry.path below the version folder.
    bool add(const ManifestEntry &entry);
    /// Writes the index; false, with errors(), when any write failed.
    bool finish();

    QStringList errors() const { return m_errors; }
    /// One line on what was written and how much smaller the changed files come.
    QString summary() const;

private:
    bool keep(const Artifact &artifact, const QByteArray &bytes);
    bool write(const QString &path, const QByteArray &bytes);

    QDir m_versionDir;
    QList<Base> m_bases;
    QTextCodec *m_pathCodec;
    const ReleaseSigner *m_signer;
    QList<Artifact> m_index;
    QHash<QString, QByteArray> m_written;   // artifact's relative URL -> its digest text
    int m_patches = 0;
    int m_referencePatches = 0;
    int m_compressed = 0;
    int m_changedFiles = 0;
    qint64 m_changedBytes = 0;
    qint64 m_changedArtifactBytes = 0;
    QStringList m_errors;
};
