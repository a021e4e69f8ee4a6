#pragma once

#include "manifest.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QString>
#include <QStringList>

class QTextCodec;
struct UpdateDescription;
class SignatureVerifier;

/**
 * Verifies an update site before it is uploaded: update.ini names a version
 * folder whose md5.txt parses completely, and every file it lists is present
 * with the listed size and digest text, and, where update.ini names a
 * sha256.txt, with the SHA-256 it lists.
 */
class SiteChecker
{
    Q_DECLARE_TR_FUNCTIONS(SiteChecker)

public:
    /**
     * @param verifier when given, update.ini and md5.txt must carry valid signatures
     * @param pathCodec the clients' 8-bit encoding of paths, as published; null for this machine's
     * @param windowsNames names Windows cannot hold are a problem (false: a site for Linux clients only)
     */
    explicit SiteChecker(const QString &siteDir, const SignatureVerifier *verifier = nullptr,
                         QTextCodec *pathCodec = nullptr, bool windowsNames = true);

    /// Checks the site; false when anything is wrong (see problems()).
    bool check();

    QStringList problems() const { return m_problems; }
    int checkedFiles() const { return m_checkedFiles; }
    /// Artifacts applied and found to give their file; patches whose base is on no folder of the site are skipped.
    int appliedArtifacts() const { return m_appliedArtifacts; }
    int skippedArtifacts() const { return m_skippedArtifacts; }
    QString folder() const { return m_folder; }
    /// The staged release, as told to the publisher; empty when none is staged.
    QString stage() const { return m_stage; }

private:
    /// Checks the version folder of @p release in @p site: its manifests, signatures, files and artifacts.
    void checkRelease(const QDir &site, const UpdateDescription &release);
    void checkManifestLines(const QByteArray &manifest, int entryCount);
    void checkSignature(const QString &signedFilePath);
    void checkArtifacts(const QDir &version, const ManifestMap &entries);
    QString fileWithDigest(const QByteArray &digest);

    QString m_siteDir;
    const SignatureVerifier *m_verifier;
    QTextCodec *m_pathCodec;
    bool m_windowsNames;
    QString m_folder;
    QString m_stage;
    QStringList m_problems;
    int m_checkedFiles = 0;
    int m_appliedArtifacts = 0;
    int m_skippedArtifacts = 0;
    QHash<QByteArray, QString> m_publishedFiles;   // digest -> a file of the site with it, once looked up
};
