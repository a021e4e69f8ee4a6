#pragma once

#include <QByteArray>
#include <QString>

/**
 * The update description, update.ini: which folder of the site holds the
 * published version, its version text, and whether the update is optional.
 * This is the one place that knows its keys, its defaults and its text.
 *
 *     [Summary]
 *     UpdateType=1
 *     [Version]
 *     Folder="2.0"
 *     Version="2.0"
 */
struct UpdateDescription
{
    /// 0: optional; anything else: mandatory. A value that is not a number reads as 0.
    int updateType = 1;
    QString folder = QStringLiteral("Base");
    QString version;

    /// Reads the file at @p path (INI syntax, UTF-8); missing keys keep their defaults.
    static UpdateDescription fromFile(const QString &path);
    /// The text of update.ini for this description; fromFile() reads it back.
    QByteArray text() const;
};
