#include "filehash.h"
#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

class FileHashTest : public QObject
{
    Q_OBJECT

private slots:
    void digestText_data();
    void digestText();
    void fileMd5Equals_data();
    void fileMd5Equals();
    void chunkedHashMatchesWholeBuffer();
    void resultsWaitForEveryFile();
};

void FileHashTest::digestText_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("usualHex");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72")
                         << QByteArray("98500190b04fd23c7d3f96d6727fe128");
    QTest::newRow("empty") << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e")
                           << QByteArray("d98c1dd404b2008f980980e97e42f8ec");
}

void FileHashTest::digestText()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, usualHex);
    QFETCH(QByteArray, expected);
    QCOMPARE(QCryptographicHash::hash(input, QCryptographicHash::Md5).toHex(), usualHex);
    QCOMPARE(md5Text(input), expected);
}

void FileHashTest::fileMd5Equals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<bool>("equal");

    const QByteArray abcText("98500190b04fd23c7d3f96d6727fe128");
    QTest::newRow("matching") << "a.txt" << QByteArray("abc") << abcText << true;
    QTest::newRow("empty file") << "empty" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << true;
    QTest::newRow("usual hexadecimal form") << "a.txt" << QByteArray("abc")
                                            << QByteArray("900150983cd24fb0d6963f7d28e17f72") << false;
    QTest::newRow("uppercase") << "a.txt" << QByteArray("abc") << abcText.toUpper() << false;
    QTest::newRow("trailing CR") << "a.txt" << QByteArray("abc") << abcText + '\r' << false;
    QTest::newRow("missing file") << "" << QByteArray() << abcText << false;
    QTest::newRow("directory") << "dir/" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << false;
    QTest::newRow("FIFO, never waited on") << "fifo|" << QByteArray() << QByteArray("d98c1dd404b2008f980980e97e42f8ec") << false;
}

void FileHashTest::fileMd5Equals()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, md5);
    QFETCH(bool, equal);

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("missing"));
    if (name.endsWith(QLatin1Char('/'))) {
        path = dir.filePath(name);
        QVERIFY(QDir().mkpath(path));
    } else if (name.endsWith(QLatin1Char('|'))) {
#ifdef Q_OS_WIN
        QSKIP("Windows folders hold no FIFOs");
#else
        path = dir.filePath(name.chopped(1));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#endif
    } else if (!name.isEmpty()) {
        path = dir.filePath(name);
        QVERIFY(writeTestFile(path, content));
    }
    QCOMPARE(::fileMd5Equals(path, md5), equal);
    QCOMPARE(filesMatch({fileCheck(path, md5)}), QVector<bool>{equal});
}

void FileHashTest::chunkedHashMatchesWholeBuffer()
{
    // Several read chunks and every length of the last block's tail, hashed one
    // by one and all at once (files of unlike length sharing the vector lanes):
    // each file's digest text must be that of its bytes in one buffer.
    QByteArray content;
    for (int i = 0; i < 2500000; ++i)
        content.append(char(i * 7 + i / 13));
    QVector<int> lengths;
    for (int length = 0; length <= 130; ++length)
        lengths << length;
    constexpr int mebibyte = 1024 * 1024;
    lengths << 300000 << mebibyte - 1 << mebibyte << mebibyte + 1 << 2 * mebibyte + 65 << content.size();

    QTemporaryDir dir;
    QVector<FileCheck> checks;
    for (const int length : lengths) {
        const QString path = dir.filePath(QString::number(length));
        QVERIFY(writeTestFile(path, content.left(length)));
        checks << fileCheck(path, md5Text(content.left(length)), quint64(length));
    }
    const QString big = dir.filePath(QString::number(content.size()));
    QVERIFY(::fileMd5Equals(big, md5Text(content)));
    QVERIFY(!::fileMd5Equals(big, md5Text(content.left(content.size() - 1))));
    QCOMPARE(filesMatch({checks.last()}), QVector<bool>{true});

    checks << fileCheck(big, md5Text(content.left(content.size() - 1)));
    QVector<bool> expected(checks.size(), true);
    expected.last() = false;
    QCOMPARE(filesMatch(checks), expected);

    // Every other file checked by its SHA-256 too, read once for both: the last
    // of them with a SHA-256 of other bytes fails, its digest text notwithstanding.
    for (int i = 0; i < lengths.size(); i += 2)
        checks[i].sha256 = QCryptographicHash::hash(content.left(lengths.at(i)), QCryptographicHash::Sha256).toHex();
    checks.last() = fileCheck(big, md5Text(content), 0, QCryptographicHash::hash("other", QCryptographicHash::Sha256).toHex());
    QCOMPARE(filesMatch(checks), expected);
    QCOMPARE(fileDigests(big, true).sha256, QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QCOMPARE(fileDigests(big, false).md5, md5Text(content));
    QVERIFY(fileDigests(big, false).sha256.isEmpty());
}

void FileHashTest::resultsWaitForEveryFile()
{
    // The event loop that waits for the workers ends early when its thread is told
    // to quit (here before the hashing starts); the results must still be whole.
    QTemporaryDir dir;
    QVector<FileCheck> checks;
    for (int i = 0; i < 64; ++i) {
        const QByteArray bytes = QByteArray::number(i).repeated(20000);
        const QString path = dir.filePath(QString::number(i));
        QVERIFY(writeTestFile(path, bytes));
        checks << fileCheck(path, md5Text(bytes), quint64(bytes.size()));
    }
    QVector<bool> results;
    const std::unique_ptr<QThread> thread(QThread::create([&checks, &results] { results = filesMatch(checks); }));
    connect(thread.get(), &QThread::started, thread.get(), [&thread] { thread->quit(); }, Qt::DirectConnection);
    thread->start();
    QVERIFY(thread->wait(20000));
    QCOMPARE(results, QVector<bool>(checks.size(), true));
}

QTEST_GUILESS_MAIN(FileHashTest)
#include "tst_filehash.moc"
