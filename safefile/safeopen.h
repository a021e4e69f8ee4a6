#pragma once

#include <QFile>
#include <QString>

/**
 * @file
 * Opening files whose names someone else may have prepared: a link, a FIFO, a
 * device or a huge file standing where a file of ours was expected.
 */

/// Whether the last part of a path may be a link.
enum class Links { Follow, Refuse };

/**
 * Opens @p path into @p file only when it is a regular file: a FIFO is never
 * waited on and a device never read. With Links::Refuse a link at the name is
 * refused too, and so is a file owned by another user (POSIX).
 * @param maxSize the largest size accepted, or -1 for any
 */
bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode,
                     Links links = Links::Follow, qint64 maxSize = -1);

/**
 * Creates @p path anew and opens it for reading and writing (unbuffered): fails when
 * anything at all stands at the name, so nothing is ever written through a
 * planted link or into a file that was already there.
 */
bool createNewFile(QFile &file, const QString &path, QString *error = nullptr);

/**
 * Removes whatever stands at @p path: a file, a link (not what it points to),
 * a FIFO, a device, or a folder with everything in it. True when nothing is
 * left there.
 */
bool removePath(const QString &path);

/**
 * Makes @p file @p size bytes long with its blocks allocated, so that a mapping
 * of it can be written without meeting a full disk (which would end the
 * process); false when the space is not there.
 */
bool reserveSpace(QFile &file, qint64 size);

/// Writes all @p length bytes, unbuffered; false on any error or short write.
bool writeAll(QFile &file, const char *data, qint64 length);

/**
 * Renames @p from to @p to in one step, replacing what stands at @p to: a file
 * or a link there is replaced itself, never the file a link points to.
 */
bool renameOver(const QString &from, const QString &to);

/// True when the last rename failed because the two names lie on different volumes.
bool lastRenameCrossedVolumes();
