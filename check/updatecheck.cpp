#include "updatecheck.h"

#include "atomicfile.h"
#include "checklog.h"
#include "directories.h"
#include "filenames.h"
#include "installedfiles.h"
#include "installid.h"
#include "manifestfetch.h"
#include "privatefolder.h"
#include "serialstore.h"
#include "signatureverifier.h"
#include "updatedescription.h"
#include "windowsnames.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>

namespace {
// How far the clock may be behind before an expired update.ini is refused.
constexpr int clockSlackSeconds = 5 * 60;
}

UpdateCheck::UpdateCheck(QNetworkAccessManager &network, const Site &site)
    : m_fetcher(network, site.verifier)
    , m_site(site)
{
}

bool UpdateCheck::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool UpdateCheck::run(UpdatePlan &plan)
{
    m_error.clear();
    m_configurationError = false;
    UpdateDescription description;
    QByteArray descriptionText;
    if (!takeDescription(description, descriptionText))
        return false;
    if (m_site.verifier) {
        QString why;
        if (!isFresh(description, plan.install, &why))
            return fail(why);
        recordSerial(description, plan.install);
    }
    qCInfo(lcRun) << "update.ini: folder" << description.folder << "version" << description.version
                  << "type" << description.updateType;
    const UpdateDescription release = chosenRelease(description, plan.install);
    plan.updateType = release.updateType;
    plan.folder = release.folder;
    plan.version = release.version;
    // Plain concatenation: the update URL ends with "/" and the base keeps its own.
    plan.downloadBaseUrl = m_site.updateUrl + release.folder + QLatin1Char('/');
    if (!takeManifest(release, descriptionText, plan) || !compare(plan))
        return false;
    // Only what will be installed needs its SHA-256: a check with nothing new asks for no list.
    return plan.changes.isEmpty() || takeSha256List(release, plan);
}

UpdateDescription UpdateCheck::chosenRelease(const UpdateDescription &description, const HeldFolder &install) const
{
    if (!description.hasStage())
        return description;
    const UpdateDescription::Stage &stage = description.stage;
    qCInfo(lcRun) << "update.ini stages folder" << stage.folder << "version" << stage.version << "to"
                  << stage.share << "per cent of installs";
    // An install that has the staged release keeps it, whatever the share now.
    QFile local;
    if (install.openFile(local, FileNames::localManifest, QIODevice::ReadOnly, HeldFolder::Owner::Self, HttpPolicy::manifestMaxBytes)
            && QCryptographicHash::hash(local.readAll(), QCryptographicHash::Sha256).toHex() == stage.manifestSha256) {
        qCInfo(lcRun) << "the staged release is installed";
        return description.staged();
    }
    if (m_site.inEveryStage) {
        qCInfo(lcRun) << "Rollout=always: in the stage";
        return description.staged();
    }
    QByteArray id;
    QString error;
    if (!InstallId(install).take(&id, &error)) {
        qCInfo(lcRun).noquote() << "the install's id cannot be read or stored (" << error
                                << "): outside every stage for this pass";
        return description;
    }
    const bool in = UpdateDescription::isInStage(id, stage.folder, stage.share);
    qCInfo(lcRun) << (in ? "in the stage: the staged release" : "outside the stage: the live release");
    return in ? description.staged() : description;
}

bool UpdateCheck::takeDescription(UpdateDescription &description, QByteArray &text)
{
    const QString address = m_site.updateUrl + QLatin1Char('/') + FileNames::updateDescription;
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid()) {
        m_configurationError = true;
        return fail(tr("升级描述文件地址不合法:%1").arg(url.toString()));
    }
    QString error;
    if (!m_fetcher.fetch(url, HttpPolicy::descriptionMaxBytes, text, &error))
        return fail(tr("下载升级描述文件失败:%1").arg(error));
    if (!m_fetcher.verifySignature(text, address))
        return fail(tr("升级描述文件签名无效"));
    return readThroughCache(text, description);
}

bool UpdateCheck::readThroughCache(const QByteArray &text, UpdateDescription &description)
{
    // The cache folder and its private folder, held for the pass: another user
    // may be able to write the cache folder, and swap it, but not what is held.
    const PrivateFolder cache = PrivateFolder::open(m_site.cacheDir.absolutePath());
    QString error = cache.errorString();
    if (!cache.isValid() || !writeFileAtomically(cache.cache(), FileNames::updateDescription, text, &error))
        return fail(tr("创建文件[%1]失败:%2").arg(m_site.cacheDir.absoluteFilePath(FileNames::updateDescription), error));
    // Read from a copy in the private folder: the one in the cache could be
    // swapped by another user between the write and the read.
    if (!writeFileAtomically(cache.folder(), FileNames::updateDescription, text, &error))
        return fail(tr("创建文件[%1]失败:%2").arg(cache.folder().filePath(FileNames::updateDescription), error));
    description = UpdateDescription::fromFile(cache.folder().pathThroughHandle(FileNames::updateDescription));
    cache.folder().remove(FileNames::updateDescription);
    return true;
}

bool UpdateCheck::isFresh(const UpdateDescription &description, const HeldFolder &install, QString *why) const
{
    const std::optional<qint64> seen = SerialStore(install).seen(m_site.updateUrl);
    if (seen && description.serial < *seen) {
        qCInfo(lcRun) << "update.ini serial" << description.serial << "is below the" << *seen << "accepted before";
        *why = tr("升级描述文件版本回退");
        return false;
    }
    // A clock a few minutes off must not stop every update at the edge of an expiry.
    if (description.expires.isValid()
            && description.expires.addSecs(clockSlackSeconds) < QDateTime::currentDateTimeUtc()) {
        qCInfo(lcRun) << "update.ini expired at" << description.expires.toString(Qt::ISODate);
        *why = tr("升级描述文件已过期");
        return false;
    }
    return true;
}

void UpdateCheck::recordSerial(const UpdateDescription &description, const HeldFolder &install) const
{
    if (description.serial >= 0 && !SerialStore(install).record(m_site.updateUrl, description.serial))
        qCInfo(lcRun) << "the accepted serial could not be stored";
}

bool UpdateCheck::takeManifest(const UpdateDescription &description, const QByteArray &descriptionText, UpdatePlan &plan)
{
    const QString address = plan.downloadBaseUrl + QLatin1Char('/') + FileNames::remoteManifest;
    ManifestCopy copy;
    copy.descriptionDigest = QCryptographicHash::hash(descriptionText, QCryptographicHash::Sha256).toHex();
    bool unchanged = false;
    QString error;
    if (!ManifestFetch(m_fetcher, plan.install).take(address, description, copy, unchanged, &error)) {
        // A manifest that is not the one update.ini names: a signed site says the
        // signature does not hold for it, as for any other md5.txt it did not sign.
        if (!error.isEmpty())
            return fail(tr("下载更新列表文件失败:%1").arg(error));
        return fail(m_site.verifier ? tr("更新列表文件签名无效")
                                    : tr("下载更新列表文件失败:%1").arg(tr("更新列表文件与升级描述文件不符")));
    }
    // Only the md5.txt that update.ini names, if it names one, was taken.
    const bool signedManifest = unchanged ? !m_site.verifier || m_site.verifier->verify(copy.manifest, copy.signature)
                                          : m_fetcher.verifySignature(copy.manifest, address, &copy.signature);
    if (!signedManifest)
        return fail(tr("更新列表文件签名无效"));
    if (!unchanged && !copy.save(plan.install))
        qCInfo(lcRun) << "the fetched md5.txt could not be kept for the next check";
    plan.manifest = copy.manifest;
    return true;
}

bool UpdateCheck::compare(UpdatePlan &plan)
{
    ManifestMap remote = parseManifest(plan.manifest);
    // Two entries for one file here, or a name this system cannot hold, would lose a file.
    if (const QString refused = nameThisSystemRefuses(remote); !refused.isEmpty())
        return fail(tr("更新列表文件格式不对:%1").arg(refused));
    dropEntriesInCache(remote);
    plan.changes = compareManifest(remote, plan.install, &plan.installed);
    // Nothing is written through a link: one on the way to a file to install fails the update before anything is.
    if (const QString linked = linkedFolder(plan.changes, plan.install); !linked.isEmpty())
        return fail(tr("安装目录中的%1是链接，无法更新").arg(linked));
    return true;
}

bool UpdateCheck::takeSha256List(const UpdateDescription &description, UpdatePlan &plan)
{
    // Unsigned sites, and signed ones published before the list, are checked by size and digest text.
    if (!m_site.verifier || !description.namesASha256List())
        return true;
    QByteArray list;
    QString error;
    if (!m_fetcher.fetch(QUrl(plan.downloadBaseUrl + FileNames::sha256List, QUrl::TolerantMode),
                         HttpPolicy::manifestMaxBytes, list, &error))
        return fail(tr("下载更新列表文件失败:%1").arg(error));
    ManifestMap manifest = parseManifest(plan.manifest);
    QString problem;
    if (!description.namesSha256List(list))
        problem = QStringLiteral("sha256.txt is not the one update.ini names");
    else if (!applySha256List(manifest, list, &problem))
        problem.prepend(QStringLiteral("signed, but "));
    if (!problem.isEmpty()) {
        qCInfo(lcRun).noquote() << problem;
        return fail(tr("更新列表文件签名无效"));
    }
    for (ManifestEntry &entry : plan.changes)
        entry.sha256 = manifest.value(entry.path).sha256;
    qCInfo(lcRun) << "sha256.txt: every file to install is checked by its SHA-256 too";
    return true;
}

ArtifactIndex UpdateCheck::fetchArtifacts(const UpdatePlan &plan)
{
    // Artifacts only save bytes: without an index (a 404, an older site), or with
    // one that is not signed when signatures are asked for, files come whole.
    const QString address = plan.downloadBaseUrl + ArtifactIndex::indexPath;
    QByteArray text;
    QString error;
    if (!m_fetcher.fetch(QUrl(address, QUrl::TolerantMode), HttpPolicy::artifactIndexMaxBytes, text, &error)
            || !m_fetcher.verifySignature(text, address))
        return {};
    const ArtifactIndex index = ArtifactIndex::parse(text);
    qCInfo(lcRun) << "artifact index:" << index.size() << "artifacts";
    return index;
}

void UpdateCheck::dropEntriesInCache(ManifestMap &manifest) const
{
    const QString cache = m_site.cacheDir.absolutePath();
    const QString resolvedCache = resolvedPath(cache);
    const QString install = m_site.installDir.absolutePath() + QLatin1Char('/');
    const QString resolvedInstall = resolvedPath(m_site.installDir.absolutePath()) + QLatin1Char('/');
    for (auto entry = manifest.begin(); entry != manifest.end();) {
        if (isSameOrInside(install + entry.key(), cache) || isSameOrInside(resolvedInstall + entry.key(), resolvedCache)
                || FileNames::isKeptInInstall(entry.key()))
            entry = manifest.erase(entry);
        else
            ++entry;
    }
}
