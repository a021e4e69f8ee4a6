#include "filereplacement.h"

#include "enginelog.h"
#include "patience.h"

#include <QHash>
#include <QRandomGenerator>

#include <qt_windows.h>

namespace {

using Kind = HeldFolder::Kind;

// What a file may wait in all for another process to let go of it.
constexpr int patienceMsecs = 5000;
// What a target set aside is given to come back, when the new file could not go in.
constexpr int putBackMsecs = 30000;

// @p step, a call on @p folder, tried again while another process holds its
// file (shared by every step of one file).
template <typename Step>
bool patientStep(QDeadlineTimer &deadline, const HeldFolder &folder, Step step, const char *what, const QString &name)
{
    return patiently(deadline, folder, step, [&](int attempt) {
        qCInfo(lcInstall).noquote() << what << name << "refused (attempt" << attempt << "); trying again";
    });
}

// @p name of @p folder, held for its renames, waiting while another process holds it.
HeldFolder::Entry holdPatiently(QDeadlineTimer &deadline, const HeldFolder &folder, const QString &name)
{
    HeldFolder::Entry entry;
    patientStep(deadline, folder, [&] { return (entry = folder.hold(name)).isValid(); }, "holding", name);
    return entry;
}

bool moveIn(const HeldFolder &source, const HeldFolder::Entry &entry, const QString &sourceName, const HeldFolder &target,
            const QString &targetName)
{
    return movedIn(source.rename(entry, target, targetName), source, sourceName, target, targetName);
}

// An earlier backup goes: renamed aside by its held handle, then removed; one
// still running (a second instance of the host) is removed at the next restart.
bool removeBackup(const HeldFolder &folder, HeldFolder::Entry &entry, const QString &name)
{
    const QString aside = name + QLatin1Char('.') + QString::number(QRandomGenerator::global()->generate(), 16)
            + QLatin1String(".del");
    if (!folder.rename(entry, folder, aside))
        return false;
    entry = HeldFolder::Entry();
    if (!folder.remove(aside)) {
        qCInfo(lcInstall).noquote() << folder.filePath(name) << "is in use; set aside as" << aside << "until the next restart";
        MoveFileExW(nativePath(folder.filePath(aside)).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return true;
}

} // namespace

Replacement replaceFile(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName)
{
    const QString backup = backupNameOf(targetName);
    const Kind existing = target.kindOf(targetName);
    // A folder at the backup's name is somebody's: it is not emptied to make room.
    if (existing != Kind::Missing && target.kindOf(backup) == Kind::Folder)
        return Replacement::BackupNotRemoved;
    // Every file this replacement renames is held before the first rename, so
    // none can be taken from it half-way (an antivirus, an indexer, a host not
    // quite exited): what cannot be had leaves the target as it was.
    QDeadlineTimer deadline(patienceMsecs);
    const HeldFolder::Entry incoming = holdPatiently(deadline, source, sourceName);
    if (!incoming.isValid())
        return Replacement::NotMoved;
    if (existing == Kind::Missing)
        return moveIn(source, incoming, sourceName, target, targetName) ? Replacement::Done : Replacement::NotMoved;
    const HeldFolder::Entry current = holdPatiently(deadline, target, targetName);
    if (!current.isValid())
        return Replacement::BackupNotMade;
    HeldFolder::Entry earlier;
    if (target.kindOf(backup) != Kind::Missing && !(earlier = holdPatiently(deadline, target, backup)).isValid())
        return Replacement::BackupNotRemoved;
    if (earlier.isValid() && !removeBackup(target, earlier, backup))
        return Replacement::BackupNotRemoved;
    // The order Windows allows for a program or DLL in use: aside first, then in.
    if (!target.rename(current, target, backup))
        return Replacement::BackupNotMade;
    qCDebug(lcInstall).noquote() << "set" << target.filePath(targetName) << "aside as" << backup;
    if (moveIn(source, incoming, sourceName, target, targetName))
        return Replacement::Done;
    QDeadlineTimer putBack(putBackMsecs);
    if (patientStep(putBack, target, [&] { return target.rename(current, target, targetName); }, "putting back", targetName))
        return Replacement::NotMoved;
    qCInfo(lcInstall).noquote() << target.filePath(targetName) << "could not be put back; it waits as" << backup;
    return Replacement::TargetAside;
}

void carryPermissionsOver(const HeldFolder &, const QString &, const HeldFolder &, const QString &)
{
    // Windows files keep no mode bits to carry over.
}

QString firstAliasedEntry(const UpdateList &entries, const HeldFolder &install)
{
    // Windows may reach one file by two names (a long name and its 8.3 alias):
    // two entries for it would replace each other, and the backup of the first.
    QHash<QByteArray, QString> seen;
    for (const ManifestEntry &entry : entries) {
        const HeldFolder folder = install.folder(relativeFolder(entry.path));
        const QByteArray identity = folder.kindOf(relativeName(entry.path)) == Kind::File
                ? folder.hold(relativeName(entry.path)).identity() : QByteArray();
        if (identity.isEmpty())
            continue;
        if (seen.contains(identity))
            return entry.path;
        seen.insert(identity, entry.path);
    }
    return QString();
}
