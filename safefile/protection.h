#pragma once

#include <QString>

/**
 * @file
 * Whether anyone but the updater's own user, the administrators and the system
 * could change what an elevated updater runs or reads: an updater that may be
 * steered so is worth a line in the log, or a refusal.
 */

/**
 * Why the file or folder @p path could be changed, or replaced, by anyone but
 * the updater's user, the administrators (root) and the system: its owner, or
 * who may write it or a folder above it (POSIX: owners and modes up to the
 * root, a sticky folder above keeping others from what they do not own;
 * Windows: owners and DACLs). Empty when nobody else can, or @p path does not
 * exist.
 */
QString whoElseMayChange(const QString &path);
