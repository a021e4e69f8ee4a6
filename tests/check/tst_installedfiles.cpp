#include "installedfiles.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {
const QByteArray digestA("0123456789abcdef0123456789abcdef");
}

class InstalledFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
    void updateListOrder();
    void sameChangesWithAnyWorkerCount_data();
    void sameChangesWithAnyWorkerCount();
};

void InstalledFilesTest::compare_data()
{
    QTest::addColumn<QByteArray>("localManifest");   // empty: none; "<fifo>", "<zero>": no regular file
    QTest::addColumn<bool>("fileOnDisk");            // a.dll holds "abc" when true
    QTest::addColumn<QByteArray>("remoteDigest");
    QTest::addColumn<bool>("listed");

    const QByteArray abc = md5Text("abc");
    QTest::newRow("no local manifest, file current") << QByteArray() << true << abc << false;
    QTest::newRow("no local manifest, file missing") << QByteArray() << false << abc << true;
    QTest::newRow("no local manifest, file differs") << QByteArray() << true << md5Text("abd") << true;
    QTest::newRow("uppercase digest never matches") << QByteArray() << true << abc.toUpper() << true;
    QTest::newRow("same digest trusted although missing") << rawManifestLine(abc, "0", "a.dll") << false << abc << false;
    QTest::newRow("different digest, file already current") << rawManifestLine(md5Text("old"), "0", "a.dll") << true << abc << false;
    QTest::newRow("different digest, file missing") << rawManifestLine(md5Text("old"), "0", "a.dll") << false << abc << true;
    QTest::newRow("local manifest without the path") << rawManifestLine(abc, "0", "other.dll") << false << abc << true;
    QTest::newRow("local manifest path differs in case") << rawManifestLine(abc, "0", "A.dll") << true << abc << false;
    QTest::newRow("local manifest a FIFO, never waited on") << QByteArray("<fifo>") << true << md5Text("abd") << true;
    QTest::newRow("local manifest a link to an endless device") << QByteArray("<zero>") << true << abc << false;
}

void InstalledFilesTest::compare()
{
    QFETCH(QByteArray, localManifest);
    QFETCH(bool, fileOnDisk);
    QFETCH(QByteArray, remoteDigest);
    QFETCH(bool, listed);

    QTemporaryDir dir;
    const QString localPath = dir.filePath(QStringLiteral("update_md5.info"));
#ifdef Q_OS_WIN
    if (localManifest.startsWith('<'))
        QSKIP("Windows folders hold no FIFOs or links to devices");
#else
    if (localManifest == "<fifo>")
        QCOMPARE(::mkfifo(QFile::encodeName(localPath).constData(), 0600), 0);
    else if (localManifest == "<zero>")
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), localPath));
    else
#endif
    if (!localManifest.isEmpty())
        QVERIFY(writeTestFile(localPath, localManifest));
    if (fileOnDisk)
        QVERIFY(writeTestFile(dir.filePath(QStringLiteral("a.dll")), "abc"));

    const ManifestMap remote = parseManifest(rawManifestLine(remoteDigest, "0000000300000000", "a.dll"));
    const ManifestMap changes = compareManifest(remote, HeldFolder::open(dir.path()));
    QCOMPARE(changes.contains(QStringLiteral("a.dll")), listed);
    if (listed) {
        QCOMPARE(changes.value(QStringLiteral("a.dll")).md5, remoteDigest);
        QCOMPARE(changes.value(QStringLiteral("a.dll")).size, quint64(3));
    }
}

void InstalledFilesTest::updateListOrder()
{
    QTemporaryDir dir;
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("current.dll")), "abc"));
    const QByteArray text = rawManifestLine(digestA, "0", "b.dll") + rawManifestLine(digestA, "0", "A.dll")
            + rawManifestLine(md5Text("abc"), "0", "current.dll") + rawManifestLine(digestA, "0", "a\\x.dll");
    const ManifestMap changes = compareManifest(parseManifest(text), HeldFolder::open(dir.path()));
    QStringList order;
    for (const ManifestEntry &entry : changes.values())
        order << entry.path;
    QCOMPARE(order, (QStringList{"A.dll", "a/x.dll", "b.dll"}));
    QVERIFY(compareManifest(ManifestMap(), HeldFolder::open(dir.path())).isEmpty());
}

void InstalledFilesTest::sameChangesWithAnyWorkerCount_data()
{
    QTest::addColumn<int>("workers");
    QTest::newRow("one worker") << 1;
    QTest::newRow("two workers") << 2;
    QTest::newRow("eight workers") << 8;
}

void InstalledFilesTest::sameChangesWithAnyWorkerCount()
{
    QFETCH(int, workers);
    // Current, changed, missing and unreadable files, and directories, FIFOs and
    // links to an endless device in place of files (none may be waited on),
    // interleaved in path order so that every worker meets each kind.
    QTemporaryDir dir;
    QByteArray text;
    QStringList expected;
    for (int i = 0; i < 200; ++i) {
        const QString path = QStringLiteral("d%1/f%2.bin").arg(i % 5).arg(i, 3, 10, QLatin1Char('0'));
        const QByteArray bytes = QByteArray::number(i).repeated(1000 + i);
        const QString full = dir.filePath(path);
        QVERIFY(QDir().mkpath(QFileInfo(full).absolutePath()));
        switch (i % 7) {
        case 0: QVERIFY(writeTestFile(full, bytes)); break;
        case 1: QVERIFY(writeTestFile(full, bytes + "changed")); break;
        case 2: break;
        case 4: QVERIFY(QDir().mkpath(full)); break;
#ifdef Q_OS_WIN
        // Windows folders hold no FIFOs and links to devices: those files are missing.
        case 3: case 5: case 6: break;
#else
        case 3: QVERIFY(QFile::link(full, full)); break;
        case 5: QCOMPARE(::mkfifo(QFile::encodeName(full).constData(), 0600), 0); break;
        case 6: QVERIFY(QFile::link(QStringLiteral("/dev/zero"), full)); break;
#endif
        }
        text += rawManifestLine(md5Text(bytes), "0", path.toUtf8());
        if (i % 7 != 0)
            expected << path + QStringLiteral("|0|") + QString::fromLatin1(md5Text(bytes));
    }
    expected.sort();

    QThreadPool *pool = QThreadPool::globalInstance();
    const int savedWorkers = pool->maxThreadCount();
    pool->setMaxThreadCount(workers);
    const ManifestMap changes = compareManifest(parseManifest(text), HeldFolder::open(dir.path()));
    pool->setMaxThreadCount(savedWorkers);
    QCOMPARE(describeManifest(changes), expected);
}

QTEST_GUILESS_MAIN(InstalledFilesTest)
#include "tst_installedfiles.moc"
