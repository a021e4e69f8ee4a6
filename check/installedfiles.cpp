#include "installedfiles.h"

#include "checklog.h"
#include "filehash.h"
#include "filenames.h"

#include <QHash>

QString linkedFolder(const ManifestMap &entries, const HeldFolder &dir)
{
    QHash<QString, HeldFolder> opened;
    for (const ManifestEntry &entry : entries) {
        QString folder;
        HeldFolder parent = dir;
        for (const QString &part : relativeFolder(entry.path).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            folder = folder.isEmpty() ? part : folder + QLatin1Char('/') + part;
            if (!opened.contains(folder)) {
                if (parent.kindOf(part) == HeldFolder::Kind::Link)
                    return folder;
                opened.insert(folder, parent.folder(part));
            }
            parent = opened.value(folder);
        }
    }
    return QString();
}

ManifestMap compareManifest(const ManifestMap &remote, const HeldFolder &dir, InstalledDigests *installed)
{
    ManifestMap local;
    QFile localFile;
    if (dir.openFile(localFile, FileNames::localManifest, QIODevice::ReadOnly))
        local = parseManifest(localFile.readAll());

    // The local manifest only saves reading files it vouches for; a file it
    // does not vouch for may still be current, after an interrupted install.
    // Every file is read through its held folder, never through a link.
    QHash<QString, HeldFolder> folders;
    QVector<FileCheck> toHash;
    QVector<const ManifestEntry *> hashed;
    for (const ManifestEntry &entry : remote) {
        const auto known = local.constFind(entry.path);
        if (known != local.cend() && known->md5 == entry.md5)
            continue;
        const QString folder = relativeFolder(entry.path);
        if (!folders.contains(folder))
            folders.insert(folder, dir.folder(folder));
        toHash.append({folders.value(folder), relativeName(entry.path), entry.md5, entry.size});
        hashed.append(&entry);
    }
    const QVector<QByteArray> digests = filesMd5Text(toHash);
    ManifestMap changes;
    for (int i = 0; i < hashed.size(); ++i) {
        const ManifestEntry &entry = *hashed.at(i);
        if (!digests.at(i).isEmpty() && digests.at(i) == entry.md5)
            continue;
        if (installed)
            installed->insert(entry.path, digests.at(i));
        if (lcCheck().isInfoEnabled()) {
            const HeldFolder::Kind kind = toHash.at(i).folder.kindOf(toHash.at(i).name);
            qCInfo(lcCheck).noquote() << entry.path << "changed:"
                                      << (local.contains(entry.path) ? "the local manifest lists another digest,"
                                                                     : "not in the local manifest,")
                                      << (!toHash.at(i).folder.isValid() ? "its folder is missing or a link"
                                          : kind == HeldFolder::Kind::Missing ? "missing"
                                          : kind != HeldFolder::Kind::File ? "not a regular file" : "its content differs");
        }
        changes.insert(entry.path, entry);
    }
    qCInfo(lcCheck) << remote.size() << "files listed," << toHash.size() << "hashed," << changes.size() << "changed";
    return changes;
}
