#include "heldfolder.h"

#include "safeopen.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include "wellknownsids_win.h"

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// A name below a held folder is one component that leads nowhere else.
bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}
}

HeldFolder::HeldFolder() = default;
HeldFolder::~HeldFolder() = default;
HeldFolder::HeldFolder(const HeldFolder &other) = default;
HeldFolder &HeldFolder::operator=(const HeldFolder &other) = default;

bool HeldFolder::isValid() const
{
    return m_handle != nullptr;
}

QString HeldFolder::filePath(const QString &name) const
{
    return m_path + QLatin1Char('/') + name;
}

HeldFolder HeldFolder::folder(const QString &relative, Make make, Links links) const
{
    HeldFolder current = *this;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!current.isValid())
            break;
        if (!isPlainName(part)) {
            current.m_handle.reset();
            current.m_error = QStringLiteral("%1 is not a name of a folder below %2").arg(part, current.m_path);
            break;
        }
        HeldFolder next = current.openChild(part, links);
        if (!next.isValid() && make != Make::Nothing && current.kindOf(part) == Kind::Missing
                && (current.makeFolder(part, make == Make::Private) || current.kindOf(part) == Kind::Folder)) {
            if (make == Make::Private)
                current.openChild(part, links).makePrivate();
            next = current.openChild(part, links);
        }
        if (!next.isValid())
            next.m_error = current.m_error;
        current = next;
    }
    m_error = current.m_error;
    return current;
}

bool HeldFolder::remove(const QString &name) const
{
    if (!isPlainName(name))
        return false;
    const Kind kind = kindOf(name);
    if (kind == Kind::Missing)
        return true;
    // Another user's folder is theirs: never emptied, whatever stood at its name a moment ago.
    if (kind == Kind::Folder && !isOwnedBySelf(name)) {
        m_error = QStringLiteral("%1 is another user's folder").arg(filePath(name));
        return false;
    }
    if (kind == Kind::Folder) {
        // Emptied through the folder itself: a link inside is removed, never followed.
        const HeldFolder inside = openChild(name, Links::Refuse);
        if (inside.isValid()) {
            for (const QString &entry : inside.entries())
                inside.remove(entry);
        }
    }
    removeEntry(name, kind);
    return kindOf(name) == Kind::Missing;
}

#ifdef Q_OS_WIN

struct HeldFolder::Handle
{
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() { CloseHandle(handle); }
    HANDLE handle;
};

namespace {
// Held without FILE_SHARE_DELETE: nobody renames or removes the folder meanwhile.
constexpr DWORD folderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

QString windowsError(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const QString error = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(code);
    LocalFree(text);
    return error;
}

// Where a folder opened through links really is: names below it are taken from
// there, so a link retargeted later leads nothing of ours elsewhere.
QString finalPath(HANDLE handle, const QString &fallback)
{
    wchar_t resolved[32768];
    const DWORD length = GetFinalPathNameByHandleW(handle, resolved, 32768, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= 32768)
        return fallback;
    QString final = QString::fromWCharArray(resolved, int(length));
    if (final.startsWith(QLatin1String("\\\\?\\UNC\\")))
        final = QLatin1String("\\\\") + final.mid(8);
    else if (final.startsWith(QLatin1String("\\\\?\\")))
        final = final.mid(4);
    return QDir::fromNativeSeparators(final);
}

// A link or junction at @p path, seen by its attributes. Wine shows a Linux
// link to a folder so, yet renames, removes and opens what it leads to: the
// Windows tests under Wine stand a folder holding a file of the name in
// UPDATER_TEST_JUNCTION_MARK for a junction instead of planting a link.
bool isReparsePoint(const std::wstring &path, DWORD attributes)
{
    static const QString mark = qEnvironmentVariable("UPDATER_TEST_JUNCTION_MARK");
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    return !mark.isEmpty() && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
            && GetFileAttributesW((path + L'\\' + mark.toStdWString()).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool handleInfo(HANDLE handle, BY_HANDLE_FILE_INFORMATION &info)
{
    return GetFileInformationByHandle(handle, &info) != 0;
}

// The parts @p what of the security descriptor of what @p handle opened; empty when unreadable.
using SecurityDescriptor = std::unique_ptr<void, decltype(&LocalFree)>;
SecurityDescriptor securityOf(HANDLE handle, SECURITY_INFORMATION what, PSID *owner, PACL *dacl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        descriptor = nullptr;
    return SecurityDescriptor(descriptor, &LocalFree);
}

// Full control for the user, SYSTEM and (for a folder the updater keeps) the
// Administrators, inherited by what is made inside; nothing from the folder
// above (protected).
bool protectedDacl(WellKnownSids &sids, std::unique_ptr<ACL, decltype(&LocalFree)> &acl, bool administrators = true)
{
    EXPLICIT_ACCESS_W access[3] = {};
    PSID granted[3] = {sids.user(), sids.system, sids.administrators};
    const ULONG count = administrators ? 3 : 2;
    for (ULONG i = 0; i < count; ++i) {
        access[i].grfAccessPermissions = GENERIC_ALL;
        access[i].grfAccessMode = SET_ACCESS;
        access[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[i].Trustee.ptstrName = static_cast<LPWSTR>(granted[i]);
    }
    PACL made = nullptr;
    if (SetEntriesInAclW(count, access, nullptr, &made) != ERROR_SUCCESS)
        return false;
    acl.reset(made);
    return true;
}
}

bool HeldFolder::isSameFolderAs(const HeldFolder &other) const
{
    BY_HANDLE_FILE_INFORMATION mine;
    BY_HANDLE_FILE_INFORMATION theirs;
    return isValid() && other.isValid() && handleInfo(m_handle->handle, mine) && handleInfo(other.m_handle->handle, theirs)
            && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber && mine.nFileIndexHigh == theirs.nFileIndexHigh
            && mine.nFileIndexLow == theirs.nFileIndexLow;
}

std::wstring HeldFolder::nativePath(const QString &path)
{
    // As Qt's own file engine does: absolute, backslashes, and the prefix that
    // lifts MAX_PATH (UNC paths take its \\?\UNC\ form).
    QString absolute = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (absolute.startsWith(QLatin1String("\\\\")) && !absolute.startsWith(QLatin1String("\\\\?\\")))
        absolute = QLatin1String("\\\\?\\UNC\\") + absolute.mid(2);
    else if (!absolute.startsWith(QLatin1String("\\\\?\\")))
        absolute = QLatin1String("\\\\?\\") + absolute;
    // Windows refuses a path of MAX_PATH characters or more that lacks the
    // prefix; Wine does not. With UPDATER_TEST_MAX_PATH set (the Windows tests
    // under Wine), such a path fails here as it would there.
    static const bool likeWindows = qEnvironmentVariableIsSet("UPDATER_TEST_MAX_PATH");
    if (likeWindows && absolute.size() >= MAX_PATH && !absolute.startsWith(QLatin1String("\\\\?\\")))
        return std::wstring(L"\\\\?\\longer than MAX_PATH without the prefix");
    return absolute.toStdWString();
}

HeldFolder HeldFolder::openTrusted(const QString &path)
{
    return open(path);
}

bool HeldFolder::fail() const
{
    // Read now: what runs after a failed call (logging, formatting) may change it.
    const DWORD code = GetLastError();
    m_error = windowsError(code);
    m_crossedVolumes = code == ERROR_NOT_SAME_DEVICE;
    m_inUse = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
    return false;
}

HeldFolder HeldFolder::open(const QString &path)
{
    const HANDLE handle = CreateFileW(nativePath(path).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                                      folderSharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HeldFolder folder;
    folder.m_path = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (handle == INVALID_HANDLE_VALUE) {
        folder.fail();
        return folder;
    }
    folder.m_path = finalPath(handle, folder.m_path);
    folder.m_handle = std::make_shared<Handle>(handle);
    return folder;
}

HeldFolder HeldFolder::openChild(const QString &name, Links links) const
{
    if (!isValid())
        return HeldFolder();
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (links == Links::Refuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL,
                                      folderSharing, nullptr, OPEN_EXISTING, flags, nullptr);
    HeldFolder child;
    child.m_path = filePath(name);
    if (handle == INVALID_HANDLE_VALUE) {
        fail();
        return child;
    }
    // The handle says what was opened; the name's attributes too, where (as
    // under Wine) a handle opened as the link itself does not show it is one.
    BY_HANDLE_FILE_INFORMATION info;
    const std::wstring path = nativePath(child.m_path);
    if (!handleInfo(handle, info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            || (links == Links::Refuse && ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                                           || isReparsePoint(path, GetFileAttributesW(path.c_str()))))) {
        m_error = QStringLiteral("%1 is a link, a junction or not a folder").arg(child.m_path);
        CloseHandle(handle);
        return child;
    }
    if (links == Links::Follow)
        child.m_path = finalPath(handle, child.m_path);
    child.m_handle = std::make_shared<Handle>(handle);
    return child;
}

QString HeldFolder::pathThroughHandle(const QString &relative) const
{
    // Held without FILE_SHARE_DELETE, the folder keeps its name.
    return filePath(relative);
}

HeldFolder::Kind HeldFolder::kindOf(const QString &name) const
{
    if (!isValid())
        return Kind::Missing;
    const std::wstring path = nativePath(filePath(name));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Kind::Missing;
    if (isReparsePoint(path, attributes))
        return Kind::Link;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? Kind::Folder : Kind::File;
}

QStringList HeldFolder::entries() const
{
    if (!isValid())
        return QStringList();
    QStringList names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(nativePath(filePath(QStringLiteral("*"))).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

bool HeldFolder::openFile(QFile &file, const QString &name, QIODevice::OpenMode mode, Owner, qint64 maxSize) const
{
    if (!isValid())
        return false;
    // Windows folders hold no FIFOs or devices: links are what can be planted,
    // and the handle itself says what it opened.
    const bool writing = mode & QIODevice::WriteOnly;
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), GENERIC_READ | (writing ? GENERIC_WRITE : 0),
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return fail();
    BY_HANDLE_FILE_INFORMATION info;
    const qint64 size = handleInfo(handle, info) ? (qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow : -1;
    if (size < 0 || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            || (maxSize >= 0 && size > maxSize)) {
        CloseHandle(handle);
        m_error = QStringLiteral("%1 is not a regular file that can be taken").arg(filePath(name));
        return false;
    }
    return openOnHandle(file, handle, mode);
}

bool HeldFolder::createFile(QFile &file, const QString &name) const
{
    if (!isValid())
        return false;
    // CREATE_NEW: whatever stands at the name, a link included, makes it fail.
    // WRITE_DAC: a file nobody else may read gets its ACL (setFilePermissions()).
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC,
                                      FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return fail();
    return openOnHandle(file, handle, QIODevice::ReadWrite);
}

bool HeldFolder::lockFile(const QString &name, QFile &file) const
{
    if (!isValid())
        return false;
    // Made with its protected DACL; opened by nobody else at the same time, so
    // the open itself is the lock.
    WellKnownSids sids;
    std::unique_ptr<ACL, decltype(&LocalFree)> acl(nullptr, &LocalFree);
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    if (!(protectedDacl(sids, acl) && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)
          && SetSecurityDescriptorDacl(&descriptor, TRUE, acl.get(), FALSE)
          && SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)))
        return fail();
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        fail();
        m_inUse = kindOf(name) != Kind::Missing;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!handleInfo(handle, info) || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(handle);
        m_error = QStringLiteral("%1 is not a lock file of the updater's").arg(filePath(name));
        m_inUse = true;
        return false;
    }
    return openOnHandle(file, handle, QIODevice::ReadWrite);
}

bool HeldFolder::makeFolder(const QString &name, bool privately) const
{
    if (!isValid())
        return false;
    // A private folder is made with its protected DACL, never for an instant
    // with what it would inherit; what is made inside inherits it.
    WellKnownSids sids;
    std::unique_ptr<ACL, decltype(&LocalFree)> acl(nullptr, &LocalFree);
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    if (privately && !(protectedDacl(sids, acl) && InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)
                       && SetSecurityDescriptorDacl(&descriptor, TRUE, acl.get(), FALSE)
                       && SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)))
        return fail();
    return CreateDirectoryW(nativePath(filePath(name)).c_str(), privately ? &attributes : nullptr) || fail();
}

bool HeldFolder::rename(const QString &name, const HeldFolder &to, const QString &toName) const
{
    if (!isValid())
        return false;
    // A link or junction moves as the entry it is. (By handle, Wine, which opens
    // what a link leads to whatever the flags say, would move that instead.)
    if (kindOf(name) == Kind::Link)
        return MoveFileExW(nativePath(filePath(name)).c_str(), nativePath(to.filePath(toName)).c_str(), MOVEFILE_REPLACE_EXISTING)
                || fail();
    // Anything else by handle: what is moved is what was opened.
    const Entry entry = hold(name);
    return entry.isValid() && rename(entry, to, toName);
}

HeldFolder::Entry HeldFolder::hold(const QString &name) const
{
    Entry entry;
    if (!isValid())
        return entry;
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        fail();
    else
        entry.m_handle = std::make_shared<Handle>(handle);
    return entry;
}

bool HeldFolder::rename(const Entry &entry, const HeldFolder &to, const QString &toName) const
{
    if (!entry.isValid() || !to.isValid())
        return false;
    const std::wstring target = nativePath(to.filePath(toName));
    const DWORD size = DWORD(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]());
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.get());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
    std::copy(target.cbegin(), target.cend(), rename->FileName);
    return SetFileInformationByHandle(entry.m_handle->handle, FileRenameInfo, rename, size) || fail();
}

QByteArray HeldFolder::Entry::identity() const
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!isValid() || !handleInfo(m_handle->handle, info))
        return QByteArray();
    return QByteArray::number(quint64(info.dwVolumeSerialNumber), 16) + ':'
            + QByteArray::number((quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 16);
}

void HeldFolder::removeEntry(const QString &name, Kind kind) const
{
    if (!isValid())
        return;
    const std::wstring path = nativePath(filePath(name));
    // A junction or a folder link goes as a folder entry, its target untouched.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    const bool folderEntry = kind == Kind::Folder || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    if (!(folderEntry ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())))
        fail();
}

QFileDevice::Permissions HeldFolder::permissions(const QString &name) const
{
    if (!isValid())
        return {};
    return QFileInfo(filePath(name)).permissions();
}

bool HeldFolder::isOwnedBySelf(const QString &name) const
{
    if (!isValid())
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring path = nativePath(filePath(name));
    if (GetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return false;
    WellKnownSids sids;
    const bool own = sids.isOneOf(owner);
    LocalFree(descriptor);
    return own;
}

bool HeldFolder::syncFile(const QString &name) const
{
    if (!isValid())
        return false;
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return fail();
    const bool flushed = FlushFileBuffers(handle) || fail();
    CloseHandle(handle);
    return flushed;
}

bool HeldFolder::sync() const
{
    // NTFS journals the folder's entries with the rename itself.
    return isValid();
}

bool HeldFolder::syncVolume() const
{
    return false;
}

bool HeldFolder::isPrivate() const
{
    if (!isValid())
        return false;
    PACL dacl = nullptr;
    const SecurityDescriptor descriptor = securityOf(m_handle->handle, DACL_SECURITY_INFORMATION, nullptr, &dacl);
    // What matters is what the DACL says now: nothing inherited, nobody but
    // the user, Administrators and SYSTEM. (It was made protected, so a change
    // above it never reaches in.)
    bool isPrivate = descriptor && dacl;
    WellKnownSids sids;
    for (DWORD i = 0; isPrivate && i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        isPrivate = GetAce(dacl, i, reinterpret_cast<void **>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE
                && !(ace->AceFlags & INHERITED_ACE)
                && sids.isOneOf(&reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart);
    }
    return isPrivate;
}

bool HeldFolder::isTrusted() const
{
    if (!isValid())
        return false;
    PSID owner = nullptr;
    const SecurityDescriptor descriptor = securityOf(m_handle->handle, OWNER_SECURITY_INFORMATION, &owner, nullptr);
    if (!descriptor)
        return false;
    return WellKnownSids().isTrusted(owner);
}

bool HeldFolder::makePrivate() const
{
    // makeFolder() gave it its DACL as it made it.
    return isValid();
}

bool HeldFolder::restrictToOwner(QFile &file)
{
    WellKnownSids sids;
    std::unique_ptr<ACL, decltype(&LocalFree)> acl(nullptr, &LocalFree);
    return protectedDacl(sids, acl, false)
            && SetSecurityInfo(HANDLE(_get_osfhandle(file.handle())), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, acl.get(),
                               nullptr) == ERROR_SUCCESS;
}

#else

struct HeldFolder::Handle
{
    explicit Handle(int fd) : fd(fd) {}
    ~Handle() { ::close(fd); }
    int fd;
};

namespace {
int accessFlags(QIODevice::OpenMode mode)
{
    if ((mode & QIODevice::ReadWrite) == QIODevice::ReadWrite)
        return O_RDWR;
    return mode & QIODevice::WriteOnly ? O_WRONLY : O_RDONLY;
}

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
                            accessFlags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
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

#endif
