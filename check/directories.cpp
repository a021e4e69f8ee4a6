#include "directories.h"

#include <QFile>
#include <QFileInfo>

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

QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : canonical;
}
