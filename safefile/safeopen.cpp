#include "safeopen.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Links links, qint64 maxSize)
{
    // No FIFOs or devices live in a Windows folder; links are what can be planted.
    const QFileInfo info(path);
    if (!info.isFile() || (links == Links::Refuse && (info.isSymLink() || info.isJunction()))
            || (maxSize >= 0 && info.size() > maxSize))
        return false;
    file.setFileName(path);
    return file.open(mode | QIODevice::Unbuffered);
}

bool createNewFile(QFile &file, const QString &path, QString *error)
{
    // CREATE_NEW underneath: whatever stands at the name, a link included, makes it fail.
    const int fd = _wopen(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                          _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0 || !file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        if (error)
            *error = qt_error_string(errno);
        if (fd >= 0)
            _close(fd);
        return false;
    }
    return true;
}

bool renameOver(const QString &from, const QString &to)
{
    return MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING);
}

bool lastRenameCrossedVolumes()
{
    return GetLastError() == ERROR_NOT_SAME_DEVICE;
}

bool reserveSpace(QFile &file, qint64 size)
{
    // NTFS allocates the clusters of a file that is not sparse when its end is set.
    return file.resize(size);
}

#else

namespace {
int accessFlags(QIODevice::OpenMode mode)
{
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        return O_RDWR;
    return mode & QIODevice::WriteOnly ? O_WRONLY : O_RDONLY;
}
}

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Links links, qint64 maxSize)
{
    // Opened without waiting, then looked at through the descriptor itself, so
    // nothing can be swapped in between the look and the use.
    int flags = accessFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (links == Links::Refuse)
        flags |= O_NOFOLLOW;
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return false;
    struct stat status;
    const bool usable = fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && (links == Links::Follow || status.st_uid == geteuid())
            && (maxSize < 0 || status.st_size <= maxSize)
            && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!usable || !file.open(fd, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool createNewFile(QFile &file, const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 || !file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        if (error)
            *error = qt_error_string(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    return true;
}

bool renameOver(const QString &from, const QString &to)
{
    // The kernel swaps the name in one step: the target is never absent.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool lastRenameCrossedVolumes()
{
    return errno == EXDEV;
}

bool reserveSpace(QFile &file, qint64 size)
{
    return file.resize(size) && posix_fallocate(file.handle(), 0, size) == 0;
}

#endif

bool removePath(const QString &path)
{
    const QFileInfo entry(path);
    if (entry.isSymLink() || entry.isJunction() || !entry.isDir())
        QFile::remove(path);
    else
        QDir(path).removeRecursively(); // removes the links inside without following them
    return !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
}

bool writeAll(QFile &file, const char *data, qint64 length)
{
    // Unbuffered, so a full disk shows here and not in some later flush.
    return file.write(data, length) == length && file.error() == QFileDevice::NoError;
}
