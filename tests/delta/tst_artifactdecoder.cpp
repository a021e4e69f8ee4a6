#include "artifactdecoder.h"
#include "artifactmaker.h"
#include "hostilepatch.h"
#include "patchformat.h"
#include "syntheticexecutable.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTest>

Q_DECLARE_METATYPE(Artifact::Kind)

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
    QTest::addColumn<Artifact::Kind>("kind");
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
    QByteArray base = version1;
    QByteArray target = version2;
    const QByteArray patch = makePatches(base, target).patch;
    const QByteArray compressed = compressWhole(version2);
    QByteArray damaged = compressed;
    damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x55);

    QTest::newRow("patch") << Artifact::Kind::Patch << patch << version1 << version2 << size2 << true << QString();
    QTest::newRow("compressed") << Artifact::Kind::Compressed << compressed << QByteArray() << version2 << size2 << true << QString();
    QTest::newRow("compressed, damaged") << Artifact::Kind::Compressed << damaged << QByteArray() << version2 << size2 << false << QString();
    QTest::newRow("compressed, cut short") << Artifact::Kind::Compressed << compressed.left(compressed.size() / 2) << QByteArray() << version2
                                           << size2 << false << QString();
    QTest::newRow("compressed bomb") << Artifact::Kind::Compressed << compressWhole(QByteArray(64 << 20, '\0')) << QByteArray() << version2
                                     << size2 << false << QString();
    QTest::newRow("patch, result shorter than it says") << Artifact::Kind::Patch << patch << version1 << version2 << size2 - 1 << false << QString();
    QTest::newRow("patch, cut short") << Artifact::Kind::Patch << patch.left(patch.size() - 10) << version1 << version2 << size2 << false << QString();
    QTest::newRow("patch from another base") << Artifact::Kind::Patch << patch << version2.left(1000) << version2 << size2 << false << QString();

    const struct { Hostile hostile; const char *name; const char *refusal; } hostiles[] = {
        {Hostile::ZeroSteps, "zero steps", "a step that writes nothing"},
        {Hostile::JumpsBackAndForth, "steps that jump back and forth", ""},
        {Hostile::FarBeyondTheResult, "twice as many steps as the result has bytes", ""}};
    const struct { int codec; const char *name; } codecs[] = {{PatchFormat::Raw, "raw"}, {PatchFormat::Zstd, "zstd"}, {PatchFormat::Xz, "xz"}};
    constexpr qint64 hostileSize = 8 << 20;
    for (const auto &hostile : hostiles) {
        for (const auto &codec : codecs)
            QTest::addRow("hostile patch, %s, %s", hostile.name, codec.name)
                    << Artifact::Kind::Patch << hostilePatch(hostile.hostile, quint8(codec.codec), hostileSize) << version1
                    << QByteArray() << hostileSize << false << QString::fromLatin1(hostile.refusal);
    }

    // Reference patches between two releases of an executable: the applier finds
    // the base's references as the publisher did, and refuses what it may not take.
    for (const ExecutableFormat format : {ExecutableFormat::Pe, ExecutableFormat::Elf}) {
        QByteArray release1 = syntheticExecutable(format, 1);
        QByteArray release2 = syntheticExecutable(format, 2);
        const Patches patches = makePatches(release1, release2);
        QVERIFY(!patches.referencePatch.isEmpty() && patches.referencePatch.size() < patches.patch.size());
        QTest::addRow("reference patch, %s", format == ExecutableFormat::Pe ? "PE" : "ELF")
                << Artifact::Kind::ReferencePatch << patches.referencePatch << release1 << release2
                << qint64(release2.size()) << true << QString();
    }
    QByteArray release1 = syntheticExecutable(ExecutableFormat::Pe, 1);
    QByteArray release2 = syntheticExecutable(ExecutableFormat::Pe, 2);
    const QByteArray referencePatch = makePatches(release1, release2).referencePatch;
    const qint64 size = release2.size();
    QTest::newRow("reference patch, base not an executable") << Artifact::Kind::ReferencePatch << referencePatch
            << version1 << release2 << size << false << "the base is not an executable";
    QTest::newRow("reference patch taken for today's") << Artifact::Kind::Patch << referencePatch << release1 << release2
            << size << false << "not a patch";
    const struct { Hostile hostile; const char *name; const char *refusal; } references[] = {
        {Hostile::UnknownRules, "unknown rules", "rules for references"},
        {Hostile::MoveBeyondTheImage, "a move beyond the image", "leads outside the base"},
        {Hostile::MoveBeyondTheResult, "a move to beyond the result", "leads outside the result"},
        {Hostile::MoveCountsDisagree, "a move count the stream does not hold", "moves stream damaged"},
        {Hostile::TruncatedStream, "a stream cut short", ""}};
    for (const auto &hostile : references) {
        for (const auto &codec : codecs) {
            // Stored raw, the difference is cut to keep the patch smaller than the file: refused there first.
            const bool cut = codec.codec == PatchFormat::Raw && hostile.hostile == Hostile::MoveBeyondTheResult;
            QTest::addRow("hostile reference patch, %s, %s", hostile.name, codec.name)
                    << Artifact::Kind::ReferencePatch << hostilePatch(hostile.hostile, quint8(codec.codec), size) << release1
                    << release2 << size << false << QString::fromLatin1(cut ? "difference stream damaged" : hostile.refusal);
        }
    }
}

void ArtifactDecoderTest::decode()
{
    QFETCH(Artifact::Kind, kind);
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
    const bool decoded = decodeArtifact(kind,
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
