#include "filereplacement.h"

#include "atomicfile.h"
#include "enginelog.h"

QString backupNameOf(const QString &targetName)
{
    return targetName + QLatin1String(".old");
}

bool movedIn(bool renamed, const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
             const QString &targetName)
{
    if (renamed) {
        qCDebug(lcInstall).noquote() << "renamed" << source.filePath(sourceName) << "over" << target.filePath(targetName);
        return true;
    }
    if (!source.lastRenameCrossedVolumes()) {
        qCInfo(lcInstall).noquote() << "moving" << source.filePath(sourceName) << "failed:" << source.errorString();
        return false;
    }
    // Across volumes: a complete copy beside the target, renamed over it, so a
    // full disk leaves the target as it was.
    QString error;
    if (!copyFileAtomically(source, sourceName, target, targetName, &error)) {
        qCInfo(lcInstall).noquote() << "copy across volumes to" << target.filePath(targetName) << "failed:" << error;
        return false;
    }
    qCDebug(lcInstall).noquote() << "copied" << source.filePath(sourceName) << "across volumes over" << target.filePath(targetName);
    // The new file is in place; a copy left in the cache does no harm.
    source.remove(sourceName);
    return true;
}
