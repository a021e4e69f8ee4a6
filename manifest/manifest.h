#pragma once

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>

class QTextCodec;

/**
 * One line of a manifest: a file of a published version.
 */
struct ManifestEntry
{
    /// Path relative to the checked directory, "/" separated, no leading "/".
    QString path;
    /// Length of the file in bytes.
    quint64 size = 0;
    /// Expected digest text, kept exactly as the manifest holds it.
    QByteArray md5;
    /// Expected SHA-256 (lowercase hexadecimal), where a signed site lists it; empty otherwise.
    QByteArray sha256 = QByteArray();
};

/// Manifest entries keyed by their path, in QString order (case-sensitive).
using ManifestMap = QMap<QString, ManifestEntry>;

/// Entries to download and install, in ascending path order.
using UpdateList = QList<ManifestEntry>;

/// For each path of a change map, the digest text of the file installed there; empty when there is none to read.
using InstalledDigests = QHash<QString, QByteArray>;

/**
 * Parses the text of md5.txt or update_md5.info: one "digest TAB size TAB path"
 * line per file, LF or CR LF ended. The size field holds the low 32 bits of the
 * size first, then the high 32 bits. Lines that are not exactly three fields,
 * and paths that could leave the checked directory, are skipped. A later line
 * for the same path replaces an earlier one. Never fails.
 * @param pathCodec how the paths are encoded; null for this machine's 8-bit encoding
 */
ManifestMap parseManifest(const QByteArray &bytes, QTextCodec *pathCodec = nullptr);

/**
 * One manifest line for @p entry, ended by LF: the digest text, TAB, the size
 * as sixteen hexadecimal digits (low 32 bits first), TAB, then @p encodedPath,
 * the entry's path in the clients' 8-bit encoding. parseManifest reads it back.
 */
QByteArray formatManifestLine(const ManifestEntry &entry, const QByteArray &encodedPath);

/**
 * One line of sha256.txt, the list a signed site adds beside md5.txt, for
 * @p entry: its SHA-256 (64 lowercase hexadecimal digits), TAB, its size in
 * decimal, TAB, @p encodedPath as in md5.txt, ended by LF.
 */
QByteArray formatSha256Line(const ManifestEntry &entry, const QByteArray &encodedPath);

/**
 * Gives each entry of @p manifest the SHA-256 that @p list (the text of
 * sha256.txt) holds for it. The list must name every path of the manifest once,
 * with the same size, and no other; lines with unsafe paths are skipped as
 * parseManifest() skips them. Otherwise false, with @p problem saying what
 * disagrees, and @p manifest unchanged.
 * @param pathCodec as for parseManifest()
 */
bool applySha256List(ManifestMap &manifest, const QByteArray &list, QString *problem, QTextCodec *pathCodec = nullptr);

/**
 * True for a normalised manifest path that names a file inside the checked
 * directory: not empty, not absolute, no colon, no "." or ".." segment.
 */
bool isSafeManifestPath(const QString &path);

/// True when @p path is @p folder or lies below it (letter case ignored on Windows).
bool isSameOrInside(const QString &path, const QString &folder);

/// How this system compares file names: ignoring letter case on Windows.
Qt::CaseSensitivity fileNameCase();
