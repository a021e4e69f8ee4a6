#pragma once

#include "proxychoice.h"

#include <QDir>
#include <QString>
#include <QVariant>

/**
 * What system.cfg's [Update] group asks of a run, read once at start-up. Values
 * are taken as they are; whether they are usable is judged when the run starts.
 */
struct Configuration
{
    /// Reads system.cfg in @p applicationDir (UTF-8); a missing file gives the defaults.
    static Configuration read(const QDir &applicationDir);

    /// The [Update] Connections value as used: 1 to 100, and 1 for anything else.
    static int connectionsSetting(const QVariant &value);

    /// URL: the update site, ending with "/".
    QString updateUrl;
    /// DownLoadUrl: where the error dialog sends a user for a full installer.
    QString downloadUrl;
    /// Cache, as written; empty for "update" beside the updater.
    QString configuredCache;
    QDir cacheDir;
    /// ExeName, absolute: the host started after the run (Host.exe by default).
    QString hostPath;
    /// PublicKey, trimmed; empty for an unsigned site.
    QString publicKey;
    int connections = 1;
    /// Delta: patches and compressed files wanted unless "off".
    bool artifactsWanted = true;
    /// Http2: HTTP/2 allowed unless "off".
    bool http2 = true;
    /// ProtectedFolders=require: an updater whose files others may change refuses to update.
    bool protectionRequired = false;
    /// Rollout=always: this install is in every stage of a rollout (testers' machines).
    bool inEveryStage = false;
    /// ReportUrl: where each pass that installed or failed reports its outcome; empty for none.
    QString reportUrl;
    ProxyChoice proxy;
};
