#pragma once

#include "heldfolder.h"
#include "manifest.h"

/**
 * @file
 * What the install folder holds of a published version: the comparison of a
 * manifest with the files, read through held folders.
 */

/**
 * The change map: the entries of @p remote that are not current in the held
 * folder @p dir. A path that the local manifest (update_md5.info in @p dir)
 * lists with the remote digest is current without looking at the disk; any
 * other path is current when the file's digest text equals the remote one.
 * Files are read through their held folders: a link standing for a file or a
 * folder on the way is never followed, and what it stands for is not current.
 * @param installed when given, receives the digest text of what is installed at
 *        each changed path, as hashed here: the patch to take depends on it
 */
ManifestMap compareManifest(const ManifestMap &remote, const HeldFolder &dir, InstalledDigests *installed = nullptr);

/**
 * The first folder on the way to a file of @p entries (its relative path, as
 * "a" or "a/b") that stands in @p dir as a link or junction; empty when none
 * does. Nothing is ever written through one.
 */
QString linkedFolder(const ManifestMap &entries, const HeldFolder &dir);
