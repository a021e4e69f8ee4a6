#include "filereplacement.h"

#include "atomicfile.h"
#include "enginelog.h"

#ifdef Q_OS_WIN
#include "patience.h"

#include <QRandomGenerator>

#include <qt_windows.h>
#endif

namespace {

using Kind = HeldFolder::Kind;

QString backupNameOf(const QString &targetName)
{
    return targetName + QLatin1String(".old");
}

bool moveIn(const HeldFolder &source, const QString &sourceName, const HeldFolder &target, const QString &targetName)
{
    if (source.rename(sourceName, target, targetName)) {
        qCDebug(lcInstall).noquote() << "renamed" << source.filePath(sourceName) << "over" << target.filePath(targetName);
        return true;
    }
    // Across volumes: a complete copy beside the target, renamed over it, so a
    // full disk leaves the target as it was.
    if (!source.lastRenameCrossedVolumes()) {
        qCInfo(lcInstall).noquote() << "moving" << source.filePath(sourceName) << "failed:" << source.errorString();
        return false;
    }
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

#ifdef Q_OS_WIN

// What a file may wait in all for another process to let go of it.
constexpr int patienceMsecs = 5000;

// @p step, a call on @p folder, tried again while another process holds its file
// (shared by every step of one file).
template <typename Step>
bool patientStep(QDeadlineTimer &deadline, const HeldFolder &folder, Step step, const char *what, const QString &name)
{
    return patiently(deadline, folder, step, [&](int attempt) {
        qCInfo(lcInstall).noquote() << what << name << "refused (attempt" << attempt << "); trying again";
    });
}

// A backup that is still running (a second instance of the host) can be
// renamed but not removed: it goes aside, and away at the next restart.
bool setAsideForRestart(const HeldFolder &folder, const QString &name)
{
    const QString aside = name + QLatin1Char('.') + QString::number(QRandomGenerator::global()->generate(), 16)
            + QLatin1String(".del");
    if (!folder.rename(name, folder, aside))
        return false;
    qCInfo(lcInstall).noquote() << folder.filePath(name) << "is in use; set aside as" << aside << "until the next restart";
    MoveFileExW(HeldFolder::nativePath(folder.filePath(aside)).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

#endif

} // namespace

Replacement replaceFile(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName)
{
    const QString backup = backupNameOf(targetName);
    const Kind existing = target.kindOf(targetName);
#ifdef Q_OS_WIN
    QDeadlineTimer deadline(patienceMsecs);
    const auto tryMoveIn = [&] { return moveIn(source, sourceName, target, targetName); };
    if (existing == Kind::Missing)
        return patientStep(deadline, source, tryMoveIn, "moving in", targetName) ? Replacement::Done : Replacement::NotMoved;
    // A folder at the backup's name is somebody's: it is not emptied to make room.
    if (target.kindOf(backup) == Kind::Folder)
        return Replacement::BackupNotRemoved;
    if (target.kindOf(backup) != Kind::Missing
            && !patientStep(deadline, target, [&] { return target.remove(backup) || setAsideForRestart(target, backup); },
                          "removing", backup))
        return Replacement::BackupNotRemoved;
    // The order Windows allows for a program or DLL in use: aside first, then in.
    if (!patientStep(deadline, target, [&] { return target.rename(targetName, target, backup); }, "setting aside", targetName))
        return Replacement::BackupNotMade;
    qCDebug(lcInstall).noquote() << "set" << target.filePath(targetName) << "aside as" << backup;
    if (patientStep(deadline, source, tryMoveIn, "moving in", targetName))
        return Replacement::Done;
    QDeadlineTimer putBack(patienceMsecs);
    patientStep(putBack, target, [&] { return target.rename(backup, target, targetName); }, "putting back", targetName);
    return Replacement::NotMoved;
#else
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
#endif
}
