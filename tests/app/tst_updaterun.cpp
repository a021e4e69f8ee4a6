#include "dialogscript.h"
#include "expectedreports.h"
#include "filehash.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "undo.h"
#include "updatedriver.h"
#include "updatersandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <sstream>

#ifndef Q_OS_WIN
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
const QByteArray previousManifest("previous manifest\n");
}

class UpdateRunTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void consoleMandatory();
    void consoleMandatoryShowsProgress();
    void libcryptoWithoutMd5();
    void relaunchedHostLeavesCallersPipe();
    void hostRights_data();
    void hostRights();
    void releaseEntriesInCacheDropped_data();
    void releaseEntriesInCacheDropped();
    void consoleOptional();
    void consoleMandatoryFails();
    void windowNotice_data();
    void windowNotice();
    void windowMandatoryFailureRetries();
    void windowOptionalFailureDeclined();

private:
    void publish(int updateType);
    void verifyInstalled() const;
    void verifyUntouched() const;
    int runInProcess(const QString &mode);

    TestHttpServer *m_server = nullptr;
    UpdaterSandbox *m_sandbox = nullptr;
    QByteArray m_manifest;
    std::ostringstream m_reports;
};

void UpdateRunTest::init()
{
    m_server = new TestHttpServer;
    m_sandbox = new UpdaterSandbox;
    QVERIFY(m_sandbox->isValid());
    m_sandbox->installHost(QStringLiteral("Host.exe"));
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"DownLoadUrl", "http://example.invalid/"}});
    m_sandbox->writeFile(QStringLiteral("a.dll"), "old a");
    m_sandbox->writeFile(QStringLiteral("keep.dll"), "kept");
    m_sandbox->writeFile(QStringLiteral("update_md5.info"), previousManifest);
    m_reports.str(std::string());
}

void UpdateRunTest::cleanup()
{
    delete m_sandbox;
    delete m_server;
}

// Version 2.0 changes a.dll, adds sub/c.dll and keeps keep.dll.
void UpdateRunTest::publish(int updateType)
{
    m_server->setFile("/up//update.ini", "[Summary]\nUpdateType=" + QByteArray::number(updateType)
                              + "\n[Version]\nFolder=v2\nVersion=2.0\n");
    m_manifest = manifestLine("new a", "a.dll") + manifestLine("kept", "keep.dll") + manifestLine("new c", "sub\\c.dll");
    m_server->setFile("/up/v2//md5.txt", m_manifest);
    m_server->setFile("/up/v2/a.dll", "new a");
    m_server->setFile("/up/v2/sub/c.dll", "new c");
}

void UpdateRunTest::verifyInstalled() const
{
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll.old")), QByteArray("old a"));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("sub/c.dll")), QByteArray("new c"));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("keep.dll")), QByteArray("kept"));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("keep.dll.old"))));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), m_manifest);
}

void UpdateRunTest::verifyUntouched() const
{
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("old a"));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("a.dll.old"))));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("sub/c.dll"))));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("update_md5.info")), previousManifest);
}

int UpdateRunTest::runInProcess(const QString &mode)
{
    UpdateDriver driver(m_sandbox->updaterPath(), mode, m_reports);
    return driver.run();
}

void UpdateRunTest::consoleMandatory()
{
    publish(1);
    // With every diagnostic on, standard output still holds the report alone.
    QProcessEnvironment diagnostics;
    diagnostics.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("updater.*=true"));
    const UpdaterSandbox::Result result = m_sandbox->run({"console"}, 120000, QString(), diagnostics);
    QVERIFY(result.finished);
    QCOMPARE(result.output, updateDueReport);
    for (const char *category : {"updater.run:", "updater.net:", "updater.check:", "updater.transfer:", "updater.install:"})
        QVERIFY2(result.errors.contains(category), result.errors.constData());
    QCOMPARE(result.exitCode, 0);
    verifyInstalled();
    QCOMPARE(m_sandbox->hostStarts(), (QList<QStringList>{{m_sandbox->updaterPath(), "no_check"}}));
    // The artifact index is asked for once; without one, the files come whole.
    QCOMPARE(m_server->requestPaths(), (QList<QByteArray>{"/up//update.ini", "/up/v2//md5.txt", "/up/v2/.artifacts/index",
                                                          "/up/v2/a.dll", "/up/v2/sub/c.dll"}));
}

void UpdateRunTest::releaseEntriesInCacheDropped_data()
{
    QTest::addColumn<QByteArray>("cachePath");   // a release path inside the default cache folder "update"
    QTest::newRow("file inside the cache") << QByteArray("update/a.dll");
    QTest::newRow("file named like the cache") << QByteArray("update");
    QTest::newRow("nested inside the cache") << QByteArray("update/sub/c.dll");
}

void UpdateRunTest::releaseEntriesInCacheDropped()
{
    QFETCH(QByteArray, cachePath);
    publish(1);
    m_server->setFile("/up/v2//md5.txt", m_manifest + manifestLine("other bytes", cachePath));
    m_server->setFile("/up/v2/" + cachePath, "other bytes");
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("sub/c.dll")), QByteArray("new c"));
    QVERIFY(QFileInfo(m_sandbox->path(QStringLiteral("update"))).isDir());
    QVERIFY(!m_server->requestPaths().contains("/up/v2/" + cachePath));
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

void UpdateRunTest::relaunchedHostLeavesCallersPipe()
{
#ifdef Q_OS_WIN
    QSKIP("a shell script stands for the host that keeps running");
#else
    publish(1);
    // A host that talks and keeps running; the caller reads the report through a pipe.
    m_sandbox->writeFile(QStringLiteral("Host.exe"), "#!/bin/sh\necho $$ > '" + QFile::encodeName(m_sandbox->path("host.pid"))
                                                     + "'\necho host output\nexec sleep 600\n");
    QFile::setPermissions(m_sandbox->path(QStringLiteral("Host.exe")), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    m_sandbox->setLauncher({"sh", "-c", "\"$0\" \"$@\" | cat"});
    const Undo stopHost([this] {
        if (const int pid = m_sandbox->readFile(QStringLiteral("host.pid")).trimmed().toInt(); pid > 0)
            ::kill(pid, SIGKILL);
    });
    QElapsedTimer timer;
    timer.start();
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    const qint64 elapsed = timer.elapsed();
    qInfo("the caller read its report to the end after %lld ms", elapsed);
    QTRY_VERIFY_WITH_TIMEOUT(!m_sandbox->readFile(QStringLiteral("host.pid")).isEmpty(), 30000);
    const int hostPid = m_sandbox->readFile(QStringLiteral("host.pid")).trimmed().toInt();
    QVERIFY(::kill(hostPid, 0) == 0);
    QVERIFY(result.finished);
    QCOMPARE(result.output, updateDueReport);
    // The pipe ends with the updater (about 0.3 s when idle), long before the host does (600 s).
    QVERIFY2(elapsed < 60000, qPrintable(QString::number(elapsed)));
#endif
}

void UpdateRunTest::hostRights_data()
{
    QTest::addColumn<QString>("onBehalf");   // how the user's root updater was started; empty: for root itself
#ifdef Q_OS_WIN
    QTest::newRow("the path Windows takes") << "windows";
#else
    QTest::newRow("through sudo") << "SUDO_UID";
    QTest::newRow("through pkexec") << "PKEXEC_UID";
    QTest::newRow("in an install folder the user owns") << "owner";
    QTest::newRow("for root itself") << "";
#endif
}

// An updater that runs as root on behalf of a user starts the host as that
// user, with that user's groups and home: never a program the user could have
// put at its name with root's rights.
void UpdateRunTest::hostRights()
{
    QFETCH(QString, onBehalf);
    publish(1);
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("updater.run=true"));
#ifdef Q_OS_WIN
    // Under Wine no token is really unelevated: what shows is the way the relaunch took.
    const UpdaterSandbox::Result result = m_sandbox->run({"console"}, 120000, QString(), environment);
    QCOMPARE(result.output, updateDueReport);
    const QList<QByteArray> lines = result.errors.split('\n');
    const auto taken = std::find_if(lines.cbegin(), lines.cend(), [](const QByteArray &line) { return line.contains("the host"); });
    QVERIFY2(taken != lines.cend(), result.errors.constData());
    qInfo("%s", taken->constData());
    QVERIFY(taken->contains("it is not elevated") || taken->contains("no desktop shell runs")
            || taken->contains("with the desktop shell's unelevated rights"));
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
#else
    if (::geteuid() != 0)
        QSKIP("an updater running as root on behalf of a user takes root");
    const QString user = QStringLiteral("updater-host-test");
    runCommand("userdel", {user});   // left by a killed run
    QVERIFY(runCommand("useradd", {"--system", "--no-create-home", "--home-dir", "/nonexistent/" + user, "--shell", "/usr/sbin/nologin",
                                   "--groups", "users", user}));
    const Undo removeUser([user] { runCommand("userdel", {user}); });
    const passwd *account = ::getpwnam(QFile::encodeName(user).constData());
    QVERIFY(account);
    const QString uid = QString::number(account->pw_uid);
    // The host tells who it runs as, where the user may write; the user passes
    // through the test's temporary folder to it.
    const QByteArray temporary = QFile::encodeName(QDir::tempPath());
    struct stat temporaryStatus;
    QCOMPARE(::stat(temporary.constData(), &temporaryStatus), 0);
    QCOMPARE(::chmod(temporary.constData(), (temporaryStatus.st_mode & 07777) | 0711), 0);
    const Undo restoreTemporary([=] { ::chmod(temporary.constData(), temporaryStatus.st_mode & 07777); });
    const QString told = m_sandbox->path(QStringLiteral("told"));
    QVERIFY(QDir().mkpath(told));
    QCOMPARE(::chmod(QFile::encodeName(m_sandbox->root()).constData(), 0711), 0);
    QCOMPARE(::chmod(QFile::encodeName(told).constData(), 0777), 0);
    m_sandbox->writeFile(QStringLiteral("Host.exe"), "#!/bin/sh\n{ id -u; id -G; echo \"$HOME\"; } > '" + QFile::encodeName(told) + "/id'\n");
    QFile::setPermissions(m_sandbox->path(QStringLiteral("Host.exe")), QFileDevice::ReadOwner | QFileDevice::ExeOwner
                          | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther);
    if (onBehalf == QLatin1String("owner"))
        QVERIFY(runCommand("chown", {user, m_sandbox->root()}));
    else if (!onBehalf.isEmpty())
        environment.insert(onBehalf, uid);
    const UpdaterSandbox::Result result = m_sandbox->run({"console"}, 120000, QString(), environment);
    QCOMPARE(result.output, updateDueReport);
    QTRY_VERIFY_WITH_TIMEOUT(m_sandbox->readFile(QStringLiteral("told/id")).count('\n') == 3, 30000);
    const QList<QByteArray> id = m_sandbox->readFile(QStringLiteral("told/id")).split('\n');
    if (onBehalf.isEmpty()) {
        QCOMPARE(id.at(0), QByteArray("0"));
        return;
    }
    QCOMPARE(QString::fromLatin1(id.at(0)), uid);
    QStringList groups = QString::fromLatin1(id.at(1)).split(QLatin1Char(' '));
    groups.sort();
    QStringList expected{QString::number(account->pw_gid), QString::number(::getgrnam("users")->gr_gid)};
    expected.sort();
    QCOMPARE(groups, expected);
    QCOMPARE(QString::fromLatin1(id.at(2)), QStringLiteral("/nonexistent/") + user);
#endif
}

void UpdateRunTest::libcryptoWithoutMd5()
{
    // A FIPS-only OpenSSL configuration offers no MD5: digests must still be right.
    publish(1);
    m_sandbox->writeFile(QStringLiteral("fips-only.cnf"), "openssl_conf = init\n[init]\nalg_section = algorithms\n"
                                                          "[algorithms]\ndefault_properties = fips=yes\n");
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("OPENSSL_CONF"), m_sandbox->path(QStringLiteral("fips-only.cnf")));
    const UpdaterSandbox::Result result = m_sandbox->run({"console"}, 120000, QString(), environment);
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    verifyInstalled();
}

void UpdateRunTest::consoleMandatoryShowsProgress()
{
    publish(1);
    DialogScript script({});
    QCOMPARE(runInProcess(QStringLiteral("console")), 0);
    QCOMPARE(script.shown(), QStringList{"CUpdateProgress|正在更新|正在下载更新文件|cancel"});
    QCOMPARE(QByteArray::fromStdString(m_reports.str()), updateDueReport);
    verifyInstalled();
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

void UpdateRunTest::consoleOptional()
{
    publish(0);
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(result.output, noUpdateDueReport);
    QCOMPARE(result.exitCode, 0);
    verifyInstalled();
    QVERIFY(m_sandbox->hostStarts(300).isEmpty());

    // The same run in process shows no window at all.
    m_sandbox->writeFile(QStringLiteral("a.dll"), "old a");
    m_sandbox->writeFile(QStringLiteral("update_md5.info"), previousManifest);
    DialogScript script({});
    m_reports.str(std::string());
    QCOMPARE(runInProcess(QStringLiteral("console")), 0);
    QCOMPARE(script.shown(), QStringList());
    QCOMPARE(QByteArray::fromStdString(m_reports.str()), noUpdateDueReport);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    QVERIFY(m_sandbox->hostStarts(300).isEmpty());
}

void UpdateRunTest::consoleMandatoryFails()
{
    publish(1);
    m_server->setFile("/up/v2/a.dll", "bad a");
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(QString::fromUtf8(result.output),
             QString::fromUtf8(updateDueReport + R"({"errormsg":"更新文件a.dll校验不对","success":false,"update":false})"));
    QCOMPARE(result.exitCode, 1);
    verifyUntouched();
    QVERIFY(m_sandbox->hostStarts(300).isEmpty());
}

void UpdateRunTest::windowNotice_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("Enter updates") << true;
    QTest::newRow("Escape declines") << false;
}

void UpdateRunTest::windowNotice()
{
    QFETCH(bool, accept);
    publish(0);
    DialogScript script({accept ? &DialogScript::pressEnter : &DialogScript::pressEscape});
    QCOMPARE(runInProcess(QString()), accept ? 0 : 1);
    QCOMPARE(script.shown().value(0), QStringLiteral("CUpdateNotice|发现新版本：2.0|update,skip"));
    QCOMPARE(script.shown().size(), accept ? 2 : 1);
    if (accept)
        verifyInstalled();
    else
        verifyUntouched();
    QVERIFY(m_reports.str().empty());
    QCOMPARE(m_sandbox->hostStarts(), (QList<QStringList>{{m_sandbox->updaterPath(), "no_check"}}));
}

void UpdateRunTest::windowMandatoryFailureRetries()
{
    publish(1);
    m_server->setFile("/up/v2/a.dll", "bad a");
    // The error dialog has no buttons; closing it in any way starts a new pass,
    // which meets a mended server.
    DialogScript script({[this](QDialog *dialog) {
        m_server->setFile("/up/v2/a.dll", "new a");
        DialogScript::pressEscape(dialog);
    }});
    QCOMPARE(runInProcess(QString()), 0);
    QCOMPARE(script.shown(), (QStringList{"CUpdateProgress|正在更新|正在下载更新文件|cancel",
                                          "CUpdateError|更新失败|更新文件a.dll校验不对|",
                                          "CUpdateProgress|正在更新|正在下载更新文件|cancel"}));
    QCOMPARE(m_server->requestPaths().count("/up//update.ini"), 2);
    QCOMPARE(m_server->requestPaths().count("/up/v2/sub/c.dll"), 1);
    verifyInstalled();
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

void UpdateRunTest::windowOptionalFailureDeclined()
{
    publish(0);
    m_server->setFile("/up/v2/a.dll", "bad a");
    DialogScript script({&DialogScript::pressEnter, &DialogScript::pressEscape});
    QCOMPARE(runInProcess(QString()), 1);
    QCOMPARE(script.shown().value(2), QStringLiteral("CUpdateError|更新失败|更新文件a.dll校验不对|retry,download"));
    verifyUntouched();
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

QTEST_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"
