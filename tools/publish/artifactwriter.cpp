#include "artifactwriter.h"

#include "artifactindex.h"
#include "artifactmaker.h"
#include "atomicfile.h"
#include "filehash.h"
#include "releasesigner.h"
#include "safeopen.h"

#include <QFile>

namespace {
// A compressed copy must save at least this share to be worth a request of its own.
constexpr qint64 worthPercent = 90;

QByteArray readWhole(const QString &path)
{
    QFile file;
    if (!openRegularFile(file, path, QIODevice::ReadOnly) || file.size() > maxPatchedFileSize)
        return {};
    return file.readAll();
}

QByteArray readWhole(const HeldFolder &folder, const QString &name)
{
    QFile file;
    if (!folder.openFile(file, name, QIODevice::ReadOnly, HeldFolder::Owner::Any) || file.size() > maxPatchedFileSize)
        return {};
    return file.readAll();
}
}

ArtifactWriter::ArtifactWriter(const QDir &versionDir, const QList<Base> &bases, QTextCodec *pathCodec,
                               const ReleaseSigner *signer)
    : m_versionDir(versionDir)
    , m_bases(bases)
    , m_pathCodec(pathCodec)
    , m_signer(signer)
{
}

bool ArtifactWriter::add(const ManifestEntry &entry)
{
    const QByteArray bytes = readWhole(m_versionDir.absoluteFilePath(entry.path));
    if (bytes.isEmpty())
        return true;   // empty, or too large to hold: served whole
    qint64 smallest = qint64(entry.size);
    Artifact compressed{Artifact::Kind::Compressed, entry.md5, entry.size, {}, 0, {}, entry.path};
    const QByteArray packed = compressWhole(bytes);
    if (!packed.isEmpty() && qint64(packed.size()) * 100 <= qint64(entry.size) * worthPercent) {
        if (!keep(compressed, packed))
            return false;
        smallest = packed.size();
    }
    bool changed = false;
    qint64 smallestFromFirstBase = smallest;
    for (const Base &base : qAsConst(m_bases)) {
        const auto earlier = base.files.constFind(entry.path);
        if (earlier == base.files.cend() || earlier->md5 == entry.md5)
            continue;
        const bool fromFirstBase = &base == &m_bases.constFirst();
        changed = changed || fromFirstBase;
        // Never what a link in the earlier version leads to: it could lead out of the site.
        const HeldFolder folder = base.folder.folder(relativeFolder(entry.path));
        if (folder.kindOf(relativeName(entry.path)) == HeldFolder::Kind::Link || !folder.isValid()) {
            m_errors << tr("%1/%2 is a link or lies below one: an earlier version is read only as published")
                                .arg(base.name, entry.path);
            return false;
        }
        const QByteArray baseBytes = readWhole(folder, relativeName(entry.path));
        qint64 smallestFromBase = smallest;
        // Today's patch for every updater, and for an executable the reference patch where it is smaller still.
        for (const Artifact::Kind kind : {Artifact::Kind::Patch, Artifact::Kind::ReferencePatch}) {
            const QByteArray patch = kind == Artifact::Kind::Patch ? makePatch(baseBytes, bytes)
                                                                   : makeReferencePatch(baseBytes, bytes);
            if (patch.isEmpty() || patch.size() >= smallestFromBase)
                continue;
            if (!keep(Artifact{kind, entry.md5, entry.size, earlier->md5, 0, {}, entry.path}, patch))
                return false;
            smallestFromBase = patch.size();
        }
        if (fromFirstBase)
            smallestFromFirstBase = smallestFromBase;
    }
    if (changed) {
        ++m_changedFiles;
        m_changedBytes += qint64(entry.size);
        m_changedArtifactBytes += smallestFromFirstBase;
    }
    return true;
}

bool ArtifactWriter::keep(const Artifact &made, const QByteArray &bytes)
{
    Artifact artifact = made;
    artifact.size = quint64(bytes.size());
    artifact.digest = md5Text(bytes);
    const QString url = artifact.relativeUrl();
    if (!m_written.contains(url)) {
        if (!write(m_versionDir.absoluteFilePath(url), bytes))
            return false;
        m_written.insert(url, artifact.digest);
        ++(artifact.kind == Artifact::Kind::Compressed ? m_compressed
           : artifact.kind == Artifact::Kind::Patch ? m_patches : m_referencePatches);
    }
    m_index.append(artifact);
    return true;
}

bool ArtifactWriter::write(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (QDir().mkpath(QFileInfo(path).absolutePath()) && writeFileAtomically(path, bytes, &error))
        return true;
    m_errors << tr("cannot write %1: %2").arg(path, error);
    return false;
}

bool ArtifactWriter::finish()
{
    if (m_index.isEmpty())
        return true;
    ArtifactIndex index(m_pathCodec);
    for (const Artifact &artifact : qAsConst(m_index))
        index.add(artifact);
    const QByteArray text = index.text();
    const QString path = m_versionDir.absoluteFilePath(ArtifactIndex::indexPath);
    if (!write(path, text))
        return false;
    if (!m_signer)
        return true;
    const QByteArray signature = m_signer->sign(text);
    if (signature.isEmpty()) {
        m_errors << tr("cannot sign %1").arg(path);
        return false;
    }
    return write(path + QLatin1String(".sig"), signature);
}

QString ArtifactWriter::summary() const
{
    QString text = tr("artifacts: %1 patches, %2 reference patches, %3 compressed files")
                           .arg(m_patches).arg(m_referencePatches).arg(m_compressed);
    if (m_changedFiles > 0)
        text += tr("; the %1 files changed since %2 (%3 bytes) come as %4 bytes (%5)")
                        .arg(m_changedFiles).arg(m_bases.constFirst().name).arg(m_changedBytes).arg(m_changedArtifactBytes)
                        .arg(double(m_changedArtifactBytes) / double(m_changedBytes), 0, 'f', 3);
    return text;
}
