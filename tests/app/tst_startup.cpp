#include "dialogscript.h"
#include "expectedreports.h"
#include "configuration.h"
#include "directories.h"
#include "outcome.h"
#include "singleinstanceguard.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatedriver.h"
#include "updatersandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSharedMemory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <memory>
#include <sstream>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const QByteArray invalidUrlReport = failureReport(QStringLiteral("升级地址不合法:"));
const QByteArray alreadyRunningReport = failureReport(QStringLiteral("升级程序已运行"));

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

/// A relative path that puts any folder it is below past MAX_PATH (260 characters).
QString deepFolder()
{
    QStringList levels;
    for (int level = 0; level < 9; ++level)
        levels << QStringLiteral("level-%1-of-a-deep-folder-tree").arg(level);
    return levels.join(QLatin1Char('/'));
}
}

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void resultReportJson_data();
    void resultReportJson();
    void modeArgument_data();
    void modeArgument();
    void restartWhileGuardHeld_data();
    void restartWhileGuardHeld();
    void secondUpdaterIsBlocked();
    void killedUpdaterDoesNotBlock();
    void simultaneousUpdatersNeverBothRun();
    void squattedGuard_data();
    void squattedGuard();
    void unprotectedFiles_data();
    void unprotectedFiles();
    void windowModeShowsConfigError();
    void windowModeAlreadyRunning();
    void directories_data();
    void directories();
    void connectionsSetting_data();
    void connectionsSetting();
    void cacheHoldingInstallRefused_data();
    void cacheHoldingInstallRefused();
    void ensureDirectoryCreatesMissingLevels();
};

void StartupTest::resultReportJson_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("check passed") << true << false << QString() << noUpdateDueReport;
    QTest::newRow("update due") << true << true << QString() << updateDueReport;
    QTest::newRow("quote and backslash") << false << false << QStringLiteral("a\"b\\c") << QByteArray(R"({"errormsg":"a\"b\\c","success":false,"update":false})");
    QTest::newRow("control character") << false << false << QStringLiteral("x\ny") << QByteArray(R"({"errormsg":"x\ny","success":false,"update":false})");
    QTest::newRow("Chinese as UTF-8") << false << false << QStringLiteral("升级程序已运行") << alreadyRunningReport;
}

void StartupTest::resultReportJson()
{
    QFETCH(bool, success);
    QFETCH(bool, update);
    QFETCH(QString, message);
    QFETCH(QByteArray, json);
    QCOMPARE(resultReport(success, update, message), json);
    std::ostringstream out;
    reportResult(success, update, message, out);
    reportResult(success, update, message, out);
    QCOMPARE(QByteArray::fromStdString(out.str()), json + json);
}

void StartupTest::modeArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("console") << QStringList{"console"};
    QTest::newRow("CONSOLE") << QStringList{"CONSOLE"};
    QTest::newRow("Console with more") << QStringList{"Console", "restart"};
}

void StartupTest::modeArgument()
{
    QFETCH(QStringList, arguments);
    UpdaterSandbox sandbox;
    QVERIFY(sandbox.isValid());
    sandbox.installHost(QStringLiteral("Host.exe"));
    const UpdaterSandbox::Result result = sandbox.run(arguments);
    QVERIFY(result.finished);
    QCOMPARE(result.output, invalidUrlReport);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(sandbox.hostStarts(300).isEmpty());
}

void StartupTest::restartWhileGuardHeld_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("restart") << "restart";
    QTest::newRow("RESTART") << "RESTART";
    QTest::newRow("Restart") << "Restart";
}

void StartupTest::restartWhileGuardHeld()
{
    QFETCH(QString, argument);
    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    SingleInstanceGuard otherUpdater(canonical(sandbox.appDir()));
    QVERIFY(otherUpdater.tryAcquire());

    const UpdaterSandbox::Result result = sandbox.run({argument});
    QVERIFY(result.finished);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.output, QByteArray());
    QCOMPARE(sandbox.hostStarts(), (QList<QStringList>{{sandbox.updaterPath(), "no_check"}}));
}

void StartupTest::secondUpdaterIsBlocked()
{
    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    sandbox.writeConfig({{"URL", "http://127.0.0.1:1/"}});
    SingleInstanceGuard otherUpdater(canonical(sandbox.appDir()));
    QVERIFY(otherUpdater.tryAcquire());

    const UpdaterSandbox::Result result = sandbox.run({"console"});
    QCOMPARE(result.output, alreadyRunningReport);
    QCOMPARE(result.exitCode, 1);
    QVERIFY(sandbox.hostStarts(300).isEmpty());

    // Another application directory is another updater.
    UpdaterSandbox elsewhere;
    QCOMPARE(elsewhere.run({"console"}).output, invalidUrlReport);
}

void StartupTest::killedUpdaterDoesNotBlock()
{
    // update.ini a byte at a time, far within the time-out: the first updater
    // holds the guard for as long as the test wants.
    TestHttpServer server;
    TestHttpServer::Response slow;
    slow.body = QByteArray(1000, ' ');
    slow.end = TestHttpServer::BodyEnd::Trickle;
    slow.trickleBytes = 1;
    slow.trickleMsecs = 200;
    server.setResponse("/slow//update.ini", slow);
    UpdaterSandbox sandbox;
    sandbox.writeConfig({{"URL", server.url(QStringLiteral("/slow/"))}});

    QProcess first;
    first.setProgram(sandbox.updaterPath());
    first.setArguments({QStringLiteral("console")});
    first.start();
    // Once it asks the server it holds the guard; the second waits 10 s for it.
    QTRY_VERIFY_WITH_TIMEOUT(!server.requests().isEmpty(), 60000);
    QElapsedTimer waited;
    waited.start();
    QCOMPARE(sandbox.run({"console"}).output, alreadyRunningReport);
    qInfo("the second updater gave up after %lld ms", waited.elapsed());
    QVERIFY2(waited.elapsed() >= 9000 && waited.elapsed() < 100000, qPrintable(QString::number(waited.elapsed())));

    first.kill();
    QVERIFY(first.waitForFinished(30000));

    sandbox.writeConfig({{"URL", server.url(QStringLiteral("/gone/"))}});
    const UpdaterSandbox::Result after = sandbox.run({"console"});
    const QByteArray fetchFailed = R"({"errormsg":"下载升级描述文件失败:)";
    QVERIFY2(after.output.startsWith(fetchFailed), after.output.constData());
    QCOMPARE(server.requestPaths().last(), QByteArray("/gone//update.ini"));
}

void StartupTest::simultaneousUpdatersNeverBothRun()
{
    // Two at the same instant, many times over: exactly one may take the guard.
    QTemporaryDir dir;
#ifdef Q_OS_WIN
    const int pairs = 100;   // each start costs Wine a quarter of a second, and now and then seconds
#else
    const int pairs = 500;
#endif
    for (int pair = 0; pair < pairs; ++pair) {
        const QString appDir = dir.filePath(QString::number(pair));
        QVERIFY(QDir().mkpath(appDir));
        QProcess first;
        QProcess second;
        first.start(QStringLiteral(GUARD_PROBE_EXECUTABLE), {appDir});
        second.start(QStringLiteral(GUARD_PROBE_EXECUTABLE), {appDir});
        QVERIFY(first.waitForReadyRead(30000) && second.waitForReadyRead(30000));
        const QByteArray answers = first.readAll() + second.readAll();
        first.closeWriteChannel();
        second.closeWriteChannel();
        QVERIFY(first.waitForFinished(30000) && second.waitForFinished(30000));
        QVERIFY2(answers == "10" || answers == "01", qPrintable(QStringLiteral("pair %1: %2").arg(pair).arg(QString::fromLatin1(answers))));
    }
}

void StartupTest::squattedGuard_data()
{
    QTest::addColumn<QString>("squat");
    QTest::newRow("a link at the lock's name") << "link";
    QTest::newRow("the lock's name taken by another user's file") << "foreign file";
    QTest::newRow("the segment older updaters look for, held") << "segment";
}

// Whoever occupies the guard's names holds the updater up for 10 s at most,
// gains nothing else, and once gone the update runs.
void StartupTest::squattedGuard()
{
    QFETCH(QString, squat);
    TestHttpServer server;
    server.setFile("/up//update.ini", "[Version]\nFolder=v\n");
    server.setFile("/up/v//md5.txt", QByteArray());
    UpdaterSandbox sandbox;
    sandbox.writeConfig({{"URL", server.url(QStringLiteral("/up/"))}});
    const QString lock = sandbox.appDir() + QStringLiteral("/update.lock");
    const QString target = sandbox.path(QStringLiteral("elsewhere/created-through-the-link"));
    std::unique_ptr<QSharedMemory> segment;
    if (squat == QLatin1String("link")) {
#ifdef Q_OS_WIN
        QSKIP("Wine follows a Linux link where Windows opens the link itself (FILE_FLAG_OPEN_REPARSE_POINT)");
#else
        QVERIFY(QDir().mkpath(sandbox.path(QStringLiteral("elsewhere"))));
        QVERIFY(QFile::link(target, lock));
#endif
    } else if (squat == QLatin1String("foreign file")) {
#ifdef Q_OS_WIN
        QSKIP("Wine keeps no owner of its own for a file");
#else
        if (geteuid() != 0)
            QSKIP("giving a file to another user takes root");
        QVERIFY(writeTestFile(lock, QByteArray()));
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), 65534, 65534), 0);
#endif
    } else {
        segment = std::make_unique<QSharedMemory>(QFileInfo(sandbox.updaterPath()).absolutePath() + QStringLiteral("update_singleton"));
        QVERIFY2(segment->create(1), qPrintable(segment->errorString()));
    }

    QElapsedTimer waited;
    waited.start();
    const UpdaterSandbox::Result held = sandbox.run({"console"});
    qInfo("gave up after %lld ms", waited.elapsed());
    QCOMPARE(held.output, alreadyRunningReport);
    QVERIFY2(waited.elapsed() >= 9000 && waited.elapsed() < 100000, qPrintable(QString::number(waited.elapsed())));
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(server.requests().isEmpty());

    if (segment)
        segment.reset();
    else
        QVERIFY(QFile::remove(lock));
    QCOMPARE(sandbox.run({"console"}).output, noUpdateDueReport);
}

void StartupTest::unprotectedFiles_data()
{
    QTest::addColumn<QString>("opened");    // what others may change; empty: nothing
    QTest::addColumn<bool>("required");     // ProtectedFolders=require
    for (const bool required : {false, true}) {
        const char *how = required ? "required" : "logged";
        QTest::addRow("protected, %s", how) << "" << required;
#ifndef Q_OS_WIN   // modes and owners on Linux; Wine makes its DACLs up from them
        QTest::addRow("system.cfg writable by all, %s", how) << "system.cfg" << required;
        QTest::addRow("application folder of another user, %s", how) << "app" << required;
        QTest::addRow("a writable folder above, %s", how) << "above" << required;
#endif
    }
}

// Where others could change what an elevated updater runs, the log says so;
// with ProtectedFolders=require the updater refuses before any request.
void StartupTest::unprotectedFiles()
{
    QFETCH(QString, opened);
    QFETCH(bool, required);
    TestHttpServer server;
    server.setFile("/up//update.ini", "[Version]\nFolder=v\n");
    server.setFile("/up/v//md5.txt", QByteArray());
    // Below the system's temporary folder, root's and sticky: protected up to it.
    const QByteArray temporary = qgetenv("TMPDIR");
#ifndef Q_OS_WIN
    qputenv("TMPDIR", "/tmp");
#endif
    UpdaterSandbox sandbox(QStringLiteral("above/app"));
    qputenv("TMPDIR", temporary);
    QMap<QString, QString> config{{"URL", server.url(QStringLiteral("/up/"))}};
    if (required)
        config.insert(QStringLiteral("ProtectedFolders"), QStringLiteral("require"));
    sandbox.writeConfig(config);
    QString unprotected;
#ifndef Q_OS_WIN
    if (opened == QLatin1String("system.cfg")) {
        unprotected = sandbox.appDir() + QStringLiteral("/system.cfg");
        QVERIFY(QFile::setPermissions(unprotected, QFile::permissions(unprotected) | QFileDevice::WriteOther));
    } else if (opened == QLatin1String("app")) {
        if (geteuid() != 0)
            QSKIP("giving a folder to another user takes root");
        unprotected = sandbox.appDir();
        QCOMPARE(::chown(QFile::encodeName(unprotected).constData(), 65534, 65534), 0);
    } else if (opened == QLatin1String("above")) {
        unprotected = sandbox.appDir();   // the first path checked that the folder above leaves open
        QCOMPARE(::chmod(QFile::encodeName(sandbox.path(QStringLiteral("above"))).constData(), 0777), 0);
    }
#endif
    QProcessEnvironment diagnostics;
    diagnostics.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("updater.install=true"));
    const UpdaterSandbox::Result result = sandbox.run({"console"}, 120000, QString(), diagnostics);
    QCOMPARE(result.errors.contains("updater.install: not protected:"), !opened.isEmpty());
    if (!opened.isEmpty() && required) {
        QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(QStringLiteral("升级程序的文件不受保护:") + unprotected)));
        QVERIFY(server.requests().isEmpty());
    } else {
        QCOMPARE(result.output, noUpdateDueReport);
    }
}

void StartupTest::windowModeShowsConfigError()
{
    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    DialogScript script({&DialogScript::pressEscape});
    std::ostringstream reports;
    UpdateDriver driver(sandbox.updaterPath(), QStringLiteral("console2"), reports);
    QCOMPARE(driver.run(), 1);
    QCOMPARE(script.shown(), QStringList{"CUpdateError|配置错误|升级地址不合法:|"});
    QVERIFY(reports.str().empty());
    QCOMPARE(sandbox.hostStarts(), (QList<QStringList>{{sandbox.updaterPath(), "no_check"}}));
}

void StartupTest::windowModeAlreadyRunning()
{
    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    sandbox.writeConfig({{"URL", "http://127.0.0.1:1/"}, {"DownLoadUrl", "http://example.invalid/"}});
    SingleInstanceGuard otherUpdater(QFileInfo(sandbox.updaterPath()).absolutePath());
    QVERIFY(otherUpdater.tryAcquire());

    DialogScript script({&DialogScript::accept});
    UpdateDriver driver(sandbox.updaterPath(), QString());
    QCOMPARE(driver.run(), 1);
    QCOMPARE(script.shown(), QStringList{"CUpdateError|启动|升级程序已运行|"});
    QCOMPARE(sandbox.hostStarts().size(), 1);
}

void StartupTest::directories_data()
{
    QTest::addColumn<QString>("appSubdir");
    QTest::addColumn<QString>("exeName");       // as written in system.cfg; "@" stands for the sandbox root
    QTest::addColumn<QString>("cache");         // likewise; relative values resolve against "work"
    QTest::addColumn<QByteArray>("encoding");   // of the names in the published manifest; empty: the publisher's default
    QTest::addColumn<QString>("installDir");    // expected, below the root
    QTest::addColumn<QString>("hostPath");
    QTest::addColumn<QString>("cacheDir");

    const QString deep = deepFolder();
    QTest::newRow("defaults") << "app" << "" << "" << QByteArray() << "app" << "app/Host.exe" << "app/update";
    QTest::newRow("bin") << "pkg/bin" << "" << "" << QByteArray() << "pkg" << "pkg/bin/Host.exe" << "pkg/bin/update";
    QTest::newRow("BIN") << "pkg/BIN" << "" << "" << QByteArray() << "pkg" << "pkg/BIN/Host.exe" << "pkg/BIN/update";
    QTest::newRow("Bin, relative ExeName in a subfolder") << "pkg/Bin" << "sub/app.exe" << "" << QByteArray() << "pkg" << "pkg/Bin/sub/app.exe" << "pkg/Bin/update";
    QTest::newRow("bin2 is not bin") << "pkg/bin2" << "" << "" << QByteArray() << "pkg/bin2" << "pkg/bin2/Host.exe" << "pkg/bin2/update";
    QTest::newRow("absolute ExeName") << "pkg/bin" << "@/elsewhere/host" << "" << QByteArray() << "pkg" << "elsewhere/host" << "pkg/bin/update";
    QTest::newRow("empty Cache is the default") << "app" << "" << " " << QByteArray() << "app" << "app/Host.exe" << "app/update";
    QTest::newRow("relative Cache") << "app" << "" << "rel/cache" << QByteArray() << "app" << "app/Host.exe" << "work/rel/cache";
    QTest::newRow("absolute Cache, missing levels") << "app" << "" << "@/c1/c2/c3/c4" << QByteArray() << "app" << "app/Host.exe" << "c1/c2/c3/c4";
    QTest::newRow("Chinese folders") << "程序/中文版" << "" << "@/缓存/升级" << QByteArray() << "程序/中文版" << "程序/中文版/Host.exe" << "缓存/升级";
    QTest::newRow("Cache past MAX_PATH") << "app" << "" << "@/" + deep << QByteArray() << "app" << "app/Host.exe" << deep;
#ifdef Q_OS_WIN   // a client reads the names in its own code page: GBK on a Chinese Windows
    QTest::newRow("Chinese names published as GBK") << "程序/中文版" << "" << "" << QByteArray("GBK") << "程序/中文版" << "程序/中文版/Host.exe" << "程序/中文版/update";
#endif
}

// A published release installed into each layout, then a restart with nothing new.
// One of its files lies past MAX_PATH, in the install folder and in the cache.
// (The install folder itself stays short: Windows starts no program from past MAX_PATH.)
void StartupTest::directories()
{
    QFETCH(QString, appSubdir);
    QFETCH(QString, exeName);
    QFETCH(QString, cache);
    QFETCH(QByteArray, encoding);
    QFETCH(QString, installDir);
    QFETCH(QString, hostPath);
    QFETCH(QString, cacheDir);

    const QMap<QString, QByteArray> release{{"a.dll", "new a"}, {"插件/中文组件.dll", "plugin"},
                                            {deepFolder() + QStringLiteral("/resource.dat"), "deep"}};
    QTemporaryDir publishing;
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        QVERIFY(writeTestFile(publishing.filePath(QStringLiteral("release/") + it.key()), it.value()));
    QStringList publish{"--version", "2", "--folder", "v2"};
    if (!encoding.isEmpty())
        publish << "--path-encoding" << QString::fromLatin1(encoding);
    QVERIFY(runCommand(QStringLiteral(UPDATE_PUBLISH_EXECUTABLE),
                       publish + QStringList{publishing.filePath(QStringLiteral("release")), publishing.filePath(QStringLiteral("site"))}));
    if (!encoding.isEmpty())
        QVERIFY(readTestFile(publishing.filePath(QStringLiteral("site/v2/md5.txt")))
                        .contains(QTextCodec::codecForName(encoding)->fromUnicode(QStringLiteral("插件/中文组件.dll"))));
    TestHttpServer server;
    server.serveSite(publishing.filePath(QStringLiteral("site")), "/up/");

    UpdaterSandbox sandbox(appSubdir);
    QVERIFY(sandbox.isValid());
    QVERIFY(QDir().mkpath(sandbox.path(QStringLiteral("work"))));
    QMap<QString, QString> config{{"URL", server.url(QStringLiteral("/up/"))}};
    if (!exeName.isEmpty())
        config.insert(QStringLiteral("ExeName"), exeName.replace(QLatin1Char('@'), sandbox.root()));
    if (!cache.isEmpty())
        config.insert(QStringLiteral("Cache"), cache.trimmed().replace(QLatin1Char('@'), sandbox.root()));
    sandbox.writeConfig(config);
    sandbox.installHost(hostPath);

    const UpdaterSandbox::Result update = sandbox.run({"console"}, 120000, sandbox.path(QStringLiteral("work")));
    QVERIFY2(update.output == updateDueReport, QByteArray(update.output + update.errors).constData());
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        QCOMPARE(sandbox.readFile(installDir + QLatin1Char('/') + it.key()), it.value());
    QVERIFY(QFileInfo::exists(sandbox.path(installDir + QStringLiteral("/update_md5.info"))));
    QVERIFY(QFileInfo::exists(sandbox.path(cacheDir + QStringLiteral("/update.ini"))));

    QCOMPARE(sandbox.run({"restart"}).exitCode, 1);
    const QStringList relaunched{sandbox.updaterPath(), "no_check"};
    QCOMPARE(sandbox.hostStarts(30000, 2), (QList<QStringList>{relaunched, relaunched}));
}

void StartupTest::connectionsSetting_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("connections");
    QTest::newRow("missing") << QVariant() << 1;
    QTest::newRow("empty") << QVariant(QString()) << 1;
    QTest::newRow("0") << QVariant(QStringLiteral("0")) << 1;
    QTest::newRow("1") << QVariant(QStringLiteral("1")) << 1;
    QTest::newRow("6") << QVariant(QStringLiteral("6")) << 6;
    QTest::newRow("16") << QVariant(QStringLiteral("16")) << 16;
    QTest::newRow("17") << QVariant(QStringLiteral("17")) << 17;
    QTest::newRow("100") << QVariant(QStringLiteral("100")) << 100;
    QTest::newRow("101") << QVariant(QStringLiteral("101")) << 1;
    QTest::newRow("abc") << QVariant(QStringLiteral("abc")) << 1;
}

void StartupTest::connectionsSetting()
{
    QFETCH(QVariant, value);
    QFETCH(int, connections);
    QCOMPARE(Configuration::connectionsSetting(value), connections);
}

void StartupTest::cacheHoldingInstallRefused_data()
{
    QTest::addColumn<QString>("cache");       // "@" stands for the sandbox root; the working directory is the install folder
    QTest::newRow("the working directory") << ".";
    QTest::newRow("the install folder") << "@/app";
    QTest::newRow("the install folder, trailing slash") << "@/app/";
    QTest::newRow("a parent of it") << "@";
    QTest::newRow("the root") << "/";
}

void StartupTest::cacheHoldingInstallRefused()
{
    QFETCH(QString, cache);
    TestHttpServer server;
    UpdaterSandbox sandbox(QStringLiteral("app"));
    sandbox.writeFile(QStringLiteral("app/user.txt"), "user file");
    cache.replace(QLatin1Char('@'), sandbox.root());
    sandbox.writeConfig({{"URL", server.url(QStringLiteral("/up/"))}, {"Cache", cache}});

    const UpdaterSandbox::Result result = sandbox.run({"console"}, 120000, sandbox.appDir());
    QCOMPARE(result.output, failureReport(QStringLiteral("缓存目录不合法:") + cache));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(server.requests().isEmpty());
    QCOMPARE(sandbox.readFile(QStringLiteral("app/user.txt")), QByteArray("user file"));
}

void StartupTest::ensureDirectoryCreatesMissingLevels()
{
    QTemporaryDir root;
    QDir deep(root.filePath(QStringLiteral("a/b/c")));
    ensureDirectory(deep);
    QVERIFY(deep.exists());
    QCOMPARE(deep.absolutePath(), root.filePath(QStringLiteral("a/b/c")));

    // Below a regular file nothing can be made, and the call still returns.
    UpdaterSandbox files;
    files.writeFile(QStringLiteral("plain"), "x");
    QDir blocked(files.path(QStringLiteral("plain/sub/dir")));
    ensureDirectory(blocked);
    QVERIFY(!blocked.exists());
    QCOMPARE(blocked.absolutePath(), files.path(QStringLiteral("plain/sub/dir")));
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
