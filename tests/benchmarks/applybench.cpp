// Applies one patch as the updater does (the base and the artifact mapped, the
// result written into a mapped file) and prints the milliseconds it took, the
// peak private memory in KiB beyond what the process held before, and the
// base's reference count: apply-bench patch|refpatch BASE ARTIFACT RESULT_SIZE.
#include "artifactdecoder.h"
#include "executableimage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {
qint64 privateKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}
}

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    QFile base(QString::fromLocal8Bit(argv[2]));
    QFile artifact(QString::fromLocal8Bit(argv[3]));
    const qint64 size = QByteArray(argv[4]).toLongLong();
    QTemporaryFile result;
    if (!base.open(QIODevice::ReadOnly) || !artifact.open(QIODevice::ReadOnly) || !result.open() || !result.resize(size))
        return 2;
    const uchar *baseBytes = base.map(0, base.size());
    const uchar *artifactBytes = artifact.map(0, artifact.size());
    uchar *out = result.map(0, size);
    ExecutableImage image;
    const size_t references = image.readLayout(baseBytes, base.size()) ? image.references(baseBytes, base.size()).size() : 0;

    const qint64 before = privateKiB();
    std::atomic<qint64> peak{before};
    std::atomic_bool done{false};
    std::thread sampler([&] {
        while (!done) {
            peak = qMax<qint64>(peak, privateKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    QString error;
    QElapsedTimer clock;
    clock.start();
    const bool decoded = decodeArtifact(QByteArray(argv[1]) == "refpatch" ? Artifact::Kind::ReferencePatch : Artifact::Kind::Patch,
                                        artifactBytes, artifact.size(), baseBytes, base.size(), out, size, &error);
    const qint64 elapsed = clock.elapsed();
    done = true;
    sampler.join();
    if (!decoded) {
        std::fprintf(stderr, "apply-bench: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%lld %lld %zu\n", elapsed, qMax<qint64>(0, peak - before), references);
    return 0;
}
