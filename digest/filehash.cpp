#include "filehash.h"

#include "md5hasher.h"
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
    const QVector<QByteArray> digests = filesMd5Text(files);
    QVector<bool> equal(files.size());
    for (int i = 0; i < files.size(); ++i)
        equal[i] = !digests.at(i).isEmpty() && digests.at(i) == files.at(i).md5;
    return equal;
}

QVector<QByteArray> filesMd5Text(const QVector<FileCheck> &files)
{
    if (files.isEmpty())
        return {};
    HashQueue queue(files);
    // One lane worker per pool thread; each keeps taking files until none is left.
    const int workers = qBound(1, QThreadPool::globalInstance()->maxThreadCount(), files.size());
    QEventLoop loop;
    QSemaphore done;
    std::atomic_int running{workers};
    for (int i = 0; i < workers; ++i) {
        QThreadPool::globalInstance()->start([&] {
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
    return queue.results();
}
