#pragma once

#include <QByteArray>

/**
 * @file
 * Making the artifacts that save clients bytes. Both are one-time work at
 * publishing time and may take seconds per megabyte; applying them is fast.
 */

/// The largest file that gets a patch: the suffix array takes four bytes per byte of the base.
constexpr qint64 maxPatchedFileSize = 1024LL * 1024 * 1024;

/// zstd level 19 with a 128 MiB window (long-distance matching), on every core.
QByteArray compressWhole(const QByteArray &bytes);

/**
 * An approximate-match patch from @p base to @p target (see patchformat.h): a
 * suffix array of the base finds long similar runs, and the byte-wise
 * differences along them, mostly zeros, compress to almost nothing. Each stream
 * is stored in the smaller of zstd and xz, with windows that keep applying small.
 */
QByteArray makePatch(const QByteArray &base, const QByteArray &target);

/**
 * A reference patch from @p base to @p target (see patchformat.h) when both are
 * x86-64 executables this reads; empty otherwise, or when the alignment has
 * more steps than an applier holds.
 */
QByteArray makeReferencePatch(const QByteArray &base, const QByteArray &target);
