#pragma once

#include <QLatin1String>
#include <QString>

/// Names of the files that the driver, the manifest code and the engine share.
namespace FileNames {
/// Configuration beside the updater's executable.
inline const QLatin1String systemConfig("system.cfg");
/// Update description, fetched from the server and kept in the cache directory.
inline const QLatin1String updateDescription("update.ini");
/// Copy of the last manifest whose files were all found current or installed.
inline const QLatin1String localManifest("update_md5.info");
/// The highest serial of a signed update.ini accepted, per update URL, beside the local manifest.
inline const QLatin1String acceptedSerials("update_serial.info");
/// The install's own random id, drawn once: which stages of a rollout it is in.
inline const QLatin1String installId("update_id.info");
/// The last md5.txt fetched, kept whole with its validator for conditional requests.
inline const QLatin1String manifestCopy("update_md5.cache");
/// Manifest of a published version, in its folder on the server.
inline const QLatin1String remoteManifest("md5.txt");
/// Each file's SHA-256 beside md5.txt, on a signed site; update.ini names it by size and digest.
inline const QLatin1String sha256List("sha256.txt");

/// True when @p path names, in any letter case, a file the updater keeps in the install folder.
inline bool isKeptInInstall(const QString &path)
{
    for (const QLatin1String kept : {localManifest, acceptedSerials, installId, manifestCopy}) {
        if (path.compare(kept, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
}
