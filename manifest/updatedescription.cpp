#include "updatedescription.h"

#include <QCryptographicHash>
#include <QSettings>

namespace {
// A quoted INI value keeps commas and semicolons as text.
QByteArray iniQuoted(const QString &value)
{
    QByteArray text = value.toUtf8();
    text.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + text + '"';
}

qint64 numberOrNone(const QVariant &value)
{
    bool isNumber = false;
    const qint64 number = value.toString().trimmed().toLongLong(&isNumber);
    return isNumber && number >= 0 ? number : -1;
}

bool hasSizeAndDigest(const QByteArray &bytes, qint64 size, const QByteArray &sha256)
{
    return bytes.size() == size && QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() == sha256;
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
    description.serial = numberOrNone(settings.value(QStringLiteral("Summary/Serial")));
    const QString expires = settings.value(QStringLiteral("Summary/Expires")).toString();
    if (!expires.isEmpty()) {
        description.expires = QDateTime::fromString(expires, Qt::ISODate);
        if (!description.expires.isValid())
            description.expires = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
    }
    description.manifestSize = numberOrNone(settings.value(QStringLiteral("Version/ManifestSize")));
    description.manifestSha256 = settings.value(QStringLiteral("Version/ManifestSha256")).toString().toLatin1();
    description.sha256ListSize = numberOrNone(settings.value(QStringLiteral("Version/Sha256ListSize")));
    description.sha256ListSha256 = settings.value(QStringLiteral("Version/Sha256ListSha256")).toString().toLatin1();
    return description;
}

QByteArray UpdateDescription::text() const
{
    QByteArray text = "[Summary]\nUpdateType=" + QByteArray::number(updateType) + '\n';
    if (serial >= 0)
        text += "Serial=" + QByteArray::number(serial) + '\n';
    if (expires.isValid())
        text += "Expires=" + expires.toUTC().toString(Qt::ISODate).toLatin1() + '\n';
    text += "\n[Version]\nFolder=" + iniQuoted(folder) + "\nVersion=" + iniQuoted(version) + '\n';
    if (manifestSize >= 0)
        text += "ManifestSize=" + QByteArray::number(manifestSize) + "\nManifestSha256=" + manifestSha256 + '\n';
    if (namesASha256List())
        text += "Sha256ListSize=" + QByteArray::number(sha256ListSize) + "\nSha256ListSha256=" + sha256ListSha256 + '\n';
    return text;
}

bool UpdateDescription::names(const QByteArray &manifest) const
{
    return !namesAManifest() || hasSizeAndDigest(manifest, manifestSize, manifestSha256);
}

bool UpdateDescription::namesSha256List(const QByteArray &list) const
{
    return !namesASha256List() || hasSizeAndDigest(list, sha256ListSize, sha256ListSha256);
}
