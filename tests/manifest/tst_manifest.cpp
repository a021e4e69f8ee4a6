#include "manifest.h"
#include "updatedescription.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray digestA("0123456789abcdef0123456789abcdef");
const QByteArray digestB("fedcba9876543210fedcba9876543210");

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
    void stageShares();
};

void ManifestTest::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("CR LF, backslashes, leading backslash")
            << QByteArray(digestA + "\t000004d200000000\t\\bin\\a.dll\r\n")
            << QStringList{"bin/a.dll|1234|" + QString(digestA)};
    QTest::newRow("size halves exchanged")
            << rawManifestLine(digestA, "4d2", "big.bin") << QStringList{"big.bin|" + QString::number(1234ULL << 32) + "|" + QString(digestA)};
    QTest::newRow("unreadable size is 0")
            << rawManifestLine(digestA, "zz", "a.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("one leading slash removed")
            << rawManifestLine(digestA, "0", "/a.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("no line end on the last line")
            << QByteArray(digestA + "\t0\ta.dll") << QStringList{"a.dll|0|" + QString(digestA)};
    QTest::newRow("second CR stays in the path")
            << QByteArray(digestA + "\t0\ta.dll\r\r\n") << QStringList{"a.dll\r|0|" + QString(digestA)};
    QTest::newRow("trailing TAB and two fields skipped")
            << QByteArray(rawManifestLine(digestA, "0", "a.dll\t") + digestA + "\ta.dll\n" + rawManifestLine(digestB, "0", "b.dll"))
            << QStringList{"b.dll|0|" + QString(digestB)};
    QTest::newRow("spaces are kept")
            << rawManifestLine(" " + digestA, "0", "a b.dll ") << QStringList{"a b.dll |0| " + QString(digestA)};
    QTest::newRow("later duplicate wins")
            << QByteArray(rawManifestLine(digestA, "1", "a.dll") + rawManifestLine(digestB, "2", "a.dll"))
            << QStringList{"a.dll|" + QString::number(2ULL << 32) + "|" + QString(digestB)};
    QTest::newRow("keys are case-sensitive")
            << QByteArray(rawManifestLine(digestA, "0", "Bin/a.dll") + rawManifestLine(digestB, "0", "bin/a.dll"))
            << QStringList{"Bin/a.dll|0|" + QString(digestA), "bin/a.dll|0|" + QString(digestB)};
    QTest::newRow("byte-order mark stays in the first digest")
            << QByteArray("\xEF\xBB\xBF" + rawManifestLine(digestA, "0", "a.dll"))
            << QStringList{QString::fromLatin1("a.dll|0|\xEF\xBB\xBF" + digestA)};
    QTest::newRow("empty file") << QByteArray() << QStringList();
    QTest::newRow("only blank lines") << QByteArray("\n\r\n\n") << QStringList();
}

void ManifestTest::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, entries);
    QCOMPARE(describeManifest(parseManifest(text)), entries);
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
    ManifestMap manifest = parseManifest(rawManifestLine(digestA, "000004d200000000", "a.dll") + rawManifestLine(digestB, "0", "sub/b.dll"));
    const ManifestMap before = manifest;
    QString found;
    QCOMPARE(applySha256List(manifest, list, &found), problem.isEmpty());
    QCOMPARE(found, problem);
    QCOMPARE(manifest.value(QStringLiteral("a.dll")).sha256, problem.isEmpty() ? QByteArray(64, 'a') : QByteArray());
    QCOMPARE(manifest.value(QStringLiteral("sub/b.dll")).sha256, problem.isEmpty() ? QByteArray(64, 'b') : QByteArray());
    QCOMPARE(describeManifest(manifest), describeManifest(before));
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
    const QByteArray text = rawManifestLine(digestA, "0", "first.dll") + rawManifestLine(digestB, "0", path)
            + rawManifestLine(digestA, "0", "sub/..name/last.dll");
    QCOMPARE(describeManifest(parseManifest(text)),
             (QStringList{"first.dll|0|" + QString(digestA), "sub/..name/last.dll|0|" + QString(digestA)}));
}

void ManifestTest::stageShares()
{
    // 10,000 installs, their ids planted: who is in stays in as the share grows,
    // and the next release draws its stage anew.
    int inAtTen = 0;
    int inForTheNext = 0;
    for (int i = 0; i < 10000; ++i) {
        const QByteArray id = QCryptographicHash::hash("install " + QByteArray::number(i), QCryptographicHash::Md5);
        QVERIFY(!UpdateDescription::isInStage(id, QStringLiteral("2.1"), 0));
        QVERIFY(UpdateDescription::isInStage(id, QStringLiteral("2.1"), 100));
        if (!UpdateDescription::isInStage(id, QStringLiteral("2.1"), 10))
            continue;
        ++inAtTen;
        QVERIFY(UpdateDescription::isInStage(id, QStringLiteral("2.1"), 50));
        inForTheNext += UpdateDescription::isInStage(id, QStringLiteral("2.2"), 10) ? 1 : 0;
    }
    qInfo("at 10 %%: %d of 10,000 in; %d of them in at 10 %% for the next release", inAtTen, inForTheNext);
    QVERIFY(inAtTen >= 900 && inAtTen <= 1100);
    QVERIFY(inForTheNext >= inAtTen * 8 / 100 && inForTheNext <= inAtTen * 12 / 100);

    // The stage goes through update.ini's text and back; the live release stays what it was.
    UpdateDescription description;
    description.folder = QStringLiteral("2.0");
    description.manifestSize = 10;
    description.manifestSha256 = QByteArray(64, 'a');
    UpdateDescription next = description;
    next.folder = QStringLiteral("2.1");
    next.version = QStringLiteral("2.1 beta");
    next.manifestSha256 = QByteArray(64, 'b');
    description.stageRelease(next, 10);
    QTemporaryDir dir;
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("update.ini")), description.text()));
    const UpdateDescription read = UpdateDescription::fromFile(dir.filePath(QStringLiteral("update.ini")));
    QCOMPARE(read.text(), description.text());
    QCOMPARE(read.folder, QStringLiteral("2.0"));
    QCOMPARE(read.stage.share, 10);
    QCOMPARE(read.staged().text(), next.text());
    // A share that does not read as 0 to 100 halts the stage.
    QVERIFY(writeTestFile(dir.filePath(QStringLiteral("update.ini")), QByteArray(description.text()).replace("Share=10", "Share=150")));
    QCOMPARE(UpdateDescription::fromFile(dir.filePath(QStringLiteral("update.ini"))).stage.share, 0);
}

QTEST_GUILESS_MAIN(ManifestTest)
#include "tst_manifest.moc"
