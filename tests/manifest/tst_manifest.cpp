#include "filehash.h"
#include "manifest.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

const QByteArray digestA("0123456789abcdef0123456789abcdef");
const QByteArray digestB("fedcba9876543210fedcba9876543210");

// One entry as "path|size|md5", so expected maps read as plain lists.
QStringList describe(const ManifestMap &map)
{
    QStringList lines;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.key() != it->path)
            lines << QStringLiteral("key mismatch: ") + it.key();
        lines << it->path + QLatin1Char('|') + QString::number(it->size) + QLatin1Char('|')
                        + QString::fromLatin1(it->md5);
    }
    return lines;
}

QByteArray line(const QByteArray &md5, const QByteArray &size, const QByteArray &path)
{
    return md5 + '\t' + size + '\t' + path + '\n';
}

}

class ManifestTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void unsafePathsDropped_data();
    void unsafePathsDropped();
    void sha256List_data();
    void sha256List();
    void compare_data();
    void compare();
    void updateListOrder();
    void sameChangesWithAnyWorkerCount_data();
    void sameChangesWithAnyWorkerCount();
};

void ManifestTest::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("CR LF, backslashes, leading backslash")
            << QByteArray(digestA + "\t000004d200000000\t\\bin\\a.dll\r\n")
            << QStringList{"bin/a.dll|1234|" + QString(digestA)};
    QTest::newRow("size halves exchanged")
            << line(digestA, "4d2", "big.bin") << QStringList{"big.bin|" + QString::number(1234ULL << 32) + "|" + QString(digestA)};
    QTest::newRow("unreadable size is 0")
            << line(digestA, "zz", "a.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("one leading slash removed")
            << line(digestA, "0", "/a.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("no line end on the last line")
            << QByteArray(digestA + "\t0\ta.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("second CR stays in the path")
            << QByteArray(digestA + "\t0\ta.dll\r\r\n") << QStringList{"a.dll\r|0|" + QString(digestA)};
    QTest::newRow("trailing TAB and two fields skipped")
            << QByteArray(line(digestA, "0", "a.dll\t") + digestA + "\ta.dll\n" + line(digestB, "0", "b.dll"))
            << QStringList{"b.dll|0|" + QString(digestB)};
    QTest::newRow("spaces are kept")
            << line(" " + digestA, "0", "a b.dll ") << QStringList{"a b.dll |0| " + QString(digestA)};
    QTest::newRow("later duplicate wins")
            << QByteArray(line(digestA, "1", "a.dll") + line(digestB, "2", "a.dll"))
            << QStringList{"a.dll|" + QString::number(2ULL << 32) + "|" + QString(digestB)};
    QTest::newRow("keys are case-sensitive")
            << QByteArray(line(digestA, "0", "Bin/a.dll") + line(digestB, "0", "bin/a.dll"))
            << QStringList{"Bin/a.dll|0|" + QString(digestA), "bin/a.dll|0|" + QString(digestB)};
    QTest::newRow("byte-order mark stays in the first digest")
            << QByteArray("\xEF\xBB\xBF" + line(digestA, "0", "a.dll"))
            << QStringList{QString::fromLatin1("a.dll|0|\xEF\xBB\xBF" + digestA)};
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("only blank lines") << QByteArray("\n\r\n\n") << QStringList();
}

void ManifestTest::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, entries);
    QCOMPARE(describe(parseManifest(text)), entries);
}

void ManifestTest::sha256List_data()
{
    // md5.txt lists a.dll (1234 bytes) and sub/b.dll (0 bytes).
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("problem");   // empty: every entry takes its SHA-256
    const QByteArray a(64, 'a');
    const QByteArray b(64, 'b');
    const QByteArray whole = a + "\t1234\ta.dll\n" + b + "\t0\tsub/b.dll\n";
    QTest::newRow("as published") << whole << QString();
    QTest::newRow("CR LF, backslashes, unsafe paths skipped")
            << QByteArray(a + "\t1234\ta.dll\r\n" + b + "\t0\tsub\\b.dll\r\n" + a + "\t1\t../x\n") << QString();
    QTest::newRow("a line dropped") << QByteArray(a + "\t1234\ta.dll\n") << "sha256.txt does not list sub/b.dll";
    QTest::newRow("a path md5.txt does not list") << QByteArray(whole + a + "\t1\tc.dll\n") << "sha256.txt lists c.dll otherwise than md5.txt";
    QTest::newRow("another size") << QByteArray(a + "\t1235\ta.dll\n" + b + "\t0\tsub/b.dll\n") << "sha256.txt lists a.dll otherwise than md5.txt";
    QTest::newRow("a path twice") << QByteArray(whole + b + "\t0\tsub/b.dll\n") << "sha256.txt lists sub/b.dll otherwise than md5.txt";
    QTest::newRow("upper-case digest") << QByteArray(a.toUpper() + "\t1234\ta.dll\n" + b + "\t0\tsub/b.dll\n") << "line 1 of sha256.txt is not a digest, a size and a path";
    QTest::newRow("short digest") << QByteArray(whole + "abc\t1\tc.dll\n") << "line 3 of sha256.txt is not a digest, a size and a path";
    QTest::newRow("blank line inside") << QByteArray(a + "\t1234\ta.dll\n\n" + b + "\t0\tsub/b.dll\n") << "line 2 of sha256.txt is not a digest, a size and a path";
    QTest::newRow("empty list") << QByteArray() << "sha256.txt does not list a.dll";
}

void ManifestTest::sha256List()
{
    QFETCH(QByteArray, list);
    QFETCH(QString, problem);
    ManifestMap manifest = parseManifest(line(digestA, "000004d200000000", "a.dll") + line(digestB, "0", "sub/b.dll"));
    const ManifestMap before = manifest;
    QString found;
    QCOMPARE(applySha256List(manifest, list, &found), problem.isEmpty());
    QCOMPARE(found, problem);
    QCOMPARE(manifest.value(QStringLiteral("a.dll")).sha256, problem.isEmpty() ? QByteArray(64, 'a') : QByteArray());
    QCOMPARE(manifest.value(QStringLiteral("sub/b.dll")).sha256, problem.isEmpty() ? QByteArray(64, 'b') : QByteArray());
    QCOMPARE(describe(manifest), describe(before));
    if (problem.isEmpty())
        QCOMPARE(formatSha256Line(manifest.value(QStringLiteral("a.dll")), "a.dll"), QByteArray(64, 'a') + "\t1234\ta.dll\n");
}

void ManifestTest::unsafePathsDropped_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("only a slash") << QByteArray("/");
    QTest::newRow("two leading slashes") << QByteArray("//etc/passwd");
    QTest::newRow("two leading backslashes") << QByteArray("\\\\server\\share\\a.dll");
    QTest::newRow("drive letter") << QByteArray("C:\\Windows\\a.dll");
    QTest::newRow("relative drive") << QByteArray("C:a.dll");
    QTest::newRow("alternate data stream") << QByteArray("a.dll:stream");
    QTest::newRow("device") << QByteArray("NUL:");
    QTest::newRow("parent segment") << QByteArray("../a.dll");
    QTest::newRow("parent segment inside") << QByteArray("bin/../../a.dll");
    QTest::newRow("parent segment with backslashes") << QByteArray("bin\\..\\..\\a.dll");
    QTest::newRow("parent segment at the end") << QByteArray("bin/..");
    QTest::newRow("three dots") << QByteArray("bin/.../a.dll");
    QTest::newRow("dots and a space") << QByteArray("bin/.. /a.dll");
    QTest::newRow("the folder itself") << QByteArray(".");
    QTest::newRow("the folder itself, backslash") << QByteArray("\\.");
    QTest::newRow("dot segment first") << QByteArray("./a.dll");
    QTest::newRow("dot segment inside") << QByteArray("bin/./a.dll");
    QTest::newRow("dot segment at the end") << QByteArray("bin/.");
    QTest::newRow("dot and a space") << QByteArray("bin/. /a.dll");
    QTest::newRow("NUL byte") << QByteArray("a.dll\0/x", 8);
}

void ManifestTest::unsafePathsDropped()
{
    QFETCH(QByteArray, path);
    const QByteArray text = line(digestA, "0", "first.dll") + line(digestB, "0", path)
            + line(digestA, "0", "sub/..name/last.dll");
    QCOMPARE(describe(parseManifest(text)),
             (QStringList{"first.dll|0|" + QString(digestA), "sub/..name/last.dll|0|" + QString(digestA)}));
}

void ManifestTest::compare_data()
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
    QTest::newRow("same digest trusted although missing") << line(abc, "0", "a.dll") << false << abc << false;
    QTest::newRow("different digest, file already current") << line(md5Text("old"), "0", "a.dll") << true << abc << false;
    QTest::newRow("different digest, file missing") << line(md5Text("old"), "0", "a.dll") << false << abc << true;
    QTest::newRow("local manifest without the path") << line(abc, "0", "other.dll") << false << abc << true;
    QTest::newRow("local manifest path differs in case") << line(abc, "0", "A.dll") << true << abc << false;
    QTest::newRow("local manifest a FIFO, never waited on") << QByteArray("<fifo>") << true << md5Text("abd") << true;
    QTest::newRow("local manifest a link to an endless device") << QByteArray("<zero>") << true << abc << false;
}

void ManifestTest::compare()
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

    const ManifestMap remote = parseManifest(line(remoteDigest, "0000000300000000", "a.dll"));
    const ManifestMap changes = compareManifest(remote, HeldFolder::open(dir.path()));
    QCOMPARE(changes.contains(QStringLiteral("a.dll")), listed);
    if (listed) {
        QCOMPARE(changes.value(QStringLiteral("a.dll")).md5, remoteDigest);
        QCOMPARE(changes.value(QStringLiteral("a.dll")).size, quint64(3));
    }
}

void ManifestTest::updateListOrder()
{
    QTemporaryDir dir;
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("current.dll")), "abc"));
    const QByteArray text = line(digestA, "0", "b.dll") + line(digestA, "0", "A.dll")
            + line(md5Text("abc"), "0", "current.dll") + line(digestA, "0", "a\\x.dll");
    const ManifestMap changes = compareManifest(parseManifest(text), HeldFolder::open(dir.path()));
    QStringList order;
    for (const ManifestEntry &entry : changes.values())
        order << entry.path;
    QCOMPARE(order, (QStringList{"A.dll", "a/x.dll", "b.dll"}));
    QVERIFY(compareManifest(ManifestMap(), HeldFolder::open(dir.path())).isEmpty());
}

void ManifestTest::sameChangesWithAnyWorkerCount_data()
{
    QTest::addColumn<int>("workers");
    QTest::newRow("one worker") << 1;
    QTest::newRow("two workers") << 2;
    QTest::newRow("eight workers") << 8;
}

void ManifestTest::sameChangesWithAnyWorkerCount()
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
        text += line(md5Text(bytes), "0", path.toUtf8());
        if (i % 7 != 0)
            expected << path + QStringLiteral("|0|") + QString::fromLatin1(md5Text(bytes));
    }
    expected.sort();

    QThreadPool *pool = QThreadPool::globalInstance();
    const int savedWorkers = pool->maxThreadCount();
    pool->setMaxThreadCount(workers);
    const ManifestMap changes = compareManifest(parseManifest(text), HeldFolder::open(dir.path()));
    pool->setMaxThreadCount(savedWorkers);
    QCOMPARE(describe(changes), expected);
}

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
