#include "safeopen.h"

#include "testfaults_win.h"
#include "winsecurity_win.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

std::wstring nativePath(const QString &path)
{
    // As Qt's own file engine does: absolute, backslashes, and the prefix that
    // lifts MAX_PATH (UNC paths take its \\?\UNC\ form).
    QString absolute = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.startsWith(QLatin1String("\\\\")) && !absolute.startsWith(QLatin1String("\\\\?\\")))
        absolute = QLatin1String("\\\\?\\UNC\\") + absolute.mid(2);
    else if (!absolute.startsWith(QLatin1String("\\\\?\\")))
        absolute = QLatin1String("\\\\?\\") + absolute;
    // Windows refuses a path of MAX_PATH characters or more that lacks the
    // prefix; Wine does not. The Windows tests under Wine make it fail here as
    // it would there.
    if (testRefusesLongPaths() && absolute.size() >= MAX_PATH && !absolute.startsWith(QLatin1String("\\\\?\\")))
        return std::wstring(L"\\\\?\\longer than MAX_PATH without the prefix");
    return absolute.toStdWString();
}

bool restrictToOwner(QFile &file)
{
    const ProtectedDacl dacl(false);
    return dacl.isValid()
            && SetSecurityInfo(HANDLE(_get_osfhandle(file.handle())), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl.acl(),
                               nullptr) == ERROR_SUCCESS;
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
    return (permissions & others) || restrictToOwner(file);
}

bool syncFile(QFile &file)
{
    return FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
}
