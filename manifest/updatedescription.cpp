#include "updatedescription.h"

#include <QCryptographicHash>
#include <QSettings>
#include <QtEndian>

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

// A share that does not read as 0 to 100 halts the stage rather than widen it.
int shareOf(const QVariant &value)
{
    bool isNumber = false;
    const int share = value.toString().trimmed().toInt(&isNumber);
    return isNumber && share >= 0 && share <= 100 ? share : 0;
}

QByteArray bindingText(const char *name, qint64 size, const QByteArray &sha256)
{
    return QByteArray(name) + "Size=" + QByteArray::number(size) + '\n' + name + "Sha256=" + sha256 + '\n';
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
    Stage &stage = description.stage;
    stage.folder = settings.value(QStringLiteral("Rollout/Folder")).toString();
    if (!stage.folder.isEmpty()) {
        stage.share = shareOf(settings.value(QStringLiteral("Rollout/Share")));
        stage.version = settings.value(QStringLiteral("Rollout/Version")).toString();
        stage.manifestSize = numberOrNone(settings.value(QStringLiteral("Rollout/ManifestSize")));
        stage.manifestSha256 = settings.value(QStringLiteral("Rollout/ManifestSha256")).toString().toLatin1();
        stage.sha256ListSize = numberOrNone(settings.value(QStringLiteral("Rollout/Sha256ListSize")));
        stage.sha256ListSha256 = settings.value(QStringLiteral("Rollout/Sha256ListSha256")).toString().toLatin1();
    }
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
        text += bindingText("Manifest", manifestSize, manifestSha256);
    if (namesASha256List())
        text += bindingText("Sha256List", sha256ListSize, sha256ListSha256);
    if (hasStage()) {
        text += "\n[Rollout]\nFolder=" + iniQuoted(stage.folder) + "\nVersion=" + iniQuoted(stage.version)
                + "\nShare=" + QByteArray::number(stage.share) + '\n';
        if (stage.manifestSize >= 0)
            text += bindingText("Manifest", stage.manifestSize, stage.manifestSha256);
        if (stage.sha256ListSize >= 0 || !stage.sha256ListSha256.isEmpty())
            text += bindingText("Sha256List", stage.sha256ListSize, stage.sha256ListSha256);
    }
    return text;
}

UpdateDescription UpdateDescription::staged() const
{
    UpdateDescription release = *this;
    release.folder = stage.folder;
    release.version = stage.version;
    release.manifestSize = stage.manifestSize;
    release.manifestSha256 = stage.manifestSha256;
    release.sha256ListSize = stage.sha256ListSize;
    release.sha256ListSha256 = stage.sha256ListSha256;
    release.stage = Stage();
    return release;
}

void UpdateDescription::stageRelease(const UpdateDescription &release, int share)
{
    stage = Stage{release.folder, release.version, share, release.manifestSize, release.manifestSha256,
                  release.sha256ListSize, release.sha256ListSha256};
}

bool UpdateDescription::isInStage(const QByteArray &installId, const QString &folder, int share)
{
    const QByteArray digest = QCryptographicHash::hash(installId + folder.toUtf8(), QCryptographicHash::Sha256);
    const quint64 draw = qFromBigEndian<quint32>(digest.constData());
    return draw < (quint64(qBound(0, share, 100)) << 32) / 100;
}

bool UpdateDescription::names(const QByteArray &manifest) const
{
    return !namesAManifest() || hasSizeAndDigest(manifest, manifestSize, manifestSha256);
}

bool UpdateDescription::namesSha256List(const QByteArray &list) const
{
    return !namesASha256List() || hasSizeAndDigest(list, sha256ListSize, sha256ListSha256);
}
