#include "artifactindex.h"

#include <QTextCodec>

#include <algorithm>
#include <cstring>

const QLatin1String ArtifactIndex::folder(".artifacts");
const QLatin1String ArtifactIndex::indexPath(".artifacts/index");

namespace {
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Digest text (32 lowercase hexadecimal digits) into its 16 bytes; false for anything else.
bool readDigest(const char *text, int length, std::array<uchar, 16> &digest)
{
    if (length != 32)
        return false;
    for (int i = 0; i < 16; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[size_t(i)] = uchar(high << 4 | low);
    }
    return true;
}

QByteArray digestText(const std::array<uchar, 16> &digest)
{
    return QByteArray(reinterpret_cast<const char *>(digest.data()), int(digest.size())).toHex();
}

const char *kindName(Artifact::Kind kind)
{
    return kind == Artifact::Kind::Compressed ? "zst" : kind == Artifact::Kind::Patch ? "patch" : "refpatch";
}

bool readSize(const char *text, int length, quint64 &size)
{
    bool isNumber = false;
    size = QByteArray::fromRawData(text, length).toULongLong(&isNumber);
    return isNumber;
}
}

QString Artifact::relativeUrl() const
{
    const QByteArray name = kind == Kind::Compressed ? QByteArray(targetDigest + ".zst")
                                                     : QByteArray(baseDigest + '-' + targetDigest + '.' + kindName(kind));
    return ArtifactIndex::folder + QLatin1Char('/') + QString::fromLatin1(name);
}

ArtifactIndex::ArtifactIndex(QTextCodec *pathCodec)
    : m_pathCodec(pathCodec)
{
}

ArtifactIndex ArtifactIndex::parse(const QByteArray &text, QTextCodec *pathCodec)
{
    ArtifactIndex index(pathCodec);
    // Read in place, line by line: no copy of the lines or of their fields, and
    // no room grown twice over (untouched reserved pages cost nothing).
    index.m_entries.reserve(size_t(text.count('\n')) + 1);
    index.m_paths.reserve(text.size());
    const char *data = text.constData();
    for (int start = 0; start < text.size();) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        index.addLine(data + start, end - start);
        start = end + 1;
    }
    std::stable_sort(index.m_entries.begin(), index.m_entries.end(), [](const Entry &a, const Entry &b) {
        return a.target < b.target;
    });
    return index;
}

bool ArtifactIndex::addLine(const char *line, int length)
{
    const char *fields[7];
    int lengths[7];
    int count = 0;
    for (int start = 0;;) {
        const char *tab = static_cast<const char *>(std::memchr(line + start, '\t', size_t(length - start)));
        const int end = tab ? int(tab - line) : length;
        if (count == 7)
            return false;   // an eighth field
        fields[count] = line + start;
        lengths[count] = end - start;
        ++count;
        if (!tab)
            break;
        start = end + 1;
    }
    if (count != 7)
        return false;
    Entry entry{};
    const QByteArray kind = QByteArray::fromRawData(fields[0], lengths[0]);
    if (kind == "zst")
        entry.kind = Artifact::Kind::Compressed;
    else if (kind == "patch")
        entry.kind = Artifact::Kind::Patch;
    else if (kind == "refpatch")
        entry.kind = Artifact::Kind::ReferencePatch;
    else
        return false;
    const bool patch = entry.kind != Artifact::Kind::Compressed;
    if (!readDigest(fields[1], lengths[1], entry.target) || !readSize(fields[2], lengths[2], entry.targetSize)
            || (patch && !readDigest(fields[3], lengths[3], entry.base))
            || !readSize(fields[4], lengths[4], entry.size) || !readDigest(fields[5], lengths[5], entry.digest))
        return false;
    entry.pathStart = quint32(m_paths.size());
    entry.pathLength = quint32(lengths[6]);
    m_paths.append(fields[6], lengths[6]);
    m_entries.push_back(entry);
    return true;
}

QByteArray ArtifactIndex::text() const
{
    QByteArray text;
    for (const Entry &entry : m_entries) {
        const bool patch = entry.kind != Artifact::Kind::Compressed;
        text += QByteArray(kindName(entry.kind)) + '\t' + digestText(entry.target) + '\t'
                + QByteArray::number(entry.targetSize) + '\t' + (patch ? digestText(entry.base) : QByteArray("-"))
                + '\t' + QByteArray::number(entry.size) + '\t' + digestText(entry.digest) + '\t'
                + m_paths.mid(int(entry.pathStart), int(entry.pathLength)) + '\n';
    }
    return text;
}

void ArtifactIndex::add(const Artifact &artifact)
{
    Entry entry{};
    entry.kind = artifact.kind;
    const bool patch = artifact.kind != Artifact::Kind::Compressed;
    const QByteArray path = m_pathCodec ? m_pathCodec->fromUnicode(artifact.path) : artifact.path.toLocal8Bit();
    if (!readDigest(artifact.targetDigest.constData(), artifact.targetDigest.size(), entry.target)
            || (patch && !readDigest(artifact.baseDigest.constData(), artifact.baseDigest.size(), entry.base))
            || !readDigest(artifact.digest.constData(), artifact.digest.size(), entry.digest))
        return;
    entry.targetSize = artifact.targetSize;
    entry.size = artifact.size;
    entry.pathStart = quint32(m_paths.size());
    entry.pathLength = quint32(path.size());
    m_paths += path;
    insert(entry);
}

void ArtifactIndex::insert(const Entry &entry)
{
    const auto place = std::upper_bound(m_entries.begin(), m_entries.end(), entry, [](const Entry &a, const Entry &b) {
        return a.target < b.target;
    });
    m_entries.insert(place, entry);
}

Artifact ArtifactIndex::artifactAt(const Entry &entry) const
{
    const QByteArray path = m_paths.mid(int(entry.pathStart), int(entry.pathLength));
    return Artifact{entry.kind,
                    digestText(entry.target),
                    entry.targetSize,
                    entry.kind != Artifact::Kind::Compressed ? digestText(entry.base) : QByteArray(),
                    entry.size,
                    digestText(entry.digest),
                    m_pathCodec ? m_pathCodec->toUnicode(path) : QString::fromLocal8Bit(path)};
}

QList<Artifact> ArtifactIndex::artifacts() const
{
    QList<Artifact> all;
    for (const Entry &entry : m_entries)
        all.append(artifactAt(entry));
    return all;
}

QList<Artifact> ArtifactIndex::forTarget(const QByteArray &digest, quint64 size) const
{
    Entry wanted{};
    if (!readDigest(digest.constData(), digest.size(), wanted.target))
        return {};
    const auto [first, last] = std::equal_range(m_entries.cbegin(), m_entries.cend(), wanted,
                                                [](const Entry &a, const Entry &b) { return a.target < b.target; });
    QList<Artifact> found;
    for (auto it = first; it != last; ++it) {
        if (it->targetSize == size)
            found.append(artifactAt(*it));
    }
    return found;
}
