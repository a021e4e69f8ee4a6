#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>

/**
 * Makes @p directory point to an existing directory: when it is missing, every
 * missing level below its nearest existing ancestor is created. A failure is
 * not reported here; it shows when the first file is written into it.
 */
void ensureDirectory(QDir &directory);

/**
 * Replaces the content of the file at @p path by @p bytes, through a temporary
 * file renamed into place, so the file is either as before or complete.
 * Returns false, with the reason in @p error when given, if that fails.
 */
bool writeFileBytes(const QString &path, const QByteArray &bytes, QString *error = nullptr);

/// @p path with links resolved where it exists, otherwise absolute and cleaned.
QString resolvedPath(const QString &path);
