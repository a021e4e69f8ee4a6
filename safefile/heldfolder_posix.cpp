#include "heldfolder.h"

#include "safeopen.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct HeldFolder::Handle
{
    explicit Handle(int fd) : fd(fd) {}
    ~Handle() { ::close(fd); }
    int fd;
};

namespace {

QFileDevice::Permissions permissionsOf(mode_t mode)
{
    QFileDevice::Permissions permissions;
    const struct { mode_t bit; QFileDevice::Permissions permission; } bits[] = {
        {S_IRUSR, QFileDevice::ReadOwner | QFileDevice::ReadUser}, {S_IWUSR, QFileDevice::WriteOwner | QFileDevice::WriteUser},
        {S_IXUSR, QFileDevice::ExeOwner | QFileDevice::ExeUser}, {S_IRGRP, QFileDevice::ReadGroup},
        {S_IWGRP, QFileDevice::WriteGroup}, {S_IXGRP, QFileDevice::ExeGroup}, {S_IROTH, QFileDevice::ReadOther},
        {S_IWOTH, QFileDevice::WriteOther}, {S_IXOTH, QFileDevice::ExeOther}};
    for (const auto &bit : bits) {
        if (mode & bit.bit)
            permissions |= bit.permission;
    }
    return permissions;
}
}

namespace {
// A link at the name of the folder @p path may be followed: the system's or the
// updater's user's, in a folder nobody else may change.
bool mayFollowLinkAt(const QString &path)
{
    struct stat link;
    struct stat parent;
    const QFileInfo named(path);
    return ::lstat(QFile::encodeName(named.absoluteFilePath()).constData(), &link) == 0
            && ::stat(QFile::encodeName(named.absolutePath()).constData(), &parent) == 0
            && (link.st_uid == ::geteuid() || link.st_uid == 0)
            && ((parent.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (parent.st_mode & S_ISVTX))
            && (parent.st_uid == ::geteuid() || parent.st_uid == 0);
}
}

bool HeldFolder::fail() const
{
    m_error = qt_error_string(errno);
    m_crossedVolumes = errno == EXDEV;
    return false;
}

HeldFolder HeldFolder::open(const QString &path)
{
    HeldFolder folder;
    folder.m_path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        folder.fail();
    else
        folder.m_handle = std::make_shared<Handle>(fd);
    return folder;
}

HeldFolder HeldFolder::openTrusted(const QString &path)
{
    // The name itself first: a link there is refused by the open, then judged.
    HeldFolder folder;
    folder.m_path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        folder.m_handle = std::make_shared<Handle>(fd);
        return folder;
    }
    if (errno != ELOOP && errno != ENOTDIR) {
        folder.fail();
        return folder;
    }
    if (mayFollowLinkAt(folder.m_path))
        return open(path);
    folder.m_error = QStringLiteral("%1 is another user's link, or not a folder").arg(folder.m_path);
    return folder;
}

HeldFolder HeldFolder::openChild(const QString &name, Links links) const
{
    if (!isValid())
        return HeldFolder();
    HeldFolder child;
    child.m_path = filePath(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0);
    const int fd = ::openat(m_handle->fd, QFile::encodeName(name).constData(), flags);
    if (fd < 0)
        fail();
    else
        child.m_handle = std::make_shared<Handle>(fd);
    return child;
}

bool HeldFolder::isSameFolderAs(const HeldFolder &other) const
{
    struct stat mine;
    struct stat theirs;
    return isValid() && other.isValid() && ::fstat(m_handle->fd, &mine) == 0 && ::fstat(other.m_handle->fd, &theirs) == 0
            && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

QString HeldFolder::pathThroughHandle(const QString &relative) const
{
#ifdef Q_OS_LINUX
    if (isValid())
        return QStringLiteral("/proc/self/fd/%1/").arg(m_handle->fd) + relative;
#endif
    return filePath(relative);
}

HeldFolder::Kind HeldFolder::kindOf(const QString &name) const
{
    struct stat status;
    if (!isValid() || ::fstatat(m_handle->fd, QFile::encodeName(name).constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return Kind::Missing;
    if (S_ISLNK(status.st_mode))
        return Kind::Link;
    if (S_ISDIR(status.st_mode))
        return Kind::Folder;
    return S_ISREG(status.st_mode) ? Kind::File : Kind::Other;
}

QStringList HeldFolder::entries() const
{
    QStringList names;
    // A descriptor of its own, so the listing starts at the beginning.
    const int fd = isValid() ? ::openat(m_handle->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR *listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return names;
    }
    while (const dirent *entry = ::readdir(listing)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    }
    ::closedir(listing);
    return names;
}

bool HeldFolder::openFile(QFile &file, const QString &name, QIODevice::OpenMode mode, Owner owner, qint64 maxSize) const
{
    if (!isValid())
        return false;
    // Opened without waiting, then looked at through the descriptor itself.
    const int fd = ::openat(m_handle->fd, QFile::encodeName(name).constData(),
                            openFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return fail();
    struct stat status;
    const bool usable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && (owner == Owner::Any || status.st_uid == ::geteuid()) && (maxSize < 0 || status.st_size <= maxSize)
            && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!usable || !file.open(fd, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        m_error = QStringLiteral("%1 is not a regular file that can be taken").arg(filePath(name));
        ::close(fd);
        return false;
    }
    return true;
}

bool HeldFolder::createFile(QFile &file, const QString &name) const
{
    if (!isValid())
        return false;
    const int fd = ::openat(m_handle->fd, QFile::encodeName(name).constData(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail();
    if (!file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool HeldFolder::makeFolder(const QString &name, bool privately) const
{
    if (!isValid())
        return false;
    return ::mkdirat(m_handle->fd, QFile::encodeName(name).constData(), privately ? 0700 : 0777) == 0 || fail();
}

bool HeldFolder::lockFile(const QString &name, QFile &file) const
{
    m_inUse = false;
    if (!isValid())
        return false;
    const int fd = ::openat(m_handle->fd, QFile::encodeName(name).constData(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        fail();
        m_inUse = kindOf(name) != Kind::Missing;
        return false;
    }
    // The descriptor says what was opened: only a regular file of the updater's user is a lock.
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        m_error = QStringLiteral("%1 is not a lock file of the updater's user").arg(filePath(name));
        m_inUse = true;
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        fail();
        m_inUse = true;
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool HeldFolder::rename(const QString &name, const HeldFolder &to, const QString &toName) const
{
    m_crossedVolumes = false;
    if (!isValid() || !to.isValid())
        return false;
    // The kernel swaps the name in one step: the target is never absent.
    return ::renameat(m_handle->fd, QFile::encodeName(name).constData(), to.m_handle->fd,
                      QFile::encodeName(toName).constData()) == 0
            || fail();
}

bool HeldFolder::exchange(const QString &name, const HeldFolder &other, const QString &otherName) const
{
    if (!isValid() || !other.isValid())
        return false;
    const QByteArray from = QFile::encodeName(name);
    const QByteArray to = QFile::encodeName(otherName);
#if defined(Q_OS_LINUX)
    return ::renameat2(m_handle->fd, from.constData(), other.m_handle->fd, to.constData(), RENAME_EXCHANGE) == 0 || fail();
#elif defined(Q_OS_MACOS)
    return ::renameatx_np(m_handle->fd, from.constData(), other.m_handle->fd, to.constData(), RENAME_SWAP) == 0 || fail();
#else
    return false;
#endif
}

bool HeldFolder::link(const QString &name, const QString &linkName) const
{
    if (!isValid())
        return false;
    return ::linkat(m_handle->fd, QFile::encodeName(name).constData(), m_handle->fd,
                    QFile::encodeName(linkName).constData(), 0) == 0
            || fail();
}

void HeldFolder::removeEntry(const QString &name, Kind kind) const
{
    if (!isValid())
        return;
    if (::unlinkat(m_handle->fd, QFile::encodeName(name).constData(), kind == Kind::Folder ? AT_REMOVEDIR : 0) != 0)
        fail();
}

bool HeldFolder::isOwnedBySelf(const QString &name) const
{
    struct stat status;
    return isValid() && ::fstatat(m_handle->fd, QFile::encodeName(name).constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && status.st_uid == ::geteuid();
}

QFileDevice::Permissions HeldFolder::permissions(const QString &name) const
{
    struct stat status;
    if (!isValid() || ::fstatat(m_handle->fd, QFile::encodeName(name).constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return permissionsOf(status.st_mode);
}

bool HeldFolder::syncFile(const QString &name) const
{
    QFile file;
    return openFile(file, name, QIODevice::ReadOnly) && (::fsync(file.handle()) == 0 || fail());
}

bool HeldFolder::sync() const
{
    return isValid() && (::fsync(m_handle->fd) == 0 || fail());
}

bool HeldFolder::syncVolume() const
{
#ifdef Q_OS_LINUX
    return isValid() && (::syncfs(m_handle->fd) == 0 || fail());
#else
    return false;
#endif
}

bool HeldFolder::isPrivate() const
{
    struct stat status;
    return isValid() && ::fstat(m_handle->fd, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
            && (status.st_mode & 07777) == 0700;
}

bool HeldFolder::isTrusted() const
{
    struct stat status;
    return isValid() && ::fstat(m_handle->fd, &status) == 0 && (status.st_uid == ::geteuid() || status.st_uid == 0);
}

bool HeldFolder::makePrivate() const
{
    // The umask may have taken bits from 0700, never added any; fchmod sets it exactly.
    return isValid() && (::fchmod(m_handle->fd, 0700) == 0 || fail());
}
