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
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <sddl.h>
#else
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

enum class Fault {
    KillAtEverySwap, LockedCacheFile, SwappedByAnotherUser, LinksInAWritableInstall, PowerCut, TargetLeftAside,
    // Windows: what a running host, an antivirus or a second instance holds.
    InUse, OwnQtDlls, NewFileHeldForAMoment, TargetHeldForAMoment, NewFileHeldTooLong, BackupHeldTooLong, LoadedBackup,
    LocalManifestHeldForAMoment
};
// Where a full disk meets a writer: the updater's cache or install folder, or the publisher's site.
enum class Volume { Cache, Install, Site };
// What stands at a name the updater uses in the cache.
enum class Plant { LinkToOutsideFile, LinkToOutsideFolder, Fifo, Device, Folder, ForeignOwner, OpenToAll,
                   HugeSparseFile, ValidatorWithCrLf,
                   // Windows: a junction at the name, or above the cache; the held folder renamed meanwhile.
                   Junction, JunctionAbove, RenamedWhileHeld };

#ifdef Q_OS_WIN
// The Linux path of a Windows path on Wine's drive of the Linux root.
QString unixPath(const QString &path)
{
    return QDir::fromNativeSeparators(path).mid(2);
}

/// Runs a Linux program from inside Wine, which never sees one finish: done once @p done holds (5 s at most).
template <typename Done>
bool runOnLinuxSide(const QString &program, const QStringList &arguments, Done done)
{
    if (!QProcess::startDetached(program, arguments))
        return false;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        if (done())
            return true;
        QTest::qWait(20);
    }
    return false;
}

DWORD attributesOf(const QString &path)
{
    return GetFileAttributesW(QDir::toNativeSeparators(path).toStdWString().c_str());
}

/**
 * A junction, as a Windows program under Wine meets one: Wine shows a Linux
 * link to a folder as a reparse point, and makes none of its own (its
 * CreateSymbolicLinkW and FSCTL_SET_REPARSE_POINT do nothing), so the link is
 * made, and removed, from the Linux side.
 */
bool makeJunction(const QString &link, const QString &target)
{
    return runOnLinuxSide(QStringLiteral("Z:/bin/ln"), {"-s", unixPath(target), unixPath(link)}, [&link] {
        const DWORD attributes = attributesOf(link);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    });
}

bool removeJunction(const QString &link)
{
    return runOnLinuxSide(QStringLiteral("Z:/bin/rm"), {unixPath(link)}, [&link] { return attributesOf(link) == INVALID_FILE_ATTRIBUTES; });
}

/**
 * A program of the test's own (the host stand-in) holding what the lines of
 * @p holds name ("load PATH", "open PATH", "for MSECS"), started at @p program;
 * it lets go when release() is called or its time is up.
 */
class Holder
{
public:
    Holder(const QString &program, const QByteArray &holds)
        : m_program(program)
    {
        QDir().mkpath(QFileInfo(program).absolutePath());
        if (!QFileInfo::exists(program))
            QFile::copy(QStringLiteral(HOST_STAND_IN_EXECUTABLE), program);
        writeTestFile(program + QStringLiteral(".hold"), holds);
        m_process.start(program, {QStringLiteral("holder")});
        QElapsedTimer waited;
        waited.start();
        // Removing the mark fails while the holder still has it open.
        while (!(m_holding = QFile::remove(program + QStringLiteral(".held"))) && waited.elapsed() < 10000)
            QTest::qWait(20);
        // A host started later at the same path holds nothing.
        QFile::remove(program + QStringLiteral(".hold"));
    }
    ~Holder() { release(); }
    bool isHolding() const { return m_holding; }
    void release()
    {
        writeTestFile(m_program + QStringLiteral(".release"), "");
        m_process.waitForFinished(10000);
    }

private:
    QString m_program;
    QProcess m_process;
    bool m_holding = false;
};
#endif

#ifndef Q_OS_WIN
// The system calls that swap names in the install folder and the cache.
const QStringList swapCalls{"rename", "renameat", "renameat2", "link", "linkat"};
constexpr qint64 pageSize = 4096;
// Nobody's ids on Debian: an owner that is not the updater's user.
constexpr uid_t otherUser = 65534;
// The calls that name or reach into a folder below the shared cache.
const QStringList folderCalls{"openat", "newfstatat", "mkdirat", "renameat", "unlinkat", "fchmod", "fsync"};

// One completed call of an strace -f -y log: its name, its arguments (descriptors
// with their paths) and its result.
struct TracedCall
{
    QString name;
    QString arguments;
    qint64 result = -1;
    /// The path of the descriptor that is its first argument.
    QString firstPath() const
    {
        const int open = arguments.indexOf(QLatin1Char('<'));
        return open < 0 ? QString() : arguments.mid(open + 1, arguments.indexOf(QLatin1Char('>'), open) - open - 1);
    }
};

QVector<TracedCall> tracedCalls(const QByteArray &log)
{
    // Calls that other threads interrupted come in two lines: "<unfinished ...>", then "<... resumed>".
    static const QRegularExpression whole(QStringLiteral("^(\\d+) +(\\w+)\\((.*)\\) += (-?\\d+)"));
    static const QRegularExpression begun(QStringLiteral("^(\\d+) +(\\w+)\\((.*) <unfinished \\.\\.\\.>$"));
    static const QRegularExpression resumed(QStringLiteral("^(\\d+) +<\\.\\.\\. (\\w+) resumed>(.*)\\) += (-?\\d+)"));
    QVector<TracedCall> calls;
    QHash<QString, QString> unfinished;
    for (const QByteArray &line : log.split('\n')) {
        const QString text = QString::fromUtf8(line);
        QRegularExpressionMatch match;
        if ((match = begun.match(text)).hasMatch())
            unfinished.insert(match.captured(1), match.captured(3));
        else if ((match = resumed.match(text)).hasMatch())
            calls.append({match.captured(2), unfinished.take(match.captured(1)) + match.captured(3), match.captured(4).toLongLong()});
        else if ((match = whole.match(text)).hasMatch())
            calls.append({match.captured(2), match.captured(3), match.captured(4).toLongLong()});
    }
    return calls;
}

/**
 * Checks that every file written below @p folder had its data put on the disk
 * (an fsync of it, or a syncfs of its volume) after its last write and before
 * the rename that makes @p vouching vouch for it.
 */
void verifyDurableBefore(const QVector<TracedCall> &calls, const QString &folder, const QString &vouching)
{
    int vouched = -1;
    for (int i = 0; i < calls.size() && vouched < 0; ++i) {
        if (calls.at(i).name.startsWith(QLatin1String("rename")) && calls.at(i).result == 0
                && calls.at(i).arguments.endsWith(QLatin1Char('"') + vouching + QLatin1Char('"')))
            vouched = i;
    }
    QVERIFY2(vouched >= 0, qPrintable(QStringLiteral("no rename to ") + vouching));
    QMap<QString, int> lastWrites;
    for (int i = 0; i < vouched; ++i) {
        if (calls.at(i).name.contains(QLatin1String("write")) && calls.at(i).result > 0 && calls.at(i).firstPath().startsWith(folder))
            lastWrites.insert(calls.at(i).firstPath(), i);
    }
    QVERIFY(!lastWrites.isEmpty());
    for (auto written = lastWrites.cbegin(); written != lastWrites.cend(); ++written) {
        bool synced = false;
        for (int i = written.value() + 1; i < vouched && !synced; ++i) {
            synced = calls.at(i).result == 0 && (calls.at(i).name == QLatin1String("syncfs")
                                                 || (calls.at(i).name == QLatin1String("fsync") && calls.at(i).firstPath() == written.key()));
        }
        QVERIFY2(synced, qPrintable(written.key() + QStringLiteral(" was not synced before ") + vouching + QStringLiteral(" vouched for it")));
    }
    qInfo("%d files written, each synced before %s", int(lastWrites.size()), qPrintable(vouching));
}

// Runs @p script as the other user, who may write the shared cache folder.
bool asOtherUser(const QString &script)
{
    return runCommand("setpriv", {QStringLiteral("--reuid=%1").arg(otherUser), QStringLiteral("--regid=%1").arg(otherUser),
                                  "--clear-groups", "sh", "-c", script});
}

// Every entry below @p dir, links and folders included, with its owner, mode and content.
QMap<QString, QByteArray> entriesBelow(const QString &dir)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat status;
        ::lstat(QFile::encodeName(path).constData(), &status);
        entries.insert(QDir(dir).relativeFilePath(path), QByteArray::number(status.st_uid) + ' ' + QByteArray::number(status.st_mode, 8)
                       + ' ' + (S_ISREG(status.st_mode) ? readTestFile(path) : QFile::encodeName(QFile::symLinkTarget(path))));
    }
    return entries;
}

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

#endif

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

#ifndef Q_OS_WIN
QString partialName(const QString &releasePath)
{
    return QString::fromLatin1(QCryptographicHash::hash(releasePath.toUtf8(), QCryptographicHash::Sha1).toHex())
            + QStringLiteral(".download");
}
#endif

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
    /// The next run, through @p launcher (as another user, say), completes the install.
    void verifyCompletedByNextRun(UpdaterSandbox &sandbox, const QStringList &launcher = {});
    void swapAtEveryFolderCall(const QString &ordinaryUser);
    void linksInAWritableInstall();
    void publishVersion2(const QMap<QString, QByteArray> &files);
#ifdef Q_OS_WIN
    void windowsFault(Fault fault);
    void plantOnWindows(Plant plant);
#endif

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
    publishVersion2(m_v2);
}

void InstallFaultsTest::publishVersion2(const QMap<QString, QByteArray> &files)
{
    m_manifest.clear();
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
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

void InstallFaultsTest::verifyCompletedByNextRun(UpdaterSandbox &sandbox, const QStringList &launcher)
{
    QStringList installedBefore;
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it) {
        if (m_v1.value(it.key()) != it.value() && sandbox.readFile(QStringLiteral("app/") + it.key()) == it.value())
            installedBefore << it.key();
    }
    m_server->clearLog();
    sandbox.setLauncher(launcher);
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

void InstallFaultsTest::swapAtEveryFolderCall(const QString &ordinaryUser)
{
#ifdef Q_OS_WIN
    Q_UNUSED(ordinaryUser)
#else
    // The updater, as root or as an ordinary user made for the test, installs
    // version 2 through a cache folder that every user may write (0777, no
    // sticky bit). It is stopped at each call that reaches into the cache in
    // turn; meanwhile the other user swaps the private folder, a folder in it,
    // or the whole cache for a folder of their own, a link to a root-only file
    // or a link to a folder outside; then it goes on.
    uid_t uid = 0;
    QStringList asUpdaterUser;
    std::unique_ptr<Undo> removeUser;
    if (!ordinaryUser.isEmpty()) {
        runCommand("userdel", {ordinaryUser});   // left by a killed run
        QVERIFY(runCommand("useradd", {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", ordinaryUser}));
        removeUser = std::make_unique<Undo>([ordinaryUser] { runCommand("userdel", {ordinaryUser}); });
        const passwd *account = ::getpwnam(QFile::encodeName(ordinaryUser).constData());
        QVERIFY(account);
        uid = account->pw_uid;
        asUpdaterUser = QStringList{"setpriv", QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(account->pw_gid),
                                    "--clear-groups", "--"};
    }
    // Both users pass through the test's temporary folder.
    const QByteArray temporary = QFile::encodeName(QDir::tempPath());
    struct stat temporaryStatus;
    QCOMPARE(::stat(temporary.constData(), &temporaryStatus), 0);
    QCOMPARE(::chmod(temporary.constData(), (temporaryStatus.st_mode & 07777) | 0711), 0);
    const Undo restoreTemporary([=] { ::chmod(temporary.constData(), temporaryStatus.st_mode & 07777); });

    const QStringList swappedFolders{".updater", ".updater/files", ""};   // "": the whole cache folder
    enum { OwnFolder, LinkToRootOnlyFile, LinkToFolderOutside, plantCount };
    int swaps = 0;
    for (const QString &call : folderCalls) {
        for (int n = 1;; ++n) {
            auto sandbox = prepareInstall();
            const QString root = sandbox->root();
            const QString cache = sandbox->path(QStringLiteral("shared/cache"));
            QVERIFY(QDir().mkpath(cache));
            QCOMPARE(::chmod(QFile::encodeName(root).constData(), 0711), 0);
            for (const QString &shared : {sandbox->path(QStringLiteral("shared")), cache})
                QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
            sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"Cache", cache}});
            if (uid != 0)
                QVERIFY(runCommand("chown", {"-R", QString::number(uid), sandbox->appDir()}));
            // Outside both: a folder dressed as a private folder, and a file only root may read.
            const QString outside = sandbox->path(QStringLiteral("outside"));
            const QString secret = sandbox->path(QStringLiteral("secret"));
            QVERIFY(writeTestFile(outside + QStringLiteral("/files/a.dll"), m_v2.value("a.dll")));
            QVERIFY(writeTestFile(outside + QStringLiteral("/update.ini"), "[Version]\nFolder=v2\n"));
            QVERIFY(writeTestFile(secret, "root only"));
            QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
            // The folder outside is private to the updater's user, as its home's .ssh would be.
            QCOMPARE(::chmod(QFile::encodeName(outside).constData(), 0700), 0);
            QCOMPARE(::chown(QFile::encodeName(outside).constData(), uid, uid_t(-1)), 0);
            const QMap<QString, QByteArray> outsideBefore = entriesBelow(outside);
            const QByteArray secretBefore = entriesBelow(root).value(QStringLiteral("secret"));

            const QString log = sandbox->path(QStringLiteral("strace.log"));
            QStringList launcher{"strace", "-f", "-o", log};
            for (const char *below : {"", "/.updater", "/.updater/files", "/.updater/partial", "/.updater/files/lib", "/.updater/files/data"})
                launcher << "-P" << cache + QLatin1String(below);
            launcher << "-e" << "trace=" + call << "-e" << QStringLiteral("inject=%1:signal=STOP:when=%2").arg(call).arg(n);
            sandbox->setLauncher(launcher + asUpdaterUser);
            m_server->clearLog();
            const std::unique_ptr<QProcess> updater = sandbox->start({"console"});
            // Stopped at the call, or through without meeting it.
            const QRegularExpression stop(QStringLiteral("^(\\d+) +--- stopped by SIGSTOP ---$"), QRegularExpression::MultilineOption);
            QRegularExpressionMatch stopped;
            QElapsedTimer waited;
            waited.start();
            while (updater->state() != QProcess::NotRunning && !(stopped = stop.match(QString::fromUtf8(readTestFile(log)))).hasMatch()
                   && waited.elapsed() < 20000)
                QTest::qWait(10);
            if (!stopped.hasMatch()) {
                const UpdaterSandbox::Result through = UpdaterSandbox::finish(*updater);
                QVERIFY2(through.finished && through.exitCode == 0, qPrintable(QString::fromUtf8(through.output + through.errors + readTestFile(log).right(3000))));
                break;
            }

            const QString folder = swappedFolders.at(swaps % swappedFolders.size());
            const int plant = swaps / swappedFolders.size() % plantCount;
            const QString target = folder.isEmpty() ? cache : cache + QLatin1Char('/') + folder;
            QString plantScript;
            if (plant == OwnFolder)
                plantScript = QStringLiteral("mkdir -p '%1/files/lib' '%1/.updater/files' && echo evil > '%1/files/a.dll'"
                                             " && echo evil > '%1/files/lib/c.dll' && echo evil > '%1/.updater/files/a.dll'"
                                             " && echo '[Version]' > '%1/update.ini'").arg(target);
            else
                plantScript = QStringLiteral("ln -s '%1' '%2'").arg(plant == LinkToRootOnlyFile ? secret : outside, target);
            // Whatever stands there goes aside first; a name not made yet is taken before the updater makes it.
            asOtherUser(QStringLiteral("{ test ! -e '%1' -a ! -L '%1' || mv '%1' '%1.moved'; } && %2").arg(target, plantScript));
            struct stat plantedStatus;
            const bool planted = ::lstat(QFile::encodeName(target).constData(), &plantedStatus) == 0 && plantedStatus.st_uid == otherUser;
            const QMap<QString, QByteArray> plantedBefore = entriesBelow(target);
            ::kill(pid_t(stopped.captured(1).toLongLong()), SIGCONT);
            const UpdaterSandbox::Result result = UpdaterSandbox::finish(*updater);
            const QString where = QStringLiteral("as %1, stopped at %2 number %3, %4 swapped for plant %5: %6")
                    .arg(ordinaryUser.isEmpty() ? QStringLiteral("root") : ordinaryUser, call).arg(n)
                    .arg(folder.isEmpty() ? QStringLiteral("the cache") : folder).arg(plant).arg(QString::fromUtf8(result.output));
            ++swaps;

            // Published bytes or a clear failure; never theirs, never a link, nothing outside touched.
            QVERIFY2(result.finished, qPrintable(where));
            QVERIFY2(result.exitCode == 0 || (result.exitCode == 1 && result.output.contains(R"("success":false)")
                                               && !result.output.contains(R"({"errormsg":"","success":false)")),
                     qPrintable(where));
            QDirIterator installed(sandbox->appDir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                   QDirIterator::Subdirectories);
            while (installed.hasNext()) {
                const QFileInfo entry(installed.next());
                QVERIFY2(!entry.isSymLink() && entry.ownerId() == uid && readTestFile(entry.filePath()) != "evil\n",
                         qPrintable(entry.filePath() + QStringLiteral(" after ") + where));
            }
            for (auto it = m_v2.cbegin(); it != m_v2.cend() && result.exitCode == 0; ++it)
                QVERIFY2(sandbox->readFile(QStringLiteral("app/") + it.key()) == it.value(), qPrintable(where));
            QVERIFY2(entriesBelow(outside) == outsideBefore, qPrintable(where));
            QVERIFY2(entriesBelow(root).value(QStringLiteral("secret")) == secretBefore, qPrintable(where));
            // Nothing written into what the other user owns: their folder, where
            // it stands or set aside, holds what they put there.
            if (planted && plant == OwnFolder) {
                // Where it stands, set aside itself, or inside a folder of theirs above it that was set aside.
                const QFileInfo targetInfo(target);
                QStringList candidates{targetInfo.fileName()};
                candidates += QDir(targetInfo.absolutePath()).entryList({targetInfo.fileName() + QStringLiteral(".*.foreign")},
                                                                        QDir::Dirs | QDir::Hidden);
                if (folder.contains(QLatin1Char('/'))) {
                    const QString above = folder.section(QLatin1Char('/'), 0, 0);
                    for (const QString &aside : QDir(cache).entryList({above + QStringLiteral(".*.foreign")}, QDir::Dirs | QDir::Hidden))
                        candidates << QStringLiteral("../") + aside + QLatin1Char('/') + targetInfo.fileName();
                }
                bool found = false;
                for (const QString &candidate : qAsConst(candidates)) {
                    const QString path = targetInfo.absolutePath() + QLatin1Char('/') + candidate;
                    struct stat status;
                    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && status.st_uid == otherUser) {
                        QVERIFY2(entriesBelow(path) == plantedBefore, qPrintable(where));
                        found = true;
                    }
                }
                QVERIFY2(found, qPrintable(QStringLiteral("their folder is gone, ") + where));
            }

            // The other user gone, the next run completes.
            if (planted)
                QVERIFY(runCommand("sh", {"-c", QStringLiteral("rm -rf '%1' '%1'.*.foreign").arg(target)}));
            QVERIFY(runCommand("sh", {"-c", QStringLiteral("test -e '%1.moved' -o -L '%1.moved' || exit 0; rm -rf '%1' && mv '%1.moved' '%1'")
                                                 .arg(target)}));
            verifyCompletedByNextRun(*sandbox, asUpdaterUser);
            if (QTest::currentTestFailed())
                qWarning("%s", qPrintable(where));
            QVERIFY(!QTest::currentTestFailed());
        }
    }
    qInfo("%s: swapped at %d calls, the install whole after each", qPrintable(ordinaryUser.isEmpty() ? QStringLiteral("root") : ordinaryUser), swaps);
    QVERIFY(swaps > 0);
#endif
}

void InstallFaultsTest::linksInAWritableInstall()
{
#ifndef Q_OS_WIN
    if (::geteuid() != 0)
        QSKIP("the updater runs as root here, in a folder another user owns");
    // The updater as root, in an install folder (and the folder above it) that
    // another user owns; outside it, a folder and a file only root may use, as
    // /etc and /etc/shadow are. Whatever links the other user puts in the
    // install tree, before the run or at any of its calls there, nothing
    // outside may change or appear, and every run installs or fails clearly.
    // The other user passes through the test's temporary folder.
    const QByteArray temporary = QFile::encodeName(QDir::tempPath());
    struct stat temporaryStatus;
    QCOMPARE(::stat(temporary.constData(), &temporaryStatus), 0);
    QCOMPARE(::chmod(temporary.constData(), (temporaryStatus.st_mode & 07777) | 0711), 0);
    const Undo restoreTemporary([=] { ::chmod(temporary.constData(), temporaryStatus.st_mode & 07777); });
    QTemporaryDir rootOnly;
    const QString outside = rootOnly.filePath(QStringLiteral("outside"));
    const QString secret = rootOnly.filePath(QStringLiteral("secret"));
    QVERIFY(writeTestFile(outside + QStringLiteral("/c.dll"), "root's c") && writeTestFile(outside + QStringLiteral("/c.dll.old"), "root's old c"));
    QVERIFY(writeTestFile(secret, "root only"));
    QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    QCOMPARE(::chmod(QFile::encodeName(outside).constData(), 0700), 0);
    const QMap<QString, QByteArray> before = entriesBelow(rootOnly.path());
    QTemporaryDir cacheParent;   // root's own cache, out of the other user's reach
    const auto writableInstall = [&] {
        auto sandbox = prepareInstall();
        sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"Cache", cacheParent.filePath(QStringLiteral("cache"))}});
        runCommand("rm", {"-rf", cacheParent.filePath(QStringLiteral("cache"))});
        const QByteArray owner = QByteArray::number(otherUser) + ':' + QByteArray::number(otherUser);
        const bool given = runCommand("chown", {"-R", QString::fromLatin1(owner), sandbox->root()});
        return given ? std::move(sandbox) : nullptr;
    };
    const auto outsideUntouched = [&](const QString &where) {
        QVERIFY2(entriesBelow(rootOnly.path()) == before, qPrintable(QStringLiteral("outside changed: ") + where));
    };
    const auto clearFailure = [](const UpdaterSandbox::Result &result) {
        return result.finished && (result.exitCode == 0 || (result.output.contains(R"("success":false)")
                                                            && !result.output.contains(R"({"errormsg":"","success":false)")));
    };

    // Planted before the run: a link where the release has a folder fails the
    // update before anything is written; one where it has a file is replaced.
    const struct { const char *plant; const char *message; const char *undo; } planted[] = {
        {"mv lib lib.moved && ln -s '{outside}' lib", "安装目录中的lib是链接，无法更新", "rm lib && mv lib.moved lib"},
        {"ln -s '{outside}' new", "安装目录中的new是链接，无法更新", "rm new"},
        {"rm a.dll && ln -s '{secret}' a.dll", nullptr, nullptr},
        {"rm b.dll.old && ln -s '{outside}/c.dll.old' b.dll.old", nullptr, nullptr},
        {"rm update_md5.info && ln -s '{secret}' update_md5.info", nullptr, nullptr},
        {"rm Host.exe && ln -s '{secret}' Host.exe", nullptr, nullptr},
    };
    for (const auto &plant : planted) {
        auto sandbox = writableInstall();
        QVERIFY(sandbox);
        const auto script = [&](const char *text) {
            return QStringLiteral("cd '%1' && %2").arg(sandbox->appDir(), QString::fromUtf8(text))
                    .replace(QLatin1String("{outside}"), outside).replace(QLatin1String("{secret}"), secret);
        };
        QVERIFY(asOtherUser(script(plant.plant)));
        const UpdaterSandbox::Result result = sandbox->run({"console"});
        const QString where = QString::fromUtf8(plant.plant) + QStringLiteral(": ") + QString::fromUtf8(result.output);
        outsideUntouched(where);
        if (plant.message) {
            QVERIFY2(result.output == failureReport(QString::fromUtf8(plant.message)), qPrintable(where));
            QVERIFY(asOtherUser(script(plant.undo)));
            verifyCompletedByNextRun(*sandbox);
        } else {
            QVERIFY2(result.exitCode == 0, qPrintable(where));
            for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
                QVERIFY2(!QFileInfo(sandbox->appDir() + QLatin1Char('/') + it.key()).isSymLink()
                         && sandbox->readFile(QStringLiteral("app/") + it.key()) == it.value(), qPrintable(it.key() + QLatin1Char(' ') + where));
        }
        outsideUntouched(where);
    }

    // Swapped during the run, at each call that reaches into the install tree:
    // a folder of the release, one it adds, or the install folder itself, for a link to outside.
    const QStringList swapped{"lib", "new", ""};
    int swaps = 0;
    for (const QString &call : folderCalls) {
        for (int n = 1;; ++n) {
            auto sandbox = writableInstall();
            QVERIFY(sandbox);
            const QString app = sandbox->appDir();
            const QString log = sandbox->path(QStringLiteral("strace.log"));
            QStringList launcher{"strace", "-f", "-o", log};
            for (const char *below : {"", "/lib", "/new", "/data"})
                launcher << "-P" << app + QLatin1String(below);
            launcher << "-e" << "trace=" + call << "-e" << QStringLiteral("inject=%1:signal=STOP:when=%2").arg(call).arg(n);
            sandbox->setLauncher(launcher);
            const std::unique_ptr<QProcess> updater = sandbox->start({"console"});
            const QRegularExpression stop(QStringLiteral("^(\\d+) +--- stopped by SIGSTOP ---$"), QRegularExpression::MultilineOption);
            QRegularExpressionMatch stopped;
            QElapsedTimer waited;
            waited.start();
            while (updater->state() != QProcess::NotRunning && !(stopped = stop.match(QString::fromUtf8(readTestFile(log)))).hasMatch()
                   && waited.elapsed() < 60000)
                QTest::qWait(10);
            if (!stopped.hasMatch()) {
                const UpdaterSandbox::Result through = UpdaterSandbox::finish(*updater);
                QVERIFY2(through.finished && through.exitCode == 0, qPrintable(QString::fromUtf8(through.output + through.errors)));
                break;
            }
            const QString name = swapped.at(swaps % swapped.size());
            const QString target = name.isEmpty() ? app : app + QLatin1Char('/') + name;
            QVERIFY(asOtherUser(QStringLiteral("{ test ! -e '%1' || mv '%1' '%1.moved'; } && ln -s '%2' '%1'").arg(target, outside)));
            // strace counts calls per thread: each thread's first one stops the
            // process again, and goes on at once.
            const pid_t pid = pid_t(stopped.captured(1).toLongLong());
            ::kill(pid, SIGCONT);
            for (int continued = 1; updater->state() != QProcess::NotRunning && waited.elapsed() < 120000; QTest::qWait(20)) {
                const int stops = int(readTestFile(log).count("--- SIGSTOP {"));
                if (stops > continued) {
                    ::kill(pid, SIGCONT);
                    continued = stops;
                }
            }
            const UpdaterSandbox::Result result = UpdaterSandbox::finish(*updater);
            const QString where = QStringLiteral("stopped at %1 number %2, %3 swapped for a link: %4")
                    .arg(call).arg(n).arg(name.isEmpty() ? QStringLiteral("the install folder") : name, QString::fromUtf8(result.output));
            ++swaps;
            QVERIFY2(clearFailure(result), qPrintable(where));
            outsideUntouched(where);
            // The other user gone, the next run completes.
            QVERIFY(runCommand("sh", {"-c", QStringLiteral("rm '%1' && { test ! -e '%1.moved' || mv '%1.moved' '%1'; }").arg(target)}));
            sandbox->setLauncher({});
            verifyCompletedByNextRun(*sandbox);
            if (QTest::currentTestFailed())
                qWarning("%s", qPrintable(where));
            QVERIFY(!QTest::currentTestFailed());
        }
    }
    qInfo("swapped at %d calls into the install tree, nothing outside touched", swaps);
    QVERIFY(swaps > 0);
#endif
}

void InstallFaultsTest::interruptions_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("a target left set aside by an earlier run") << Fault::TargetLeftAside;
#ifdef Q_OS_WIN
    // Wine refuses, as Windows does, to rename over or remove a running image,
    // and to rename or remove a file held without FILE_SHARE_DELETE.
    QTest::newRow("a running host and a DLL it holds, replaced") << Fault::InUse;
    QTest::newRow("the updater's own Qt DLLs and updater.exe, replaced") << Fault::OwnQtDlls;
    QTest::newRow("the new file held for 2 s, as an antivirus does") << Fault::NewFileHeldForAMoment;
    QTest::newRow("the installed file held for 2 s") << Fault::TargetHeldForAMoment;
    QTest::newRow("the new file held past the patience") << Fault::NewFileHeldTooLong;
    QTest::newRow("a backup still running in a second instance") << Fault::LoadedBackup;
    QTest::newRow("the earlier backup held past the patience") << Fault::BackupHeldTooLong;
    QTest::newRow("links where the release has a folder, and where it adds one") << Fault::LinksInAWritableInstall;
    QTest::newRow("update_md5.info held for 2 s as it is replaced") << Fault::LocalManifestHeldForAMoment;
#else
    QTest::newRow("killed at every rename and link") << Fault::KillAtEverySwap;
    QTest::newRow("cache file that cannot be moved") << Fault::LockedCacheFile;
    QTest::newRow("shared cache swapped by another user") << Fault::SwappedByAnotherUser;
    QTest::newRow("install folder of another user, links planted before and during the run") << Fault::LinksInAWritableInstall;
    QTest::newRow("power cut: every file durable before anything vouches for it") << Fault::PowerCut;
#endif
}

void InstallFaultsTest::interruptions()
{
    QFETCH(Fault, fault);
    if (fault == Fault::TargetLeftAside) {
        // A replacement that could put its target neither in nor back left it as
        // the backup, and said so: the next run puts it back before anything else.
        auto sandbox = prepareInstall();
        QVERIFY(QFile::remove(sandbox->path(QStringLiteral("app/a.dll"))));
        sandbox->writeFile(QStringLiteral("app/a.dll.old"), m_v1.value("a.dll"));
        sandbox->writeFile(QStringLiteral("app/update_restore.info"), "a.dll\n");
        verifyCompletedByNextRun(*sandbox);
        QVERIFY(!QFileInfo::exists(sandbox->path(QStringLiteral("app/update_restore.info"))));
        return;
    }
#ifdef Q_OS_WIN
    windowsFault(fault);
#else

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
    if (fault == Fault::PowerCut) {
        // What strace saw of a real update, and of a real publication: data
        // reaches the disk before update_md5.info, or update.ini, names it.
        const QStringList durability{"strace", "-f", "-y", "-qq", "-e", "trace=write,pwrite64,fsync,fdatasync,syncfs,rename,renameat,renameat2"};
        auto sandbox = prepareInstall();
        const QString log = sandbox->path(QStringLiteral("update.strace"));
        sandbox->setLauncher(durability + QStringList{"-o", log});
        QCOMPARE(sandbox->run({"console"}).exitCode, 0);
        verifyDurableBefore(tracedCalls(readTestFile(log)), QFileInfo(sandbox->root()).canonicalFilePath(), QStringLiteral("update_md5.info"));
        if (QTest::currentTestFailed())
            return;

        QTemporaryDir root;
        for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
            QVERIFY(writeTestFile(root.filePath(QStringLiteral("release/") + it.key()), it.value()));
        const QString site = root.filePath(QStringLiteral("site"));
        QVERIFY(runCommand(durability.first(), durability.mid(1) + QStringList{"-o", root.filePath(QStringLiteral("publish.strace")),
                           QStringLiteral(UPDATE_PUBLISH_EXECUTABLE), "--version", "2", root.filePath(QStringLiteral("release")), site}));
        verifyDurableBefore(tracedCalls(readTestFile(root.filePath(QStringLiteral("publish.strace")))), QFileInfo(site).canonicalFilePath(),
                            QStringLiteral("update.ini"));
        return;
    }
    if (fault == Fault::SwappedByAnotherUser) {
        swapAtEveryFolderCall(QString());
        swapAtEveryFolderCall(QStringLiteral("updater-swap-test"));
        return;
    }
    if (fault == Fault::LinksInAWritableInstall) {
        linksInAWritableInstall();
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
#endif
}

void InstallFaultsTest::fullDisk_data()
{
    QTest::addColumn<Volume>("volume");
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<QByteArray>("failure");   // the failure report expected; empty: any outcome that keeps the rules
    QTest::addColumn<bool>("compressedCopy");  // big.bin is offered compressed: its result is decoded into a mapping

#ifndef Q_OS_WIN   // tmpfs volumes are mounted on Linux
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
#endif
}

void InstallFaultsTest::fullDisk()
{
#ifndef Q_OS_WIN
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
#endif
}

// Version 1 published as folder "app", then version 2 into the same folder on a full site.
void InstallFaultsTest::publishOnFullDisk(qint64 freeBytes)
{
#ifdef Q_OS_WIN
    Q_UNUSED(freeBytes)
#else
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
#endif
}

void InstallFaultsTest::plantedInCache_data()
{
    // big.bin is 2 MiB, so its partial body and side file are kept and looked for.
    QTest::addColumn<QString>("name");   // below the cache folder; "@" stands for big.bin's partial body
    QTest::addColumn<Plant>("plant");
#ifdef Q_OS_WIN
    // Wine takes a junction at a name for what it leads to, in every call: the
    // updater is told which folder stands for one (see plantOnWindows()).
    QTest::newRow("junction in place of the private folder") << ".updater" << Plant::Junction;
    QTest::newRow("junction above the cache, as a redirected profile") << "" << Plant::JunctionAbove;
    QTest::newRow("private folder open to all") << ".updater" << Plant::OpenToAll;
    QTest::newRow("the held private folder renamed from another process") << ".updater" << Plant::RenamedWhileHeld;
    return;
#endif
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
#ifdef Q_OS_WIN
    plantOnWindows(plant);
#else

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
    case Plant::Junction:
    case Plant::JunctionAbove:
    case Plant::RenamedWhileHeld:
        QFAIL("a Windows row");
    }

    // Peak memory in KiB, as the kernel counted it.
    const QString peakFile = sandbox->path(QStringLiteral("peak"));
    sandbox->setLauncher({"/usr/bin/time", "-f", "%M", "-o", peakFile});
    const UpdaterSandbox::Result result = sandbox->run({"console"});
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
#endif
}

#ifdef Q_OS_WIN
void InstallFaultsTest::windowsFault(Fault fault)
{
    if (fault == Fault::LinksInAWritableInstall) {
        // Wine follows a Linux link to a folder as Windows follows a junction.
        for (const QString &name : {QStringLiteral("lib"), QStringLiteral("new")}) {
            auto sandbox = prepareInstall();
            const QString outside = sandbox->path(QStringLiteral("outside"));
            QVERIFY(writeTestFile(outside + QStringLiteral("/c.dll"), "outside's c"));
            const QMap<QString, QByteArray> before = filesBelow(outside);
            const QString link = sandbox->appDir() + QLatin1Char('/') + name;
            if (name == QLatin1String("lib"))
                QVERIFY(QDir().rename(link, link + QStringLiteral(".moved")));
            QVERIFY(makeJunction(link, outside));
            const auto unlink = qScopeGuard([&] { removeJunction(link); });
            const UpdaterSandbox::Result result = sandbox->run({"console"});
            QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(QStringLiteral("安装目录中的%1是链接，无法更新").arg(name))));
            QCOMPARE(filesBelow(outside), before);
            QVERIFY(removeJunction(link));
            if (name == QLatin1String("lib"))
                QVERIFY(QDir().rename(link + QStringLiteral(".moved"), link));
            verifyCompletedByNextRun(*sandbox);
        }
        return;
    }
    // Real programs and DLLs where they are held: the host stand-in and a DLL of the test's own.
    const QByteArray program = readTestFile(QStringLiteral(HOST_STAND_IN_EXECUTABLE));
    const QByteArray dll = readTestFile(QStringLiteral(TEST_DLL));
    QMap<QString, QByteArray> v1 = m_v1;
    QMap<QString, QByteArray> v2 = m_v2;
    v1.insert(QStringLiteral("Host.exe"), program);
    v2.insert(QStringLiteral("Host.exe"), program + "version 2");
    v1.insert(QStringLiteral("a.dll"), dll);
    v2.insert(QStringLiteral("a.dll"), dll + "version 2");
    QStringList qtDlls;
    if (fault == Fault::OwnQtDlls) {
        // A release that changes Qt5Core.dll and updater.exe beside the updater, which loads them itself.
        wchar_t loaded[MAX_PATH];
        GetModuleFileNameW(GetModuleHandleW(L"Qt5Core.dll"), loaded, MAX_PATH);
        const QString qtBin = QFileInfo(QString::fromWCharArray(loaded)).absolutePath();
        qtDlls = QStringList{"Qt5Core.dll", "Qt5Gui.dll", "Qt5Widgets.dll", "Qt5Network.dll"};
        for (const QString &name : qAsConst(qtDlls))
            v1.insert(name, readTestFile(qtBin + QLatin1Char('/') + name));
        v2.insert(QStringLiteral("Qt5Core.dll"), v1.value(QStringLiteral("Qt5Core.dll")) + "version 2");
        v1.insert(QStringLiteral("updater.exe"), readTestFile(QStringLiteral(UPDATER_EXECUTABLE)));
        v2.insert(QStringLiteral("updater.exe"), v1.value(QStringLiteral("updater.exe")) + "version 2");
    }
    for (auto it = v1.cbegin(); it != v1.cend(); ++it) {
        if (!v2.contains(it.key()))
            v2.insert(it.key(), it.value());
    }
    publishVersion2(v2);

    UpdaterSandbox sandbox(QStringLiteral("app"));
    sandbox.writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"Cache", sandbox.path(QStringLiteral("cache"))}});
    for (auto it = v1.cbegin(); it != v1.cend(); ++it)
        QVERIFY(writeTestFile(sandbox.path(QStringLiteral("app/") + it.key()), it.value()));
    sandbox.installHost(QStringLiteral("app/Host.exe"));   // its log only: Host.exe is version 1 already
    QVERIFY(writeTestFile(sandbox.path(QStringLiteral("app/Host.exe")), v1.value(QStringLiteral("Host.exe"))));
    const QString app = sandbox.appDir();
    const QString cached = sandbox.path(QStringLiteral("cache/.updater/files/a.dll"));
    if (fault == Fault::NewFileHeldForAMoment || fault == Fault::NewFileHeldTooLong) {
        // Verified in an earlier attempt: found in the cache, then moved in.
        QVERIFY(QDir().mkpath(sandbox.path(QStringLiteral("cache"))) && PrivateFolder::open(sandbox.path(QStringLiteral("cache"))).isValid());
        QVERIFY(writeTestFile(cached, v2.value(QStringLiteral("a.dll"))));
    }
    if (fault == Fault::LoadedBackup || fault == Fault::BackupHeldTooLong)
        QVERIFY(writeTestFile(app + QStringLiteral("/b.dll.old"), dll));
    if (fault == Fault::LocalManifestHeldForAMoment)
        QVERIFY(writeTestFile(app + QStringLiteral("/update_md5.info"), QByteArray()));

    std::unique_ptr<Holder> holder;
    switch (fault) {
    case Fault::InUse:
        holder = std::make_unique<Holder>(app + QStringLiteral("/Host.exe"), "load " + QFile::encodeName(app) + "/a.dll\n");
        break;
    case Fault::NewFileHeldForAMoment:
    case Fault::NewFileHeldTooLong:
        // Past the patience, the file is held until the run is over, however long it takes.
        holder = std::make_unique<Holder>(sandbox.path(QStringLiteral("holder/antivirus.exe")),
                                          "open " + cached.toUtf8() + (fault == Fault::NewFileHeldTooLong ? "\n" : "\nfor 2000\n"));
        break;
    case Fault::TargetHeldForAMoment:
        holder = std::make_unique<Holder>(sandbox.path(QStringLiteral("holder/indexer.exe")),
                                          "open " + QFile::encodeName(app) + "/a.dll\nfor 2000\n");
        break;
    case Fault::LocalManifestHeldForAMoment:
        holder = std::make_unique<Holder>(sandbox.path(QStringLiteral("holder/indexer.exe")),
                                          "open " + QFile::encodeName(app) + "/update_md5.info\nfor 2000\n");
        break;
    case Fault::BackupHeldTooLong:
        holder = std::make_unique<Holder>(sandbox.path(QStringLiteral("holder/scanner.exe")),
                                          "open " + QFile::encodeName(app) + "/b.dll.old\n");
        break;
    case Fault::LoadedBackup:
        holder = std::make_unique<Holder>(sandbox.path(QStringLiteral("holder/second-instance.exe")),
                                          "load " + QFile::encodeName(app) + "/b.dll.old\n");
        break;
    default:
        break;
    }
    QVERIFY(!holder || holder->isHolding());

    QElapsedTimer timer;
    timer.start();
    const UpdaterSandbox::Result result = sandbox.run({"console"});
    qInfo("the update took %lld ms", timer.elapsed());
    QVERIFY(result.finished);
    if (fault == Fault::NewFileHeldTooLong || fault == Fault::BackupHeldTooLong) {
        // 5 s of patience, then the failure, with nothing lost: every file of a
        // replacement is held before the first rename.
        const bool backup = fault == Fault::BackupHeldTooLong;
        QCOMPARE(result.output, updateDueReport + failureReport(backup ? QStringLiteral("删除文件b.dll.old失败") : QStringLiteral("覆盖文件a.dll失败")));
        QCOMPARE(sandbox.readFile(QStringLiteral("app/a.dll")), (backup ? v2 : v1).value(QStringLiteral("a.dll")));
        QCOMPARE(sandbox.readFile(QStringLiteral("app/b.dll")), v1.value(QStringLiteral("b.dll")));
        holder->release();
        QCOMPARE(sandbox.run({"console"}).exitCode, 0);
        QCOMPARE(sandbox.readFile(QStringLiteral("app/a.dll")), v2.value(QStringLiteral("a.dll")));
        // The host it starts has come and gone before the sandbox goes.
        QTRY_VERIFY_WITH_TIMEOUT(sandbox.hostStarts(0).contains(QStringList({sandbox.updaterPath(), "no_check"})), 30000);
        return;
    }
    QVERIFY2(result.exitCode == 0, result.output.constData());
    QCOMPARE(result.output, updateDueReport);
    for (auto it = v2.cbegin(); it != v2.cend(); ++it) {
        QVERIFY2(sandbox.readFile(QStringLiteral("app/") + it.key()) == it.value(), qPrintable(it.key()));
        if (v1.value(it.key()) != it.value())
            QVERIFY2(sandbox.readFile(QStringLiteral("app/") + it.key() + QStringLiteral(".old")) == v1.value(it.key()),
                     qPrintable(it.key()));
    }
    // The new host started while the old one still runs.
    QTRY_VERIFY_WITH_TIMEOUT(sandbox.hostStarts(0).contains(QStringList({sandbox.updaterPath(), "no_check"})), 30000);
    // What vouches for the installed files is written once nobody holds its name.
    QCOMPARE(sandbox.readFile(QStringLiteral("app/update_md5.info")), m_manifest);
    if (fault == Fault::LoadedBackup) {
        // The running backup went aside under a name of its own, to go at the next restart.
        const QStringList aside = QDir(app).entryList({QStringLiteral("b.dll.old.*.del")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readTestFile(app + QLatin1Char('/') + aside.first()), dll);
    }
}

void InstallFaultsTest::plantOnWindows(Plant plant)
{
    UpdaterSandbox sandbox(QStringLiteral("app"));
    // The cache below a junction, as a redirected profile puts it.
    QString cache = sandbox.path(QStringLiteral("cache"));
    // The link goes before the sandbox, whatever the outcome: the sandbox cannot remove it.
    const auto unlink = qScopeGuard([&] {
        if (plant == Plant::JunctionAbove)
            removeJunction(sandbox.path(QStringLiteral("profile")));
    });
    if (plant == Plant::JunctionAbove) {
        QVERIFY(QDir().mkpath(sandbox.path(QStringLiteral("real/cache"))));
        QVERIFY(makeJunction(sandbox.path(QStringLiteral("profile")), sandbox.path(QStringLiteral("real"))));
        cache = sandbox.path(QStringLiteral("profile/cache"));
    }
    installVersion1(sandbox);
    sandbox.writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"Cache", cache}});
    const QString outside = sandbox.path(QStringLiteral("outside"));
    QVERIFY(writeTestFile(outside + QStringLiteral("/files/a.dll"), m_v2.value("a.dll")));
    const QMap<QString, QByteArray> outsideBefore = filesBelow(outside);
    QVERIFY(QDir().mkpath(cache));
    const QString privateFolder = cache + QStringLiteral("/.updater");
    QProcessEnvironment environment;
    if (plant == Plant::Junction) {
        // A private folder that would pass every check, but stands for a
        // junction: Wine renames and removes what a real link leads to.
        QVERIFY(PrivateFolder::open(cache).isValid());
        QVERIFY(writeTestFile(privateFolder + QStringLiteral("/junction"), "leads outside"));
        QVERIFY(writeTestFile(privateFolder + QStringLiteral("/files/a.dll"), "outside's a.dll"));
        environment.insert(QStringLiteral("UPDATER_TEST_JUNCTION_MARK"), QStringLiteral("junction"));
    }
    if (plant == Plant::OpenToAll) {
        // A folder everyone may change: what it inherits where users may make folders.
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QVERIFY(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        QVERIFY(CreateDirectoryW(QDir::toNativeSeparators(privateFolder).toStdWString().c_str(), &attributes));
        LocalFree(descriptor);
        QVERIFY(!isPrivateToOwner(privateFolder));
    }

    std::unique_ptr<QProcess> updater;
    if (plant == Plant::RenamedWhileHeld) {
        // While a slow file comes, another process tries to take the private folder away.
        TestHttpServer::Response slow;
        slow.body = m_v2.value("a.dll");
        slow.delayMsecs = 3000;
        m_server->setResponse("/up/v2/a.dll", slow);
        updater = sandbox.start({"console"}, QString(), environment);
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requestPaths().contains("/up/v2/a.dll"), 20000);
        const std::wstring from = QDir::toNativeSeparators(privateFolder).toStdWString();
        const std::wstring to = QDir::toNativeSeparators(privateFolder + QStringLiteral(".taken")).toStdWString();
        QVERIFY(!MoveFileExW(from.c_str(), to.c_str(), 0));
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    }
    const UpdaterSandbox::Result result = updater ? UpdaterSandbox::finish(*updater)
                                                  : sandbox.run({"console"}, 120000, QString(), environment);
    QVERIFY2(result.exitCode == 0, result.output.constData());
    for (auto it = m_v2.cbegin(); it != m_v2.cend(); ++it)
        QCOMPARE(sandbox.readFile(QStringLiteral("app/") + it.key()), it.value());
    QCOMPARE(filesBelow(outside), outsideBefore);
    // A real folder, its DACL its own: nothing inherited, nobody but the user, Administrators, SYSTEM.
    const DWORD attributes = attributesOf(privateFolder);
    QVERIFY(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
            && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
    QVERIFY(isPrivateToOwner(privateFolder));
    if (plant == Plant::Junction) {
        // The junction was neither followed nor emptied: set aside as it was.
        QVERIFY(!QFileInfo::exists(privateFolder + QStringLiteral("/junction")));
        const QStringList aside = QDir(cache).entryList({QStringLiteral(".updater.*.foreign")}, QDir::Dirs | QDir::Hidden);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readTestFile(cache + QLatin1Char('/') + aside.first() + QStringLiteral("/files/a.dll")), QByteArray("outside's a.dll"));
    }
}
#endif

QTEST_GUILESS_MAIN(InstallFaultsTest)
#include "tst_installfaults.moc"
