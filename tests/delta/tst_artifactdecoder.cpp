#include "artifactdecoder.h"
#include "artifactmaker.h"
#include "hostilepatch.h"
#include "patchformat.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTest>

// Decoding driven alone, on the caller's buffers: a good artifact gives exactly
// its file, anything else is refused (or gives other bytes, which the caller's
// digest finds) in a time bounded by the result.
class ArtifactDecoderTest : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
};

void ArtifactDecoderTest::decode_data()
{
    QTest::addColumn<bool>("patch");
    QTest::addColumn<QByteArray>("artifact");
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("result");        // what a good artifact gives
    QTest::addColumn<qint64>("outSize");
    QTest::addColumn<bool>("gives");               // true: gives result; false: refused or other bytes
    QTest::addColumn<QString>("refusal");          // a part of the refusal's text, when it must be refused so

    const QByteArray version1 = numberedLines(300000, "of version one");
    QByteArray version2 = version1;
    version2.replace(100000, 9, "version 2");
    const qint64 size2 = version2.size();
    const QByteArray patch = makePatch(version1, version2);
    const QByteArray compressed = compressWhole(version2);
    QByteArray damaged = compressed;
    damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x55);

    QTest::newRow("patch") << true << patch << version1 << version2 << size2 << true << QString();
    QTest::newRow("compressed") << false << compressed << QByteArray() << version2 << size2 << true << QString();
    QTest::newRow("compressed, damaged") << false << damaged << QByteArray() << version2 << size2 << false << QString();
    QTest::newRow("compressed, cut short") << false << compressed.left(compressed.size() / 2) << QByteArray() << version2
                                           << size2 << false << QString();
    QTest::newRow("compressed bomb") << false << compressWhole(QByteArray(64 << 20, '\0')) << QByteArray() << version2
                                     << size2 << false << QString();
    QTest::newRow("patch, result shorter than it says") << true << patch << version1 << version2 << size2 - 1 << false << QString();
    QTest::newRow("patch, cut short") << true << patch.left(patch.size() - 10) << version1 << version2 << size2 << false << QString();
    QTest::newRow("patch from another base") << true << patch << version2.left(1000) << version2 << size2 << false << QString();

    const struct { Hostile hostile; const char *name; const char *refusal; } hostiles[] = {
        {Hostile::ZeroSteps, "zero steps", "a step that writes nothing"},
        {Hostile::JumpsBackAndForth, "steps that jump back and forth", ""},
        {Hostile::FarBeyondTheResult, "twice as many steps as the result has bytes", ""}};
    const struct { int codec; const char *name; } codecs[] = {{PatchFormat::Raw, "raw"}, {PatchFormat::Zstd, "zstd"}, {PatchFormat::Xz, "xz"}};
    constexpr qint64 hostileSize = 8 << 20;
    for (const auto &hostile : hostiles) {
        for (const auto &codec : codecs)
            QTest::addRow("hostile patch, %s, %s", hostile.name, codec.name)
                    << true << hostilePatch(hostile.hostile, quint8(codec.codec), hostileSize) << version1
                    << QByteArray() << hostileSize << false << QString::fromLatin1(hostile.refusal);
    }
}

void ArtifactDecoderTest::decode()
{
    QFETCH(bool, patch);
    QFETCH(QByteArray, artifact);
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, result);
    QFETCH(qint64, outSize);
    QFETCH(bool, gives);
    QFETCH(QString, refusal);

    // A guard zone after the result: nothing may be written past it.
    QByteArray out(int(outSize) + 4096, '\x5a');
    QString error;
    QElapsedTimer clock;
    clock.start();
    const bool decoded = decodeArtifact(patch ? Artifact::Kind::Patch : Artifact::Kind::Compressed,
                                        reinterpret_cast<const uchar *>(artifact.constData()), artifact.size(),
                                        reinterpret_cast<const uchar *>(base.constData()), base.size(),
                                        reinterpret_cast<uchar *>(out.data()), outSize, &error);
    const qint64 elapsed = clock.elapsed();
    qInfo("%s after %lld ms%s%s", decoded ? "decoded" : "refused", elapsed, error.isEmpty() ? "" : ": ", qPrintable(error));
    QCOMPARE(out.mid(int(outSize)), QByteArray(4096, '\x5a'));
    QCOMPARE(decoded, error.isEmpty());
    if (gives) {
        QVERIFY2(decoded, qPrintable(error));
        QCOMPARE(out.left(int(outSize)), result);
        return;
    }
    QVERIFY(!decoded || out.left(int(outSize)) != result);
    if (!refusal.isEmpty())
        QVERIFY2(error.contains(refusal), qPrintable(error));
    // Idle, 8 MiB of hostile steps are refused in well under a second: ten seconds
    // is far above need, and still proportional to the result, not to the steps.
    QVERIFY2(elapsed < 10000, "the refusal took longer than ten seconds");
}

QTEST_GUILESS_MAIN(ArtifactDecoderTest)
#include "tst_artifactdecoder.moc"
