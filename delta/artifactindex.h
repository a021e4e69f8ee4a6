#pragma once

#include <QByteArray>
#include <QList>
#include <QMultiHash>
#include <QString>

class QTextCodec;

/**
 * A smaller way to obtain one published file: its bytes compressed whole, or a
 * patch that turns an earlier file (the base, known by its digest) into it.
 * The result is always checked against md5.txt; an artifact only saves bytes.
 */
struct Artifact
{
    enum class Kind { Compressed, Patch };

    Kind kind = Kind::Compressed;
    /// Digest text and size of the file the artifact gives.
    QByteArray targetDigest;
    quint64 targetSize = 0;
    /// Digest text of the file a patch starts from; empty for Compressed.
    QByteArray baseDigest;
    /// Size and digest text of the artifact itself, as served.
    quint64 size = 0;
    QByteArray digest;
    /// The release path it was made for (several paths with one content share it).
    QString path;

    /// Where it is served, relative to the version folder: ".artifacts/<name>".
    /// Made of digests only, so no index line can name another place.
    QString relativeUrl() const;
};

/**
 * The list of artifacts of a version folder, ".artifacts/index": one line per
 * artifact, "kind TAB target digest TAB target size TAB base digest (or -) TAB
 * size TAB digest TAB path", kind "zst" or "patch", sizes in decimal, the path in
 * the clients' 8-bit encoding. Lines that do not read are skipped.
 */
class ArtifactIndex
{
public:
    /// The folder below the version folder that holds the artifacts and the index.
    static const QLatin1String folder;
    /// The index's path relative to the version folder.
    static const QLatin1String indexPath;

    static ArtifactIndex parse(const QByteArray &text, QTextCodec *pathCodec = nullptr);
    QByteArray text(QTextCodec *pathCodec = nullptr) const;

    void add(const Artifact &artifact);
    QList<Artifact> artifacts() const { return m_artifacts; }
    /// The artifacts that give a file of this digest and size.
    QList<Artifact> forTarget(const QByteArray &digest, quint64 size) const;

private:
    QList<Artifact> m_artifacts;
    QMultiHash<QByteArray, int> m_byTarget;
};
