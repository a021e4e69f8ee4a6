#include "releasepublisher.h"

#include "atomicfile.h"
#include "heldfolder.h"
#include "artifactindex.h"
#include "filehash.h"
#include "filenames.h"
#include "manifest.h"
#include "releasesigner.h"
#include "safeopen.h"
#include "updatedescription.h"
#include "windowsnames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextCodec>

#include <algorithm>
#include <stdio.h>


namespace {

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Swaps the two folders in one step, so that @p target names a complete folder
// at every instant: first the old one, then the new one.
bool exchangeFolders(const QString &staged, const QString &target)
{
    const QFileInfo from(staged);
    const QFileInfo to(target);
    return HeldFolder::open(from.absolutePath()).exchange(from.fileName(), HeldFolder::open(to.absolutePath()), to.fileName());
}

}

ReleasePublisher::ReleasePublisher(const Options &options)
    : m_options(options)
{
    if (m_options.folder.isEmpty())
        m_options.folder = m_options.version;
}

qint64 ReleasePublisher::byteCount() const
{
    qint64 total = 0;
    for (const ReleaseFile &file : m_files)
        total += file.size;
    return total;
}

QString ReleasePublisher::folderPath() const
{
    return QDir(m_options.siteDir).absoluteFilePath(m_options.folder);
}

bool ReleasePublisher::publish()
{
    if (!validateOptions() || !collectFiles() || !collectBases())
        return false;
    // A pair an earlier run left half-renamed is completed first.
    if (QFileInfo(m_options.siteDir).isDir() && !completePendingPair(HeldFolder::open(m_options.siteDir)))
        return false;

    QDir site(m_options.siteDir);
    if (!site.mkpath(QStringLiteral("."))) {
        m_errors << tr("cannot create the site folder %1").arg(m_options.siteDir);
        return false;
    }
    const HeldFolder siteFolder = HeldFolder::open(site.absolutePath());
    // What a killed publication left would otherwise be uploaded with the site.
    for (const QString &stale : siteFolder.entries()) {
        if (stale.startsWith(QLatin1String(".publishing-")))
            siteFolder.remove(stale);
    }
    // Staged inside the site so that the final rename stays on one file system.
    QTemporaryDir staging(site.absoluteFilePath(QStringLiteral(".publishing-XXXXXX")));
    if (!staging.isValid()) {
        m_errors << tr("cannot create a staging folder in %1: %2").arg(m_options.siteDir, staging.errorString());
        return false;
    }
    // Removed without descending through a link, whatever the run left in it.
    staging.setAutoRemove(false);
    const QString stagingName = QFileInfo(staging.path()).fileName();
    const auto removeStaging = qScopeGuard([&] { siteFolder.remove(stagingName); });
    const QString staged = staging.filePath(QStringLiteral("version"));
    // The version folder is on the disk, whole, before update.ini names it; the
    // new update.ini and its signature are too, before the folder is put in
    // place, so that nothing but renames is left once the site changes.
    if (!writeVersionFolder(staged) || !makeDurable(staged) || !writePendingPair(newDescription()))
        return false;
    // The earlier versions are read: no longer held, a republished one may be swapped out.
    m_bases.clear();
    if (!putInPlace(staged, staging.filePath(QStringLiteral("previous")))) {
        removePendingPair(siteFolder);
        return false;
    }
    // Left pending when the folder's rename is not durable: the next run sees
    // whether the folder holds what the pair names.
    if (!siteFolder.sync()) {
        m_errors << tr("cannot make %1 durable: %2").arg(m_options.siteDir, siteFolder.errorString());
        return false;
    }
    return completePendingPair(siteFolder);
}

bool ReleasePublisher::makeDurable(const QString &folderPath)
{
    // One syncfs where there is one; otherwise every file and folder of the tree.
    const HeldFolder folder = HeldFolder::open(folderPath);
    if (folder.syncVolume())
        return true;
    QDirIterator it(folderPath, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    bool synced = folder.sync();
    while (synced && it.hasNext()) {
        const QFileInfo entry(it.next());
        const HeldFolder parent = HeldFolder::open(entry.absolutePath());
        synced = entry.isDir() ? HeldFolder::open(entry.absoluteFilePath()).sync() : parent.syncFile(entry.fileName());
    }
    if (!synced)
        m_errors << tr("cannot make %1 durable").arg(folderPath);
    return synced;
}

bool ReleasePublisher::putInPlace(const QString &staged, const QString &previous)
{
    const QString target = folderPath();
    if (!QFileInfo::exists(target)) {
        if (QDir().rename(staged, target))
            return true;
        m_errors << tr("cannot move the new version folder to %1").arg(target);
        return false;
    }
    // A republication into the same folder: the old folder goes with the staging one.
    if (exchangeFolders(staged, target))
        return true;
    // Where folders cannot be swapped, the name is empty for the instant between two renames.
    if (!QDir().rename(target, previous)) {
        m_errors << tr("cannot move the earlier %1 aside").arg(target);
        return false;
    }
    if (!QDir().rename(staged, target)) {
        m_errors << tr("cannot move the new version folder to %1").arg(target);
        QDir().rename(previous, target);
        return false;
    }
    return true;
}

bool ReleasePublisher::validateOptions()
{
    if (m_options.version.isEmpty() || hasControlCharacter(m_options.version))
        m_errors << tr("the version text is empty or holds a control character");
    const QString &folder = m_options.folder;
    if (folder.isEmpty() || folder == QLatin1String(".") || folder.contains(QLatin1Char('/'))
        || folder.contains(QLatin1Char('\\')) || !isSafeManifestPath(folder)
        || folder.startsWith(QLatin1Char('.')))
        m_errors << tr("the folder name \"%1\" cannot be a single folder of the site").arg(folder);
    if (hasControlCharacter(folder) || folder.contains(QLatin1Char('?')) || folder.contains(QLatin1Char('#'))
        || folder.contains(QLatin1Char('%')))
        m_errors << tr("the folder name \"%1\" holds a character that does not fit a URL path").arg(folder);

    const QString current = QDir(m_options.siteDir).absoluteFilePath(FileNames::updateDescription);
    if (m_options.rollout >= 0 && m_options.rollout < 100) {
        if (!QFileInfo(current).isFile())
            m_errors << tr("--rollout stages a release beside the live one: publish a live release first");
        else if (UpdateDescription::fromFile(current).folder == folder)
            m_errors << tr("--rollout: the folder %1 is the live release's; a staged release needs a folder of its own").arg(folder);
    }
    const QFileInfo release(m_options.releaseDir);
    if (!release.isDir()) {
        m_errors << tr("the release folder %1 does not exist").arg(m_options.releaseDir);
        return false;
    }
    const QString releasePath = release.canonicalFilePath();
    const QString sitePath = QFileInfo(m_options.siteDir).absoluteFilePath();
    const QString siteCanonical = QFileInfo(sitePath).exists() ? QFileInfo(sitePath).canonicalFilePath() : sitePath;
    if (isSameOrInside(siteCanonical, releasePath) || isSameOrInside(releasePath, siteCanonical))
        m_errors << tr("the site folder and the release folder must not contain each other");
    return m_errors.isEmpty();
}

bool ReleasePublisher::collectFiles()
{
    const QString root = QFileInfo(m_options.releaseDir).canonicalFilePath();
    const QDir rootDir(root);
    QDirIterator it(root, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = rootDir.relativeFilePath(info.absoluteFilePath());
        if (info.isSymLink()) {
            const QString target = info.canonicalFilePath();
            if (target.isEmpty() || !isSameOrInside(target, root)) {
                m_errors << tr("%1 is a link that leads outside the release").arg(relative);
                continue;
            }
            if (info.isDir()) {
                m_errors << tr("%1 is a link to a folder; publish the folder itself").arg(relative);
                continue;
            }
        }
        if (info.isDir())
            continue;
        if (!info.isFile()) {
            m_errors << tr("%1 is not a regular file").arg(relative);
            continue;
        }
        if (checkFileName(relative))
            m_files.append(ReleaseFile{relative, info.absoluteFilePath(), info.size()});
    }
    std::sort(m_files.begin(), m_files.end(), [](const ReleaseFile &a, const ReleaseFile &b) {
        return a.relativePath < b.relativePath;
    });
    if (m_options.windowsNames) {
        ManifestMap names;
        for (const ReleaseFile &file : qAsConst(m_files))
            names.insert(file.relativePath, ManifestEntry{file.relativePath, 0, QByteArray()});
        const QString refused = nameWindowsRefuses(names);
        if (!refused.isEmpty())
            m_errors << tr("%1: Windows cannot hold this name beside the others (a case twin, a trailing dot or space, a "
                           "device name or a character it refuses); --allow-names-windows-refuses publishes for Linux only")
                                .arg(refused);
    }
    return m_errors.isEmpty();
}

bool ReleasePublisher::collectBases()
{
    if (!m_options.artifacts)
        return true;
    const QDir site(m_options.siteDir);
    QStringList names = m_options.deltaFrom;
    const QString description = site.absoluteFilePath(FileNames::updateDescription);
    const bool named = !names.isEmpty();
    if (!named && QFileInfo(description).isFile())
        names << UpdateDescription::fromFile(description).folder;
    const HeldFolder siteFolder = HeldFolder::open(site.absolutePath());
    for (const QString &name : qAsConst(names)) {
        QFile manifest;
        // An earlier version is a folder of the site, not a link out of it.
        const HeldFolder folder = siteFolder.folder(name);
        if (isSafeManifestPath(name) && siteFolder.kindOf(name) == HeldFolder::Kind::Link) {
            m_errors << tr("--delta-from %1: a link, not a published version folder of the site").arg(name);
            continue;
        }
        if (!isSafeManifestPath(name) || !folder.openFile(manifest, FileNames::remoteManifest, QIODevice::ReadOnly,
                                                          HeldFolder::Owner::Any)) {
            if (named)
                m_errors << tr("--delta-from %1: no published version in that folder of the site").arg(name);
            continue;
        }
        m_bases.append(ArtifactWriter::Base{name, folder, parseManifest(manifest.readAll(), m_options.pathCodec)});
    }
    return m_errors.isEmpty();
}

bool ReleasePublisher::checkFileName(const QString &relativePath)
{
    static const QString forbidden = QStringLiteral("\t\r\n:\\");
    for (const QChar c : forbidden) {
        if (relativePath.contains(c)) {
            m_errors << tr("%1: a manifest cannot carry a file name with TAB, CR, LF, colon or backslash")
                                .arg(relativePath);
            return false;
        }
    }
    if (!isSafeManifestPath(relativePath)) {
        m_errors << tr("%1: clients would read this name as leaving the install folder").arg(relativePath);
        return false;
    }
    if (relativePath == FileNames::remoteManifest || relativePath == FileNames::remoteManifest + QLatin1String(".sig")
            || (m_options.signer && relativePath == FileNames::sha256List)) {
        m_errors << tr("%1 would collide with the manifest of the version folder").arg(relativePath);
        return false;
    }
    if (FileNames::isKeptInInstall(relativePath)) {
        m_errors << tr("%1 is a file the updater keeps in the install folder; a release cannot hold it").arg(relativePath);
        return false;
    }
    if (isSameOrInside(relativePath, ArtifactIndex::folder)) {
        m_errors << tr("%1 would collide with the artifacts of the version folder").arg(relativePath);
        return false;
    }
    const QByteArray encoded = encodePath(relativePath);
    const QString decoded = m_options.pathCodec ? m_options.pathCodec->toUnicode(encoded)
                                                : QString::fromLocal8Bit(encoded);
    if (decoded != relativePath) {
        m_errors << tr("%1: the clients' path encoding cannot carry this name").arg(relativePath);
        return false;
    }
    return true;
}

QByteArray ReleasePublisher::encodePath(const QString &relativePath) const
{
    return m_options.pathCodec ? m_options.pathCodec->fromUnicode(relativePath) : relativePath.toLocal8Bit();
}

bool ReleasePublisher::writeVersionFolder(const QString &versionDir)
{
    const QDir version(versionDir);
    if (!version.mkpath(QStringLiteral("."))) {
        m_errors << tr("cannot create %1").arg(versionDir);
        return false;
    }
    ArtifactWriter artifacts(version, m_bases, m_options.pathCodec, m_options.signer);
    QByteArray manifest;
    QByteArray sha256List;
    for (const ReleaseFile &file : qAsConst(m_files)) {
        const QString target = version.absoluteFilePath(file.relativePath);
        const QFileInfo source(file.sourcePath);
        const HeldFolder targetFolder = HeldFolder::open(versionDir).folder(relativeFolder(file.relativePath),
                                                                           HeldFolder::Make::Shared);
        QString error = targetFolder.errorString();
        if (!targetFolder.isValid() || !copyFileAtomically(HeldFolder::open(source.absolutePath()), source.fileName(),
                                                           targetFolder, relativeName(file.relativePath), &error)) {
            m_errors << tr("cannot copy %1 into the site: %2").arg(file.relativePath, error);
            return false;
        }
        // Digest the copy: it is what the server will send. A signed site vouches
        // for each file by its SHA-256 too, read in the same pass.
        const Digests digests = fileDigests(target, m_options.signer != nullptr);
        if (digests.md5.isEmpty() || QFileInfo(target).size() != file.size) {
            m_errors << tr("%1 changed or could not be read while it was published").arg(file.relativePath);
            return false;
        }
        const ManifestEntry entry{file.relativePath, quint64(file.size), digests.md5, digests.sha256};
        manifest += formatManifestLine(entry, encodePath(file.relativePath));
        if (m_options.signer)
            sha256List += formatSha256Line(entry, encodePath(file.relativePath));
        if (m_options.artifacts)
            artifacts.add(entry);
    }
    if (!artifacts.finish(m_options.progress)) {
        m_errors << artifacts.errors();
        return false;
    }
    if (m_options.artifacts)
        m_artifactSummary = QStringList(artifacts.summary()) + artifacts.fileSummaries();
    const QString manifestPath = version.absoluteFilePath(FileNames::remoteManifest);
    m_manifest = manifest;
    m_sha256List = sha256List;
    return writeFile(manifestPath, manifest) && (!m_options.signer || writeSignature(manifestPath, manifest))
            && (!m_options.signer || writeFile(version.absoluteFilePath(FileNames::sha256List), sha256List));
}

bool ReleasePublisher::writeFile(const QString &path, const QByteArray &bytes)
{
    QString error;
    if (writeFileAtomically(path, bytes, &error))
        return true;
    m_errors << tr("cannot write %1: %2").arg(path, error);
    return false;
}

bool ReleasePublisher::writeSignature(const QString &signedFilePath, const QByteArray &signedBytes)
{
    const QByteArray signature = m_options.signer->sign(signedBytes);
    if (signature.isEmpty()) {
        m_errors << tr("cannot sign %1").arg(signedFilePath);
        return false;
    }
    return writeFile(signedFilePath + QLatin1String(".sig"), signature);
}

UpdateDescription ReleasePublisher::newDescription() const
{
    UpdateDescription description;
    description.updateType = m_options.updateType;
    description.folder = m_options.folder;
    description.version = m_options.version;
    description.manifestSize = m_manifest.size();
    description.manifestSha256 = QCryptographicHash::hash(m_manifest, QCryptographicHash::Sha256).toHex();
    if (m_options.signer) {
        description.sha256ListSize = m_sha256List.size();
        description.sha256ListSha256 = QCryptographicHash::hash(m_sha256List, QCryptographicHash::Sha256).toHex();
    }
    if (m_options.rollout < 0 || m_options.rollout >= 100)
        return description;
    // Staged: the live release stays what it is; the new one replaces any earlier stage.
    UpdateDescription staged = UpdateDescription::fromFile(QDir(m_options.siteDir).absoluteFilePath(FileNames::updateDescription));
    staged.updateType = m_options.updateType;
    staged.stageRelease(description, m_options.rollout);
    return staged;
}

bool ReleasePublisher::currentDescription(const HeldFolder &site, UpdateDescription &description)
{
    const QString path = site.filePath(FileNames::updateDescription);
    if (!completePendingPair(site))
        return false;
    if (!QFileInfo(path).isFile()) {
        m_errors << tr("%1 is missing: publish a version first").arg(path);
        return false;
    }
    description = UpdateDescription::fromFile(path);
    return true;
}

bool ReleasePublisher::setRollout()
{
    const HeldFolder site = HeldFolder::open(m_options.siteDir);
    UpdateDescription description;
    if (!currentDescription(site, description))
        return false;
    if (!description.hasStage()) {
        m_errors << tr("update.ini stages no release: publish one with --rollout PERCENT RELEASE_DIR SITE_DIR");
        return false;
    }
    // Without a new signature every signed client would refuse the site.
    if (!m_options.signer && site.kindOf(FileNames::updateDescription + QLatin1String(".sig")) != HeldFolder::Kind::Missing) {
        m_errors << tr("update.ini is signed: give --sign PRIVATE_FILE to change the rollout");
        return false;
    }
    if (m_options.rollout == 100)
        description = description.staged();
    else
        description.stage.share = m_options.rollout;
    const QString mismatch = manifestMismatch(m_options.siteDir, description);
    if (!mismatch.isEmpty()) {
        m_errors << mismatch;
        return false;
    }
    return writePendingPair(description) && completePendingPair(site);
}

bool ReleasePublisher::resign()
{
    const HeldFolder site = HeldFolder::open(m_options.siteDir);
    UpdateDescription description;
    if (!currentDescription(site, description))
        return false;
    // What is signed must name what the folder holds: an update.ini edited by
    // hand would be signed for a manifest no client can be given.
    const QString mismatch = manifestMismatch(m_options.siteDir, description);
    if (!mismatch.isEmpty()) {
        m_errors << mismatch + tr("; publish the version again instead of editing update.ini");
        return false;
    }
    return writePendingPair(description) && completePendingPair(site);
}

QString ReleasePublisher::manifestMismatch(const QString &siteDir, const UpdateDescription &description)
{
    const struct {
        bool named;
        QLatin1String name;
        qint64 size;
        QByteArray sha256;
    } lists[] = {{description.namesAManifest(), FileNames::remoteManifest, description.manifestSize, description.manifestSha256},
                 {description.namesASha256List(), FileNames::sha256List, description.sha256ListSize, description.sha256ListSha256}};
    for (const auto &list : lists) {
        if (!list.named)
            continue;
        QFile file;
        const QString path = QDir(siteDir).absoluteFilePath(description.folder + QLatin1Char('/') + list.name);
        if (!openRegularFile(file, path, QIODevice::ReadOnly))
            return tr("update.ini names folder %1, which holds no %2").arg(description.folder, list.name);
        const QByteArray bytes = file.readAll();
        const QByteArray sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
        if (bytes.size() != list.size || sha256 != list.sha256)
            return tr("update.ini names a %1 of %2 bytes with SHA-256 %3, but %4 holds %5 bytes with SHA-256 %6")
                    .arg(list.name).arg(list.size).arg(QString::fromLatin1(list.sha256), path)
                    .arg(bytes.size()).arg(QString::fromLatin1(sha256));
    }
    return description.hasStage() ? manifestMismatch(siteDir, description.staged()) : QString();
}

bool ReleasePublisher::writePendingPair(UpdateDescription description)
{
    // Each publication, and each renewal, comes after every earlier one; a
    // client that has seen a serial refuses a lower one.
    const HeldFolder site = HeldFolder::open(m_options.siteDir);
    const QString descriptionPath = site.filePath(FileNames::updateDescription);
    const qint64 current = QFileInfo(descriptionPath).isFile() ? UpdateDescription::fromFile(descriptionPath).serial : -1;
    description.serial = qMax<qint64>(current, 0) + 1;
    description.expires = m_options.expiresDays > 0
            ? QDateTime::currentDateTimeUtc().addDays(m_options.expiresDays) : QDateTime();
    const QByteArray text = description.text();
    // The pair is written whole under pending names before either replaces
    // anything: a full disk leaves the previous pair.
    // An unsigned publication has an empty signature pending: it takes the
    // earlier signature away when the pair goes in.
    const QString signature = FileNames::updateDescription + QLatin1String(".sig");
    const QByteArray signatureText = m_options.signer ? m_options.signer->sign(text) : QByteArray();
    if (m_options.signer && signatureText.isEmpty()) {
        m_errors << tr("cannot sign %1").arg(descriptionPath);
        return false;
    }
    QString error;
    if (!writeFileAtomically(site, signature + pendingSuffix, signatureText, &error)) {
        m_errors << tr("cannot write %1: %2").arg(site.filePath(signature), error);
        return false;
    }
    if (!writeFileAtomically(site, FileNames::updateDescription + pendingSuffix, text, &error)) {
        m_errors << tr("cannot write %1: %2").arg(descriptionPath, error);
        removePendingPair(site);
        return false;
    }
    return true;
}

void ReleasePublisher::removePendingPair(const HeldFolder &site)
{
    site.remove(FileNames::updateDescription + pendingSuffix);
    site.remove(FileNames::updateDescription + QLatin1String(".sig") + pendingSuffix);
}

const QLatin1String ReleasePublisher::pendingSuffix(".pending");

bool ReleasePublisher::completePendingPair(const HeldFolder &site)
{
    const QString description = FileNames::updateDescription;
    const QString signature = description + QLatin1String(".sig");
    // A pair goes in only whole, and only when its folder holds the manifest it
    // names: one a stopped run wrote before its folder was in place is dropped.
    if (site.kindOf(description + pendingSuffix) != HeldFolder::Kind::File
            || !manifestMismatch(site.path(), UpdateDescription::fromFile(site.pathThroughHandle(description + pendingSuffix))).isEmpty()) {
        removePendingPair(site);
        return site.kindOf(description + pendingSuffix) == HeldFolder::Kind::Missing;
    }
    // The signature goes in first: a client that meets the pair half-renamed
    // sees an invalid signature and tries again. No pending signature: it went
    // in before a stop.
    QFile pendingSignature;
    const bool hasPendingSignature = site.openFile(pendingSignature, signature + pendingSuffix, QIODevice::ReadOnly);
    const bool unsignedPair = hasPendingSignature && pendingSignature.size() == 0;
    pendingSignature.close();
    const bool signatureIn = !hasPendingSignature
            || (unsignedPair ? site.remove(signature) && site.remove(signature + pendingSuffix)
                          : site.rename(signature + pendingSuffix, site, signature));
    const bool completed = signatureIn && site.rename(description + pendingSuffix, site, description) && site.sync();
    if (!completed)
        m_errors << tr("cannot put %1 in place: %2").arg(site.filePath(description), site.errorString());
    return completed;
}
