#pragma once

#include <QByteArray>

#include <atomic>

/**
 * @file
 * Making the artifacts that save clients bytes. Both are one-time work at
 * publishing time and may take seconds per megabyte; applying them is fast.
 */

/// The largest file that gets a patch: the suffix array takes four bytes per byte of the base.
constexpr qint64 maxPatchedFileSize = 1024LL * 1024 * 1024;

/// How much of the publisher's work runs at once: both cores of a small machine,
/// no more, so that memory stays within what the publisher promises on any machine.
int publishingWorkers();

/// zstd level 19 with a 128 MiB window (long-distance matching), on both cores.
QByteArray compressWhole(const QByteArray &bytes);

/// The patches from one earlier file to a new one.
struct Patches
{
    /// The patch every updater applies (see patchformat.h); empty when none can be made.
    QByteArray patch;
    /// For two x86-64 executables, the reference patch too; otherwise empty.
    QByteArray referencePatch;
};

/**
 * The patches from @p base to @p target. A suffix array of the base finds long
 * similar runs, and the byte-wise differences along them, mostly zeros,
 * compress to almost nothing; for executables, the runs are found with every
 * reference zeroed, and the reference patch predicts the references from the
 * base's. Each stream is stored in the smallest of zstd, xz and as it is, with
 * windows that keep applying small; the codings run on both cores.
 *
 * Both buffers are changed while it works (the references zeroed in place, so
 * that no copy of a large file is held) and left as they were.
 *
 * @param progress when given, receives the target's bytes as they are aligned
 */
Patches makePatches(QByteArray &base, QByteArray &target, std::atomic<qint64> *progress = nullptr);
