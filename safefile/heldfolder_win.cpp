#include "heldfolder.h"

#include "safeopen.h"
#include "testfaults_win.h"
#include "winsecurity_win.h"

#include <QDir>
#include <QFileInfo>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>

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
    const QString &mark = testJunctionMark();
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

}

bool HeldFolder::isSameFolderAs(const HeldFolder &other) const
{
    BY_HANDLE_FILE_INFORMATION mine;
    BY_HANDLE_FILE_INFORMATION theirs;
    return isValid() && other.isValid() && handleInfo(m_handle->handle, mine) && handleInfo(other.m_handle->handle, theirs)
            && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber && mine.nFileIndexHigh == theirs.nFileIndexHigh
            && mine.nFileIndexLow == theirs.nFileIndexLow;
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
    m_inUse = false;
    if (!isValid())
        return false;
    // Made with its protected DACL; opened by nobody else at the same time, so
    // the open itself is the lock.
    ProtectedDacl dacl;
    if (!dacl.isValid())
        return fail();
    const HANDLE handle = CreateFileW(nativePath(filePath(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, dacl.attributes(), OPEN_ALWAYS,
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
    ProtectedDacl dacl;
    if (privately && !dacl.isValid())
        return fail();
    return CreateDirectoryW(nativePath(filePath(name)).c_str(), privately ? dacl.attributes() : nullptr) || fail();
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

bool HeldFolder::exchange(const QString &, const HeldFolder &, const QString &) const
{
    return false;
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

