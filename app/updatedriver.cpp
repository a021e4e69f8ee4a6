#include "updatedriver.h"

#include "atomicfile.h"
#include "cdownloadthread.h"
#include "checklog.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "directories.h"
#include "enginelog.h"
#include "filenames.h"
#include "installer.h"
#include "outcome.h"
#include "outcomereport.h"
#include "protection.h"
#include "updatecheck.h"

#include <QFileInfo>
#include <QUrl>

UpdateDriver::UpdateDriver(const QString &applicationFilePath, const QString &modeArgument,
                           std::ostream &reports)
    : m_reports(reports)
    , m_applicationFile(applicationFilePath)
    , m_applicationDir(QFileInfo(applicationFilePath).absolutePath())
    , m_config(Configuration::read(m_applicationDir))
    , m_installDir(m_applicationDir)
    , m_console(modeArgument.compare(QLatin1String("console"), Qt::CaseInsensitive) == 0)
    , m_restart(modeArgument.compare(QLatin1String("restart"), Qt::CaseInsensitive) == 0)
    , m_guard(m_applicationDir.absolutePath())
{
    m_errorDialog.setDownloadUrl(m_config.downloadUrl);
    if (!m_config.publicKey.isEmpty())
        m_verifier = std::make_unique<SignatureVerifier>(m_config.publicKey.toLatin1());
}

int UpdateDriver::run()
{
    if (m_restart) {
        relaunch();
        return 1;
    }
    if (!m_guard.tryAcquire())
        return endWith(tr("启动"), tr("升级程序已运行"));
    if (const QString problem = configurationProblem(); !problem.isEmpty())
        return endWith(tr("配置错误"), problem);
    for (;;) {
        if (const PassEnd end = runPass())
            return *end;
    }
}

QString UpdateDriver::configurationProblem()
{
    if (!QUrl(m_config.updateUrl, QUrl::TolerantMode).isValid())
        return tr("升级地址不合法:%1").arg(m_config.updateUrl);
    if (m_verifier && !m_verifier->isValid())
        return tr("升级公钥不合法:%1").arg(m_config.publicKey);
    if (!m_config.proxy.isValid())
        return tr("代理地址不合法:%1").arg(m_config.proxy.text());
    m_config.proxy.applyTo(m_network);
    if (!prepareDirectories())
        return tr("缓存目录不合法:%1").arg(m_config.configuredCache);
    // An updater with administrator rights that others can steer runs their code.
    const QString unprotected = firstUnprotectedPath();
    if (!unprotected.isEmpty() && m_config.protectionRequired)
        return tr("升级程序的文件不受保护:%1").arg(QDir::toNativeSeparators(unprotected));
    return QString();
}

bool UpdateDriver::prepareDirectories()
{
    m_installDir.makeAbsolute();
    ensureDirectory(m_installDir);
    if (m_installDir.dirName().compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0)
        m_installDir.cdUp();

    QDir &cacheDir = m_config.cacheDir;
    cacheDir.makeAbsolute();
    // Downloads would land on installed files unguarded, and a stale download
    // place would be emptied inside the install folder.
    if (isSameOrInside(resolvedPath(m_installDir.absolutePath()), resolvedPath(cacheDir.absolutePath())))
        return false;
    ensureDirectory(cacheDir);
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
    const QString updateUrl = m_config.updateUrl;
    qCInfo(lcRun).noquote() << "pass:" << QUrl(updateUrl, QUrl::TolerantMode).toDisplayString(QUrl::RemovePassword)
                            << "install" << m_installDir.absolutePath() << "cache" << m_config.cacheDir.absolutePath();
    m_network.clearAccessCache();
    m_passClock.start();
    // Held from here to the end of the pass: what the check reads and the
    // install writes is this folder, whatever is put at its name meanwhile.
    UpdatePlan plan;
    plan.install = HeldFolder::openTrusted(m_installDir.absolutePath());
    if (!plan.install.isValid()) {
        qCInfo(lcRun).noquote() << "the install folder cannot be held:" << plan.install.errorString();
        const QString message = tr("安装目录%1已被移走或替换").arg(m_installDir.absolutePath());
        reportOutcome(plan, false, message);
        return retryableFailure(message);
    }
    // A target an interrupted replacement could not put back goes back first.
    Installer::restoreSetAside(plan.install);

    UpdateCheck check(m_network, {updateUrl, m_verifier.get(), m_installDir, m_config.cacheDir, m_config.inEveryStage});
    if (!check.run(plan)) {
        if (check.failedInConfiguration())
            return endWith(tr("配置错误"), check.errorMessage());
        reportOutcome(plan, false, check.errorMessage());
        return retryableFailure(check.errorMessage());
    }
    if (m_console)
        report(true, !plan.changes.isEmpty() && plan.isMandatory(), QString());
    if (plan.changes.isEmpty()) {
        storeLocalManifest(plan.install, plan.manifest);
        if (!m_console)
            relaunch();
        return 1;
    }
    return runUpdate(check, plan);
}

UpdateDriver::PassEnd UpdateDriver::runUpdate(UpdateCheck &check, const UpdatePlan &plan)
{
    if (!m_console && !plan.isMandatory()) {
        CUpdateNotice notice;
        notice.setVersion(plan.version);
        if (notice.exec() != QDialog::Accepted) {
            relaunch();
            return 1;
        }
    }

    TransferSettings settings(m_config.connections, m_config.proxy,
                              m_config.artifactsWanted ? check.fetchArtifacts(plan) : ArtifactIndex(), m_config.http2);
    settings.installed = plan.installed;
    settings.install = plan.install;
    CDownloadThread engine(plan.downloadBaseUrl, m_config.cacheDir, m_installDir, plan.changes.values(), settings);
    if (m_console && !plan.isMandatory()) {
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
    reportOutcome(plan, engine.isSuccess(), engine.isSuccess() ? QString() : engine.errorMessage());
    if (engine.isSuccess()) {
        storeLocalManifest(plan.install, plan.manifest);
        if (!m_console || plan.isMandatory())
            relaunch();
        return 0;
    }
    const QString message = engine.errorMessage();
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    const bool retry = showError(m_errorDialog, tr("更新失败"), message, !plan.isMandatory());
    if (retry || plan.isMandatory())
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

void UpdateDriver::reportOutcome(const UpdatePlan &plan, bool success, const QString &message)
{
    if (m_config.reportUrl.isEmpty())
        return;
    const QUrl url(m_config.reportUrl, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))) {
        qCInfo(lcRun) << "ReportUrl is not an http or https address: no report";
        return;
    }
    OutcomeReport(m_network, url, plan.install, {m_installDir, m_config.cacheDir, m_applicationDir})
            .send({plan.folder, success, message, m_passClock.elapsed()});
}

int UpdateDriver::endWith(const QString &title, const QString &message)
{
    if (m_console) {
        report(false, false, message);
        return 1;
    }
    showError(m_errorDialog, title, message, false);
    relaunch();
    return 1;
}

void UpdateDriver::report(bool success, bool update, const QString &message)
{
    reportResult(success, update, message, m_reports);
}

void UpdateDriver::relaunch()
{
    relaunchHost(m_config.hostPath, m_applicationFile, m_installDir.absolutePath());
}
