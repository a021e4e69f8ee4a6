#pragma once

#include "digesttext.h"
#include "hasher.h"
#include "heldfolder.h"

#include <QByteArray>
#include <QString>
#include <QVector>

/**
 * @file
 * Hashing buffers and files into the digest text (see digesttext.h).
 */

/// Digest text of @p bytes.
QByteArray md5Text(const QByteArray &bytes);

/**
 * Digest text of the whole content of the file at @p path, read in chunks;
 * an empty array when it is no regular file (a FIFO or a device, also behind a
 * link, is never read) or cannot be opened or read.
 */
QByteArray fileMd5Text(const QString &path);

/// fileMd5Text() and, with @p withSha256, the SHA-256 of the same read; both empty when the file cannot be read.
Digests fileDigests(const QString &path, bool withSha256);

/**
 * True when the file at @p path opens for reading and the digest text of its
 * whole content equals @p md5 byte for byte. The file is read in chunks, so
 * any size is hashed with flat memory.
 */
bool fileMd5Equals(const QString &path, const QByteArray &md5);

/**
 * A file to check: the held folder it is in and its name there (opened without
 * following a link, never a FIFO or a device), the digest text it should have,
 * and the size it is expected to have (only to start the largest files first);
 * where a signed site lists it, the SHA-256 it should have too.
 */
struct FileCheck
{
    HeldFolder folder;
    QString name;
    QByteArray md5;
    quint64 size = 0;
    QByteArray sha256 = QByteArray();
    /// Whose file is read: anybody's in the install folder, only the updater's user's in the cache.
    HeldFolder::Owner owner = HeldFolder::Owner::Any;

    /// Opens it into @p file for reading.
    bool open(QFile &file) const { return folder.openFile(file, name, QIODevice::ReadOnly, owner); }
};

/**
 * fileMd5Text for each of @p files, several at once: one worker per thread of
 * Qt's global pool (one per core unless its size was changed), each hashing
 * eight files side by side in the lanes of the vector unit. The calling thread's
 * event loop keeps running meanwhile, so a window stays responsive. The results
 * are in the order of @p files; a file that is not a readable regular file
 * gives an empty text.
 */
QVector<QByteArray> filesMd5Text(const QVector<FileCheck> &files);

/**
 * For each of @p files, hashed as filesMd5Text() hashes them: true when its
 * digest text, and its SHA-256 where one is given (from the same read), are
 * the ones it should have.
 */
QVector<bool> filesMatch(const QVector<FileCheck> &files);
