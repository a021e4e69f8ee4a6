#include "filereplacement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

bool makeLink(const QString &existing, const QString &link)
{
    return CreateHardLinkW(nativePath(link).c_str(), nativePath(existing).c_str(), nullptr);
}

bool renameOver(const QString &from, const QString &to)
{
    return MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool lastMoveCrossedVolumes()
{
    return GetLastError() == ERROR_NOT_SAME_DEVICE;
}
#else
bool makeLink(const QString &existing, const QString &link)
{
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(link).constData()) == 0;
}

bool renameOver(const QString &from, const QString &to)
{
    // The kernel swaps the name in one step: the target is never absent.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool lastMoveCrossedVolumes()
{
    return errno == EXDEV;
}
#endif

// Copies to a temporary file beside the target and renames it over the target
// only once complete: a full disk leaves the target as it was.
bool copyOver(const QString &source, const QString &target)
{
    QFile in(source);
    QSaveFile out(target);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 read = in.read(chunk.data(), chunk.size());
        if (read < 0) {
            out.cancelWriting();
            break;
        }
        if (read == 0)
            break;
        if (out.write(chunk.constData(), read) != read)
            break;
    }
    out.setPermissions(in.permissions());
    return out.commit();
}

bool moveIn(const QString &source, const QString &target)
{
    if (renameOver(source, target))
        return true;
    if (!lastMoveCrossedVolumes() || !copyOver(source, target))
        return false;
    // The new file is in place; a copy left in the cache does no harm.
    QFile::remove(source);
    return true;
}

// The order for what cannot be linked: rename aside, move in, put back on failure.
Replacement replaceAside(const QString &source, const QString &target, const QString &backup)
{
    if (!QFile::rename(target, backup))
        return Replacement::BackupNotMade;
    if (moveIn(source, target))
        return Replacement::Done;
    QFile::rename(backup, target);
    return Replacement::NotMoved;
}

bool existsOrDangles(const QFileInfo &file)
{
    return file.exists() || file.isSymLink();
}

} // namespace

Replacement replaceFile(const QString &source, const QString &target, const QString &backup)
{
    const QFileInfo targetInfo(target);
    if (!existsOrDangles(targetInfo)) {
        if (!targetInfo.absoluteDir().exists() && !QDir().mkpath(targetInfo.absolutePath()))
            return Replacement::DirectoryNotMade;
        return moveIn(source, target) ? Replacement::Done : Replacement::NotMoved;
    }

    if (existsOrDangles(QFileInfo(backup)) && !QFile::remove(backup))
        return Replacement::BackupNotRemoved;
    if (targetInfo.isDir())
        return replaceAside(source, target, backup);
    if (!makeLink(target, backup) && !QFile::copy(target, backup))
        return Replacement::BackupNotMade;
    if (moveIn(source, target))
        return Replacement::Done;
#ifdef Q_OS_WIN
    // A running program refuses to be replaced but may be renamed.
    if (QFile::remove(backup))
        return replaceAside(source, target, backup);
#endif
    return Replacement::NotMoved;
}
