#pragma once

#include "artifactwriter.h"
#include "updatedescription.h"

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

class HeldFolder;
class ProgressLine;
class QTextCodec;
class ReleaseSigner;

/**
 * Publishes a release folder as a version of an update site:
 * SITE/<folder>/ receives a copy of every file of the release and md5.txt, and
 * in SITE/<folder>/.artifacts/ compressed copies and patches from earlier
 * versions with their index (see ArtifactWriter); SITE/update.ini names the
 * folder, the version text and the update type.
 * With a signer, update.ini.sig and <folder>/md5.txt.sig sign those two files,
 * and <folder>/sha256.txt lists each file's SHA-256, named in update.ini by its
 * size and digest, so the signature vouches for every file as far as SHA-256 does.
 *
 * Everything is checked before anything is written, every write is checked
 * before it counts, and the version folder is assembled beside its final place
 * and renamed into it at the end (swapped with the earlier one when the folder
 * is republished), so an interrupted or refused publication never leaves a
 * folder that looks complete, nor a site without the folder update.ini names.
 */
class ReleasePublisher
{
    Q_DECLARE_TR_FUNCTIONS(ReleasePublisher)

public:
    struct Options
    {
        QString releaseDir;
        QString siteDir;
        QString version;
        QString folder;          ///< defaults to the version text
        int updateType = 1;      ///< 0: optional, anything else: mandatory
        QTextCodec *pathCodec = nullptr;   ///< how clients decode paths; null: this machine's 8-bit encoding
        const ReleaseSigner *signer = nullptr;   ///< when set, update.ini, md5.txt and the artifact index get detached signatures
        QStringList deltaFrom;   ///< earlier folders of the site to patch from; empty: the one update.ini names
        bool artifacts = true;   ///< false: no patches and no compressed copies, as sites were before them
        int expiresDays = 0;     ///< above 0: signed clients stop trusting update.ini after this many days
        bool windowsNames = true;   ///< refuse names Windows cannot hold (false: a site for Linux clients only)
        int rollout = -1;        ///< 0 to 99: publish staged to this share beside the live release; -1 or 100: live
        ProgressLine *progress = nullptr;   ///< when set, shows how the artifacts' work goes
    };

    explicit ReleasePublisher(const Options &options);

    /// Publishes; false with errors() when refused or failed.
    bool publish();
    /**
     * Renews the site's current update.ini without touching any file: the next
     * serial, the expiry of the options (none when 0), and a new signature.
     */
    bool resign();
    /**
     * Sets the share of the site's staged release to the options' rollout: 0
     * halts it, 100 makes it the live release and drops the stage. A signed
     * site needs the signer (a new serial and signature).
     */
    bool setRollout();

    QStringList errors() const { return m_errors; }

    /**
     * What is wrong when @p description names a md5.txt or a sha256.txt (size
     * and SHA-256) that its folder in @p siteDir does not hold; empty when it
     * does, or names none.
     */
    static QString manifestMismatch(const QString &siteDir, const UpdateDescription &description);
    /**
     * The suffix of update.ini and its signature while a publication writes the
     * pair: both whole under these names before either replaces the old one.
     */
    static const QLatin1String pendingSuffix;
    /// What was written besides the files: the artifacts and how much they save.
    /// What the artifacts came to: a line in all, then a line per changed file.
    QStringList artifactSummary() const { return m_artifactSummary; }
    int fileCount() const { return m_files.size(); }
    qint64 byteCount() const;
    QString folderPath() const;

private:
    struct ReleaseFile
    {
        QString relativePath;
        QString sourcePath;
        qint64 size = 0;
    };

    bool validateOptions();
    bool collectFiles();
    bool collectBases();
    bool checkFileName(const QString &relativePath);
    QByteArray encodePath(const QString &relativePath) const;
    bool writeVersionFolder(const QString &versionDir);
    bool putInPlace(const QString &staged, const QString &previous);
    bool makeDurable(const QString &folderPath);
    UpdateDescription newDescription() const;
    /// The site's update.ini, completing a pending pair first; false with errors() when it has none to change.
    bool currentDescription(const HeldFolder &site, UpdateDescription &description);
    bool writePendingPair(UpdateDescription description);
    bool completePendingPair(const HeldFolder &site);
    static void removePendingPair(const HeldFolder &site);
    bool writeFile(const QString &path, const QByteArray &bytes);
    bool writeSignature(const QString &signedFilePath, const QByteArray &signedBytes);

    Options m_options;
    QList<ReleaseFile> m_files;
    QList<ArtifactWriter::Base> m_bases;
    QStringList m_artifactSummary;
    QByteArray m_manifest;
    QByteArray m_sha256List;
    QStringList m_errors;
};
