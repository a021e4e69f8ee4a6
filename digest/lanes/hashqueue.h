#pragma once

#include <QAtomicInt>
#include <QByteArray>
#include <QFile>
#include <QVector>

#include <functional>

/// A file to hash: how to open it, and the size it is expected to have (only to start the largest first).
struct HashTask
{
    std::function<bool(QFile &file)> open;
    quint64 size = 0;
};

/**
 * Files waiting to be hashed, shared by the threads that hash them: each takes
 * the next file with take() as it has room, and records its digest with
 * setDigest(). Files come largest first by their expected size, so that no big
 * file is started last and left to run alone while the other threads have
 * nothing more to do. Nothing is read from the disk to order them.
 */
class HashQueue
{
public:
    explicit HashQueue(const QVector<HashTask> &files);

    /// Index of the next file to hash, or -1 once every file has been taken.
    int take();
    /// True once every file has been taken (not necessarily hashed).
    bool isEmpty() const;
    const HashTask &file(int index) const { return m_files.at(index); }
    /// Records the raw MD5 digest of file @p index (empty: not read); safe from any thread, once per file.
    void setDigest(int index, const QByteArray &digest);
    /// Per file in the order given: its raw MD5 digest, or empty when it could not be read.
    QVector<QByteArray> results() const { return m_digests; }

private:
    const QVector<HashTask> &m_files;
    QVector<int> m_order;
    QVector<QByteArray> m_digests;
    QAtomicInt m_next;
};
