#pragma once

#include "artifactindex.h"
#include "checkfetcher.h"
#include "heldfolder.h"
#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>

class PrivateFolder;
class SignatureVerifier;
struct UpdateDescription;

/// What the update check found: the plan the update run carries out.
struct UpdatePlan
{
    /// The install folder, held by the caller from before the check to the end of the pass.
    HeldFolder install;
    /// md5.txt as fetched (or kept): stored as update_md5.info once every file is current.
    QByteArray manifest;
    /// 0: optional; anything else: mandatory.
    int updateType = 1;
    /// The release taken: the live one, or the staged one for an install in its stage.
    QString folder;
    QString version;
    /// The update URL, the version folder and "/": each file is fetched from it and its path.
    QString downloadBaseUrl;
    /// What to fetch and install, each with its SHA-256 where a signed site lists it.
    ManifestMap changes;
    /// What is installed at each changed path, as the check hashed it: a patch applies only to that.
    InstalledDigests installed;

    bool isMandatory() const { return updateType != 0; }
};

/**
 * The update check of one pass, steps 1 to 8 of it: fetches update.ini (and,
 * on a signed site, its signature, and refuses an older serial or an expired
 * one), saves it in the cache folder and reads it back from the private
 * folder, takes md5.txt (see ManifestFetch) and its signature, keeps it for
 * the next check, refuses names this system cannot hold, compares it with the
 * held install folder, refuses a link on the way to a file to install, and,
 * where files change on a signed site that lists them, takes each file's
 * SHA-256 from sha256.txt. What it found goes into an UpdatePlan.
 */
class UpdateCheck
{
    Q_DECLARE_TR_FUNCTIONS(UpdateDriver)

public:
    /// Where the check looks, and what it trusts.
    struct Site
    {
        /// The [Update] URL, ending with "/".
        QString updateUrl;
        /// The site's keys; null for an unsigned site.
        const SignatureVerifier *verifier = nullptr;
        QDir installDir;
        QDir cacheDir;
        /// Rollout=always: in every stage (testers' machines).
        bool inEveryStage = false;
    };

    UpdateCheck(QNetworkAccessManager &network, const Site &site);

    /**
     * Runs the check into @p plan, whose install folder the caller holds;
     * false with the message for the user in errorMessage() when it failed.
     */
    bool run(UpdatePlan &plan);
    QString errorMessage() const { return m_error; }
    /// True when the failure lies in the configuration (an update URL that gives no valid address), not in the site.
    bool failedInConfiguration() const { return m_configurationError; }
    /// The artifact index of @p plan's version; empty when there is none to trust (a 404, an unsigned one on a signed site).
    ArtifactIndex fetchArtifacts(const UpdatePlan &plan);

private:
    bool fail(const QString &message);
    bool takeDescription(UpdateDescription &description, QByteArray &text);
    bool readThroughCache(const QByteArray &text, UpdateDescription &description);
    /// The release of @p description this install takes: the staged one when it is in the stage or has it already.
    UpdateDescription chosenRelease(const UpdateDescription &description, const HeldFolder &install) const;
    /**
     * Whether a signed @p description may be used: not older than one accepted
     * before (a missing serial, once one was seen, counts as older), nor
     * expired; otherwise @p why says which.
     */
    bool isFresh(const UpdateDescription &description, const HeldFolder &install, QString *why) const;
    /// Stores @p description's serial as the highest accepted from this site.
    void recordSerial(const UpdateDescription &description, const HeldFolder &install) const;
    bool takeManifest(const UpdateDescription &description, const QByteArray &descriptionText, UpdatePlan &plan);
    bool compare(UpdatePlan &plan);
    bool takeSha256List(const UpdateDescription &description, UpdatePlan &plan);
    /// Drops the entries that would be installed into the cache folder, or over the updater's own files.
    void dropEntriesInCache(ManifestMap &manifest) const;

    CheckFetcher m_fetcher;
    Site m_site;
    QString m_error;
    bool m_configurationError = false;
};
