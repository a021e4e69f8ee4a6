#include "safeopen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openFlags(QIODevice::OpenMode mode)
{
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        return O_RDWR;
    return mode & QIODevice::WriteOnly ? O_WRONLY : O_RDONLY;
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
