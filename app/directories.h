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

/// Replaces the content of the file at @p path by @p bytes; false when it cannot be opened.
bool writeFileBytes(const QString &path, const QByteArray &bytes);
