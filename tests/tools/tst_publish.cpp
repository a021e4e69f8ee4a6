#include "artifactindex.h"
#include "expectedreports.h"
#include "filehash.h"
#include "nginxserver.h"
#include "releasepublisher.h"
#include "sitechecker.h"
#include "syntheticexecutable.h"
#include "testfiles.h"
#include "updatedescription.h"
#include "updatersandbox.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTest>
#include <QUrl>

namespace {

// Every regular file below @p dir, relative path to content.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readTestFile(path));
    }
    return files;
}

struct Tool
{
    int exitCode = -1;
    QByteArray output;
};

// Runs update-publish, through @p launcher (a program and its arguments) when given,
// which runs the publisher itself when @p named is false.
Tool runTool(const QStringList &arguments, const QStringList &launcher = {}, bool named = true)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (launcher.isEmpty())
        process.start(QStringLiteral(UPDATE_PUBLISH_EXECUTABLE), arguments);
    else
        process.start(launcher.first(), launcher.mid(1) + (named ? QStringList{QStringLiteral(UPDATE_PUBLISH_EXECUTABLE)}
                                                                 : QStringList()) + arguments);
    // The slowest publication here (22 MB at zstd's level 19) takes seconds when idle.
    process.waitForFinished(300000);
    return Tool{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}

}

class PublishTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundTripThroughNginx();
    void checkFindsDamage_data();
    void checkFindsDamage();
    void refusedInput_data();
    void refusedInput();
    void refusalKeepsEarlierVersion();
    void commandLine();
    void reportSummary_data();
    void reportSummary();
    void signedSiteOnCommandLine();
    void killedWhileRepublishing_data();
    void killedWhileRepublishing();
    void signedSiteLifecycle();
    void compressedCopies_data();
    void compressedCopies();

private:
    ReleasePublisher::Options options(const QString &version = QStringLiteral("2.0")) const;
    QString release(const QString &relative = QString()) const { return m_dir->filePath(QStringLiteral("release/") + relative); }
    QString site(const QString &relative = QString()) const { return m_dir->filePath(QStringLiteral("site/") + relative); }

    QTemporaryDir *m_dir = nullptr;
};

void PublishTest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(writeTestFile(release(QStringLiteral("app.bin")), QByteArray(70000, 'a')));
    QVERIFY(writeTestFile(release(QStringLiteral("empty.dat")), QByteArray()));
    QVERIFY(writeTestFile(release(QStringLiteral("lib/plugins/深层/插件.dll")), "plugin v2"));
    QVERIFY(writeTestFile(release(QStringLiteral("docs/read me.txt")), "read me v2\r\n"));
    QVERIFY(writeTestFile(release(QStringLiteral(".hidden")), "hidden v2"));
}

void PublishTest::cleanup()
{
    delete m_dir;
}

ReleasePublisher::Options PublishTest::options(const QString &version) const
{
    ReleasePublisher::Options options;
    options.releaseDir = release();
    options.siteDir = site();
    options.version = version;
    return options;
}

void PublishTest::roundTripThroughNginx()
{
#ifdef Q_OS_WIN
    QSKIP("nginx is a Linux program: the Windows runs serve from the test itself");
#endif
    ReleasePublisher publisher(options());
    QVERIFY2(publisher.publish(), qPrintable(publisher.errors().join(QLatin1Char('\n'))));
    QCOMPARE(publisher.fileCount(), 5);
    QVERIFY(SiteChecker(site()).check());

    // Version 1 is installed: one file differs, one is current, one is missing.
    UpdaterSandbox install;
    QVERIFY(install.isValid());
    install.installHost(QStringLiteral("Host.exe"));
    install.writeFile(QStringLiteral("app.bin"), "version 1");
    install.writeFile(QStringLiteral("empty.dat"), QByteArray());
    install.writeFile(QStringLiteral("docs/read me.txt"), "read me v1");

    NginxServer nginx;
    QVERIFY2(nginx.start(site()), qPrintable(nginx.errorString()));
    install.writeConfig({{"URL", nginx.url(QStringLiteral("/"))}});
    const UpdaterSandbox::Result result = install.run({"console"});
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);

    QMap<QString, QByteArray> installed = tree(install.appDir());
    QCOMPARE(installed.take(QStringLiteral("app.bin.old")), QByteArray("version 1"));
    QCOMPARE(installed.take(QStringLiteral("docs/read me.txt.old")), QByteArray("read me v1"));
    QCOMPARE(installed.take(QStringLiteral("update_md5.info")), readTestFile(site(QStringLiteral("2.0/md5.txt"))));
    for (const char *own : {"updater", "system.cfg", "update.lock", "Host.exe", "Host.exe.log-path", "host-starts.log", "update/update.ini", "update_md5.cache",
                            "update_md5.cache.info"})
        installed.remove(QString::fromUtf8(own));
    QCOMPARE(installed, tree(release()));
}

void PublishTest::checkFindsDamage_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");    // empty: remove the file
    QTest::addColumn<QString>("problem");
    QTest::newRow("same size, other bytes") << "app.bin" << QByteArray(70000, 'b') << "app.bin: its content does not match";
    QTest::newRow("longer") << "lib/plugins/深层/插件.dll" << QByteArray("plugin v2!") << "插件.dll: 10 bytes, the manifest says 9";
    QTest::newRow("missing") << "docs/read me.txt" << QByteArray() << "docs/read me.txt: listed but missing";
    QTest::newRow("malformed manifest line") << "md5.txt" << QByteArray("appended junk\n") << "usable entries";
    // An executable's reference patch is applied and verified like any other artifact.
    QTest::newRow("reference patch that gives other bytes") << "refpatch" << QByteArray() << "does not give program.exe";
}

void PublishTest::checkFindsDamage()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    const bool references = file == QLatin1String("refpatch");
    if (references) {
        QVERIFY(writeTestFile(release(QStringLiteral("program.exe")), syntheticExecutable(ExecutableFormat::Pe, 1)));
        QVERIFY(ReleasePublisher(options(QStringLiteral("1.0"))).publish());
        QVERIFY(writeTestFile(release(QStringLiteral("program.exe")), syntheticExecutable(ExecutableFormat::Pe, 2)));
    }
    ReleasePublisher publisher(options());
    QVERIFY(publisher.publish());
    SiteChecker good(site());
    QVERIFY(good.check());
    const QString path = site(QStringLiteral("2.0/") + file);
    if (references) {
        // --check applies every artifact, the reference patch among them.
        const QString indexPath = site(QStringLiteral("2.0/.artifacts/index"));
        QList<Artifact> artifacts = ArtifactIndex::parse(readTestFile(indexPath)).artifacts();
        QCOMPARE(good.appliedArtifacts(), artifacts.size());
        QVERIFY(std::any_of(artifacts.cbegin(), artifacts.cend(),
                            [](const Artifact &a) { return a.kind == Artifact::Kind::ReferencePatch; }));
        ArtifactIndex damaged;
        for (Artifact &artifact : artifacts) {
            if (artifact.kind == Artifact::Kind::ReferencePatch) {
                QByteArray bytes = readTestFile(site(QStringLiteral("2.0/") + artifact.relativeUrl()));
                bytes[bytes.size() - 20] = char(bytes.at(bytes.size() - 20) ^ 0x40);
                QVERIFY(writeTestFile(site(QStringLiteral("2.0/") + artifact.relativeUrl()), bytes));
                artifact.digest = md5Text(bytes);
            }
            damaged.add(artifact);
        }
        QVERIFY(writeTestFile(indexPath, damaged.text()));
    } else if (file == QLatin1String("md5.txt"))
        QVERIFY(writeTestFile(path, readTestFile(path) + content));
    else if (content.isEmpty())
        QVERIFY(QFile::remove(path));
    else
        QVERIFY(writeTestFile(path, content));
    SiteChecker checker(site());
    QVERIFY(!checker.check());
    QVERIFY2(checker.problems().join(QLatin1Char('\n')).contains(problem), qPrintable(checker.problems().join(QLatin1Char('\n'))));
}

void PublishTest::refusedInput_data()
{
    QTest::addColumn<QString>("badFile");       // created in the release; "" for none
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("error");
    QTest::newRow("TAB in a name") << "a\tb.txt" << "2.0" << "" << "cannot carry a file name";
    QTest::newRow("CR in a name") << "a\rb.txt" << "2.0" << "" << "cannot carry a file name";
    QTest::newRow("LF in a name") << "dir\nx/a.txt" << "2.0" << "" << "cannot carry a file name";
    QTest::newRow("colon in a name") << "a:b.txt" << "2.0" << "" << "cannot carry a file name";
    QTest::newRow("backslash in a name") << "a\\b.txt" << "2.0" << "" << "cannot carry a file name";
    QTest::newRow("three dots") << "sub/.../x" << "2.0" << "" << "leaving the install folder";
    QTest::newRow("collides with md5.txt") << "md5.txt" << "2.0" << "" << "collide with the manifest";
    QTest::newRow("collides with md5.txt.sig") << "md5.txt.sig" << "2.0" << "" << "collide with the manifest";
    QTest::newRow("link outside the release") << "@link" << "2.0" << "" << "leads outside the release";
    QTest::newRow("the install's id") << "update_id.info" << "2.0" << "" << "a file the updater keeps";
    QTest::newRow("the local manifest, in capitals") << "UPDATE_MD5.INFO" << "2.0" << "" << "a file the updater keeps";
    QTest::newRow("the accepted serials") << "update_serial.info" << "2.0" << "" << "a file the updater keeps";
    QTest::newRow("--rollout on a site without a live release") << "@rollout" << "2.0" << "" << "publish a live release first";
    QTest::newRow("--rollout into the live release's folder") << "@rollout into live" << "2.0" << "" << "needs a folder of its own";
    // An earlier version to patch from is read only as published: never through a link.
    QTest::newRow("--delta-from a link out of the site") << "@delta folder link" << "2.0" << ""
                                                        << "--delta-from 1.0: a link, not a published version folder";
    QTest::newRow("--delta-from a version holding a link out") << "@delta file link" << "2.0" << ""
                                                              << "1.0/app.bin is a link";
    QTest::newRow("empty version") << "" << "" << "v" << "version text";
    QTest::newRow("version with a line break") << "" << "2\n[x]" << "v" << "version text";
    QTest::newRow("folder with a slash") << "" << "2.0" << "a/b" << "single folder";
    QTest::newRow("folder with dots") << "" << "2.0" << ".." << "single folder";
    QTest::newRow("folder with a query mark") << "" << "2.0" << "v?2" << "URL path";
}

void PublishTest::refusedInput()
{
    QFETCH(QString, badFile);
    QFETCH(QString, version);
    QFETCH(QString, folder);
    QFETCH(QString, error);
#ifdef Q_OS_WIN
    // Windows names hold no TAB, CR, LF, trailing dots or backslash, and QFile::link makes shortcuts there.
    if (badFile.contains(QRegularExpression(QStringLiteral("[\t\r\n\\\\]|\\.\\.\\.|^@(link|delta)"))))
        QSKIP("a name or a link Windows does not have");
#endif
    // The earlier version in the site, or a link out of it standing for it.
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    if (badFile.startsWith(QLatin1String("@delta"))) {
        QVERIFY(writeTestFile(outside + QStringLiteral("/md5.txt"), manifestLine("secret", "app.bin")));
        QVERIFY(writeTestFile(outside + QStringLiteral("/app.bin"), "secret"));
        QVERIFY(writeTestFile(site(QStringLiteral("1.0/md5.txt")), manifestLine("secret", "app.bin")));
    }
    if (badFile == QLatin1String("@link"))
        QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), release(QStringLiteral("link"))));
    else if (badFile == QLatin1String("@delta folder link"))
        QVERIFY(QDir(site(QStringLiteral("1.0"))).removeRecursively() && QFile::link(outside, site(QStringLiteral("1.0"))));
    else if (badFile == QLatin1String("@delta file link"))
        QVERIFY(QFile::link(outside + QStringLiteral("/app.bin"), site(QStringLiteral("1.0/app.bin"))));
    else if (badFile == QLatin1String("@rollout into live"))
        QVERIFY(ReleasePublisher(options()).publish());
    else if (!badFile.isEmpty() && !badFile.startsWith(QLatin1Char('@')))
        QVERIFY(writeTestFile(release(badFile), "bad"));
    const QMap<QString, QByteArray> siteBefore = tree(site());
    const auto siteEntries = [&] { return QDir(site()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System); };
    const QStringList entriesBefore = siteEntries();

    ReleasePublisher::Options bad = options(version);
    bad.folder = folder;
    if (badFile.startsWith(QLatin1String("@delta")))
        bad.deltaFrom = QStringList{QStringLiteral("1.0")};
    if (badFile.startsWith(QLatin1String("@rollout")))
        bad.rollout = 10;
    ReleasePublisher publisher(bad);
    QVERIFY(!publisher.publish());
    QVERIFY2(publisher.errors().join(QLatin1Char('\n')).contains(error), qPrintable(publisher.errors().join(QLatin1Char('\n'))));
    QCOMPARE(tree(site()), siteBefore);
    QCOMPARE(siteEntries(), entriesBefore);
}

void PublishTest::refusalKeepsEarlierVersion()
{
    QVERIFY(ReleasePublisher(options()).publish());
    const QMap<QString, QByteArray> published = tree(site());
    QVERIFY(writeTestFile(release(QStringLiteral("md5.txt")), "collides"));
    QVERIFY(!ReleasePublisher(options()).publish());
    QCOMPARE(tree(site()), published);

    ReleasePublisher::Options inside = options();
    inside.siteDir = release(QStringLiteral("site"));
    ReleasePublisher nested(inside);
    QVERIFY(!nested.publish());
    QVERIFY(nested.errors().join(QLatin1Char('\n')).contains(QStringLiteral("must not contain each other")));
}

void PublishTest::reportSummary_data()
{
    // The same reports as each server logs them by default, among other requests.
    QTest::addColumn<QByteArray>("prefix");   // what stands before the request line
    QTest::addColumn<QByteArray>("suffix");   // and after it
    QTest::newRow("nginx, combined") << QByteArray("127.0.0.1 - - [09/Dec/2026:05:30:00 +0000] ")
                                     << QByteArray(" 404 153 \"-\" \"Mozilla/5.0\"\n");
    QTest::newRow("Apache, common") << QByteArray("192.0.2.7 - - [09/Dec/2026:05:30:00 +0000] ") << QByteArray(" 404 196\n");
}

void PublishTest::reportSummary()
{
    QFETCH(QByteArray, prefix);
    QFETCH(QByteArray, suffix);
    const auto report = [&](const char *id, const char *folder, const char *outcome, const QString &message) -> QByteArray {
        return prefix + "\"GET /report?site=1&id=" + id + "&folder=" + folder + "&outcome=" + outcome + "&message="
                + QUrl::toPercentEncoding(message) + "&msecs=120 HTTP/1.1\"" + suffix;
    };
    const QByteArray log = report("a1", "2.1", "success", QString()) + report("a1", "2.1", "success", QString())
            + report("b2", "2.1", "success", QString()) + report("c3", "2.0", "success", QString())
            + report("d4", "2.1", "failure", QStringLiteral("覆盖文件a.dll失败")) + report("d4", "2.1", "failure", QStringLiteral("覆盖文件a.dll失败"))
            + report("e5", "2.1", "failure", QStringLiteral("下载更新文件b.dll大小不对")) + report("e5", "2.1", "success", QString())
            + prefix + "\"GET /up//update.ini HTTP/1.1\"" + suffix + "a line that is no request\n";
    QVERIFY(writeTestFile(m_dir->filePath(QStringLiteral("access.log")), log));
    const Tool summary = runTool({"--report-summary", m_dir->filePath(QStringLiteral("access.log"))});
    QCOMPARE(summary.exitCode, 0);
    // Windows writes CR LF to a console stream.
    const QStringList lines = QString::fromLocal8Bit(summary.output).split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
    QCOMPARE(lines.mid(1), (QStringList{"folder 2.0: 1 installs reported success, 0 failure",
                                        "folder 2.1: 3 installs reported success, 2 failure",
                                        QStringLiteral("  2 × 覆盖文件a.dll失败"), QStringLiteral("  1 × 下载更新文件b.dll大小不对")}));
    QVERIFY(lines.value(0).endsWith(QLatin1String(": 8 outcome reports")));
}

void PublishTest::commandLine()
{
    const Tool published = runTool({"--version", "3.1", "--type", "0", "--folder", "v3", release(), site()});
    QCOMPARE(published.exitCode, 0);
    QVERIFY(published.output.startsWith("published 5 files (70030 bytes) as version 3.1"));
    // The serial follows the site's last one; the manifest's size and SHA-256 bind it to update.ini.
    const QByteArray manifest = readTestFile(site(QStringLiteral("v3/md5.txt")));
    QCOMPARE(readTestFile(site(QStringLiteral("update.ini"))),
             "[Summary]\nUpdateType=0\nSerial=1\n\n[Version]\nFolder=\"v3\"\nVersion=\"3.1\"\nManifestSize="
                     + QByteArray::number(manifest.size()) + "\nManifestSha256="
                     + QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex() + '\n');
    QCOMPARE(readTestFile(site(QStringLiteral("v3/md5.txt"))).split('\n').value(1),
             md5Text(QByteArray(70000, 'a')) + "\t0001117000000000\tapp.bin");

    const Tool good = runTool({"--check", site()});
    QCOMPARE(good.exitCode, 0);
    QVERIFY(writeTestFile(site(QStringLiteral("v3/app.bin")), "corrupt"));
    const Tool bad = runTool({"--check", site()});
    QCOMPARE(bad.exitCode, 1);
    QVERIFY(bad.output.contains("app.bin: 7 bytes, the manifest says 70000"));

    // Clients decoding GBK: --check reads the names as they will.
    const Tool gbk = runTool({"--version", "3.2", "--folder", "gbk", "--path-encoding", "GBK", release(), site()});
    QCOMPARE(gbk.exitCode, 0);
    QVERIFY(readTestFile(site(QStringLiteral("gbk/md5.txt"))).contains(QTextCodec::codecForName("GBK")->fromUnicode(QStringLiteral("深层/插件.dll"))));
    QCOMPARE(runTool({"--check", site(), "--path-encoding", "GBK"}).exitCode, 0);
#ifndef Q_OS_WIN   // A Chinese Windows's own code page is GBK: the default reads it as well.
    const Tool misread = runTool({"--check", site()});
    QCOMPARE(misread.exitCode, 1);
    QVERIFY(misread.output.contains("listed but missing"));
#endif

    QCOMPARE(runTool({"--version", "1", m_dir->filePath(QStringLiteral("no-such-release")), site()}).exitCode, 1);
    QCOMPARE(runTool({"--version", "1", "--type", "x", release(), site()}).exitCode, 1);
    QCOMPARE(runTool({release(), site()}).exitCode, 1);
}

void PublishTest::signedSiteOnCommandLine()
{
    const QString privateKey = m_dir->filePath(QStringLiteral("keys/release.pem"));
    const QString publicKey = m_dir->filePath(QStringLiteral("keys/release.pub"));
    const QString otherKey = m_dir->filePath(QStringLiteral("keys/other.pub"));
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("keys"))));
    QCOMPARE(runTool({"--keygen", privateKey, publicKey}).exitCode, 0);
    QCOMPARE(runTool({"--keygen", m_dir->filePath(QStringLiteral("keys/other.pem")), otherKey}).exitCode, 0);
    QCOMPARE(QByteArray::fromBase64(readTestFile(publicKey).trimmed()).size(), 32);
    QVERIFY(QFileInfo(privateKey).permissions() & QFileDevice::ReadOwner);
    QVERIFY(runsUnderWine() || isPrivateToOwner(privateKey));

    // A signed site names each file's SHA-256 too: a file with the listed MD5 and size but other bytes is found.
    const QByteArray collision[] = {
        QByteArray::fromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70"),
        QByteArray::fromHex("d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5bd8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70")};
    QVERIFY(writeTestFile(release(QStringLiteral("lib.dll")), collision[0] + "a library"));
    QCOMPARE(runTool({"--version", "2.0", "--sign", privateKey, release(), site()}).exitCode, 0);
    QVERIFY(QFileInfo::exists(site(QStringLiteral("update.ini.sig"))));
    QVERIFY(QFileInfo::exists(site(QStringLiteral("2.0/md5.txt.sig"))));
    const QByteArray list = readTestFile(site(QStringLiteral("2.0/sha256.txt")));
    QCOMPARE(list.count('\n'), 6);
    QVERIFY(list.contains(QCryptographicHash::hash(collision[0] + "a library", QCryptographicHash::Sha256).toHex() + "\t137\tlib.dll\n"));
    QVERIFY(readTestFile(site(QStringLiteral("update.ini")))
                    .contains("Sha256ListSha256=" + QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(runTool({"--check", site(), "--key", publicKey}).exitCode, 0);
    QVERIFY(writeTestFile(site(QStringLiteral("2.0/lib.dll")), collision[1] + "a library"));
    const Tool colliding = runTool({"--check", site(), "--key", publicKey});
    QCOMPARE(colliding.exitCode, 1);
    QVERIFY2(colliding.output.contains("lib.dll: its content does not match the listed digest"), colliding.output.constData());
    // --resign keeps the list bound; a list changed after signing is named.
    QVERIFY(writeTestFile(site(QStringLiteral("2.0/lib.dll")), collision[0] + "a library"));
    QCOMPARE(runTool({"--resign", "--sign", privateKey, site()}).exitCode, 0);
    QCOMPARE(runTool({"--check", site(), "--key", publicKey}).exitCode, 0);
    QVERIFY(writeTestFile(site(QStringLiteral("2.0/sha256.txt")), list + "\n"));
    const Tool listChanged = runTool({"--check", site(), "--key", publicKey});
    QCOMPARE(listChanged.exitCode, 1);
    QVERIFY2(listChanged.output.contains("update.ini names a sha256.txt of"), listChanged.output.constData());
    QCOMPARE(runTool({"--resign", "--sign", privateKey, site()}).exitCode, 1);
    QVERIFY(writeTestFile(site(QStringLiteral("2.0/sha256.txt")), list));
    QVERIFY(QFile::remove(release(QStringLiteral("lib.dll"))));
    // A signed release may not hold a file of the list's name.
    QVERIFY(writeTestFile(release(QStringLiteral("sha256.txt")), "a file of the release"));
    const Tool collides = runTool({"--version", "2.4", "--sign", privateKey, release(), site()});
    QCOMPARE(collides.exitCode, 1);
    QVERIFY2(collides.output.contains("sha256.txt would collide with the manifest"), collides.output.constData());
    QVERIFY(QFile::remove(release(QStringLiteral("sha256.txt"))));
    const Tool wrongKey = runTool({"--check", site(), "--key", otherKey});
    QCOMPARE(wrongKey.exitCode, 1);
    QVERIFY2(wrongKey.output.contains("update.ini.sig is not a valid signature"), wrongKey.output.constData());

    QVERIFY(writeTestFile(site(QStringLiteral("2.0/md5.txt")), readTestFile(site(QStringLiteral("2.0/md5.txt"))) + "\n"));
    const Tool tampered = runTool({"--check", site(), "--key", publicKey});
    QCOMPARE(tampered.exitCode, 1);
    QVERIFY(tampered.output.contains("md5.txt.sig is not a valid signature"));
    QCOMPARE(runTool({"--version", "2.1", "--sign", publicKey, release(), site()}).exitCode, 1);

    // update.ini edited by hand to name another folder: not signed, and named by --check.
    QCOMPARE(runTool({"--version", "2.3", "--sign", privateKey, release(), site()}).exitCode, 0);
    const QByteArray edited = readTestFile(site(QStringLiteral("update.ini"))).replace("Folder=\"2.3\"", "Folder=\"2.0\"");
    QVERIFY(writeTestFile(site(QStringLiteral("update.ini")), edited));
    const Tool resigned = runTool({"--resign", "--sign", privateKey, site()});
    QCOMPARE(resigned.exitCode, 1);
    QVERIFY2(resigned.output.contains("update.ini names a md5.txt of") && resigned.output.contains("2.0/md5.txt holds"),
             resigned.output.constData());
    QCOMPARE(readTestFile(site(QStringLiteral("update.ini"))), edited);
    const Tool mismatched = runTool({"--check", site(), "--key", publicKey});
    QCOMPARE(mismatched.exitCode, 1);
    QVERIFY2(mismatched.output.contains("update.ini names a md5.txt of"), mismatched.output.constData());

    // An unsigned publication leaves no stale signature of update.ini behind.
    QCOMPARE(runTool({"--version", "2.2", release(), site()}).exitCode, 0);
    QVERIFY(!QFileInfo::exists(site(QStringLiteral("update.ini.sig"))));

    // A release staged beside the live one, its share changed with a new serial each time, then made live.
    QCOMPARE(runTool({"--version", "2.4", "--sign", privateKey, release(), site()}).exitCode, 0);
    QVERIFY(writeTestFile(release(QStringLiteral("lib.dll")), "a staged library"));
    const Tool staged = runTool({"--version", "2.5", "--rollout", "10", "--sign", privateKey, release(), site()});
    QVERIFY2(staged.exitCode == 0 && staged.output.contains("staged to 10 % of installs"), staged.output.constData());
    const UpdateDescription stagedAt10 = UpdateDescription::fromFile(site(QStringLiteral("update.ini")));
    QCOMPARE(stagedAt10.folder, QStringLiteral("2.4"));
    QCOMPARE(stagedAt10.stage.folder, QStringLiteral("2.5"));
    const Tool checkedStage = runTool({"--check", site(), "--key", publicKey});
    QVERIFY2(checkedStage.exitCode == 0 && checkedStage.output.contains("folder 2.5 (version 2.5) staged to 10 %"),
             checkedStage.output.constData());
    const Tool unsignedChange = runTool({"--rollout", "50", site()});
    QCOMPARE(unsignedChange.exitCode, 1);
    QVERIFY2(unsignedChange.output.contains("give --sign"), unsignedChange.output.constData());
    QCOMPARE(runTool({"--rollout", "50", "--sign", privateKey, site()}).exitCode, 0);
    const UpdateDescription stagedAt50 = UpdateDescription::fromFile(site(QStringLiteral("update.ini")));
    QCOMPARE(stagedAt50.stage.share, 50);
    QCOMPARE(stagedAt50.serial, stagedAt10.serial + 1);
    QCOMPARE(runTool({"--check", site(), "--key", publicKey}).exitCode, 0);
    // A stage's folder damaged is found like the live one's.
    QVERIFY(writeTestFile(site(QStringLiteral("2.5/lib.dll")), "another library"));
    QCOMPARE(runTool({"--check", site(), "--key", publicKey}).exitCode, 1);
    QVERIFY(writeTestFile(site(QStringLiteral("2.5/lib.dll")), "a staged library"));
    QCOMPARE(runTool({"--rollout", "100", "--sign", privateKey, site()}).exitCode, 0);
    const UpdateDescription promoted = UpdateDescription::fromFile(site(QStringLiteral("update.ini")));
    QCOMPARE(promoted.folder, QStringLiteral("2.5"));
    QVERIFY(!promoted.hasStage());
    QCOMPARE(promoted.serial, stagedAt50.serial + 1);
    QCOMPARE(runTool({"--check", site(), "--key", publicKey}).exitCode, 0);
    QCOMPARE(runTool({"--rollout", "20", "--sign", privateKey, site()}).exitCode, 1);
}

void PublishTest::killedWhileRepublishing_data()
{
    // A signed site, republished into the same folder (or renewed), stopped at
    // each call of one kind in turn: killed at a rename, or meeting a full disk
    // at a write.
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("fault");    // what strace injects at that call
    QTest::addColumn<bool>("renewal");     // --resign instead of a publication
    for (const char *call : {"renameat", "renameat2"})
        QTest::addRow("killed at %s", call) << call << "signal=KILL" << false;
    QTest::newRow("full disk at a write") << "write" << "error=ENOSPC" << false;
    QTest::newRow("--resign killed at renameat") << "renameat" << "signal=KILL" << true;
    QTest::newRow("--resign, full disk at a write") << "write" << "error=ENOSPC" << true;
}

void PublishTest::killedWhileRepublishing()
{
#ifdef Q_OS_WIN
    QSKIP("strace stops the publisher at its calls on Linux");
#else
    QFETCH(QString, call);
    QFETCH(QString, fault);
    QFETCH(bool, renewal);

    // Version 1 in folder "app", then version 2 into the same folder: the site
    // must verify, with the previous pair or the new one, naming a complete
    // version, after each stop; the next run mends whatever the stop left.
    const QString keys = m_dir->filePath(QStringLiteral("keys/"));
    QVERIFY(QDir().mkpath(keys));
    QCOMPARE(runTool({"--keygen", keys + "k.pem", keys + "k.pub"}).exitCode, 0);
    const QMap<QString, QByteArray> version2 = tree(release());
    QVERIFY(QDir().rename(release(), m_dir->filePath(QStringLiteral("release2"))));
    QVERIFY(writeTestFile(release(QStringLiteral("app.bin")), QByteArray(30000, '1')));
    QVERIFY(writeTestFile(release(QStringLiteral("lib/plugins/深层/插件.dll")), "plugin v1"));
    const QMap<QString, QByteArray> version1 = tree(release());
    const QStringList next = renewal ? QStringList{"--resign", "--sign", keys + "k.pem", site()}
                                     : QStringList{"--version", "2.0", "--folder", "app", "--sign", keys + "k.pem",
                                                   m_dir->filePath(QStringLiteral("release2")), site()};
    const auto published = [&] {
        QMap<QString, QByteArray> files = tree(site(QStringLiteral("app")));
        for (const QString &name : files.keys()) {
            if (name.startsWith(QLatin1String("md5.txt")) || name == QLatin1String("sha256.txt")
                    || name.startsWith(QLatin1String(".artifacts/")))
                files.remove(name);
        }
        return files;
    };

    int stops = 0;
    for (int n = 1;; ++n) {
        QVERIFY(QDir(site()).removeRecursively());
        QCOMPARE(runTool({"--version", "1.0", "--folder", "app", "--sign", keys + "k.pem", release(), site()}).exitCode, 0);
        const QByteArray pairBefore = readTestFile(site(QStringLiteral("update.ini"))) + readTestFile(site(QStringLiteral("update.ini.sig")));
        const Tool stopped = runTool(next, {"strace", "-f", "-o", "/dev/null", "-e", QStringLiteral("trace=%1").arg(call),
                                            "-e", QStringLiteral("inject=%1:%2:when=%3").arg(call, fault).arg(n)});
        const Tool checked = runTool({"--check", site(), "--key", keys + "k.pub"});
        const QString where = QStringLiteral("%1 number %2: %3").arg(call).arg(n).arg(QString::fromLocal8Bit(checked.output));
        // The folder update.ini names is complete at every instant.
        QVERIFY2(published() == version1 || published() == version2, qPrintable(where));
        if (checked.exitCode != 0) {
            // Stopped between the folder's swap and its update.ini, or between
            // the two renames of the pair: --check says so, and the next run mends it.
            QVERIFY2(checked.output.contains("update.ini names a md5.txt") || checked.output.contains("update.ini.pending"),
                     qPrintable(where));
            QCOMPARE(runTool(next).exitCode, 0);
            QVERIFY2(runTool({"--check", site(), "--key", keys + "k.pub"}).exitCode == 0, qPrintable(where));
            QCOMPARE(published(), renewal ? version1 : version2);
        } else if (fault.startsWith(QLatin1String("error"))) {
            // A full disk leaves the previous pair or puts the new one in whole.
            const QByteArray pairAfter = readTestFile(site(QStringLiteral("update.ini"))) + readTestFile(site(QStringLiteral("update.ini.sig")));
            QVERIFY2((pairAfter == pairBefore) == (stopped.exitCode != 0), qPrintable(where));
        }
        if (stopped.exitCode == 0)
            break;
        ++stops;
    }
    qInfo("stopped at %d calls, the site verifying after each", stops);
    QVERIFY(stops > 0);
#endif
}

void PublishTest::signedSiteLifecycle()
{
#ifdef Q_OS_WIN
    QSKIP("nginx is a Linux program: the Windows runs serve from the test itself");
#endif
    // Publish signed with an expiry, renew, move to a second key, drop the first:
    // the client follows each step, and an old description replayed is refused.
    const QString keys = m_dir->filePath(QStringLiteral("keys/"));
    QVERIFY(QDir().mkpath(keys));
    for (const char *name : {"one", "two"})
        QCOMPARE(runTool({"--keygen", keys + name + ".pem", keys + name + ".pub"}).exitCode, 0);
    const auto key = [&](const char *name) { return QString::fromLatin1(readTestFile(keys + name + ".pub").trimmed()); };

    QCOMPARE(runTool({"--version", "1.0", "--sign", keys + "one.pem", "--expires", "30d", release(), site()}).exitCode, 0);
    const QByteArray firstDescription = readTestFile(site(QStringLiteral("update.ini")));
    const QByteArray firstSignature = readTestFile(site(QStringLiteral("update.ini.sig")));
    QVERIFY(firstDescription.contains("Serial=1\nExpires=" + QDateTime::currentDateTimeUtc().addDays(30).toString(Qt::ISODate).left(10).toLatin1()));

    UpdaterSandbox install;
    install.installHost(QStringLiteral("Host.exe"));
    NginxServer nginx;
    QVERIFY2(nginx.start(site()), qPrintable(nginx.errorString()));
    const auto runWithKeys = [&](const QString &publicKeys) {
        install.writeConfig({{"URL", nginx.url(QStringLiteral("/"))}, {"PublicKey", publicKeys}});
        return install.run({"console"});
    };
    QCOMPARE(runWithKeys(key("one")).exitCode, 0);
    QCOMPARE(install.readFile(QStringLiteral("app.bin")), QByteArray(70000, 'a'));

    // A server job renews the expiry: the files stay, the serial moves on.
    const Tool renewed = runTool({"--resign", "--sign", keys + "one.pem", "--expires", "30d", site()});
    QCOMPARE(renewed.exitCode, 0);
    QVERIFY(readTestFile(site(QStringLiteral("update.ini"))).contains("Serial=2\n"));
    QCOMPARE(runTool({"--check", site(), "--key", keys + "one.pub"}).exitCode, 0);
    QCOMPARE(runWithKeys(key("one")).output, noUpdateDueReport);

    // Rotation: clients trust both keys, the publisher signs with the new one, then the old goes.
    QVERIFY(writeTestFile(release(QStringLiteral("app.bin")), QByteArray(70000, 'b')));
    QCOMPARE(runTool({"--version", "2.0", "--sign", keys + "two.pem", release(), site()}).exitCode, 0);
    QCOMPARE(runWithKeys(key("one")).output, failureReport(QStringLiteral("升级描述文件签名无效")));
    QCOMPARE(runWithKeys(key("one") + QLatin1Char(' ') + key("two")).exitCode, 0);
    QCOMPARE(install.readFile(QStringLiteral("app.bin")), QByteArray(70000, 'b'));
    QCOMPARE(runWithKeys(key("two")).output, noUpdateDueReport);

    // The first description, validly signed by a key still trusted, is a step back.
    QVERIFY(writeTestFile(site(QStringLiteral("update.ini")), firstDescription));
    QVERIFY(writeTestFile(site(QStringLiteral("update.ini.sig")), firstSignature));
    QCOMPARE(runWithKeys(key("one") + QLatin1Char(' ') + key("two")).output, failureReport(QStringLiteral("升级描述文件版本回退")));
    QCOMPARE(install.readFile(QStringLiteral("app.bin")), QByteArray(70000, 'b'));
}

void PublishTest::compressedCopies_data()
{
    // A compressed copy is kept only when it is at least a tenth smaller, however large the file.
    // The seconds it takes show as a progress line on a terminal, elsewhere only when asked.
    QTest::addColumn<bool>("compressible");
    QTest::addColumn<QString>("run");          // empty: through the publisher's interface
    QTest::newRow("22 MB that do not compress") << false << QString();
    QTest::newRow("22 MB of text") << true << QString();
    QTest::newRow("22 MB of text, on a terminal") << true << "terminal";
    QTest::newRow("22 MB of text, into a pipe") << true << "pipe";
    QTest::newRow("22 MB of text, into a pipe, asked for progress") << true << "pipe --progress";
}

void PublishTest::compressedCopies()
{
    QFETCH(bool, compressible);
    QFETCH(QString, run);
    QFile random(QStringLiteral("/dev/urandom"));
    QVERIFY(random.open(QIODevice::ReadOnly));
    const QByteArray big = compressible ? numberedLines(22 * 1000 * 1000, "of a large text") : random.read(22 * 1000 * 1000);
    QVERIFY(writeTestFile(release(QStringLiteral("big.bin")), big));
    if (run.isEmpty()) {
        ReleasePublisher publisher(options());
        QVERIFY2(publisher.publish(), qPrintable(publisher.errors().join(QLatin1Char('\n'))));
    } else {
        QStringList arguments{"--version", "2.0", release(), site()};
        if (run.endsWith(QLatin1String("--progress")))
            arguments.prepend(QStringLiteral("--progress"));
        Tool tool;
        if (run == QLatin1String("terminal")) {
#ifdef Q_OS_WIN
            QSKIP("a terminal of its own is script(1)'s, a Linux program");
#endif
            // script gives the publisher a pseudo-terminal for its standard error.
            tool = runTool({"-qec", QStringLiteral(UPDATE_PUBLISH_EXECUTABLE " '") + arguments.join(QLatin1String("' '")) + '\'',
                            QStringLiteral("/dev/null")}, {QStringLiteral("script")}, false);
        } else {
            tool = runTool(arguments);
        }
        QCOMPARE(tool.exitCode, 0);
        const bool shown = QRegularExpression(QStringLiteral("\rbig\\.bin  \\d+ %  \\d+\\.\\d s")).match(QString::fromUtf8(tool.output)).hasMatch();
        QVERIFY2(shown == (run != QLatin1String("pipe")), tool.output.constData());
    }
    const QByteArray copy = md5Text(big) + ".zst";
    QCOMPARE(QFileInfo::exists(site(QStringLiteral("2.0/.artifacts/")) + QString::fromLatin1(copy)), compressible);
    QCOMPARE(readTestFile(site(QStringLiteral("2.0/.artifacts/index"))).contains("zst\t" + md5Text(big)), compressible);
}

QTEST_MAIN(PublishTest)
#include "tst_publish.moc"
