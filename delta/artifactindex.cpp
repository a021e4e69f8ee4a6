#include "artifactindex.h"

#include <QTextCodec>

#include <algorithm>

const QLatin1String ArtifactIndex::folder(".artifacts");
const QLatin1String ArtifactIndex::indexPath(".artifacts/index");

namespace {
bool isDigestText(const QByteArray &text)
{
    return text.size() == 32 && std::all_of(text.cbegin(), text.cend(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}
}

QString Artifact::relativeUrl() const
{
    const QByteArray name = kind == Kind::Compressed ? QByteArray(targetDigest + ".zst")
                                                     : QByteArray(baseDigest + '-' + targetDigest + ".patch");
    return ArtifactIndex::folder + QLatin1Char('/') + QString::fromLatin1(name);
}

ArtifactIndex ArtifactIndex::parse(const QByteArray &text, QTextCodec *pathCodec)
{
    ArtifactIndex index;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 7)
            continue;
        Artifact artifact;
        bool targetSizeRead = false;
        bool sizeRead = false;
        artifact.kind = fields.at(0) == "patch" ? Artifact::Kind::Patch : Artifact::Kind::Compressed;
        artifact.targetDigest = fields.at(1);
        artifact.targetSize = fields.at(2).toULongLong(&targetSizeRead);
        artifact.baseDigest = artifact.kind == Artifact::Kind::Patch ? fields.at(3) : QByteArray();
        artifact.size = fields.at(4).toULongLong(&sizeRead);
        artifact.digest = fields.at(5);
        artifact.path = pathCodec ? pathCodec->toUnicode(fields.at(6)) : QString::fromLocal8Bit(fields.at(6));
        const bool knownKind = fields.at(0) == "patch" || fields.at(0) == "zst";
        if (knownKind && targetSizeRead && sizeRead && isDigestText(artifact.targetDigest) && isDigestText(artifact.digest)
                && (artifact.kind == Artifact::Kind::Compressed || isDigestText(artifact.baseDigest)))
            index.add(artifact);
    }
    return index;
}

QByteArray ArtifactIndex::text(QTextCodec *pathCodec) const
{
    QByteArray text;
    for (const Artifact &artifact : m_artifacts) {
        const bool patch = artifact.kind == Artifact::Kind::Patch;
        text += QByteArray(patch ? "patch" : "zst") + '\t' + artifact.targetDigest + '\t'
                + QByteArray::number(artifact.targetSize) + '\t' + (patch ? artifact.baseDigest : QByteArray("-")) + '\t'
                + QByteArray::number(artifact.size) + '\t' + artifact.digest + '\t'
                + (pathCodec ? pathCodec->fromUnicode(artifact.path) : artifact.path.toLocal8Bit()) + '\n';
    }
    return text;
}

void ArtifactIndex::add(const Artifact &artifact)
{
    m_byTarget.insert(artifact.targetDigest, m_artifacts.size());
    m_artifacts.append(artifact);
}

QList<Artifact> ArtifactIndex::forTarget(const QByteArray &digest, quint64 size) const
{
    QList<Artifact> found;
    for (auto it = m_byTarget.constFind(digest); it != m_byTarget.cend() && it.key() == digest; ++it) {
        if (m_artifacts.at(it.value()).targetSize == size)
            found.append(m_artifacts.at(it.value()));
    }
    return found;
}
