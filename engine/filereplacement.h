#pragma once

#include "heldfolder.h"
#include "manifest.h"

#include <QObject>
#include <QString>

namespace FileReplacement {
Q_NAMESPACE
/// How replaceFile() ended.
enum class Replacement {
    Done,             ///< the new file is at the target, the previous one (if any) at the backup
    BackupNotRemoved, ///< an earlier backup could not be deleted or set aside; nothing changed
    BackupNotMade,    ///< the target could not be kept as backup; the target is unchanged
    NotMoved,         ///< the new file could not be put in place; the target is as it was
    TargetAside,      ///< Windows: the new file could not be put in place, nor the target back: it waits as the backup
};
Q_ENUM_NS(Replacement)
}
using FileReplacement::Replacement;

/**
 * Puts the file @p sourceName of @p source in place of @p targetName in
 * @p target, and keeps the file it replaces as "<targetName>.old" beside it.
 * Everything goes through the two held folders.
 *
 * Linux and macOS: the backup is made first (a hard link of the target, or a
 * copy where links are not possible), then the source is renamed over the
 * target in one step, so the target holds the previous file or the new one at
 * every instant, whenever the process stops.
 *
 * Windows refuses to rename over, or remove any name of, a program or DLL that
 * is running, but lets it be renamed: there the target is renamed aside as the
 * backup first and the source moved in after, the target put back when that
 * fails. Every file it renames (the new file, the target, an earlier backup)
 * is held first, waiting at most 5 s in all for another process (an antivirus
 * scanning the new file, the host not quite exited) to let go of it, so none
 * can be taken away between the renames; what cannot be had leaves the target
 * as it was. A target that cannot be put back is tried for 30 s more. A backup
 * that cannot be removed because it is still running is set aside under a
 * name of its own, removed at the next restart.
 *
 * Across volumes the source is copied to a temporary name beside the target and
 * renamed over it, so a full disk never leaves a truncated target. A folder
 * standing at the target is set aside as the backup.
 */
Replacement replaceFile(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName);

/**
 * Gives @p sourceName of @p source the permissions of the file @p targetName of
 * @p target that it is to replace (POSIX: a downloaded file has no execute bit,
 * and a replaced program must run from the instant it is in place); only a
 * regular file's carry over. Nothing where files keep no mode (Windows).
 */
void carryPermissionsOver(const HeldFolder &target, const QString &targetName, const HeldFolder &source, const QString &sourceName);

/// "<targetName>.old": where a replaced file is kept.
QString backupNameOf(const QString &targetName);

/**
 * Ends a move of @p sourceName in @p source over @p targetName in @p target
 * that @p renamed tells the outcome of: one that failed because the two lie on
 * different volumes is done by a copy instead, whole or not at all, the source
 * removed after. True when the new file is in place.
 */
bool movedIn(bool renamed, const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
             const QString &targetName);

/**
 * The first of @p entries that names, in @p install, a file another one names
 * too (Windows: a long name and its 8.3 alias); empty when there is none, and
 * always elsewhere.
 */
QString firstAliasedEntry(const UpdateList &entries, const HeldFolder &install);
