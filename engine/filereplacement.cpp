#include "filereplacement.h"

#include "atomicfile.h"
#include "safeopen.h"
#include "enginelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
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
#else
bool makeLink(const QString &existing, const QString &link)
{
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(link).constData()) == 0;
}
#endif

bool moveIn(const QString &source, const QString &target)
{
    if (renameOver(source, target)) {
        qCDebug(lcInstall).noquote() << "renamed" << source << "over" << target;
        return true;
    }
    // Across volumes: a complete copy beside the target, renamed over it, so a
    // full disk leaves the target as it was.
    if (!lastRenameCrossedVolumes())
        return false;
    QString error;
    if (!copyFileAtomically(source, target, &error)) {
        qCInfo(lcInstall).noquote() << "copy across volumes to" << target << "failed:" << error;
        return false;
    }
    qCDebug(lcInstall).noquote() << "copied" << source << "across volumes over" << target;
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
    if (makeLink(target, backup))
        qCDebug(lcInstall).noquote() << "kept" << target << "as" << backup << "(hard link)";
    else if (QFile::copy(target, backup))
        qCDebug(lcInstall).noquote() << "kept" << target << "as" << backup << "(copy)";
    else
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
