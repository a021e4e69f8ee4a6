#pragma once

#include "filehash.h"
#include "manifest.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

/// A check of the file at @p path, through a held folder of its own.
FileCheck fileCheck(const QString &path, const QByteArray &md5, quint64 size = 0, const QByteArray &sha256 = QByteArray());
/// Writes @p bytes to @p path, creating the missing folders.
bool writeTestFile(const QString &path, const QByteArray &bytes);
/// The content of @p path, or @p whenMissing when it cannot be read.
QByteArray readTestFile(const QString &path, const QByteArray &whenMissing = "<missing>");
/// Numbered lines of @p text, at least @p size bytes: content that compresses and patches like real text.
QByteArray numberedLines(int size, const QByteArray &text);
/// A manifest line as written by hand: @p md5, @p size and @p path as they stand, no escaping.
QByteArray rawManifestLine(const QByteArray &md5, const QByteArray &size, const QByteArray &path);
/// Each entry of @p map as "path|size|md5", so expected maps read as plain lists.
QStringList describeManifest(const ManifestMap &map);
/// A manifest line for a file of @p content published under @p path.
QByteArray manifestLine(const QByteArray &content, const QByteArray &path);
/// True when nobody but the owner may read @p path: mode bits (POSIX), or a DACL of its own (Windows: nothing inherited, only the user, Administrators and SYSTEM).
bool isPrivateToOwner(const QString &path);
/**
 * True in a Windows program that Wine runs. Wine keeps no ACL on a file (it
 * makes one up from the Unix mode), so what a DACL says cannot be read back there.
 */
bool runsUnderWine();
/// Runs a system command (mount, chattr, openssl, …) with its output dropped; true when it exits with 0.
bool runCommand(const QString &program, const QStringList &arguments);
