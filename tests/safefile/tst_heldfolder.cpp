#include "atomicfile.h"
#include "heldfolder.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

Q_DECLARE_METATYPE(HeldFolder::Kind)

// A held folder driven alone, with whatever another user could plant at a
// name: what stands there is seen for what it is, never followed, and nothing
// outside the folder is read, written or removed through it.
class HeldFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void plantedEntry_data();
    void plantedEntry();
};

void HeldFolderTest::plantedEntry_data()
{
    QTest::addColumn<QString>("planted");   // what stands at "x" in the held folder
    QTest::addColumn<HeldFolder::Kind>("kind");
    QTest::addColumn<bool>("opens");        // as a regular file of the updater's user
    QTest::addColumn<bool>("replaced");     // by a file written atomically

    QTest::newRow("nothing") << "missing" << HeldFolder::Kind::Missing << false << true;
    QTest::newRow("a file") << "file" << HeldFolder::Kind::File << true << true;
    QTest::newRow("a folder") << "folder" << HeldFolder::Kind::Folder << false << false;
    QTest::newRow("a link to a file outside") << "link to file" << HeldFolder::Kind::Link << false << true;
    QTest::newRow("a link to a folder outside") << "link to folder" << HeldFolder::Kind::Link << false << true;
    QTest::newRow("a FIFO") << "fifo" << HeldFolder::Kind::Other << false << true;
    QTest::newRow("a link to an endless device") << "link to device" << HeldFolder::Kind::Link << false << true;
}

void HeldFolderTest::plantedEntry()
{
    QFETCH(QString, planted);
    QFETCH(HeldFolder::Kind, kind);
    QFETCH(bool, opens);
    QFETCH(bool, replaced);

    QTemporaryDir dir;
    const QString outsideFile = dir.filePath(QStringLiteral("outside/secret"));
    QVERIFY(writeTestFile(outsideFile, "outside"));
    const QString at = dir.filePath(QStringLiteral("held/x"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("held"))));
#ifdef Q_OS_WIN
    if (planted.startsWith(QLatin1String("link")) || planted == QLatin1String("fifo"))
        QSKIP("links and FIFOs are made by the Windows rows of the install faults");
#else
    if (planted == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(at).constData(), 0600), 0);
    else if (planted.startsWith(QLatin1String("link")))
        QVERIFY(QFile::link(planted.endsWith(QLatin1String("file")) ? outsideFile
                            : planted.endsWith(QLatin1String("folder")) ? QFileInfo(outsideFile).absolutePath()
                                                                        : QStringLiteral("/dev/zero"), at));
#endif
    if (planted == QLatin1String("file"))
        QVERIFY(writeTestFile(at, "inside"));
    else if (planted == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(at));

    const HeldFolder held = HeldFolder::open(dir.filePath(QStringLiteral("held")));
    QVERIFY(held.isValid());
    QCOMPARE(held.kindOf(QStringLiteral("x")), kind);
    QFile file;
    QCOMPARE(held.openFile(file, QStringLiteral("x"), QIODevice::ReadOnly), opens);
    if (opens)
        QCOMPARE(file.readAll(), QByteArray("inside"));
    file.close();
    QCOMPARE(held.folder(QStringLiteral("x")).isValid(), planted == QLatin1String("folder"));

    QString error;
    QCOMPARE(writeFileAtomically(held, QStringLiteral("x"), "written", &error), replaced);
    QCOMPARE(readTestFile(at), replaced ? QByteArray("written") : QByteArray("<missing>"));
    QVERIFY2(held.remove(QStringLiteral("x")), qPrintable(held.errorString()));
    QCOMPARE(held.kindOf(QStringLiteral("x")), HeldFolder::Kind::Missing);
    QCOMPARE(readTestFile(outsideFile), QByteArray("outside"));
    // What failed left nothing of its own beside the name.
    QCOMPARE(held.entries(), QStringList());
}

QTEST_GUILESS_MAIN(HeldFolderTest)
#include "tst_heldfolder.moc"
