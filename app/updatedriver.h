#pragma once

#include "artifactindex.h"
#include "manifestcopy.h"
#include "cupdateerror.h"
#include "httpheaders.h"
#include "manifest.h"
#include "proxychoice.h"
#include "signatureverifier.h"
#include "singleinstanceguard.h"
#include "updatedescription.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QUrl>

#include <iostream>
#include <memory>
#include <optional>

/**
 * One run of the updater, from the configuration to the exit code.
 *
 * The constructor reads system.cfg beside the updater and settles the run mode
 * from the mode argument: "console" (results as JSON on the report stream, no
 * notice or error dialog), "restart" (only relaunch the host), anything else
 * window mode. run() guards against a second updater, checks the update URL,
 * prepares the install and cache directories, then runs update passes (check
 * the server, download and install what changed) until one ends the run.
 * With a PublicKey configured, update.ini and md5.txt are used only when their
 * detached signatures (<file>.sig) verify.
 *
 * Needs a QApplication. The report stream is standard output in the program;
 * tests may pass their own.
 */
class UpdateDriver
{
    Q_DECLARE_TR_FUNCTIONS(UpdateDriver)

public:
    /// @param applicationFilePath the updater's executable; its directory holds system.cfg
    /// @param modeArgument the first command-line argument, or empty
    UpdateDriver(const QString &applicationFilePath, const QString &modeArgument,
                 std::ostream &reports = std::cout);

    /// Runs the updater; returns the exit code: 0 only after a successful install.
    int run();

    /// The [Update] Connections value as used: 1 to 100, and 1 for anything else.
    static int connectionsSetting(const QVariant &value);

private:
    /// What a pass found that the update run needs.
    struct UpdateCheck
    {
        QByteArray manifest;
        int updateType = 1;
        QString version;
        QString downloadBaseUrl;
        ManifestMap changes;
        /// What is installed at each changed path, as the check hashed it.
        InstalledDigests installed;
        /// The install folder, held from the check to the end of the pass.
        HeldFolder install;
    };
    /// An exit code ends the run; no value starts a new pass.
    using PassEnd = std::optional<int>;

    bool isMandatory(const UpdateCheck &check) const { return check.updateType != 0; }
    /// False when the cache folder is the install folder or holds it.
    bool prepareDirectories();
    /**
     * The first of the application folder, system.cfg, the updater and the
     * install folder that someone else could change (each one is logged);
     * empty when none.
     */
    QString firstUnprotectedPath() const;
    /// Drops the entries that would be installed into the cache folder.
    void dropEntriesInCache(ManifestMap &manifest) const;
    void storeLocalManifest(const HeldFolder &install, const QByteArray &manifest);
    PassEnd runPass();
    PassEnd runUpdate(const UpdateCheck &check);
    PassEnd retryableFailure(const QString &message);
    bool fetch(const QUrl &url, qint64 maxBytes, QByteArray &body, QString &error);
    /// The site's artifact index for the version at @p downloadBaseUrl; empty when there is none to trust.
    ArtifactIndex fetchArtifacts(const QString &downloadBaseUrl);
    /**
     * Why a signed @p description must not be used: older than one accepted
     * before (a missing serial, once one was seen, counts as older) or expired.
     * Otherwise its serial is stored as accepted in @p install and nothing is returned.
     */
    std::optional<QString> staleDescription(const UpdateDescription &description, const HeldFolder &install);
    /// True without a configured key; otherwise when <address>.sig signs @p content (then in @p signature).
    bool isSigned(const QByteArray &content, const QString &address, QByteArray *signature = nullptr);
    /**
     * md5.txt at @p address: the copy kept from the last check when update.ini
     * names its digest (no request), or when the server answers the kept
     * validator with 304 (@p unchanged set); otherwise fetched whole. When
     * update.ini names the manifest, nothing else is taken: a kept copy with
     * another digest is not asked about, and an answer with another one is
     * asked for once more past every cache, then refused: false with an empty
     * @p error. Without those keys, a kept copy that came with another
     * update.ini (@p copy's descriptionDigest) is not asked about either, and
     * the fetch goes past every cache.
     */
    bool fetchManifest(const QString &address, const UpdateDescription &description, const HeldFolder &install,
                       ManifestCopy &copy, bool &unchanged, QString &error);
    /**
     * On a signed site whose update.ini names a sha256.txt: fetches it and gives
     * each of @p changes its SHA-256, which every file must then match. False,
     * with the message for the user in @p message, when the list cannot be
     * fetched, is not the one update.ini names, or disagrees with @p manifest.
     */
    bool takeSha256List(const QString &downloadBaseUrl, const UpdateDescription &description,
                        ManifestMap manifest, ManifestMap &changes, QString &message);
    /// Request headers that ask every cache on the way to check with the server.
    static HttpHeaders noCache();
    /// One request for md5.txt with @p headers; a 304 stands for @p kept when a condition was asked.
    bool requestManifest(const QString &address, const HttpHeaders &headers, const std::optional<ManifestCopy> &kept,
                         ManifestCopy &copy, bool &unchanged, QString &error, int *status = nullptr);
    int endWithConfigError(const QString &message);
    int endAlreadyRunning();
    void report(bool success, bool update, const QString &message);
    void relaunch();

    std::ostream &m_reports;
    CUpdateError m_errorDialog;
    QString m_applicationFile;
    QDir m_applicationDir;
    QNetworkAccessManager m_network;
    QSettings m_config;
    QString m_updateUrl;
    QDir m_installDir;
    QString m_configuredCache;
    QDir m_cacheDir;
    QString m_hostPath;
    int m_connections = 1;
    bool m_artifactsWanted = true;
    bool m_http2 = true;
    bool m_protectionRequired = false;
    ProxyChoice m_proxy;
    bool m_console = false;
    bool m_restart = false;
    SingleInstanceGuard m_guard;
    std::unique_ptr<SignatureVerifier> m_verifier;
};
