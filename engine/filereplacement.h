#pragma once

#include <QObject>
#include <QString>

namespace FileReplacement {
Q_NAMESPACE
/// How replaceFile() ended.
enum class Replacement {
    Done,             ///< the new file is at the target, the previous one (if any) at the backup
    BackupNotRemoved, ///< an earlier backup could not be deleted; nothing changed
    BackupNotMade,    ///< the target could not be kept as backup; the target is unchanged
    DirectoryNotMade, ///< the target's missing directory could not be created
    NotMoved,         ///< the new file could not be put in place; the target is as it was
};
Q_ENUM_NS(Replacement)
}
using FileReplacement::Replacement;

/**
 * Puts @p source in place of @p target and keeps the file it replaces as @p backup,
 * so that the target path holds the previous file or the new one at every instant,
 * never nothing, whenever the process stops.
 *
 * The backup is made first (a hard link of the target, or a copy where links are not
 * possible), then the source is renamed over the target in one step. Across volumes
 * the source is copied to a temporary name beside the target and renamed over it, so
 * a full disk never leaves a truncated target. On Windows a program that is running
 * cannot be replaced, only renamed: such a target is set aside as the backup and put
 * back when the move fails.
 *
 * A directory standing at the target is set aside as the backup.
 */
Replacement replaceFile(const QString &source, const QString &target, const QString &backup);
