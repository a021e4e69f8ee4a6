#include "updatedescription.h"

#include <QSettings>

namespace {
// A quoted INI value keeps commas and semicolons as text.
QByteArray iniQuoted(const QString &value)
{
    QByteArray text = value.toUtf8();
    text.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + text + '"';
}
}

UpdateDescription UpdateDescription::fromFile(const QString &path)
{
    UpdateDescription description;
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    description.updateType = settings.value(QStringLiteral("Summary/UpdateType"), description.updateType).toInt();
    description.folder = settings.value(QStringLiteral("Version/Folder"), description.folder).toString();
    description.version = settings.value(QStringLiteral("Version/Version"), description.version).toString();
    return description;
}

QByteArray UpdateDescription::text() const
{
    return "[Summary]\nUpdateType=" + QByteArray::number(updateType) + "\n\n[Version]\nFolder="
            + iniQuoted(folder) + "\nVersion=" + iniQuoted(version) + '\n';
}
