#include "directories.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

void ensureDirectory(QDir &directory)
{
    if (directory.exists())
        return;
    const QString wanted = directory.absolutePath();
    QString ancestor = wanted;
    // Walk up by path, not with cdUp(), which refuses to enter a missing parent;
    // the root ends the walk even when nothing on the way exists.
    while (!QFileInfo::exists(ancestor)) {
        const QString parent = QFileInfo(ancestor).absolutePath();
        if (parent == ancestor)
            break;
        ancestor = parent;
    }
    QDir(ancestor).mkpath(QDir(ancestor).relativeFilePath(wanted));
    directory.setPath(wanted);
}

bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error)
{
    // Written beside and renamed into place: a reader never sees half a file.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}
