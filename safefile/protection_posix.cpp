#include "protection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

QString whoElseMayChange(const QString &path)
{
    // The real place: a link on the way leads wherever its maker meant.
    QString current = QFileInfo(path).canonicalFilePath();
    for (bool itself = true; !current.isEmpty(); itself = false) {
        struct stat status;
        if (::lstat(QFile::encodeName(current).constData(), &status) != 0)
            return QString();
        if (status.st_uid != 0 && status.st_uid != ::geteuid())
            return QStringLiteral("%1 belongs to user %2").arg(current).arg(status.st_uid);
        // Above it, a sticky folder lets nobody rename or remove what is not theirs.
        const bool sticky = !itself && S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX);
        if ((status.st_mode & S_IWOTH) && !sticky)
            return QStringLiteral("%1 can be written by every user").arg(current);
        if ((status.st_mode & S_IWGRP) && status.st_gid != 0 && !sticky)
            return QStringLiteral("%1 can be written by group %2").arg(current).arg(status.st_gid);
        if (current == QLatin1String("/"))
            break;
        current = QFileInfo(current).absolutePath();
    }
    return QString();
}
