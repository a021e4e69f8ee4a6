#include "expectedreports.h"
#include "privatefolder.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "undo.h"
#include "updatersandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <memory>

namespace {

enum class Fault { KillAtEverySwap, LockedCacheFile, FullDisk };

// The system calls that swap names in the install folder and the cache.
const QStringList swapCalls{"rename", "renameat", "renameat2", "link", "linkat"};

}

Q_DECLARE_METATYPE(Fault)

/**
 * The real updater, installing version 2 over version 1, hit by a fault in the
 * middle: no listed file may go missing or take wrong bytes, no backup may lose
 * the previous version, and the next run must complete the install.
 */
class InstallFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void interruptions_data();
    void interruptions();

private:
    std::unique_ptr<UpdaterSandbox> prepareInstall() const;
    void verifyNeverBroken(const UpdaterSandbox &sandbox) const;
    void verifyCompletedByNextRun(UpdaterSandbox &sandbox);

    QMap<QString, QByteArray> m_v1;
    QMap<QString, QByteArray> m_v2;
    QByteArray m_manifest;
    TestHttpServer *m_server = nullptr;
};

void InstallFaultsTest::initTestCase()
{
    const QByteArray host = "#!/bin/sh\n";
    m_v1 = {{"Host.exe", host}, {"a.dll", "a one"}, {"b.dll", "b one"}, {"same.txt", "unchanged"},
            {"lib/c.dll", "c one"}, {"lib/d.dll", "d one"}, {"data/big.bin", QByteArray(512 * 1024, '1')}};
    m_v2 = {{"Host.exe", host + "# two\n"}, {"a.dll", "a two"}, {"b.dll", "b two"}, {"same.txt", "unchanged"},
            {"lib/c.dll", "c two"}, {"lib/d.dll", "d two"}, {"data/big.bin", QByteArray(2 * 1024 * 1024, '2')},
            {"new/e.dll", "e two"}};
}

void InstallFaultsTest::init()
{
    m_server = new TestHttpServer;
    m_manifest.clear();
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        m_server->setFile("/up/v2/" + it.key().toUtf8(), it.value());
        m_manifest += manifestLine(it.value(), it.key().toUtf8());
    }
    m_server->setFile("/up//update.ini", "[Version]\nFolder=v2\n");
    m_server->setFile("/up/v2//md5.txt", m_manifest);
}

void InstallFaultsTest::cleanup()
{
    delete m_server;
}

// Version 1 installed in root/app with its local manifest, the cache in root/cache.
std::unique_ptr<UpdaterSandbox> InstallFaultsTest::prepareInstall() const
{
    auto sandbox = std::make_unique<UpdaterSandbox>(QStringLiteral("app"));
    sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))},
                          {"Cache", sandbox->path(QStringLiteral("cache"))}});
    QByteArray manifest;
    for (auto it = m_v1.cbegin(); it != m_v1.cend(); ++it) {
        sandbox->writeFile(QStringLiteral("app/") + it.key(), it.value());
        manifest += manifestLine(it.value(), it.key().toUtf8());
    }
    QFile::setPermissions(sandbox->path(QStringLiteral("app/Host.exe")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    sandbox->writeFile(QStringLiteral("app/update_md5.info"), manifest);
    sandbox->writeFile(QStringLiteral("app/b.dll.old"), "b zero");
    return sandbox;
}

void InstallFaultsTest::verifyNeverBroken(const UpdaterSandbox &sandbox) const
{
    for (auto it = m_v1.cbegin(); it != m_v1.cend(); ++it) {
        const QByteArray now = sandbox.readFile(QStringLiteral("app/") + it.key());
        QVERIFY2(now == it.value() || now == m_v2.value(it.key()), qPrintable(it.key() + QStringLiteral(" is damaged or missing")));
        const QString backup = QStringLiteral("app/") + it.key() + QStringLiteral(".old");
        if (QFileInfo::exists(sandbox.path(backup)))
            QVERIFY2(sandbox.readFile(backup) == it.value() || (it.key() == "b.dll" && sandbox.readFile(backup) == "b zero"),
                     qPrintable(backup + QStringLiteral(" lost the previous version")));
    }
}

void InstallFaultsTest::verifyCompletedByNextRun(UpdaterSandbox &sandbox)
{
    QStringList installedBefore;
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        if (m_v1.value(it.key()) != it.value() && sandbox.readFile(QStringLiteral("app/") + it.key()) == it.value())
            installedBefore << it.key();
    }
    m_server->clearLog();
    sandbox.setLauncher({});
    const UpdaterSandbox::Result result = sandbox.run({"console"});
    // A run killed after the last file went in leaves nothing to install.
    QVERIFY2(result.exitCode == 0 || result.output == noUpdateDueReport, result.output.constData());
    QCOMPARE(sandbox.readFile(QStringLiteral("app/update_md5.info")), m_manifest);

    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        QCOMPARE(sandbox.readFile(QStringLiteral("app/") + it.key()), it.value());
        const QByteArray backup = sandbox.readFile(QStringLiteral("app/") + it.key() + QStringLiteral(".old"));
        const bool replaced = m_v1.contains(it.key()) && m_v1.value(it.key()) != it.value();
        QCOMPARE(backup, replaced ? m_v1.value(it.key()) : QByteArray());
    }
    for (const QString &path : qAsConst(installedBefore))
        QVERIFY2(!m_server->requestPaths().contains("/up/v2/" + path.toUtf8()), qPrintable(path + QStringLiteral(" fetched again")));
}

void InstallFaultsTest::interruptions_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("killed at every rename and link") << Fault::KillAtEverySwap;
    QTest::newRow("cache file that cannot be moved") << Fault::LockedCacheFile;
    QTest::newRow("install folder on a full disk") << Fault::FullDisk;
}

void InstallFaultsTest::interruptions()
{
    QFETCH(Fault, fault);

    if (fault == Fault::KillAtEverySwap) {
        // strace counts each call separately: kill at the n-th call of each kind
        // until a run gets through without meeting one.
        int killPoints = 0;
        for (const QString &call : swapCalls) {
            for (int n = 1;; ++n) {
                auto sandbox = prepareInstall();
                sandbox->setLauncher({"strace", "-o", "/dev/null", "-e", "trace=" + call,
                                      "-e", QStringLiteral("inject=%1:signal=KILL:when=%2").arg(call).arg(n)});
                const UpdaterSandbox::Result killed = sandbox->run({"console"});
                if (killed.finished) {
                    QCOMPARE(killed.exitCode, 0);
                    break;
                }
                ++killPoints;
                verifyNeverBroken(*sandbox);
                verifyCompletedByNextRun(*sandbox);
                if (QTest::currentTestFailed())
                    qWarning("killed at %s number %d", qPrintable(call), n);
                QVERIFY(!QTest::currentTestFailed());
            }
        }
        qInfo("killed at %d points, each followed by a complete next run", killPoints);
        QVERIFY(killPoints > 0);
        return;
    }

    auto sandbox = prepareInstall();
    if (fault == Fault::LockedCacheFile) {
        QVERIFY(PrivateFolder(sandbox->path(QStringLiteral("cache"))).prepare());
        const QString locked = sandbox->path(QStringLiteral("cache/.updater/files/lib/c.dll"));
        sandbox->writeFile(QStringLiteral("cache/.updater/files/lib/c.dll"), m_v2.value("lib/c.dll"));
        QVERIFY(runCommand("chattr", {"+i", locked}));
        const Undo unlock([locked] { runCommand("chattr", {"-i", locked}); });
        const UpdaterSandbox::Result failed = sandbox->run({"console"});
        QVERIFY2(failed.output.endsWith(R"({"errormsg":"覆盖文件c.dll失败","success":false,"update":false})"), failed.output.constData());
        verifyNeverBroken(*sandbox);
        QCOMPARE(sandbox->readFile(QStringLiteral("app/lib/c.dll")), m_v1.value("lib/c.dll"));
    } else {
        // The install folder's data/ on a small volume of its own, the cache elsewhere,
        // so the move must copy; a filler leaves too little room for the new file.
        const QString volume = sandbox->path(QStringLiteral("app/data"));
        QVERIFY(runCommand("mount", {"-t", "tmpfs", "-o", "size=3m", "tmpfs", volume}));
        const Undo unmount([volume] { runCommand("umount", {"-l", volume}); });
        sandbox->writeFile(QStringLiteral("app/data/big.bin"), m_v1.value("data/big.bin"));
        sandbox->writeFile(QStringLiteral("app/data/filler"), QByteArray(1536 * 1024, 'f'));
        const UpdaterSandbox::Result failed = sandbox->run({"console"});
        QVERIFY2(failed.output.endsWith(R"({"errormsg":"覆盖文件big.bin失败","success":false,"update":false})"), failed.output.constData());
        verifyNeverBroken(*sandbox);
        QCOMPARE(QDir(volume).entryList(QDir::Files | QDir::Hidden), (QStringList{"big.bin", "big.bin.old", "filler"}));
        QVERIFY(QFile::remove(sandbox->path(QStringLiteral("app/data/filler"))));
        verifyCompletedByNextRun(*sandbox);
        return;
    }
    verifyCompletedByNextRun(*sandbox);
}

QTEST_GUILESS_MAIN(InstallFaultsTest)
#include "tst_installfaults.moc"
