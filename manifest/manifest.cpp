#include "manifest.h"

#include "filehash.h"
#include "filenames.h"
#include "safeopen.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextCodec>

// Why each file counts as changed, for a support engineer.
Q_LOGGING_CATEGORY(lcCheck, "updater.check", QtWarningMsg)

namespace {

quint64 sizeFromField(const QByteArray &field)
{
    bool ok = false;
    const quint64 value = field.toULongLong(&ok, 16);
    if (!ok)
        return 0;
    // The writer puts the low 32 bits first.
    return (value << 32) | (value >> 32);
}

bool isDotSegment(const QStringRef &segment)
{
    // "." names the folder itself and ".." its parent; Windows drops trailing dots
    // and spaces from a path component, so ". ." and "..." fold into those too.
    int dots = 0;
    for (const QChar c : segment) {
        if (c == QLatin1Char('.'))
            ++dots;
        else if (c != QLatin1Char(' '))
            return false;
    }
    return dots >= 1;
}

} // namespace

bool isSafeManifestPath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char(':')))
        return false;
    const QVector<QStringRef> segments = path.splitRef(QLatin1Char('/'));
    for (const QStringRef &segment : segments) {
        if (isDotSegment(segment))
            return false;
    }
    return true;
}

bool isSameOrInside(const QString &path, const QString &folder)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    const QString cleanPath = QDir::cleanPath(path);
    QString cleanFolder = QDir::cleanPath(folder);
    if (cleanPath.compare(cleanFolder, sensitivity) == 0)
        return true;
    if (!cleanFolder.endsWith(QLatin1Char('/')))
        cleanFolder += QLatin1Char('/');
    return cleanPath.startsWith(cleanFolder, sensitivity);
}

QByteArray formatManifestLine(const ManifestEntry &entry, const QByteArray &encodedPath)
{
    const quint64 swapped = (entry.size << 32) | (entry.size >> 32);
    return entry.md5 + '\t' + QByteArray::number(swapped, 16).rightJustified(16, '0') + '\t'
            + encodedPath + '\n';
}

ManifestMap parseManifest(const QByteArray &bytes, QTextCodec *pathCodec)
{
    ManifestMap manifest;
    const QList<QByteArray> lines = bytes.split('\n');
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        const QList<QByteArray> fields = line.split('\t');
        // Decoding would stop at a NUL and name another file than the line does.
        if (fields.size() != 3 || fields.at(2).contains('\0'))
            continue;
        QString path = pathCodec ? pathCodec->toUnicode(fields.at(2)) : QString::fromLocal8Bit(fields.at(2));
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (path.startsWith(QLatin1Char('/')))
            path.remove(0, 1);
        if (!isSafeManifestPath(path))
            continue;
        manifest.insert(path, ManifestEntry{path, sizeFromField(fields.at(1)), fields.at(0)});
    }
    return manifest;
}

ManifestMap compareManifest(const ManifestMap &remote, const QDir &dir, InstalledDigests *installed)
{
    ManifestMap local;
    QFile localFile;
    if (openRegularFile(localFile, dir.absoluteFilePath(FileNames::localManifest), QIODevice::ReadOnly))
        local = parseManifest(localFile.readAll());

    // The local manifest only saves reading files it vouches for; a file it
    // does not vouch for may still be current, after an interrupted install.
    QVector<FileCheck> toHash;
    QVector<const ManifestEntry *> hashed;
    for (const ManifestEntry &entry : remote) {
        const auto known = local.constFind(entry.path);
        if (known != local.cend() && known->md5 == entry.md5)
            continue;
        toHash.append({dir.absoluteFilePath(entry.path), entry.md5, entry.size});
        hashed.append(&entry);
    }
    const QVector<QByteArray> digests = filesMd5Text(toHash);
    ManifestMap changes;
    for (int i = 0; i < hashed.size(); ++i) {
        const ManifestEntry &entry = *hashed.at(i);
        if (!digests.at(i).isEmpty() && digests.at(i) == entry.md5)
            continue;
        if (installed)
            installed->insert(entry.path, digests.at(i));
        if (lcCheck().isInfoEnabled()) {
            const QFileInfo file(toHash.at(i).path);
            qCInfo(lcCheck).noquote() << entry.path << "changed:"
                                      << (local.contains(entry.path) ? "the local manifest lists another digest,"
                                                                     : "not in the local manifest,")
                                      << (!file.exists() ? "missing" : !file.isFile() ? "not a regular file"
                                                                     : "its content differs");
        }
        changes.insert(entry.path, entry);
    }
    qCInfo(lcCheck) << remote.size() << "files listed," << toHash.size() << "hashed," << changes.size() << "changed";
    return changes;
}
