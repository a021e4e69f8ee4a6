#pragma once

#include "filehash.h"

#include <QAtomicInt>
#include <QVector>

/**
 * Files waiting to be hashed, shared by the threads that hash them: each takes
 * the next file with take() as it has room, and records its digest text with
 * setDigest(). Files come largest first by their expected size, so that no big
 * file is started last and left to run alone while the other threads have
 * nothing more to do. Nothing is read from the disk to order them.
 */
class HashQueue
{
public:
    explicit HashQueue(const QVector<FileCheck> &files);

    /// Index of the next file to hash, or -1 once every file has been taken.
    int take();
    /// True once every file has been taken (not necessarily hashed).
    bool isEmpty() const;
    const FileCheck &file(int index) const { return m_files.at(index); }
    /// Records the digest text of file @p index (empty: not read); safe from any thread, once per file.
    void setDigest(int index, const QByteArray &digestText);
    /// Per file in the order given: its digest text, or empty when it could not be read.
    QVector<QByteArray> results() const { return m_digests; }

private:
    const QVector<FileCheck> &m_files;
    QVector<int> m_order;
    QVector<QByteArray> m_digests;
    QAtomicInt m_next;
};
