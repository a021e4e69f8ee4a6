#include "updatedriver.h"

#include "atomicfile.h"
#include "cdownloadthread.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "directories.h"
#include "enginelog.h"
#include "installer.h"
#include "filenames.h"
#include "httprequest.h"
#include "outcome.h"
#include "manifestcopy.h"
#include "privatefolder.h"
#include "protection.h"
#include "serialstore.h"
#include "updatedescription.h"
#include "windowsnames.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QUrl>

// Each pass and how it ended, for a support engineer.
Q_LOGGING_CATEGORY(lcRun, "updater.run", QtWarningMsg)

namespace {
// Seconds without data after which a fetch of update.ini or md5.txt is given up.
constexpr int fetchTimeoutSeconds = 5;
// The largest update description (and signature) and manifest accepted, decompressed.
constexpr qint64 descriptionMaxBytes = 1024 * 1024;
constexpr qint64 manifestMaxBytes = 64 * 1024 * 1024;
constexpr qint64 artifactIndexMaxBytes = 16 * 1024 * 1024;
// How far the clock may be behind before an expired update.ini is refused.
constexpr int clockSlackSeconds = 5 * 60;

// Features that are on unless a setting says "off".
bool isSwitchedOff(const QVariant &setting)
{
    return setting.toString().trimmed().compare(QLatin1String("off"), Qt::CaseInsensitive) == 0;
}
}

UpdateDriver::UpdateDriver(const QString &applicationFilePath, const QString &modeArgument,
                           std::ostream &reports)
    : m_reports(reports)
    , m_applicationFile(applicationFilePath)
    , m_applicationDir(QFileInfo(applicationFilePath).absolutePath())
    , m_config(m_applicationDir.absoluteFilePath(FileNames::systemConfig), QSettings::IniFormat)
    , m_guard(m_applicationDir.absolutePath())
{
    m_config.setIniCodec("UTF-8");
    m_config.beginGroup(QStringLiteral("Update"));
    m_updateUrl = m_config.value(QStringLiteral("URL")).toString();
    m_errorDialog.setDownloadUrl(m_config.value(QStringLiteral("DownLoadUrl")).toString());
    m_installDir = m_applicationDir;
    m_configuredCache = m_config.value(QStringLiteral("Cache")).toString();
    m_cacheDir.setPath(m_configuredCache.isEmpty()
                       ? m_applicationDir.absoluteFilePath(QStringLiteral("update")) : m_configuredCache);
    m_connections = connectionsSetting(m_config.value(QStringLiteral("Connections")));
    m_artifactsWanted = !isSwitchedOff(m_config.value(QStringLiteral("Delta")));
    m_http2 = !isSwitchedOff(m_config.value(QStringLiteral("Http2")));
    m_protectionRequired = m_config.value(QStringLiteral("ProtectedFolders")).toString().trimmed()
            .compare(QLatin1String("require"), Qt::CaseInsensitive) == 0;
    m_proxy = ProxyChoice::fromSetting(m_config.value(QStringLiteral("Proxy")).toString());
    m_hostPath = m_config.value(QStringLiteral("ExeName"), QStringLiteral("Host.exe")).toString();
    if (QFileInfo(m_hostPath).isRelative())
        m_hostPath = m_installDir.absoluteFilePath(m_hostPath);
    const QString publicKey = m_config.value(QStringLiteral("PublicKey")).toString().trimmed();
    if (!publicKey.isEmpty())
        m_verifier = std::make_unique<SignatureVerifier>(publicKey.toLatin1());
    m_console = modeArgument.compare(QLatin1String("console"), Qt::CaseInsensitive) == 0;
    m_restart = modeArgument.compare(QLatin1String("restart"), Qt::CaseInsensitive) == 0;
}

int UpdateDriver::connectionsSetting(const QVariant &value)
{
    bool isNumber = false;
    const int connections = value.toString().trimmed().toInt(&isNumber);
    return isNumber && connections >= 1 && connections <= 100 ? connections : 1;
}

int UpdateDriver::run()
{
    if (m_restart) {
        relaunch();
        return 1;
    }
    if (!m_guard.tryAcquire())
        return endAlreadyRunning();
    if (!QUrl(m_updateUrl, QUrl::TolerantMode).isValid())
        return endWithConfigError(tr("升级地址不合法:%1").arg(m_updateUrl));
    if (m_verifier && !m_verifier->isValid())
        return endWithConfigError(tr("升级公钥不合法:%1").arg(m_config.value(QStringLiteral("PublicKey")).toString()));
    if (!m_proxy.isValid())
        return endWithConfigError(tr("代理地址不合法:%1").arg(m_proxy.text()));
    m_proxy.applyTo(m_network);
    if (!prepareDirectories())
        return endWithConfigError(tr("缓存目录不合法:%1").arg(m_configuredCache));
    // An updater with administrator rights that others can steer runs their code.
    const QString unprotected = firstUnprotectedPath();
    if (!unprotected.isEmpty() && m_protectionRequired)
        return endWithConfigError(tr("升级程序的文件不受保护:%1").arg(QDir::toNativeSeparators(unprotected)));

    for (;;) {
        if (const PassEnd end = runPass())
            return *end;
    }
}

bool UpdateDriver::prepareDirectories()
{
    m_installDir.makeAbsolute();
    ensureDirectory(m_installDir);
    if (m_installDir.dirName().compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0)
        m_installDir.cdUp();

    m_cacheDir.makeAbsolute();
    // Downloads would land on installed files unguarded, and a stale download
    // place would be emptied inside the install folder.
    if (isSameOrInside(resolvedPath(m_installDir.absolutePath()), resolvedPath(m_cacheDir.absolutePath())))
        return false;
    ensureDirectory(m_cacheDir);
    return true;
}

QString UpdateDriver::firstUnprotectedPath() const
{
    QString first;
    for (const QString &path : {m_applicationDir.absolutePath(), m_applicationDir.absoluteFilePath(FileNames::systemConfig),
                                m_applicationFile, m_installDir.absolutePath()}) {
        const QString why = whoElseMayChange(path);
        if (why.isEmpty())
            continue;
        qCInfo(lcInstall).noquote() << "not protected:" << why << "- others can steer the updater through" << path;
        if (first.isEmpty())
            first = path;
    }
    return first;
}

void UpdateDriver::dropEntriesInCache(ManifestMap &manifest) const
{
    const QString cache = m_cacheDir.absolutePath();
    const QString resolvedCache = resolvedPath(cache);
    const QString install = m_installDir.absolutePath() + QLatin1Char('/');
    const QString resolvedInstall = resolvedPath(m_installDir.absolutePath()) + QLatin1Char('/');
    for (auto entry = manifest.begin(); entry != manifest.end();) {
        if (isSameOrInside(install + entry.key(), cache)
                || isSameOrInside(resolvedInstall + entry.key(), resolvedCache))
            entry = manifest.erase(entry);
        else
            ++entry;
    }
}

void UpdateDriver::storeLocalManifest(const HeldFolder &install, const QByteArray &manifest)
{
    // The install itself is complete; a stale local manifest only costs the next
    // check some hashing, so this is told but does not fail the run.
    const QString path = m_installDir.absoluteFilePath(FileNames::localManifest);
    QString error = install.errorString();
    if (!install.isValid() || !writeFileAtomically(install, FileNames::localManifest, manifest, &error))
        std::cerr << tr("创建文件[%1]失败:%2").arg(path, error).toStdString() << std::endl;
}

UpdateDriver::PassEnd UpdateDriver::runPass()
{
    qCInfo(lcRun).noquote() << "pass:" << QUrl(m_updateUrl, QUrl::TolerantMode).toDisplayString(QUrl::RemovePassword)
                            << "install" << m_installDir.absolutePath() << "cache" << m_cacheDir.absolutePath();
    m_network.clearAccessCache();
    QByteArray fetched;
    QString fetchError;
    // Held from here to the end of the pass: what the check reads and the
    // install writes is this folder, whatever is put at its name meanwhile.
    UpdateCheck check;
    check.install = HeldFolder::openTrusted(m_installDir.absolutePath());
    if (!check.install.isValid()) {
        qCInfo(lcRun).noquote() << "the install folder cannot be held:" << check.install.errorString();
        return retryableFailure(tr("安装目录%1已被移走或替换").arg(m_installDir.absolutePath()));
    }
    // A target an interrupted replacement could not put back goes back first.
    Installer::restoreSetAside(check.install);

    const QString descriptionAddress = m_updateUrl + QLatin1Char('/') + FileNames::updateDescription;
    const QUrl descriptionUrl(descriptionAddress, QUrl::TolerantMode);
    if (!descriptionUrl.isValid())
        return endWithConfigError(tr("升级描述文件地址不合法:%1").arg(descriptionUrl.toString()));
    if (!fetch(descriptionUrl, descriptionMaxBytes, fetched, fetchError))
        return retryableFailure(tr("下载升级描述文件失败:%1").arg(fetchError));
    if (!isSigned(fetched, descriptionAddress))
        return retryableFailure(tr("升级描述文件签名无效"));

    // The cache folder and its private folder, held for the pass: another user
    // may be able to write the cache folder, and swap it, but not what is held.
    const QString descriptionPath = m_cacheDir.absoluteFilePath(FileNames::updateDescription);
    const PrivateFolder cache = PrivateFolder::open(m_cacheDir.absolutePath());
    QString writeError = cache.errorString();
    if (!cache.isValid() || !writeFileAtomically(cache.cache(), FileNames::updateDescription, fetched, &writeError))
        return retryableFailure(tr("创建文件[%1]失败:%2").arg(descriptionPath, writeError));
    // Read from a copy in the private folder: the one in the cache could be
    // swapped by another user between the write and the read.
    const QString privateCopy = cache.folder().filePath(FileNames::updateDescription);
    if (!writeFileAtomically(cache.folder(), FileNames::updateDescription, fetched, &writeError))
        return retryableFailure(tr("创建文件[%1]失败:%2").arg(privateCopy, writeError));
    const UpdateDescription description = UpdateDescription::fromFile(cache.folder().pathThroughHandle(FileNames::updateDescription));
    cache.folder().remove(FileNames::updateDescription);
    if (m_verifier) {
        if (const std::optional<QString> refusal = staleDescription(description, check.install))
            return retryableFailure(*refusal);
    }
    qCInfo(lcRun) << "update.ini: folder" << description.folder << "version" << description.version
                  << "type" << description.updateType;
    check.updateType = description.updateType;
    check.version = description.version;
    // Plain concatenation: the update URL ends with "/" and the base keeps its own.
    check.downloadBaseUrl = m_updateUrl + description.folder + QLatin1Char('/');
    const QString manifestAddress = check.downloadBaseUrl + QLatin1Char('/') + FileNames::remoteManifest;
    ManifestCopy copy;
    copy.descriptionDigest = QCryptographicHash::hash(fetched, QCryptographicHash::Sha256).toHex();
    bool unchanged = false;
    if (!fetchManifest(manifestAddress, description, check.install, copy, unchanged, fetchError)) {
        // A manifest that is not the one update.ini names: a signed site says the
        // signature does not hold for it, as for any other md5.txt it did not sign.
        if (!fetchError.isEmpty())
            return retryableFailure(tr("下载更新列表文件失败:%1").arg(fetchError));
        return retryableFailure(m_verifier ? tr("更新列表文件签名无效")
                                           : tr("下载更新列表文件失败:%1").arg(tr("更新列表文件与升级描述文件不符")));
    }
    fetched = copy.manifest;
    // fetchManifest() took only the md5.txt that update.ini names, if it names one.
    const bool signedManifest = unchanged ? !m_verifier || m_verifier->verify(fetched, copy.signature)
                                          : isSigned(fetched, manifestAddress, &copy.signature);
    if (!signedManifest)
        return retryableFailure(tr("更新列表文件签名无效"));
    if (!unchanged && !copy.save(check.install))
        qCInfo(lcRun) << "the fetched md5.txt could not be kept for the next check";

    check.manifest = fetched;
    ManifestMap remote = parseManifest(fetched);
    // Two entries for one file here, or a name this system cannot hold, would lose a file.
    if (const QString refused = nameThisSystemRefuses(remote); !refused.isEmpty())
        return retryableFailure(tr("更新列表文件格式不对:%1").arg(refused));
    dropEntriesInCache(remote);
    check.changes = compareManifest(remote, check.install, &check.installed);
    // Nothing is written through a link: one on the way to a file to install fails the update before anything is.
    if (const QString linked = linkedFolder(check.changes, check.install); !linked.isEmpty())
        return retryableFailure(tr("安装目录中的%1是链接，无法更新").arg(linked));
    // Only what will be installed needs its SHA-256: a check with nothing new asks for no list.
    QString listProblem;
    if (!check.changes.isEmpty()
            && !takeSha256List(check.downloadBaseUrl, description, parseManifest(fetched), check.changes, listProblem))
        return retryableFailure(listProblem);
    if (m_console)
        report(true, !check.changes.isEmpty() && isMandatory(check), QString());
    if (check.changes.isEmpty()) {
        storeLocalManifest(check.install, check.manifest);
        if (!m_console)
            relaunch();
        return 1;
    }
    return runUpdate(check);
}

bool UpdateDriver::fetch(const QUrl &url, qint64 maxBytes, QByteArray &body, QString &error)
{
    return httpRequest(&m_network, url, body, error, fetchTimeoutSeconds, {}, "GET", {}, nullptr, maxBytes);
}

std::optional<QString> UpdateDriver::staleDescription(const UpdateDescription &description, const HeldFolder &install)
{
    const SerialStore serials(install);
    const std::optional<qint64> seen = serials.seen(m_updateUrl);
    if (seen && description.serial < *seen) {
        qCInfo(lcRun) << "update.ini serial" << description.serial << "is below the" << *seen << "accepted before";
        return tr("升级描述文件版本回退");
    }
    // A clock a few minutes off must not stop every update at the edge of an expiry.
    if (description.expires.isValid()
            && description.expires.addSecs(clockSlackSeconds) < QDateTime::currentDateTimeUtc()) {
        qCInfo(lcRun) << "update.ini expired at" << description.expires.toString(Qt::ISODate);
        return tr("升级描述文件已过期");
    }
    if (description.serial >= 0 && !serials.record(m_updateUrl, description.serial))
        qCInfo(lcRun) << "the accepted serial could not be stored";
    return std::nullopt;
}

ArtifactIndex UpdateDriver::fetchArtifacts(const QString &downloadBaseUrl)
{
    if (!m_artifactsWanted)
        return {};
    // Artifacts only save bytes: without an index (a 404, an older site), or with
    // one that is not signed when signatures are asked for, files come whole.
    const QString address = downloadBaseUrl + ArtifactIndex::indexPath;
    QByteArray text;
    QString error;
    if (!fetch(QUrl(address, QUrl::TolerantMode), artifactIndexMaxBytes, text, error) || !isSigned(text, address))
        return {};
    const ArtifactIndex index = ArtifactIndex::parse(text);
    qCInfo(lcRun) << "artifact index:" << index.size() << "artifacts";
    return index;
}

bool UpdateDriver::fetchManifest(const QString &address, const UpdateDescription &description, const HeldFolder &install,
                                 ManifestCopy &copy, bool &unchanged, QString &error)
{
    // A kept copy is used only when whole, from this very address, and, on a
    // signed site, with a signature that still verifies.
    std::optional<ManifestCopy> kept = ManifestCopy::load(install, address);
    if (kept && m_verifier && !m_verifier->verify(kept->manifest, kept->signature))
        kept.reset();
    HttpHeaders headers;
    if (kept && description.namesAManifest()) {
        // update.ini names the manifest: the copy that has its digest needs no
        // request at all, and one that has another is stale, not worth asking about.
        if (description.names(kept->manifest)) {
            qCInfo(lcRun) << "md5.txt as kept: update.ini names its digest";
            copy = *kept;
            unchanged = true;
            return true;
        }
        kept.reset();
    } else if (kept && kept->descriptionDigest != copy.descriptionDigest) {
        // update.ini changed since the copy was kept, a new publication perhaps,
        // without saying which md5.txt it wants: a cache on the way may still
        // hold, and vouch for, the previous one.
        qCInfo(lcRun) << "update.ini changed since md5.txt was kept; asking without caches";
        kept.reset();
        headers = noCache();
    }
    if (kept && !kept->conditionHeader.isEmpty())
        headers.set(kept->conditionHeader, kept->condition);
    if (!requestManifest(address, headers, kept, copy, unchanged, error))
        return false;
    if (description.names(copy.manifest))
        return true;
    // A cache on the way (a CDN's edge, a proxy) answered with another md5.txt
    // than the one update.ini names: once more, past every cache.
    qCInfo(lcRun) << "md5.txt is not the one update.ini names; asking again without caches";
    int status = 0;
    // A 304 to a request that asked nothing is the stale manifest vouched for once more.
    if (!requestManifest(address, noCache(), std::nullopt, copy, unchanged, error, &status) && status != 304)
        return false;
    if (status != 304 && description.names(copy.manifest))
        return true;
    qCInfo(lcRun) << "md5.txt is still not the one update.ini names";
    error.clear();
    return false;
}

bool UpdateDriver::takeSha256List(const QString &downloadBaseUrl, const UpdateDescription &description,
                                  ManifestMap manifest, ManifestMap &changes, QString &message)
{
    // Unsigned sites, and signed ones published before the list, are checked by size and digest text.
    if (!m_verifier || !description.namesASha256List())
        return true;
    QByteArray list;
    QString error;
    if (!fetch(QUrl(downloadBaseUrl + FileNames::sha256List, QUrl::TolerantMode), manifestMaxBytes, list, error)) {
        message = tr("下载更新列表文件失败:%1").arg(error);
        return false;
    }
    QString problem;
    if (!description.namesSha256List(list))
        problem = QStringLiteral("sha256.txt is not the one update.ini names");
    else if (!applySha256List(manifest, list, &problem))
        problem.prepend(QStringLiteral("signed, but "));
    if (!problem.isEmpty()) {
        qCInfo(lcRun).noquote() << problem;
        message = tr("更新列表文件签名无效");
        return false;
    }
    for (ManifestEntry &entry : changes)
        entry.sha256 = manifest.value(entry.path).sha256;
    qCInfo(lcRun) << "sha256.txt: every file to install is checked by its SHA-256 too";
    return true;
}

HttpHeaders UpdateDriver::noCache()
{
    return {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
}

bool UpdateDriver::requestManifest(const QString &address, const HttpHeaders &headers,
                                   const std::optional<ManifestCopy> &kept, ManifestCopy &copy, bool &unchanged,
                                   QString &error, int *statusOut)
{
    HttpHeaders responseHeaders;
    int localStatus = 0;
    int &status = statusOut ? *statusOut : localStatus;
    QByteArray body;
    if (httpRequest(&m_network, QUrl(address, QUrl::TolerantMode), body, error, fetchTimeoutSeconds, headers, "GET", {},
                    &responseHeaders, manifestMaxBytes, &status)) {
        unchanged = false;
        copy.url = address;
        copy.manifest = body;
        copy.signature.clear();
        copy.setValidator(responseHeaders.value("ETag"), responseHeaders.value("Last-Modified"));
        return true;
    }
    // Not modified counts only as the answer to a question that was asked.
    if (status == 304 && kept && !kept->conditionHeader.isEmpty()) {
        qCInfo(lcRun) << "md5.txt not modified: the kept copy is used";
        copy = *kept;
        unchanged = true;
        return true;
    }
    return false;
}

bool UpdateDriver::isSigned(const QByteArray &content, const QString &address, QByteArray *signatureOut)
{
    if (!m_verifier)
        return true;
    // A signature that cannot be fetched counts as a wrong one.
    QByteArray signature;
    QString error;
    const bool valid = fetch(QUrl(address + QLatin1String(".sig"), QUrl::TolerantMode), descriptionMaxBytes, signature, error)
            && m_verifier->verify(content, signature);
    if (valid && signatureOut)
        *signatureOut = signature;
    qCInfo(lcRun).noquote() << "signature of" << address << (valid ? "verified" : "missing or not valid");
    return valid;
}

UpdateDriver::PassEnd UpdateDriver::runUpdate(const UpdateCheck &check)
{
    if (!m_console && !isMandatory(check)) {
        CUpdateNotice notice;
        notice.setVersion(check.version);
        if (notice.exec() != QDialog::Accepted) {
            relaunch();
            return 1;
        }
    }

    TransferSettings settings(m_connections, m_proxy, fetchArtifacts(check.downloadBaseUrl), m_http2);
    settings.installed = check.installed;
    settings.install = check.install;
    CDownloadThread engine(check.downloadBaseUrl, m_cacheDir, m_installDir, check.changes.values(), settings);
    if (m_console && !isMandatory(check)) {
        QObject::connect(&engine, &QThread::finished, qApp, &QCoreApplication::quit);
        engine.start(QThread::InheritPriority);
        QCoreApplication::exec();
    } else {
        CUpdateProgress progress(&engine);
        progress.exec();
    }
    QObject::disconnect(&engine, nullptr, nullptr, nullptr);
    engine.wait();

    qCInfo(lcRun).noquote() << "update" << (engine.isSuccess() ? QStringLiteral("installed") : engine.errorMessage());
    if (engine.isSuccess()) {
        storeLocalManifest(check.install, check.manifest);
        if (!m_console || isMandatory(check))
            relaunch();
        return 0;
    }
    const QString message = engine.errorMessage();
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    const bool retry = showError(m_errorDialog, tr("更新失败"), message, !isMandatory(check));
    if (retry || isMandatory(check))
        return std::nullopt;
    relaunch();
    return 1;
}

UpdateDriver::PassEnd UpdateDriver::retryableFailure(const QString &message)
{
    qCInfo(lcRun).noquote() << "pass failed:" << message;
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    if (showError(m_errorDialog, tr("更新失败"), message, true))
        return std::nullopt;
    relaunch();
    return 1;
}

int UpdateDriver::endWithConfigError(const QString &message)
{
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    showError(m_errorDialog, tr("配置错误"), message, false);
    relaunch();
    return 1;
}

int UpdateDriver::endAlreadyRunning()
{
    const QString message = tr("升级程序已运行");
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    showError(m_errorDialog, tr("启动"), message, false);
    relaunch();
    return 1;
}

void UpdateDriver::report(bool success, bool update, const QString &message)
{
    reportResult(success, update, message, m_reports);
}

void UpdateDriver::relaunch()
{
    relaunchHost(m_hostPath, m_applicationFile, m_installDir.absolutePath());
}
