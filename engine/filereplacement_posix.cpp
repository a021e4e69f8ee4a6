#include "filereplacement.h"

#include "atomicfile.h"
#include "enginelog.h"

namespace {

using Kind = HeldFolder::Kind;

bool moveIn(const HeldFolder &source, const QString &sourceName, const HeldFolder &target, const QString &targetName)
{
    return movedIn(source.rename(sourceName, target, targetName), source, sourceName, target, targetName);
}

} // namespace

Replacement replaceFile(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName)
{
    const QString backup = backupNameOf(targetName);
    const Kind existing = target.kindOf(targetName);
    if (existing == Kind::Missing)
        return moveIn(source, sourceName, target, targetName) ? Replacement::Done : Replacement::NotMoved;
    // A folder at the backup's name is somebody's: it is not emptied to make room.
    if (target.kindOf(backup) == Kind::Folder || !target.remove(backup))
        return Replacement::BackupNotRemoved;
    if (existing == Kind::Folder) {
        // A folder can be neither linked nor renamed over: aside, in, back on failure.
        if (!target.rename(targetName, target, backup))
            return Replacement::BackupNotMade;
        if (moveIn(source, sourceName, target, targetName))
            return Replacement::Done;
        target.rename(backup, target, targetName);
        return Replacement::NotMoved;
    }
    QString error;
    if (target.link(targetName, backup))
        qCDebug(lcInstall).noquote() << "kept" << target.filePath(targetName) << "as" << backup << "(hard link)";
    else if (existing == Kind::File && copyFileAtomically(target, targetName, target, backup, &error))
        qCDebug(lcInstall).noquote() << "kept" << target.filePath(targetName) << "as" << backup << "(copy)";
    else
        return Replacement::BackupNotMade;
    return moveIn(source, sourceName, target, targetName) ? Replacement::Done : Replacement::NotMoved;
}

void carryPermissionsOver(const HeldFolder &target, const QString &targetName, const HeldFolder &source, const QString &sourceName)
{
    // A device or FIFO standing in its place (often open to all) lends none.
    QFile download;
    if (target.kindOf(targetName) == Kind::File && source.openFile(download, sourceName, QIODevice::ReadOnly))
        setFilePermissions(download, target.permissions(targetName));
}

QString firstAliasedEntry(const UpdateList &, const HeldFolder &)
{
    // Here every name is a file of its own: two names of one file are two hard links.
    return QString();
}
