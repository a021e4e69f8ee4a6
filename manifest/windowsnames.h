#pragma once

#include "manifest.h"

#include <QString>

/**
 * @file
 * Names Windows cannot hold as a manifest lists them: two entries that name one
 * file under its rules (letters compared case-insensitively, by Unicode simple
 * case folding, a file and a folder of one name included), a name that ends in
 * a dot or a space (Windows drops them and names another file), a reserved
 * device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$,
 * CONOUT$, with any extension, in any folder), or a character Windows refuses
 * in a name (< > " | ? * and control characters).
 */

/// The first entry of @p manifest (by path) whose name Windows cannot hold; empty when every one can.
QString nameWindowsRefuses(const ManifestMap &manifest);

/**
 * nameWindowsRefuses() where the updater runs on Windows; empty elsewhere,
 * where every such name is a file of its own.
 */
QString nameThisSystemRefuses(const ManifestMap &manifest);
