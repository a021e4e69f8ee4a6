#include "filehash.h"

#include "hashqueue.h"
#include "laneworker.h"
#include "safeopen.h"

#include <QEventLoop>
#include <QFile>
#include <QSemaphore>
#include <QThreadPool>

#include <atomic>

QByteArray md5Text(const QByteArray &bytes)
{
    Md5Hasher hasher;
    hasher.addData(bytes);
    return hasher.text();
}

namespace {
// Large reads keep the per-call cost out of the way.
constexpr qint64 chunkSize = 1024 * 1024;

// The digests of the open @p file; a worker hashing one file after the other
// reuses @p chunk, grown to what the files need.
Digests digestsOf(QFile &file, bool withSha256, QByteArray &chunk)
{
    const int wanted = int(qBound<qint64>(4096, file.size(), chunkSize));
    if (chunk.size() < wanted)
        chunk.resize(wanted);
    Hasher hasher(withSha256);
    for (;;) {
        const qint64 read = file.read(chunk.data(), chunk.size());
        if (read < 0)
            return {};
        if (read == 0)
            break;
        hasher.addData(chunk.constData(), read);
    }
    return hasher.result();
}
}

QByteArray fileMd5Text(const QString &path)
{
    return fileDigests(path, false).md5;
}

Digests fileDigests(const QString &path, bool withSha256)
{
    // Only regular files: a FIFO would wait for a writer and a device might never end.
    QFile file;
    QByteArray chunk;
    return openRegularFile(file, path, QIODevice::ReadOnly) ? digestsOf(file, withSha256, chunk) : Digests();
}

bool fileMd5Equals(const QString &path, const QByteArray &md5)
{
    const QByteArray text = fileMd5Text(path);
    return !text.isEmpty() && text == md5;
}

namespace {
QVector<Digests> filesDigests(const QVector<FileCheck> &files)
{
    if (files.isEmpty())
        return {};
    // A file with a SHA-256 to check is read once for both digests, one file per
    // worker; the others share the vector lanes.
    QVector<HashTask> laneFiles;
    QVector<int> laneIndices;
    QVector<int> bothIndices;
    for (int i = 0; i < files.size(); ++i) {
        if (files.at(i).sha256.isEmpty()) {
            const FileCheck &check = files.at(i);
            laneFiles << HashTask{[&check](QFile &file) { return check.open(file); }, check.size};
            laneIndices << i;
        } else {
            bothIndices << i;
        }
    }
    HashQueue queue(laneFiles);
    QVector<Digests> results(files.size());
    Digests *const each = results.data();   // detached before any thread writes its own element
    std::atomic_int nextBoth{0};
    // One lane worker per pool thread; each keeps taking files until none is left.
    const int workers = qBound(1, QThreadPool::globalInstance()->maxThreadCount(), files.size());
    QEventLoop loop;
    QSemaphore done;
    std::atomic_int running{workers};
    for (int i = 0; i < workers; ++i) {
        QThreadPool::globalInstance()->start([&] {
            QByteArray chunk;
            for (int k; (k = nextBoth++) < bothIndices.size();) {
                QFile file;
                if (files.at(bothIndices.at(k)).open(file))
                    each[bothIndices.at(k)] = digestsOf(file, true, chunk);
            }
            LaneWorker(queue).run();
            if (--running == 0)
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            done.release();
        });
    }
    if (!done.tryAcquire(workers)) {
        loop.exec();
        // The loop also ends when its thread is told to quit; the workers still use
        // the queue and the loop until they are done.
        done.acquire(workers);
    }
    const QVector<QByteArray> laneDigests = queue.results();
    for (int k = 0; k < laneIndices.size(); ++k) {
        if (!laneDigests.at(k).isEmpty())
            results[laneIndices.at(k)].md5 = digestText(laneDigests.at(k));
    }
    return results;
}
}

QVector<bool> filesMatch(const QVector<FileCheck> &files)
{
    const QVector<Digests> digests = filesDigests(files);
    QVector<bool> match(files.size());
    for (int i = 0; i < files.size(); ++i)
        match[i] = digests.at(i).match(files.at(i).md5, files.at(i).sha256);
    return match;
}

QVector<QByteArray> filesMd5Text(const QVector<FileCheck> &files)
{
    const QVector<Digests> digests = filesDigests(files);
    QVector<QByteArray> texts;
    texts.reserve(digests.size());
    for (const Digests &digest : digests)
        texts << digest.md5;
    return texts;
}
