#include "manifest.h"

#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QTextCodec>


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

// The path of a manifest line as every reader takes it: decoded, "/" separated,
// without a leading "/"; empty when it could leave the checked directory.
QString manifestPath(const QByteArray &field, QTextCodec *pathCodec)
{
    // Decoding would stop at a NUL and name another file than the line does.
    if (field.contains('\0'))
        return QString();
    QString path = pathCodec ? pathCodec->toUnicode(field) : QString::fromLocal8Bit(field);
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return isSafeManifestPath(path) ? path : QString();
}

QList<QByteArray> fieldsOf(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line.split('\t');
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
    const Qt::CaseSensitivity sensitivity = fileNameCase();
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
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = fieldsOf(line);
        const QString path = fields.size() == 3 ? manifestPath(fields.at(2), pathCodec) : QString();
        if (!path.isEmpty())
            manifest.insert(path, ManifestEntry{path, sizeFromField(fields.at(1)), fields.at(0)});
    }
    return manifest;
}

QByteArray formatSha256Line(const ManifestEntry &entry, const QByteArray &encodedPath)
{
    return entry.sha256 + '\t' + QByteArray::number(entry.size) + '\t' + encodedPath + '\n';
}

bool applySha256List(ManifestMap &manifest, const QByteArray &list, QString *problem, QTextCodec *pathCodec)
{
    static const QRegularExpression sha256Form(QStringLiteral("^[0-9a-f]{64}$"));
    QHash<QString, QByteArray> listed;
    const QList<QByteArray> lines = list.split('\n');
    for (int number = 0; number < lines.size(); ++number) {
        const QList<QByteArray> fields = fieldsOf(lines.at(number));
        if (fields.size() == 1 && fields.first().isEmpty() && number == lines.size() - 1)
            break;   // after the last LF
        bool isSize = false;
        const quint64 size = fields.size() == 3 ? fields.at(1).toULongLong(&isSize) : 0;
        if (!isSize || !sha256Form.match(QString::fromLatin1(fields.at(0))).hasMatch()) {
            *problem = QStringLiteral("line %1 of sha256.txt is not a digest, a size and a path").arg(number + 1);
            return false;
        }
        const QString path = manifestPath(fields.at(2), pathCodec);
        if (path.isEmpty())
            continue;
        const auto entry = manifest.constFind(path);
        if (entry == manifest.cend() || entry->size != size || listed.contains(path)) {
            *problem = QStringLiteral("sha256.txt lists %1 otherwise than md5.txt").arg(path);
            return false;
        }
        listed.insert(path, fields.at(0));
    }
    for (const ManifestEntry &entry : qAsConst(manifest)) {
        if (!listed.contains(entry.path)) {
            *problem = QStringLiteral("sha256.txt does not list %1").arg(entry.path);
            return false;
        }
    }
    for (auto entry = manifest.begin(); entry != manifest.end(); ++entry)
        entry->sha256 = listed.value(entry.key());
    return true;
}
