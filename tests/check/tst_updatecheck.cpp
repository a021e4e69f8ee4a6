#include "dialogscript.h"
#include "expectedreports.h"
#include "filehash.h"
#include "nginxserver.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "sitechecker.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatedriver.h"
#include "updatersandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <QUrlQuery>
#include <QtEndian>

#include <algorithm>
#include <memory>
#include <sstream>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

class UpdateCheckTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void consoleNothingToUpdate();
    void windowNothingToUpdate();
    void requestPaths_data();
    void requestPaths();
    void fetchFailures_data();
    void fetchFailures();
    void serverThatNeverAnswers();
    void cacheBelowRegularFile();
    void updateType_data();
    void updateType();
    void windowRetryStartsNewPass();
    void againstNginx();
    void keptManifest_data();
    void keptManifest();
    void lyingCaches_data();
    void lyingCaches();
    void endlessManifest();
    void namesWindowsCannotHold_data();
    void namesWindowsCannotHold();
    void stagedRollout_data();
    void stagedRollout();
    void outcomeReports_data();
    void outcomeReports();

private:
    void publishCurrentInstall();
    /// Serves a site whose live release v2 and staged release v3 (at @p share) each hold their own a.dll.
    void publishStaged(int share);

    TestHttpServer *m_server = nullptr;
    UpdaterSandbox *m_sandbox = nullptr;
    QByteArray m_manifest;
};

void UpdateCheckTest::init()
{
    m_server = new TestHttpServer;
    m_sandbox = new UpdaterSandbox;
    QVERIFY(m_sandbox->isValid());
    m_sandbox->installHost(QStringLiteral("Host.exe"));
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}});
}

void UpdateCheckTest::cleanup()
{
    delete m_sandbox;
    delete m_server;
}

// Version v2 lists two files that the install directory already holds.
void UpdateCheckTest::publishCurrentInstall()
{
    m_sandbox->writeFile(QStringLiteral("a.dll"), "content of a");
    m_sandbox->writeFile(QStringLiteral("sub/b.dll"), "content of b");
    m_manifest = manifestLine("content of a", "a.dll") + manifestLine("content of b", "sub\\b.dll");
    m_server->setFile("/up//update.ini", "[Summary]\nUpdateType=1\n[Version]\nFolder=v2\nVersion=2.0\n");
    m_server->setFile("/up/v2//md5.txt", m_manifest);
}

void UpdateCheckTest::consoleNothingToUpdate()
{
    publishCurrentInstall();
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QVERIFY(result.finished);
    QCOMPARE(result.output, noUpdateDueReport);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), m_manifest);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update/update.ini")),
             QByteArray("[Summary]\nUpdateType=1\n[Version]\nFolder=v2\nVersion=2.0\n"));
    QVERIFY(m_sandbox->hostStarts(300).isEmpty());
}

void UpdateCheckTest::windowNothingToUpdate()
{
    publishCurrentInstall();
    // A dialog would wait for an answer that never comes, and the run would time out.
    const UpdaterSandbox::Result result = m_sandbox->run({});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.output, QByteArray());
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), m_manifest);
    QCOMPARE(m_sandbox->hostStarts(), (QList<QStringList>{{m_sandbox->updaterPath(), "no_check"}}));
}

void UpdateCheckTest::requestPaths_data()
{
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QByteArray>("manifestPath");
    QTest::newRow("named folder") << QByteArray("[Version]\nFolder=2.1.0\n") << QByteArray("/up/2.1.0//md5.txt");
    QTest::newRow("no folder") << QByteArray("[Summary]\nUpdateType=0\n") << QByteArray("/up/Base//md5.txt");
    QTest::newRow("empty description") << QByteArray() << QByteArray("/up/Base//md5.txt");
}

void UpdateCheckTest::requestPaths()
{
    QFETCH(QByteArray, description);
    QFETCH(QByteArray, manifestPath);
    m_server->setFile("/up//update.ini", description);
    m_server->setFile(manifestPath, "");
    QCOMPARE(m_sandbox->run({"console"}).output, noUpdateDueReport);
    QCOMPARE(m_server->requestPaths(), (QList<QByteArray>{"/up//update.ini", manifestPath}));
}

void UpdateCheckTest::fetchFailures_data()
{
    QTest::addColumn<QByteArray>("failingPath");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("update.ini 404") << QByteArray("/up//update.ini") << 404
                                    << "下载升级描述文件失败:Error transferring %1/up//update.ini - server replied: Not Found";
    QTest::newRow("update.ini redirect not followed") << QByteArray("/up//update.ini") << 302
                                                      << "下载升级描述文件失败:Unknown error";
    QTest::newRow("md5.txt 404") << QByteArray("/up/v2//md5.txt") << 404
                                 << "下载更新列表文件失败:Error transferring %1/up/v2//md5.txt - server replied: Not Found";
    QTest::newRow("md5.txt 500") << QByteArray("/up/v2//md5.txt") << 500
                                 << "下载更新列表文件失败:Error transferring %1/up/v2//md5.txt - server replied: Internal Server Error";
}

void UpdateCheckTest::fetchFailures()
{
    QFETCH(QByteArray, failingPath);
    QFETCH(int, status);
    QFETCH(QString, message);
    publishCurrentInstall();
    TestHttpServer::Response failure;
    failure.status = status;
    if (status == 302)
        failure.headers = {{"Location", "/moved/update.ini"}};
    m_server->setResponse(failingPath, failure);
    m_server->setFile("/moved/update.ini", "[Version]\nFolder=v2\n");

    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(message.contains(QLatin1String("%1")) ? message.arg(m_server->url()) : message)));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(!m_server->requestPaths().contains("/moved/update.ini"));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("update_md5.info"))));
    QVERIFY(m_sandbox->hostStarts(300).isEmpty());
}

void UpdateCheckTest::serverThatNeverAnswers()
{
    TestHttpServer::Response silent;
    silent.end = TestHttpServer::BodyEnd::NoAnswer;
    m_server->setResponse("/up//update.ini", silent);
    QElapsedTimer timer;
    timer.start();
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    const qint64 elapsed = timer.elapsed();
    qInfo("the check gave up after %lld ms", elapsed);
    QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(QStringLiteral("下载升级描述文件失败:网络超时"))));
    // Never before the 5 s time-out; at most ten times the whole run (about 5 s when idle).
    QVERIFY2(elapsed >= 4500 && elapsed < 50000, qPrintable(QString::number(elapsed)));
}

void UpdateCheckTest::cacheBelowRegularFile()
{
    publishCurrentInstall();
    m_sandbox->writeFile(QStringLiteral("plain"), "a regular file");
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))},
                            {"Cache", m_sandbox->path(QStringLiteral("plain/cache"))}});
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    const QString expected = QStringLiteral("创建文件[%1]失败:").arg(m_sandbox->path(QStringLiteral("plain/cache/update.ini")));
    QVERIFY2(result.output.startsWith(R"({"errormsg":")" + expected.toUtf8()), result.output.constData());
    QVERIFY(result.output.endsWith(R"(","success":false,"update":false})"));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(m_server->requestPaths(), QList<QByteArray>{"/up//update.ini"});
}

void UpdateCheckTest::updateType_data()
{
    QTest::addColumn<QByteArray>("summary");
    QTest::addColumn<bool>("update");
    QTest::newRow("missing means mandatory") << QByteArray() << true;
    QTest::newRow("1") << QByteArray("[Summary]\nUpdateType=1\n") << true;
    QTest::newRow("2") << QByteArray("[Summary]\nUpdateType=2\n") << true;
    QTest::newRow("0") << QByteArray("[Summary]\nUpdateType=0\n") << false;
    QTest::newRow("abc reads as 0") << QByteArray("[Summary]\nUpdateType=abc\n") << false;
}

void UpdateCheckTest::updateType()
{
    QFETCH(QByteArray, summary);
    QFETCH(bool, update);
    m_server->setFile("/up//update.ini", summary + "[Version]\nFolder=v2\n");
    m_server->setFile("/up/v2//md5.txt", manifestLine("new", "new.dll"));
    m_server->setFile("/up/v2/new.dll", "new");
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    const QByteArray first = update ? updateDueReport : noUpdateDueReport;
    QVERIFY2(result.output.startsWith(first), result.output.constData());
}

void UpdateCheckTest::windowRetryStartsNewPass()
{
    publishCurrentInstall();
    m_server->setResponse("/up/v2//md5.txt", TestHttpServer::Response{404, {}, "missing", {}, 0, 0});
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"DownLoadUrl", "http://example.invalid/"}});
    DialogScript script({&DialogScript::accept, &DialogScript::pressEscape});
    std::ostringstream reports;
    UpdateDriver driver(m_sandbox->updaterPath(), QString(), reports);
    QCOMPARE(driver.run(), 1);

    const QString shown = QStringLiteral("CUpdateError|更新失败|下载更新列表文件失败:Error transferring %1/up/v2//md5.txt - server replied: Not Found|retry,download")
            .arg(m_server->url());
    QCOMPARE(script.shown(), QStringList({shown, shown}));
    QCOMPARE(m_server->requestPaths(),
             (QList<QByteArray>{"/up//update.ini", "/up/v2//md5.txt", "/up//update.ini", "/up/v2//md5.txt"}));
    QVERIFY(reports.str().empty());
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

void UpdateCheckTest::againstNginx()
{
#ifdef Q_OS_WIN
    QSKIP("nginx is a Linux program: the Windows runs serve from the test itself");
#endif
    QTemporaryDir site;
    const auto publish = [&site](const QString &relative, const QByteArray &bytes) {
        QDir().mkpath(QFileInfo(site.filePath(relative)).absolutePath());
        QFile file(site.filePath(relative));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    m_sandbox->writeFile(QStringLiteral("a.dll"), "content of a");
    m_manifest = manifestLine("content of a", "a.dll");
    publish(QStringLiteral("update.ini"), "[Summary]\nUpdateType=1\n[Version]\nFolder=2.0\nVersion=2.0\n");
    publish(QStringLiteral("2.0/md5.txt"), m_manifest);

    NginxServer nginx;
    QVERIFY2(nginx.start(site.path()), qPrintable(nginx.errorString()));
    m_sandbox->writeConfig({{"URL", nginx.url(QStringLiteral("/"))}});
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(result.output, noUpdateDueReport);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), m_manifest);

    m_sandbox->writeConfig({{"URL", nginx.url(QStringLiteral("/missing/"))}});
    const UpdaterSandbox::Result missing = m_sandbox->run({"console"});
    QVERIFY2(missing.output.contains("下载升级描述文件失败:") && missing.output.contains("Not Found"),
             missing.output.constData());
}

void UpdateCheckTest::keptManifest_data()
{
    // A first check keeps md5.txt with its validator; the second meets the row's change.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QByteArray>("validator");  // the response header that carries md5.txt's validator, as spelt
    QTest::addColumn<bool>("conditionSent");    // the second fetch of md5.txt asked with the validator
    QTest::addColumn<bool>("manifestSent");     // and the server sent the body again
    QTest::addColumn<bool>("fails");            // the 304 that answers no question
    QTest::newRow("304 with a whole copy") << "" << QByteArray("ETag") << true << false << false;
    QTest::newRow("copy damaged") << "damaged" << QByteArray("ETag") << false << true << false;
    QTest::newRow("copy missing") << "missing" << QByteArray("ETag") << false << true << false;
    QTest::newRow("copy replaced by a link") << "link" << QByteArray("ETag") << false << true << false;
    QTest::newRow("server ignores validators") << "ignored" << QByteArray("ETag") << true << true << false;
    QTest::newRow("304 without a validator sent") << "unasked 304" << QByteArray("ETag") << false << false << true;
    QTest::newRow("update.ini names the kept copy's digest") << "named" << QByteArray("ETag") << false << false << false;
    QTest::newRow("a staged release's kept copy, named by its stage") << "staged" << QByteArray("ETag") << false << false << false;
    QTest::newRow("signed site, 304: the kept signature is checked") << "signed" << QByteArray("ETag") << true << false << false;
    // Header names are one name in any letter case (h2o, Caddy).
    for (const char *spelling : {"etag", "Etag", "ETAG", "last-modified", "LAST-MODIFIED"})
        QTest::addRow("validator spelt %s", spelling) << "" << QByteArray(spelling) << true << false << false;
}

void UpdateCheckTest::keptManifest()
{
    QFETCH(QString, change);
    QFETCH(QByteArray, validator);
    QFETCH(bool, conditionSent);
    QFETCH(bool, manifestSent);
    QFETCH(bool, fails);

    publishCurrentInstall();
    TestHttpServer::Response manifest;
    manifest.body = m_manifest;
    const QByteArray validatorValue = validator.startsWith("l") || validator.startsWith("L")
            ? QByteArray("Tue, 08 Dec 2026 10:00:00 GMT") : QByteArray("\"m1\"");
    manifest.headers = {{validator, validatorValue}};
    manifest.conditional = change != QLatin1String("ignored");
    m_server->setResponse("/up/v2//md5.txt", manifest);
    QByteArray description = "[Summary]\nUpdateType=1\n[Version]\nFolder=v2\nVersion=2.0\n";
    if (change == QLatin1String("staged")) {
        // Live 1.0 is nowhere to be found: a tester's install takes the stage at 0 %.
        description = "[Summary]\nUpdateType=1\n[Version]\nFolder=v1\nVersion=1.0\n[Rollout]\nFolder=v2\nVersion=2.0\nShare=0\n";
        m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"Rollout", "always"}});
    }
    if (change == QLatin1String("named") || change == QLatin1String("staged"))
        description += "ManifestSize=" + QByteArray::number(m_manifest.size()) + "\nManifestSha256="
                + QCryptographicHash::hash(m_manifest, QCryptographicHash::Sha256).toHex() + '\n';
    m_server->setFile("/up//update.ini", description);
    QTemporaryDir keys;
    if (change == QLatin1String("signed")) {
        QVERIFY(ReleaseSigner::generateKeys(keys.filePath(QStringLiteral("k.pem")), keys.filePath(QStringLiteral("k.pub")), nullptr));
        const ReleaseSigner signer(keys.filePath(QStringLiteral("k.pem")));
        m_server->setFile("/up//update.ini.sig", signer.sign(description));
        m_server->setFile("/up/v2//md5.txt.sig", signer.sign(m_manifest));
        m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))},
                                {"PublicKey", QString::fromLatin1(readTestFile(keys.filePath(QStringLiteral("k.pub"))).trimmed())}});
    }

    const UpdaterSandbox::Result first = m_sandbox->run({"console"});
    const QByteArray firstLocalManifest = m_sandbox->readFile(QStringLiteral("update_md5.info"));
    QVERIFY2(m_sandbox->readFile(QStringLiteral("update_md5.cache")) == m_manifest, QByteArray(first.output + first.errors).constData());
    const QString copy = m_sandbox->path(QStringLiteral("update_md5.cache"));
    if (change == QLatin1String("damaged"))
        QVERIFY(writeTestFile(copy, QByteArray(m_manifest).replace(0, 1, "0")));
    else if (change == QLatin1String("missing"))
        QVERIFY(QFile::remove(copy));
    else if (change == QLatin1String("link"))
        QVERIFY(QFile::rename(copy, copy + QStringLiteral(".real")) && QFile::link(copy + QStringLiteral(".real"), copy));
    if (change == QLatin1String("unasked 304")) {
        QVERIFY(QFile::remove(copy) && QFile::remove(copy + QStringLiteral(".info")));
        manifest.status = 304;
        manifest.body.clear();
        m_server->setResponse("/up/v2//md5.txt", manifest);
    }
    QVERIFY(QFile::remove(m_sandbox->path(QStringLiteral("update_md5.info"))));
    m_server->clearLog();

    const UpdaterSandbox::Result second = m_sandbox->run({"console"});
    if (fails) {
        QVERIFY2(second.output.startsWith(R"({"errormsg":"下载更新列表文件失败:)"), second.output.constData());
        QCOMPARE(second.exitCode, 1);
        return;
    }
    // Exactly as a run without the kept copy.
    QCOMPARE(second.output, first.output);
    QCOMPARE(second.exitCode, first.exitCode);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), firstLocalManifest);
    const QList<TestHttpServer::Request> requests = m_server->requests();
    const auto fetch = std::find_if(requests.cbegin(), requests.cend(), [](const TestHttpServer::Request &request) {
        return request.path == "/up/v2//md5.txt";
    });
    QCOMPARE(fetch != requests.cend(), conditionSent || manifestSent);
    if (fetch != requests.cend()) {
        const QByteArray asked = validatorValue.startsWith('"') ? fetch->header("If-None-Match") : fetch->header("If-Modified-Since");
        QCOMPARE(asked, conditionSent ? validatorValue : QByteArray());
        QCOMPARE(fetch->bodyBytesSent, manifestSent ? qint64(m_manifest.size()) : qint64(0));
    }
    QVERIFY(!m_server->requestPaths().contains("/up/v2//md5.txt.sig"));
}

void UpdateCheckTest::lyingCaches_data()
{
    // The site republishes into the same folder (a.dll changes) while a cache in
    // front of it still holds the earlier md5.txt.
    QTest::addColumn<TestHttpServer::Cache>("cache");
    QTest::addColumn<bool>("signedSite");
    QTest::addColumn<bool>("keys");        // update.ini names md5.txt's size and SHA-256
    QTest::addColumn<bool>("keptCopy");    // the client checked before the publication
    QTest::addColumn<QString>("message");  // empty: the new a.dll is installed
    using Cache = TestHttpServer::Cache;
    for (const bool signedSite : {false, true}) {
        const char *site = signedSite ? "signed" : "unsigned";
        QTest::addRow("%s, keys, kept copy, 304 to anything", site) << Cache::Revalidates << signedSite << true << true << QString();
        QTest::addRow("%s, keys, kept copy, stale cache", site) << Cache::Stale << signedSite << true << true << QString();
        QTest::addRow("%s, keys, no kept copy, stale cache", site) << Cache::Stale << signedSite << true << false << QString();
        QTest::addRow("%s, no keys, kept copy, 304 to anything", site) << Cache::Revalidates << signedSite << false << true << QString();
        QTest::addRow("%s, no keys, kept copy, stale cache", site) << Cache::Stale << signedSite << false << true << QString();
        const QString staleMessage = signedSite ? QStringLiteral("更新列表文件签名无效")
                                                : QStringLiteral("下载更新列表文件失败:更新列表文件与升级描述文件不符");
        QTest::addRow("%s, keys, the cache lies past no-cache", site) << Cache::StaleAlways << signedSite << true << true << staleMessage;
        QTest::addRow("%s, keys, no kept copy, the cache answers no-cache with 304", site)
                << Cache::StaleThenNotModified << signedSite << true << false << staleMessage;
    }
}

void UpdateCheckTest::lyingCaches()
{
    QFETCH(TestHttpServer::Cache, cache);
    QFETCH(bool, signedSite);
    QFETCH(bool, keys);
    QFETCH(bool, keptCopy);
    QFETCH(QString, message);

    QTemporaryDir keyDir;
    std::unique_ptr<ReleaseSigner> signer;
    QMap<QString, QString> config{{"URL", m_server->url(QStringLiteral("/up/"))}};
    if (signedSite) {
        QVERIFY(ReleaseSigner::generateKeys(keyDir.filePath(QStringLiteral("k.pem")), keyDir.filePath(QStringLiteral("k.pub")), nullptr));
        signer = std::make_unique<ReleaseSigner>(keyDir.filePath(QStringLiteral("k.pem")));
        config.insert(QStringLiteral("PublicKey"), QString::fromLatin1(readTestFile(keyDir.filePath(QStringLiteral("k.pub"))).trimmed()));
    }
    m_sandbox->writeConfig(config);
    const auto publish = [&](const QByteArray &version, const QByteArray &manifestBody, const QByteArray &stale) {
        QByteArray description = "[Summary]\nUpdateType=1\n[Version]\nFolder=v2\nVersion=" + version + '\n';
        if (keys)
            description += "ManifestSize=" + QByteArray::number(manifestBody.size()) + "\nManifestSha256="
                    + QCryptographicHash::hash(manifestBody, QCryptographicHash::Sha256).toHex() + '\n';
        m_server->setFile("/up//update.ini", description);
        TestHttpServer::Response manifest;
        manifest.body = manifestBody;
        manifest.headers = {{"ETag", '"' + md5Text(manifestBody) + '"'}};
        manifest.conditional = true;
        manifest.cache = stale.isNull() ? TestHttpServer::Cache::None : cache;
        manifest.staleBody = stale;
        m_server->setResponse("/up/v2//md5.txt", manifest);
        if (signer) {
            m_server->setFile("/up//update.ini.sig", signer->sign(description));
            m_server->setFile("/up/v2//md5.txt.sig", signer->sign(manifestBody));
        }
    };
    publishCurrentInstall();
    const QByteArray earlier = m_manifest;
    publish("2.0", earlier, QByteArray());
    if (keptCopy)
        QCOMPARE(m_sandbox->run({"console"}).output, noUpdateDueReport);

    const QByteArray later = manifestLine("content of a, later", "a.dll") + manifestLine("content of b", "sub\\b.dll");
    m_server->setFile("/up/v2/a.dll", "content of a, later");
    publish("2.0.1", later, earlier);
    m_server->clearLog();
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    if (message.isEmpty()) {
        QCOMPARE(result.output, updateDueReport);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("content of a, later"));
    } else {
        QCOMPARE(result.output, failureReport(message));
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("content of a"));
    }
    // At most the one request that went wrong, and once more past every cache.
    QList<TestHttpServer::Request> fetches;
    for (const TestHttpServer::Request &request : m_server->requests()) {
        if (request.path == "/up/v2//md5.txt")
            fetches << request;
    }
    QVERIFY(!fetches.isEmpty() && fetches.size() <= 2);
    QCOMPARE(fetches.last().header("Cache-Control"), fetches.size() == 2 || (!keys && keptCopy) ? QByteArray("no-cache") : QByteArray());
    QCOMPARE(fetches.last().header("Pragma"), fetches.last().header("Cache-Control"));
    // update.ini proves a kept copy stale: it is not asked about.
    for (const TestHttpServer::Request &fetch : qAsConst(fetches))
        QCOMPARE(fetch.header("If-None-Match"), QByteArray());
}

// An md5.txt that never ends is cut at its 64 MiB limit, and the updater's
// private memory stays within that limit and 16 MiB more meanwhile.
void UpdateCheckTest::endlessManifest()
{
#ifdef Q_OS_WIN
    QSKIP("the private memory is read from /proc");
#else
    m_server->setFile("/up//update.ini", "[Version]\nFolder=v2\n");
    TestHttpServer::Response endless;
    endless.end = TestHttpServer::BodyEnd::Endless;
    m_server->setResponse("/up/v2//md5.txt", endless);
    const std::unique_ptr<QProcess> updater = m_sandbox->start({"console"});
    QVERIFY(updater->waitForStarted());
    const QString status = QStringLiteral("/proc/%1/status").arg(updater->processId());
    qint64 peakKiB = 0;
    while (updater->state() == QProcess::Running) {
        for (const QByteArray &line : readTestFile(status, QByteArray()).split('\n')) {
            if (line.startsWith("RssAnon:"))
                peakKiB = qMax(peakKiB, line.mid(8).trimmed().split(' ').first().toLongLong());
        }
        QTest::qWait(5);
    }
    const UpdaterSandbox::Result result = UpdaterSandbox::finish(*updater);
    qInfo("an endless md5.txt: the updater's private memory peaked at %lld MiB", peakKiB / 1024);
    QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(QStringLiteral("下载更新列表文件失败:文件过大"))));
    QVERIFY2(peakKiB > 0 && peakKiB <= (64 + 16) * 1024, qPrintable(QString::number(peakKiB)));
#endif
}

void UpdateCheckTest::namesWindowsCannotHold_data()
{
    // Beside a.dll ("old a" installed, "new a" published): the names of the row.
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("refused");   // the entry Windows refuses; empty: every name installs
    QTest::newRow("case twins") << QStringList{"A.dll"} << "a.dll";
    QTest::newRow("case twins, not ASCII") << QStringList{"插件/Ω.dll", "插件/ω.dll"} << "插件/ω.dll";
    QTest::newRow("a file and a folder of one name") << QStringList{"Lib", "lib/x.dll"} << "Lib";
    QTest::newRow("trailing dot") << QStringList{"b.dll."} << "b.dll.";
    QTest::newRow("trailing space") << QStringList{"c.dll "} << "c.dll ";
    QTest::newRow("a folder with a trailing dot") << QStringList{"sub./d.dll"} << "sub./d.dll";
    for (const char *device : {"CON", "nul", "aux.txt", "COM1", "sub/LPT1.dll", "conout$"})
        QTest::addRow("device name %s", device) << QStringList{QString::fromLatin1(device)} << QString::fromLatin1(device);
    for (const char *refused : {"a<b.dll", "s*.dll", "p|.dll", "\"q\".dll", "\x01.dll"})
        QTest::addRow("character Windows refuses in %s", refused) << QStringList{QString::fromLatin1(refused)} << QString::fromLatin1(refused);
#ifdef Q_OS_WIN
    // "@" stands for the 8.3 alias of longfilename.dll, installed and listed too.
    QTest::newRow("a name and its 8.3 alias") << QStringList{"@"} << "@";
    QTest::newRow("a name and its 8.3 alias, lower case") << QStringList{"@lower"} << "@";
#endif
    // Never a name of the install folder, as before: skipped, whatever the system.
    QTest::newRow("traversal, rooted and stream paths") << QStringList{"../x.dll", "//rooted.dll", "a.dll:stream"} << QString();
}

// A manifest whose names Windows holds as one file, or cannot hold, is refused
// there before anything is written; Linux installs it as before. The publisher
// refuses such a release, and --check such a site.
void UpdateCheckTest::namesWindowsCannotHold()
{
    QFETCH(QStringList, names);
    QFETCH(QString, refused);
    m_sandbox->writeFile(QStringLiteral("a.dll"), "old a");
    QByteArray manifest = manifestLine("new a", "a.dll");
    m_server->setFile("/up/v2/a.dll", "new a");
    QStringList installable;
#ifdef Q_OS_WIN
    if (names.first().startsWith(QLatin1Char('@'))) {
        // The two names of one file: the long one, and the alias the volume gave it.
        const QString longName = QStringLiteral("longfilename.dll");
        m_sandbox->writeFile(longName, "old long");
        wchar_t shortPath[MAX_PATH];
        const std::wstring longPath = QDir::toNativeSeparators(m_sandbox->path(longName)).toStdWString();
        QString alias = GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH) ? QFileInfo(QString::fromWCharArray(shortPath)).fileName()
                                                                                : longName;
        if (alias == longName)
            QSKIP("this volume keeps no 8.3 names");
        if (names.first() == QLatin1String("@lower"))
            alias = alias.toLower();
        names = QStringList{longName, alias};
        refused = qMax(longName, alias);   // the later of the two in the list
    }
#endif
    for (const QString &name : qAsConst(names)) {
        // As clients read a manifest: in their 8-bit encoding.
        manifest += manifestLine("new " + name.toUtf8(), name.toLocal8Bit());
        m_server->setFile(QUrl(m_server->url(QStringLiteral("/up/v2/")) + name, QUrl::TolerantMode)
                                  .toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), "new " + name.toUtf8());
        if (isSafeManifestPath(name))
            installable << name;
    }
    m_server->setFile("/up//update.ini", "[Version]\nFolder=v2\n");
    m_server->setFile("/up/v2//md5.txt", manifest);
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
#ifdef Q_OS_WIN
    if (!refused.isEmpty()) {
        QString inJson = QString(refused).replace(QLatin1Char('"'), QLatin1String("\\\"")).replace(QChar(1), QLatin1String("\\u0001"));
        const QByteArray refusal = failureReport(QStringLiteral("更新列表文件格式不对:") + inJson);
        // Two names of one file show only at the install, before anything is replaced.
        const bool aliases = names.first() == QLatin1String("longfilename.dll");
        QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(aliases ? updateDueReport + refusal : refusal));
        QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("old a"));
        QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("a.dll.old"))));
        if (aliases)
            QCOMPARE(m_sandbox->readFile(QStringLiteral("longfilename.dll")), QByteArray("old long"));
        return;
    }
#endif
    QVERIFY2(result.exitCode == 0, result.output.constData());
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    for (const QString &name : qAsConst(installable))
        QCOMPARE(m_sandbox->readFile(name), "new " + name.toUtf8());
    QCOMPARE(m_sandbox->hostStarts().size(), 1);

    // The publisher: such a site is named by --check; on Linux, where a release
    // can hold these names, such a release is refused unless it is for Linux only.
    if (refused.isEmpty())
        return;
    QTemporaryDir publishing;
    QVERIFY(writeTestFile(publishing.filePath(QStringLiteral("site/update.ini")), "[Version]\nFolder=v2\n"));
    QVERIFY(writeTestFile(publishing.filePath(QStringLiteral("site/v2/md5.txt")), manifest));
    QVERIFY(writeTestFile(publishing.filePath(QStringLiteral("site/v2/a.dll")), "new a"));
    for (const QString &name : qAsConst(installable))
        QVERIFY(writeTestFile(publishing.filePath(QStringLiteral("site/v2/") + name), "new " + name.toUtf8()));
    SiteChecker checker(publishing.filePath(QStringLiteral("site")));
    QVERIFY(!checker.check());
    QVERIFY2(checker.problems().join(QLatin1Char('\n')).contains(refused + QStringLiteral(": Windows clients cannot hold")),
             qPrintable(checker.problems().join(QLatin1Char('\n'))));
    QVERIFY(SiteChecker(publishing.filePath(QStringLiteral("site")), nullptr, nullptr, false).check());
    ReleasePublisher::Options options;
    options.releaseDir = publishing.filePath(QStringLiteral("site/v2"));
    options.siteDir = publishing.filePath(QStringLiteral("published"));
    options.version = QStringLiteral("2");
    QVERIFY(QFile::remove(publishing.filePath(QStringLiteral("site/v2/md5.txt"))));
    ReleasePublisher publisher(options);
    QVERIFY(!publisher.publish());
    QVERIFY2(publisher.errors().join(QLatin1Char('\n')).startsWith(refused + QStringLiteral(": Windows cannot hold this name")),
             qPrintable(publisher.errors().join(QLatin1Char('\n'))));
    options.windowsNames = false;
    QVERIFY(ReleasePublisher(options).publish());
}

void UpdateCheckTest::publishStaged(int share)
{
    const QByteArray live = manifestLine("live a", "a.dll");
    const QByteArray staged = manifestLine("staged a", "a.dll");
    m_server->setFile("/up//update.ini", "[Summary]\nUpdateType=1\n[Version]\nFolder=v2\nVersion=2.0\nManifestSize="
                                             + QByteArray::number(live.size()) + "\nManifestSha256="
                                             + QCryptographicHash::hash(live, QCryptographicHash::Sha256).toHex()
                                             + "\n[Rollout]\nFolder=v3\nVersion=3.0\nShare="
                                             + QByteArray::number(share) + "\nManifestSize=" + QByteArray::number(staged.size())
                                             + "\nManifestSha256=" + QCryptographicHash::hash(staged, QCryptographicHash::Sha256).toHex() + '\n');
    m_server->setFile("/up/v2//md5.txt", live);
    m_server->setFile("/up/v2/a.dll", "live a");
    m_server->setFile("/up/v3//md5.txt", staged);
    m_server->setFile("/up/v3/a.dll", "staged a");
}

void UpdateCheckTest::stagedRollout_data()
{
    QTest::addColumn<int>("share");
    QTest::addColumn<int>("installs");
    QTest::addColumn<QString>("install");   // "": a.dll of 1.0; "live", "staged": that release; "always": Rollout=always; "no id"
    QTest::newRow("10 %") << 10 << 20 << QString();
    QTest::newRow("50 %") << 50 << 20 << QString();
    QTest::newRow("halted at 0 %") << 0 << 20 << QString();
    QTest::newRow("Rollout=always at 0 %") << 0 << 1 << "always";
    QTest::newRow("the live release installed, outside the stage") << 0 << 1 << "live";
    QTest::newRow("the staged release installed, then halted") << 0 << 1 << "staged";
    QTest::newRow("an id that can be neither read nor stored") << 100 << 1 << "no id";
}

void UpdateCheckTest::stagedRollout()
{
    QFETCH(int, share);
    QFETCH(int, installs);
    QFETCH(QString, install);

    publishStaged(share);
    QMap<QString, QString> config{{"URL", m_server->url(QStringLiteral("/up/"))}};
    if (install == QLatin1String("always"))
        config.insert(QStringLiteral("Rollout"), QStringLiteral("always"));
    m_sandbox->writeConfig(config);
    QProcessEnvironment logging;
    logging.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("updater.run.info=true"));
    int staged = 0;
    for (int i = 0; i < installs; ++i) {
        // Each install as the field has it: its own id, drawn once, and a.dll of 1.0.
        const QByteArray id = QCryptographicHash::hash("install " + QByteArray::number(i), QCryptographicHash::Md5);
        for (const char *kept : {"update_md5.info", "update_md5.cache", "update_md5.cache.info", "update_id.info"})
            QFile::remove(m_sandbox->path(QString::fromLatin1(kept)));
        if (install == QLatin1String("no id"))
            QVERIFY(QDir().mkpath(m_sandbox->path(QStringLiteral("update_id.info"))));
        else
            m_sandbox->writeFile(QStringLiteral("update_id.info"), id.toHex() + '\n');
        m_sandbox->writeFile(QStringLiteral("a.dll"), install == QLatin1String("live") ? "live a" : "1.0 a");
        if (install == QLatin1String("staged")) {
            m_sandbox->writeFile(QStringLiteral("a.dll"), "staged a");
            m_sandbox->writeFile(QStringLiteral("update_md5.info"), manifestLine("staged a", "a.dll"));
        }
        const QByteArray digest = QCryptographicHash::hash(id + "v3", QCryptographicHash::Sha256);
        const bool in = install == QLatin1String("always") || install == QLatin1String("staged")
                || (install.isEmpty() && qFromBigEndian<quint32>(digest.constData()) < (quint64(share) << 32) / 100);
        staged += in ? 1 : 0;
        for (int pass = 0; pass < 3; ++pass) {
            const UpdaterSandbox::Result result = m_sandbox->run({"console"}, 120000, QString(), logging);
            const bool installs = pass == 0 && install != QLatin1String("live") && install != QLatin1String("staged");
            QVERIFY2(result.output == (installs ? updateDueReport : noUpdateDueReport), result.errors.constData());
            QCOMPARE(result.exitCode, installs ? 0 : 1);
            QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), in ? QByteArray("staged a") : QByteArray("live a"));
            if (install == QLatin1String("no id"))
                QVERIFY2(result.errors.contains("outside every stage for this pass"), result.errors.constData());
        }
    }
    qInfo("%d of %d installs took the staged release", staged, installs);
    // A site with nothing new costs update.ini alone, staged or not, once md5.txt is kept.
    m_server->clearLog();
    m_sandbox->run({"console"});
    QCOMPARE(m_server->requestPaths(), QList<QByteArray>{"/up//update.ini"});
}

void UpdateCheckTest::outcomeReports_data()
{
    QTest::addColumn<QString>("pass");       // what the pass meets
    QTest::addColumn<bool>("reportUrl");     // system.cfg names one
    QTest::addColumn<QString>("outcome");    // of the one report; empty: none is sent
    QTest::addColumn<QString>("message");
    QTest::newRow("installed") << "install" << true << "success" << QString();
    QTest::newRow("failed") << "404" << true << "failure" << "下载更新文件a.dll网络错误：404-";
    QTest::newRow("failed with a folder of this machine in its message") << "cache below a file" << true << "failure"
                                                                        << "创建文件[<folder>/update.ini]失败:";
    QTest::newRow("nothing to do") << "current" << true << QString() << QString();
    QTest::newRow("installed, no ReportUrl") << "install" << false << QString() << QString();
    QTest::newRow("a report URL that never answers") << "never answers" << true << "success" << QString();
}

void UpdateCheckTest::outcomeReports()
{
    QFETCH(QString, pass);
    QFETCH(bool, reportUrl);
    QFETCH(QString, outcome);
    QFETCH(QString, message);

    publishStaged(0);
    m_sandbox->writeFile(QStringLiteral("a.dll"), pass == QLatin1String("current") ? "live a" : "1.0 a");
    m_sandbox->writeFile(QStringLiteral("update_id.info"), QByteArray(32, 'a') + '\n');
    if (pass == QLatin1String("404")) {
        TestHttpServer::Response missing;
        missing.status = 404;
        m_server->setResponse("/up/v2/a.dll", missing);
    }
    if (pass == QLatin1String("never answers")) {
        TestHttpServer::Response silent;
        silent.end = TestHttpServer::BodyEnd::NoAnswer;
        m_server->setResponse("/report", silent);
    }
    QMap<QString, QString> config{{"URL", m_server->url(QStringLiteral("/up/"))}};
    if (reportUrl)
        config.insert(QStringLiteral("ReportUrl"), m_server->url(QStringLiteral("/report?site=1")));
    // A cache outside the install folder, which no report may name.
    QTemporaryDir elsewhere;
    if (pass == QLatin1String("cache below a file")) {
        QVERIFY(writeTestFile(elsewhere.filePath(QStringLiteral("file")), "a file"));
        config.insert(QStringLiteral("Cache"), elsewhere.filePath(QStringLiteral("file/cache")));
    }
    m_sandbox->writeConfig(config);
    QElapsedTimer clock;
    clock.start();
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    const qint64 took = clock.elapsed();
    QVERIFY(result.finished);
    // The report changes neither the console report nor the exit code.
    QCOMPARE(result.exitCode, pass == QLatin1String("install") || pass == QLatin1String("never answers") ? 0 : 1);
    QList<TestHttpServer::Request> reports;
    for (const TestHttpServer::Request &request : m_server->requests()) {
        if (request.path.startsWith("/report"))
            reports << request;
    }
    if (outcome.isEmpty()) {
        QCOMPARE(reports.size(), 0);
        return;
    }
    QCOMPARE(reports.size(), 1);
    const QUrlQuery query(QUrl(QString::fromLatin1(reports.first().path)));
    QCOMPARE(query.queryItemValue(QStringLiteral("site")), QStringLiteral("1"));
    QCOMPARE(query.queryItemValue(QStringLiteral("outcome")), outcome);
    QCOMPARE(query.queryItemValue(QStringLiteral("folder")), pass == QLatin1String("cache below a file") ? QString() : QStringLiteral("v2"));
    // A per-release id, never the install's own.
    QCOMPARE(query.queryItemValue(QStringLiteral("id")).toLatin1(),
             QCryptographicHash::hash(QByteArray::fromHex(QByteArray(32, 'a'))
                                              + (pass == QLatin1String("cache below a file") ? "" : "v2"),
                                      QCryptographicHash::Sha256).toHex());
    const QString told = query.queryItemValue(QStringLiteral("message"), QUrl::FullyDecoded);
    QVERIFY2(told.startsWith(message), qPrintable(told));
    for (const QString &folder : {m_sandbox->root(), elsewhere.path()})
        QVERIFY2(!told.contains(folder) && !told.contains(QDir::toNativeSeparators(folder)), qPrintable(told));
    bool isNumber = false;
    QVERIFY(query.queryItemValue(QStringLiteral("msecs")).toLongLong(&isNumber) >= 0 && isNumber);
    qInfo("the run took %lld ms", took);
    // The report waits 5 s at most (the run took 5.0-5.3 s here): a busy machine gets ten times that.
    if (pass == QLatin1String("never answers"))
        QVERIFY2(took >= 4500 && took < 50000, "the report did not wait for its answer, or held the end far longer");
}

QTEST_MAIN(UpdateCheckTest)
#include "tst_updatecheck.moc"
