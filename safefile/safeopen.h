#pragma once

#include <QFile>
#include <QString>

#include <string>

/**
 * @file
 * Writing and syncing open files so that the disk cannot lie about them, and
 * the system's own ways of naming and protecting them. Files are opened
 * through a HeldFolder.
 */

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

#ifdef Q_OS_WIN   // what only Windows names: its handles, its long paths, its DACLs
/**
 * Hands the open Win32 @p handle to @p file, unbuffered, which closes it from
 * then on; on failure the handle is closed. Through a C stream: Qt maps only
 * files it knows by one.
 */
bool openOnHandle(QFile &file, void *handle, QIODevice::OpenMode mode);
/// The absolute long path (\\?\…) that Win32 calls take for @p path: the one way every path reaches them.
std::wstring nativePath(const QString &path);
/// Gives the open @p file a protected DACL of the user and SYSTEM only: what mode 0600 is elsewhere.
bool restrictToOwner(QFile &file);
#else
/// The open() flags of @p mode.
int openFlags(QIODevice::OpenMode mode);
#endif
