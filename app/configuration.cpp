#include "configuration.h"

#include "filenames.h"

#include <QFileInfo>
#include <QSettings>

namespace {
// Features that are on unless a setting says "off".
bool isSwitchedOff(const QVariant &setting)
{
    return setting.toString().trimmed().compare(QLatin1String("off"), Qt::CaseInsensitive) == 0;
}
}

Configuration Configuration::read(const QDir &applicationDir)
{
    QSettings settings(applicationDir.absoluteFilePath(FileNames::systemConfig), QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    settings.beginGroup(QStringLiteral("Update"));
    Configuration config;
    config.updateUrl = settings.value(QStringLiteral("URL")).toString();
    config.downloadUrl = settings.value(QStringLiteral("DownLoadUrl")).toString();
    config.configuredCache = settings.value(QStringLiteral("Cache")).toString();
    config.cacheDir.setPath(config.configuredCache.isEmpty() ? applicationDir.absoluteFilePath(QStringLiteral("update"))
                                                             : config.configuredCache);
    config.connections = connectionsSetting(settings.value(QStringLiteral("Connections")));
    config.artifactsWanted = !isSwitchedOff(settings.value(QStringLiteral("Delta")));
    config.http2 = !isSwitchedOff(settings.value(QStringLiteral("Http2")));
    config.protectionRequired = settings.value(QStringLiteral("ProtectedFolders")).toString().trimmed()
            .compare(QLatin1String("require"), Qt::CaseInsensitive) == 0;
    config.inEveryStage = settings.value(QStringLiteral("Rollout")).toString().trimmed()
            .compare(QLatin1String("always"), Qt::CaseInsensitive) == 0;
    config.reportUrl = settings.value(QStringLiteral("ReportUrl")).toString().trimmed();
    config.proxy = ProxyChoice::fromSetting(settings.value(QStringLiteral("Proxy")).toString());
    config.hostPath = settings.value(QStringLiteral("ExeName"), QStringLiteral("Host.exe")).toString();
    if (QFileInfo(config.hostPath).isRelative())
        config.hostPath = applicationDir.absoluteFilePath(config.hostPath);
    config.publicKey = settings.value(QStringLiteral("PublicKey")).toString().trimmed();
    return config;
}

int Configuration::connectionsSetting(const QVariant &value)
{
    bool isNumber = false;
    const int connections = value.toString().trimmed().toInt(&isNumber);
    return isNumber && connections >= 1 && connections <= 100 ? connections : 1;
}
