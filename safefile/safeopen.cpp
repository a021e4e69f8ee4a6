#include "safeopen.h"

#include "heldfolder.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Links links, qint64 maxSize)
{
    // Windows folders hold no FIFOs or devices: links are what can be planted,
    // and the handle, not the name, says what was opened.
    const bool writing = mode & QIODevice::WriteOnly;
    const HANDLE handle = CreateFileW(HeldFolder::nativePath(path).c_str(), GENERIC_READ | (writing ? GENERIC_WRITE : 0),
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | (links == Links::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool usable = GetFileInformationByHandle(handle, &info)
            && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            && (maxSize < 0 || ((qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow) <= maxSize);
    if (!usable) {
        CloseHandle(handle);
        return false;
    }
    return openOnHandle(file, handle, mode);
}

bool openOnHandle(QFile &file, void *handle, QIODevice::OpenMode mode)
{
    const bool writing = mode & QIODevice::WriteOnly;
    const int fd = _open_osfhandle(intptr_t(handle), (writing ? _O_RDWR : _O_RDONLY) | _O_BINARY | _O_NOINHERIT);
    FILE *stream = fd >= 0 ? _fdopen(fd, writing ? "r+b" : "rb") : nullptr;
    if (!stream) {
        fd >= 0 ? _close(fd) : CloseHandle(HANDLE(handle));
        return false;
    }
    // Every write reaches the system at once: a full disk shows in the write that meets it.
    setvbuf(stream, nullptr, _IONBF, 0);
    if (!file.open(stream, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        fclose(stream);
        return false;
    }
    return true;
}

bool reserveSpace(QFile &file, qint64 size)
{
    // NTFS allocates the clusters of a file that is not sparse when its end is set.
    return file.resize(size);
}

bool setFilePermissions(QFile &file, QFileDevice::Permissions permissions)
{
    // Windows has no mode bits: a file nobody else may read gets an ACL that says so.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther
            | QFileDevice::WriteOther;
    return (permissions & others) || HeldFolder::restrictToOwner(file);
}

bool syncFile(QFile &file)
{
    return FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
}

#else

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, Links links, qint64 maxSize)
{
    // Opened without waiting, then looked at through the descriptor itself, so
    // nothing can be swapped in between the look and the use.
    int flags = ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite ? O_RDWR : mode & QIODevice::WriteOnly ? O_WRONLY : O_RDONLY)
            | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
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

bool reserveSpace(QFile &file, qint64 size)
{
    return file.resize(size) && posix_fallocate(file.handle(), 0, size) == 0;
}

bool setFilePermissions(QFile &file, QFileDevice::Permissions permissions)
{
    mode_t mode = 0;
    const struct { QFileDevice::Permission permission; mode_t bit; } bits[] = {
        {QFileDevice::ReadOwner, S_IRUSR}, {QFileDevice::WriteOwner, S_IWUSR}, {QFileDevice::ExeOwner, S_IXUSR},
        {QFileDevice::ReadGroup, S_IRGRP}, {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
        {QFileDevice::ReadOther, S_IROTH}, {QFileDevice::WriteOther, S_IWOTH}, {QFileDevice::ExeOther, S_IXOTH}};
    for (const auto &bit : bits) {
        if (permissions & bit.permission)
            mode |= bit.bit;
    }
    // Through the descriptor: a link swapped in at the name changes nothing.
    return ::fchmod(file.handle(), mode) == 0;
}

bool syncFile(QFile &file)
{
    return ::fsync(file.handle()) == 0;
}

#endif

bool writeAll(QFile &file, const char *data, qint64 length)
{
    // Unbuffered, so a full disk shows here and not in some later flush.
    return file.write(data, length) == length && file.error() == QFileDevice::NoError;
}
