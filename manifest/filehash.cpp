#include "filehash.h"

#include "md5hasher.h"
#include "hashqueue.h"
#include "laneworker.h"
#include "safeopen.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QtConcurrent>
#include <QtEndian>

#include <cstdio>

QByteArray digestText(const QByteArray &md5Digest)
{
    Q_ASSERT(md5Digest.size() == 16);
    const auto *raw = reinterpret_cast<const uchar *>(md5Digest.constData());
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x",
                  qFromLittleEndian<quint32>(raw), qFromLittleEndian<quint32>(raw + 4),
                  qFromLittleEndian<quint32>(raw + 8), qFromLittleEndian<quint32>(raw + 12));
    return QByteArray(text, 32);
}

QByteArray md5Text(const QByteArray &bytes)
{
    Md5Hasher hasher;
    hasher.addData(bytes);
    return hasher.text();
}

QByteArray fileMd5Text(const QString &path)
{
    // Only regular files: a FIFO would wait for a writer and a device might never end.
    QFile file;
    if (!openRegularFile(file, path, QIODevice::ReadOnly))
        return QByteArray();
    // Large reads keep the per-call cost out of the way, and one buffer per thread,
    // reused from file to file, spares fresh pages for every file.
    constexpr int chunkSize = 1024 * 1024;
    thread_local QByteArray chunk(chunkSize, Qt::Uninitialized);
    Md5Hasher hasher;
    for (;;) {
        const qint64 read = file.read(chunk.data(), chunkSize);
        if (read < 0)
            return QByteArray();
        if (read == 0)
            break;
        hasher.addData(chunk.constData(), read);
    }
    return hasher.text();
}

bool fileMd5Equals(const QString &path, const QByteArray &md5)
{
    const QByteArray text = fileMd5Text(path);
    return !text.isEmpty() && text == md5;
}

QVector<bool> filesMd5Equal(const QVector<FileCheck> &files)
{
    if (files.isEmpty())
        return {};
    HashQueue queue(files);
    // One lane worker per pool thread; each keeps taking files until none is left.
    QVector<int> workers(qBound(1, QThreadPool::globalInstance()->maxThreadCount(), files.size()));
    QFuture<void> future = QtConcurrent::map(workers, [&queue](int) { LaneWorker(queue).run(); });
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
    // The loop also ends when its thread is told to quit; the workers still use
    // the queue until they are done.
    future.waitForFinished();
    return queue.results();
}
