#pragma once

#include <QFile>
#include <QString>

/**
 * @file
 * Opening, writing and syncing files whose names someone else may have
 * prepared: a link, a FIFO, a device or a huge file standing where a file of
 * ours was expected. Files below a folder another user could write are opened
 * through a HeldFolder instead.
 */

/// Whether the last part of a path may be a link.
enum class Links { Follow, Refuse };

/**
 * Opens @p path into @p file only when it is a regular file: a FIFO is never
 * waited on and a device never read. What was opened is checked, not the name,
 * so nothing can be swapped in between. With Links::Refuse a link at the name is
 * refused too, and so is a file owned by another user (POSIX).
 * @param maxSize the largest size accepted, or -1 for any
 */
bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode,
                     Links links = Links::Follow, qint64 maxSize = -1);

/**
 * Makes @p file @p size bytes long with its blocks allocated, so that a mapping
 * of it can be written without meeting a full disk (which would end the
 * process); false when the space is not there.
 */
bool reserveSpace(QFile &file, qint64 size);

/// Writes all @p length bytes, unbuffered; false on any error or short write.
bool writeAll(QFile &file, const char *data, qint64 length);

/// Gives the open @p file exactly @p permissions (fchmod; a no-op on Windows).
bool setFilePermissions(QFile &file, QFileDevice::Permissions permissions);

/// Puts the data of the open @p file on the disk (fsync; FlushFileBuffers).
bool syncFile(QFile &file);

#ifdef Q_OS_WIN
/**
 * Hands the open Win32 @p handle to @p file, unbuffered, which closes it from
 * then on; on failure the handle is closed. Through a C stream: Qt maps only
 * files it knows by one.
 */
bool openOnHandle(QFile &file, void *handle, QIODevice::OpenMode mode);
#endif
