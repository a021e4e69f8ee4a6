#include "artifactindex.h"
#include "artifactmaker.h"
#include "expectedreports.h"
#include "filehash.h"
#include "privatefolder.h"
#include "safeopen.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "undo.h"
#include "updatersandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

enum class Fault { KillAtEverySwap, LockedCacheFile };
// Where a full disk meets a writer: the updater's cache or install folder, or the publisher's site.
enum class Volume { Cache, Install, Site };
// What stands at a name the updater uses in the cache.
enum class Plant { LinkToOutsideFile, LinkToOutsideFolder, Fifo, Device, Folder, ForeignOwner, OpenToAll,
                   HugeSparseFile, ValidatorWithCrLf };

// The system calls that swap names in the install folder and the cache.
const QStringList swapCalls{"rename", "renameat", "renameat2", "link", "linkat"};
constexpr qint64 pageSize = 4096;
// Nobody's ids on Debian: an owner that is not the updater's user.
constexpr uid_t otherUser = 65534;

/**
 * A small tmpfs over a folder for as long as it lives, unmounted also when a
 * check fails. Declared after whatever owns the folder, so it goes first.
 */
class SmallVolume
{
public:
    explicit SmallVolume(const QString &dir)
        : m_dir(dir)
    {
        QDir().mkpath(dir);
        m_mounted = runCommand("mount", {"-t", "tmpfs", "-o", "size=32m", "tmpfs", dir});
    }
    ~SmallVolume()
    {
        if (m_mounted)
            runCommand("umount", {"-l", m_dir});
    }
    bool isMounted() const { return m_mounted; }

    /// Fills the volume to the last page, then gives back @p freeBytes.
    bool fillLeaving(qint64 freeBytes) const
    {
        QFile filler(m_dir + QStringLiteral("/filler"));
        if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray page(pageSize, 'f');
        while (filler.write(page) == pageSize) {
        }
        return filler.resize(qMax<qint64>(0, filler.size() / pageSize * pageSize - freeBytes));
    }
    bool removeFiller() const { return QFile::remove(m_dir + QStringLiteral("/filler")); }

private:
    QString m_dir;
    bool m_mounted = false;
};

QMap<QString, QByteArray> filesBelow(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), readTestFile(path));
    }
    return files;
}

QString partialName(const QString &releasePath)
{
    return QString::fromLatin1(QCryptographicHash::hash(releasePath.toUtf8(), QCryptographicHash::Sha1).toHex())
            + QStringLiteral(".download");
}

}

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Volume)
Q_DECLARE_METATYPE(Plant)

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
    void fullDisk_data();
    void fullDisk();
    void plantedInCache_data();
    void plantedInCache();

private:
    std::unique_ptr<UpdaterSandbox> prepareInstall() const;
    void installVersion1(const UpdaterSandbox &sandbox) const;
    void publishOnFullDisk(qint64 freeBytes);
    void verifyNeverBroken(const UpdaterSandbox &sandbox) const;
    void verifyCompletedByNextRun(UpdaterSandbox &sandbox);

    QMap<QString, QByteArray> m_v1;
    QMap<QString, QByteArray> m_v2;
    QByteArray m_manifest;
    QByteArray m_v1Manifest;
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
    for (auto it = m_v1.cbegin(); it != m_v1.cend(); ++it)
        m_v1Manifest += manifestLine(it.value(), it.key().toUtf8());
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
    installVersion1(*sandbox);
    return sandbox;
}

void InstallFaultsTest::installVersion1(const UpdaterSandbox &sandbox) const
{
    sandbox.writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))},
                         {"Cache", sandbox.path(QStringLiteral("cache"))}});
    for (auto it = m_v1.cbegin(); it != m_v1.cend(); ++it)
        sandbox.writeFile(QStringLiteral("app/") + it.key(), it.value());
    QFile::setPermissions(sandbox.path(QStringLiteral("app/Host.exe")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    sandbox.writeFile(QStringLiteral("app/update_md5.info"), m_v1Manifest);
    sandbox.writeFile(QStringLiteral("app/b.dll.old"), "b zero");
}

void InstallFaultsTest::verifyNeverBroken(const UpdaterSandbox &sandbox) const
{
    const QByteArray localManifest = sandbox.readFile(QStringLiteral("app/update_md5.info"));
    QVERIFY2(localManifest == m_manifest || localManifest == m_v1Manifest, "update_md5.info is neither the old nor the new manifest");
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
    QVERIFY(QDir().mkpath(sandbox->path(QStringLiteral("cache"))));
    QVERIFY(PrivateFolder::open(sandbox->path(QStringLiteral("cache"))).isValid());
    const QString locked = sandbox->path(QStringLiteral("cache/.updater/files/lib/c.dll"));
    sandbox->writeFile(QStringLiteral("cache/.updater/files/lib/c.dll"), m_v2.value("lib/c.dll"));
    QVERIFY(runCommand("chattr", {"+i", locked}));
    {
        const Undo unlock([locked] { runCommand("chattr", {"-i", locked}); });
        const UpdaterSandbox::Result failed = sandbox->run({"console"});
        QVERIFY2(failed.output.endsWith(R"({"errormsg":"覆盖文件c.dll失败","success":false,"update":false})"), failed.output.constData());
        verifyNeverBroken(*sandbox);
        QCOMPARE(sandbox->readFile(QStringLiteral("app/lib/c.dll")), m_v1.value("lib/c.dll"));
    }
    verifyCompletedByNextRun(*sandbox);
}

void InstallFaultsTest::fullDisk_data()
{
    QTest::addColumn<Volume>("volume");
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<QByteArray>("failure");   // the failure report expected; empty: any outcome that keeps the rules
    QTest::addColumn<bool>("compressedCopy");  // big.bin is offered compressed: its result is decoded into a mapping

    // Version 2's files take 518 pages: big.bin 512, six small files one each.
    const qint64 filesOnly = 518 * pageSize;
    const qint64 partWayThroughAChunk = 1536 * 1024;   // big.bin's second 1 MiB chunk runs out
    const struct { Volume volume; const char *name; } volumes[] = {
        {Volume::Cache, "cache"}, {Volume::Install, "install folder"}, {Volume::Site, "site"}};
    for (const auto &where : volumes) {
        for (int pages : {0, 1, 3, 5})
            QTest::addRow("%s, %d pages free", where.name, pages) << where.volume << pages * pageSize << QByteArray() << false;
        QTest::addRow("%s, full part-way through a chunk", where.name) << where.volume << partWayThroughAChunk
                << (where.volume == Volume::Cache ? failureReport(QStringLiteral("更新文件big.bin写入失败"))
                    : where.volume == Volume::Install ? failureReport(QStringLiteral("覆盖文件big.bin失败")) : QByteArray())
                << false;
    }
    // Room for the new files, not for the local manifest (install) or update.ini (site) after them.
    QTest::newRow("install folder, room for the files only") << Volume::Install << filesOnly << QByteArray() << false;
    QTest::newRow("site, room for the files only") << Volume::Site << filesOnly + pageSize << QByteArray() << false;
    // The small artifact fits, the 2 MiB it decodes to does not: no write into a mapping of a full disk.
    QTest::newRow("cache, room for a compressed copy, not for its result") << Volume::Cache << qint64(1024 * 1024)
            << failureReport(QStringLiteral("更新文件big.bin写入失败")) << true;
}

void InstallFaultsTest::fullDisk()
{
    QFETCH(Volume, volume);
    QFETCH(qint64, freeBytes);
    QFETCH(QByteArray, failure);
    QFETCH(bool, compressedCopy);
    if (compressedCopy) {
        const QByteArray big = m_v2.value("data/big.bin");
        const QByteArray packed = compressWhole(big);
        Artifact artifact{Artifact::Kind::Compressed, md5Text(big), quint64(big.size()), {}, quint64(packed.size()),
                          md5Text(packed), QStringLiteral("data/big.bin")};
        ArtifactIndex index;
        index.add(artifact);
        m_server->setFile(QByteArray("/up/v2/") + ArtifactIndex::indexPath.latin1(), index.text());
        m_server->setFile("/up/v2/" + artifact.relativeUrl().toUtf8(), packed);
    }
    if (volume == Volume::Site) {
        publishOnFullDisk(freeBytes);
        return;
    }

    // On different volumes, the install copies each file beside its target.
    UpdaterSandbox sandbox(QStringLiteral("app"));
    const SmallVolume small(sandbox.path(volume == Volume::Cache ? QStringLiteral("cache") : QStringLiteral("app")));
    QVERIFY(small.isMounted());
    if (volume == Volume::Install)
        QVERIFY(sandbox.copyUpdater());
    installVersion1(sandbox);
    QVERIFY(small.fillLeaving(freeBytes));

    const UpdaterSandbox::Result result = sandbox.run({"console"});
    QVERIFY(result.finished);
    if (!failure.isEmpty())
        QCOMPARE(result.output, updateDueReport + failure);
    if (result.exitCode == 0) {
        for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
            QCOMPARE(sandbox.readFile(QStringLiteral("app/") + it.key()), it.value());
    }
    verifyNeverBroken(sandbox);
    // Whatever the cache holds as verified is whole.
    const QMap<QString, QByteArray> cached = filesBelow(sandbox.path(QStringLiteral("cache/.updater/files")));
    for (auto it = cached.cbegin(); it != cached.cend(); ++it)
        QCOMPARE(it.value(), m_v2.value(it.key()));
    const QByteArray description = sandbox.readFile(QStringLiteral("cache/update.ini"));
    QVERIFY(description.isEmpty() ? !QFileInfo::exists(sandbox.path(QStringLiteral("cache/update.ini")))
                                  : description == "[Version]\nFolder=v2\n");

    QVERIFY(small.removeFiller());
    verifyCompletedByNextRun(sandbox);
}

// Version 1 published as folder "app", then version 2 into the same folder on a full site.
void InstallFaultsTest::publishOnFullDisk(qint64 freeBytes)
{
    QTemporaryDir root;
    for (auto it = m_v1.cbegin(); it != m_v1.cend(); ++it)
        QVERIFY(writeTestFile(root.filePath(QStringLiteral("release1/") + it.key()), it.value()));
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
        QVERIFY(writeTestFile(root.filePath(QStringLiteral("release2/") + it.key()), it.value()));
    const QString site = root.filePath(QStringLiteral("site"));
    const SmallVolume small(site);
    QVERIFY(small.isMounted());
    const auto publish = [&](const char *version) {
        return runCommand(QStringLiteral(UPDATE_PUBLISH_EXECUTABLE),
                          {"--version", version, "--folder", "app", root.filePath(QStringLiteral("release") + version), site});
    };
    const auto publishedVersion = [&] {
        // A site that checks names a complete folder; which version is in it tells its manifest.
        if (!runCommand(QStringLiteral(UPDATE_PUBLISH_EXECUTABLE), {"--check", site}))
            return QByteArray("broken");
        const QByteArray version = readTestFile(site + QStringLiteral("/app/a.dll"));
        return version == m_v2.value("a.dll") ? QByteArray("2") : version == m_v1.value("a.dll") ? QByteArray("1") : version;
    };
    QVERIFY(publish("1"));
    QVERIFY(small.fillLeaving(freeBytes));

    const bool published = publish("2");
    QCOMPARE(publishedVersion(), published ? QByteArray("2") : QByteArray("1"));
    const QByteArray description = readTestFile(site + QStringLiteral("/update.ini"));
    QVERIFY2(description.contains("Version=\"1\"") || (published && description.contains("Version=\"2\"")),
             description.constData());

    QVERIFY(small.removeFiller());
    QVERIFY(publish("2"));
    QCOMPARE(publishedVersion(), QByteArray("2"));
}

void InstallFaultsTest::plantedInCache_data()
{
    // big.bin is 2 MiB, so its partial body and side file are kept and looked for.
    QTest::addColumn<QString>("name");   // below the cache folder; "@" stands for big.bin's partial body
    QTest::addColumn<Plant>("plant");
    QTest::newRow("link at update.ini") << "update.ini" << Plant::LinkToOutsideFile;
    QTest::newRow("link in place of the private folder") << ".updater" << Plant::LinkToOutsideFolder;
    QTest::newRow("private folder of another user") << ".updater" << Plant::ForeignOwner;
    QTest::newRow("private folder open to all") << ".updater" << Plant::OpenToAll;
    QTest::newRow("link at a verified download") << ".updater/files/a.dll" << Plant::LinkToOutsideFile;
    QTest::newRow("link at the partial body") << "@" << Plant::LinkToOutsideFile;
    QTest::newRow("FIFO at the partial body") << "@" << Plant::Fifo;
    QTest::newRow("device at the partial body") << "@" << Plant::Device;
    QTest::newRow("folder at the partial body") << "@" << Plant::Folder;
    QTest::newRow("partial body of another user") << "@" << Plant::ForeignOwner;
    QTest::newRow("link at the side file") << "@.resume" << Plant::LinkToOutsideFile;
    QTest::newRow("FIFO at the side file") << "@.resume" << Plant::Fifo;
    QTest::newRow("device at the side file") << "@.resume" << Plant::Device;
    QTest::newRow("1.5 GiB side file") << "@.resume" << Plant::HugeSparseFile;
    QTest::newRow("validator with CR LF") << "@.resume" << Plant::ValidatorWithCrLf;
}

void InstallFaultsTest::plantedInCache()
{
    QFETCH(QString, name);
    QFETCH(Plant, plant);

    const QByteArray big = m_v2.value("data/big.bin");
    TestHttpServer::Response resumable;
    resumable.body = big;
    resumable.headers = {{"ETag", "\"v2\""}};
    resumable.ranges = true;
    m_server->setResponse("/up/v2/data/big.bin", resumable);
    auto sandbox = prepareInstall();
    const QString cache = sandbox->path(QStringLiteral("cache"));
    QVERIFY(QDir().mkpath(cache) && PrivateFolder::open(cache).isValid());

    // Outside both folders: what a planted link leads to. The outside file holds
    // what the updater would accept there, so only the link itself gives it away.
    const QString outside = sandbox->path(QStringLiteral("outside"));
    const QByteArray sideText = QByteArray::number(big.size()) + '\n' + md5Text(big) + "\n\"v2\"\n";
    const bool atSideFile = name.endsWith(QLatin1String(".resume"));
    QVERIFY(writeTestFile(outside + QStringLiteral("/file"), name == QLatin1String("update.ini") ? QByteArray("outside")
                          : atSideFile ? sideText : name.startsWith(QLatin1Char('@')) ? big.left(1536 * 1024) : m_v2.value("a.dll")));
    QVERIFY(writeTestFile(outside + QStringLiteral("/dir/files/a.dll"), m_v2.value("a.dll")));
    const QMap<QString, QByteArray> outsideBefore = filesBelow(outside);

    // A kept part of big.bin and its side file, one of which the row replaces.
    const QString partial = cache + QStringLiteral("/.updater/partial/") + partialName(QStringLiteral("data/big.bin"));
    QVERIFY(writeTestFile(partial, big.left(1536 * 1024)));
    QVERIFY(writeTestFile(partial + QStringLiteral(".resume"), sideText));
    const QString planted = cache + QLatin1Char('/') + QString(name).replace(QLatin1Char('@'), partial.mid(cache.size() + 1));
    QVERIFY(HeldFolder::open(QFileInfo(planted).absolutePath()).remove(QFileInfo(planted).fileName()));
    QVERIFY(QDir().mkpath(QFileInfo(planted).absolutePath()));
    const QByteArray native = QFile::encodeName(planted);
    switch (plant) {
    case Plant::LinkToOutsideFile:
        QVERIFY(QFile::link(outside + QStringLiteral("/file"), planted));
        break;
    case Plant::LinkToOutsideFolder:
        QVERIFY(QFile::link(outside + QStringLiteral("/dir"), planted));
        break;
    case Plant::Fifo:
        QCOMPARE(::mkfifo(native.constData(), 0666), 0);
        break;
    case Plant::Device:
        QCOMPARE(::mknod(native.constData(), S_IFCHR | 0666, makedev(1, 5)), 0);   // /dev/zero
        break;
    case Plant::Folder:
        QVERIFY(writeTestFile(planted + QStringLiteral("/inner"), "in the way"));
        break;
    case Plant::ForeignOwner:
    case Plant::OpenToAll:
        if (name == QLatin1String(".updater"))
            QVERIFY(writeTestFile(planted + QStringLiteral("/files/a.dll"), m_v2.value("a.dll")));
        else
            QVERIFY(writeTestFile(planted, big.left(1536 * 1024)));
        QVERIFY(plant == Plant::OpenToAll ? ::chmod(native.constData(), 0777) == 0
                                          : runCommand("chown", {"-R", QString::number(otherUser), planted}));
        break;
    case Plant::HugeSparseFile: {
        QFile huge(planted);
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.write(sideText) == sideText.size() && huge.resize(1536LL << 20));
        break;
    }
    case Plant::ValidatorWithCrLf:
        QVERIFY(writeTestFile(planted, sideText.left(sideText.size() - 1) + "\r\nX-Injected: yes\n"));
        break;
    }

    // Peak memory in KiB, as the kernel counted it.
    const QString peakFile = sandbox->path(QStringLiteral("peak"));
    sandbox->setLauncher({"/usr/bin/time", "-f", "%M", "-o", peakFile});
    const UpdaterSandbox::Result result = sandbox->run({"console"}, 20000);
    QVERIFY2(result.finished, "the run hung");
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    const qint64 peakKiB = readTestFile(peakFile).trimmed().toLongLong();
    QVERIFY2(peakKiB > 0 && peakKiB < 96 * 1024, qPrintable(QString::number(peakKiB)));

    QCOMPARE(filesBelow(outside), outsideBefore);
    for (const TestHttpServer::Request &request : m_server->requests())
        QVERIFY(request.header("X-Injected").isEmpty());
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
        QCOMPARE(sandbox->readFile(QStringLiteral("app/") + it.key()), it.value());
    QDirIterator installed(sandbox->appDir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                           QDirIterator::Subdirectories);
    while (installed.hasNext()) {
        const QFileInfo entry(installed.next());
        QVERIFY2(!entry.isSymLink() && entry.ownerId() == geteuid(), qPrintable(entry.filePath()));
    }
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(cache + QStringLiteral("/.updater")).constData(), &status), 0);
    QVERIFY(S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 07777) == 0700);
}

QTEST_GUILESS_MAIN(InstallFaultsTest)
#include "tst_installfaults.moc"
