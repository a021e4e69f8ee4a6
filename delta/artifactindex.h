#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <vector>

class QTextCodec;

/**
 * A smaller way to obtain one published file: its bytes compressed whole, or a
 * patch that turns an earlier file (the base, known by its digest) into it; for
 * an executable, also a reference patch, which follows its code's references.
 * The result is always checked against md5.txt; an artifact only saves bytes.
 */
struct Artifact
{
    enum class Kind { Compressed, Patch, ReferencePatch };

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
 * size TAB digest TAB path", kind "zst", "patch" or "refpatch", sizes in decimal, digests
 * as digest text, the path in the clients' 8-bit encoding. Lines that do not
 * read are skipped: updaters that know no "refpatch" skip those lines.
 *
 * An index is kept compact (digests as raw bytes, paths as they were encoded),
 * so that parsing one takes at most about its own size again, and looked up by
 * target digest without a copy of its entries.
 */
class ArtifactIndex
{
public:
    /// The folder below the version folder that holds the artifacts and the index.
    static const QLatin1String folder;
    /// The index's path relative to the version folder.
    static const QLatin1String indexPath;

    ArtifactIndex() = default;
    /// @param pathCodec how paths are encoded in the text; null for this machine's 8-bit encoding
    explicit ArtifactIndex(QTextCodec *pathCodec);

    static ArtifactIndex parse(const QByteArray &text, QTextCodec *pathCodec = nullptr);
    QByteArray text() const;

    void add(const Artifact &artifact);
    int size() const { return int(m_entries.size()); }
    QList<Artifact> artifacts() const;
    /// The artifacts that give a file of this digest and size.
    QList<Artifact> forTarget(const QByteArray &digest, quint64 size) const;

private:
    using Digest = std::array<uchar, 16>;
    struct Entry
    {
        Digest target;
        Digest base;
        Digest digest;
        quint64 targetSize;
        quint64 size;
        quint32 pathStart;
        quint32 pathLength;
        Artifact::Kind kind;
    };

    bool addLine(const char *line, int length);
    void insert(const Entry &entry);
    Artifact artifactAt(const Entry &entry) const;

    QTextCodec *m_pathCodec = nullptr;
    // In target digest order, so a lookup is a binary search.
    std::vector<Entry> m_entries;
    QByteArray m_paths;
};
