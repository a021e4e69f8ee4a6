#include "privatefolder.h"

#include "safeopen.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcCache, "updater.cache", QtWarningMsg)

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
DWORD attributesOf(const QString &path)
{
    return GetFileAttributesW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
}

bool isReparsePoint(const QString &path)
{
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool isOwnFolder(const QString &path)
{
    // A junction or link anywhere on the way could lead the writes elsewhere.
    for (QString level = path; !QFileInfo(level).isRoot(); level = QFileInfo(level).absolutePath()) {
        if (isReparsePoint(level))
            return false;
    }
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool makeFolder(const QString &path)
{
    return QDir().mkdir(path);
}
#else
bool isOwnFolder(const QString &path)
{
    struct stat status;
    return lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
            && status.st_uid == geteuid() && (status.st_mode & 07777) == 0700;
}

bool makeFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    // The umask may take bits away from 0700, never add any; chmod sets it exactly.
    return ::mkdir(native.constData(), 0700) == 0 && ::chmod(native.constData(), 0700) == 0;
}
#endif

} // namespace

PrivateFolder::PrivateFolder(const QString &cacheDir)
    : m_path(QDir(cacheDir).absoluteFilePath(QStringLiteral(".updater")))
{
}

QString PrivateFolder::filePath(const QString &relative) const
{
    return m_path + QLatin1Char('/') + relative;
}

bool PrivateFolder::prepare(QString *error) const
{
    if (isOwnFolder(m_path))
        return true;
    if (QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink())
        qCInfo(lcCache) << m_path << "is not a private folder of this user; it is made anew";
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    if (removePath(m_path) && makeFolder(m_path) && isOwnFolder(m_path))
        return true;
    if (error)
        *error = QCoreApplication::translate("PrivateFolder", "%1 cannot be made a private folder").arg(m_path);
    return false;
}
