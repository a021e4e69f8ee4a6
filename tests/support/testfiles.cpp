#include "testfiles.h"

#include "filehash.h"
#include "manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

bool writeTestFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readTestFile(const QString &path, const QByteArray &whenMissing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : whenMissing;
}

bool isPrivateToOwner(const QString &path)
{
#ifdef Q_OS_WIN
    // Read from the opened file or folder itself, as the updater reads it.
    const HANDLE handle = CreateFileW(QDir::toNativeSeparators(path).toStdWString().c_str(), READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                       &descriptor);
    CloseHandle(handle);
    if (read != ERROR_SUCCESS)
        return false;
    bool own = dacl != nullptr;
    for (DWORD i = 0; own && i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        GetAce(dacl, i, reinterpret_cast<void **>(&ace));
        LPWSTR sid = nullptr;
        ConvertSidToStringSidW(&reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart, &sid);
        const QString text = QString::fromWCharArray(sid);
        LocalFree(sid);
        // SYSTEM, Administrators, or the user itself (a SID of this machine's users).
        own = !(ace->AceFlags & INHERITED_ACE)
                && (text == QLatin1String("S-1-5-18") || text == QLatin1String("S-1-5-32-544") || text.startsWith(QLatin1String("S-1-5-21-")));
    }
    LocalFree(descriptor);
    return own;
#else
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 && (status.st_mode & 077) == 0;
#endif
}

bool runsUnderWine()
{
#ifdef Q_OS_WIN
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

FileCheck fileCheck(const QString &path, const QByteArray &md5, quint64 size, const QByteArray &sha256)
{
    const QFileInfo file(path);
    return FileCheck{HeldFolder::open(file.absolutePath()), file.fileName(), md5, size, sha256};
}

bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    // A publication or a system command takes seconds at most when idle.
    return process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QByteArray numberedLines(int size, const QByteArray &text)
{
    QByteArray lines;
    for (int line = 0; lines.size() < size; ++line)
        lines += "line " + QByteArray::number(line) + ' ' + text + '\n';
    return lines;
}

QByteArray rawManifestLine(const QByteArray &md5, const QByteArray &size, const QByteArray &path)
{
    return md5 + '\t' + size + '\t' + path + '\n';
}

QStringList describeManifest(const ManifestMap &map)
{
    QStringList lines;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.key() != it->path)
            lines << QStringLiteral("key mismatch: ") + it.key();
        lines << it->path + QLatin1Char('|') + QString::number(it->size) + QLatin1Char('|')
                        + QString::fromLatin1(it->md5);
    }
    return lines;
}

QByteArray manifestLine(const QByteArray &content, const QByteArray &path)
{
    return formatManifestLine(ManifestEntry{QString(), quint64(content.size()), md5Text(content)}, path);
}
