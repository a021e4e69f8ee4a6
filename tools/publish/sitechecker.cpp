#include "sitechecker.h"

#include "artifactdecoder.h"
#include "artifactindex.h"
#include "artifactmaker.h"
#include "safeopen.h"

#include "filehash.h"
#include "filenames.h"
#include "manifest.h"
#include "releasepublisher.h"
#include "signatureverifier.h"
#include "updatedescription.h"
#include "windowsnames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

SiteChecker::SiteChecker(const QString &siteDir, const SignatureVerifier *verifier, QTextCodec *pathCodec, bool windowsNames)
    : m_siteDir(siteDir)
    , m_verifier(verifier)
    , m_pathCodec(pathCodec)
    , m_windowsNames(windowsNames)
{
}

void SiteChecker::checkSignature(const QString &signedFilePath)
{
    QFile signedFile(signedFilePath);
    QFile signature(signedFilePath + QLatin1String(".sig"));
    if (!signature.open(QIODevice::ReadOnly))
        m_problems << tr("%1.sig is missing").arg(signedFilePath);
    else if (!signedFile.open(QIODevice::ReadOnly) || !m_verifier->verify(signedFile.readAll(), signature.readAll()))
        m_problems << tr("%1.sig is not a valid signature of it by this key").arg(signedFilePath);
}

bool SiteChecker::check()
{
    const QDir site(m_siteDir);
    const QString descriptionPath = site.absoluteFilePath(FileNames::updateDescription);
    if (!QFileInfo(descriptionPath).isFile()) {
        m_problems << tr("%1 is missing").arg(descriptionPath);
        return false;
    }
    const UpdateDescription description = UpdateDescription::fromFile(descriptionPath);
    m_folder = description.folder;
    if (m_verifier)
        checkSignature(descriptionPath);
    if (QFileInfo::exists(descriptionPath + ReleasePublisher::pendingSuffix))
        m_problems << tr("%1%2 is left from a publication stopped between its two renames: publish again or run "
                         "--resign, or rename it to update.ini")
                              .arg(descriptionPath, ReleasePublisher::pendingSuffix);
    const QString mismatch = ReleasePublisher::manifestMismatch(m_siteDir, description);
    if (!mismatch.isEmpty())
        m_problems << mismatch;

    checkRelease(site, description);
    if (description.hasStage()) {
        m_stage = tr("folder %1 (version %2) staged to %3 %").arg(description.stage.folder, description.stage.version)
                          .arg(description.stage.share);
        checkRelease(site, description.staged());
    }
    return m_problems.isEmpty();
}

void SiteChecker::checkRelease(const QDir &site, const UpdateDescription &release)
{
    const QDir version(site.absoluteFilePath(release.folder));
    QFile manifestFile(version.absoluteFilePath(FileNames::remoteManifest));
    if (!manifestFile.open(QIODevice::ReadOnly)) {
        m_problems << tr("%1 cannot be read: %2").arg(manifestFile.fileName(), manifestFile.errorString());
        return;
    }
    const QByteArray manifest = manifestFile.readAll();
    if (m_verifier)
        checkSignature(manifestFile.fileName());
    ManifestMap entries = parseManifest(manifest, m_pathCodec);
    checkManifestLines(manifest, entries.size());
    if (const QString refused = m_windowsNames ? nameWindowsRefuses(entries) : QString(); !refused.isEmpty())
        m_problems << tr("%1: Windows clients cannot hold this name beside the others; they refuse the update").arg(refused);
    // The binding is checked with the manifest's; what the list says must agree with md5.txt.
    QFile listFile(version.absoluteFilePath(FileNames::sha256List));
    QString disagreement;
    if (release.namesASha256List() && listFile.open(QIODevice::ReadOnly)
            && !applySha256List(entries, listFile.readAll(), &disagreement, m_pathCodec))
        m_problems << disagreement;

    static const QRegularExpression digestForm(QStringLiteral("^[0-9a-f]{32}$"));
    for (const ManifestEntry &entry : entries) {
        ++m_checkedFiles;
        const QFileInfo file(version.absoluteFilePath(entry.path));
        if (!file.isFile()) {
            m_problems << tr("%1: listed but missing").arg(entry.path);
            continue;
        }
        if (quint64(file.size()) != entry.size)
            m_problems << tr("%1: %2 bytes, the manifest says %3").arg(entry.path).arg(file.size()).arg(entry.size);
        if (!digestForm.match(QString::fromLatin1(entry.md5)).hasMatch())
            m_problems << tr("%1: the digest \"%2\" is not lowercase digest text; clients would download it every time")
                                  .arg(entry.path, QString::fromLatin1(entry.md5));
        else if (!fileDigests(file.absoluteFilePath(), !entry.sha256.isEmpty()).match(entry.md5, entry.sha256))
            m_problems << tr("%1: its content does not match the listed digest").arg(entry.path);
    }
    checkArtifacts(version, entries);
}

void SiteChecker::checkArtifacts(const QDir &version, const ManifestMap &entries)
{
    QFile indexFile;
    const QString indexPath = version.absoluteFilePath(ArtifactIndex::indexPath);
    if (!openRegularFile(indexFile, indexPath, QIODevice::ReadOnly))
        return;
    const QByteArray text = indexFile.readAll();
    if (m_verifier)
        checkSignature(indexPath);
    for (const Artifact &artifact : ArtifactIndex::parse(text, m_pathCodec).artifacts()) {
        const QString name = artifact.relativeUrl();
        const ManifestEntry entry = entries.value(artifact.path);
        QFile file;
        if (entry.md5 != artifact.targetDigest || entry.size != artifact.targetSize) {
            m_problems << tr("%1: gives a file that md5.txt does not list for %2").arg(name, artifact.path);
            continue;
        }
        // The publisher makes artifacts only for files it can hold whole.
        if (artifact.targetSize > quint64(maxPatchedFileSize) || artifact.size > quint64(maxPatchedFileSize)) {
            m_problems << tr("%1: larger than any artifact the publisher makes").arg(name);
            continue;
        }
        if (!openRegularFile(file, version.absoluteFilePath(name), QIODevice::ReadOnly)) {
            m_problems << tr("%1: listed but missing").arg(name);
            continue;
        }
        const QByteArray bytes = file.readAll();
        if (quint64(bytes.size()) != artifact.size || md5Text(bytes) != artifact.digest) {
            m_problems << tr("%1: its size or digest is not the one the index lists").arg(name);
            continue;
        }
        QByteArray base;
        if (artifact.kind != Artifact::Kind::Compressed) {
            QFile baseFile;
            const QString basePath = fileWithDigest(artifact.baseDigest);
            if (basePath.isEmpty() || !openRegularFile(baseFile, basePath, QIODevice::ReadOnly)) {
                ++m_skippedArtifacts;   // made from a version no longer on the site: still good for clients that have it
                continue;
            }
            base = baseFile.readAll();
        }
        QByteArray result(int(artifact.targetSize), Qt::Uninitialized);
        QString problem;
        const bool decoded = decodeArtifact(artifact.kind, reinterpret_cast<const uchar *>(bytes.constData()), bytes.size(),
                                            reinterpret_cast<const uchar *>(base.constData()), base.size(),
                                            reinterpret_cast<uchar *>(result.data()), result.size(), &problem);
        const bool sha256Differs = !entry.sha256.isEmpty()
                && QCryptographicHash::hash(result, QCryptographicHash::Sha256).toHex() != entry.sha256;
        if (!decoded || md5Text(result) != artifact.targetDigest || sha256Differs)
            m_problems << tr("%1: does not give %2 (%3)").arg(name, artifact.path, decoded ? tr("other bytes") : problem);
        else
            ++m_appliedArtifacts;
    }
}

QString SiteChecker::fileWithDigest(const QByteArray &digest)
{
    if (m_publishedFiles.isEmpty()) {
        // Every published version folder of the site, by the digests its manifest lists.
        const QDir site(m_siteDir);
        for (const QString &folder : site.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile manifest;
            if (!openRegularFile(manifest, site.absoluteFilePath(folder + QLatin1Char('/') + FileNames::remoteManifest),
                                 QIODevice::ReadOnly))
                continue;
            for (const ManifestEntry &entry : parseManifest(manifest.readAll(), m_pathCodec))
                m_publishedFiles.insert(entry.md5, site.absoluteFilePath(folder + QLatin1Char('/') + entry.path));
        }
    }
    return m_publishedFiles.value(digest);
}

void SiteChecker::checkManifestLines(const QByteArray &manifest, int entryCount)
{
    int lines = 0;
    for (const QByteArray &line : manifest.split('\n')) {
        if (!line.trimmed().isEmpty())
            ++lines;
    }
    if (lines != entryCount)
        m_problems << tr("md5.txt has %1 lines but only %2 usable entries: malformed lines, unsafe paths or repeated paths")
                              .arg(lines).arg(entryCount);
}
