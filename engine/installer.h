#pragma once

#include "filereplacement.h"
#include "heldfolder.h"
#include "manifest.h"

#include <QDir>
#include <QList>
#include <QPair>
#include <QString>

/**
 * Moves verified downloads from the cache's private folder into the install
 * folder, one entry at a time, each replaced file kept as "<name>.old" (see
 * replaceFile()), and makes them durable before anything vouches for them.
 * Both folders are held: every move goes from the one to the other, never
 * through a path rebuilt from text. A replaced file's permissions carry over
 * to the new one (POSIX), set on the opened file.
 */
class Installer
{
public:
    /**
     * @param files the private folder's "files", holding each download under its relative path
     * @param install the held install folder: a link below it is never followed,
     *        and folders the release adds are made as its own are
     */
    Installer(const HeldFolder &files, const HeldFolder &install);

    /// How install() ended: a replaceFile() outcome, or the target's folder could not be made.
    struct Outcome
    {
        bool folderMade = true;
        Replacement replacement = Replacement::NotMoved;
    };
    Outcome install(const ManifestEntry &entry);

    /**
     * Puts the data of every file installed so far on the disk, and the
     * entries of the folders they went into (Linux: one syncfs of the install
     * volume; elsewhere each file and folder on its own). @p failedPath names
     * what could not be synced.
     */
    bool makeDurable(QString *failedPath);

    /**
     * Puts back every target a replacement left set aside as its backup
     * (Replacement::TargetAside), as recorded in "update_restore.info" in
     * @p install: first thing in a pass, so no listed file stays missing.
     */
    static void restoreSetAside(const HeldFolder &install);

private:
    void recordSetAside(const QString &path);

    HeldFolder m_files;
    HeldFolder m_install;
    QList<QPair<HeldFolder, QString>> m_installed;
};
