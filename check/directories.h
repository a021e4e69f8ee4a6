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

/// @p path with links resolved where it exists, otherwise absolute and cleaned.
QString resolvedPath(const QString &path);
