#pragma once

#include "filehash.h"

#include <QAtomicInt>
#include <QVector>

/**
 * Files waiting to be hashed, shared by the threads that hash them: each takes
 * the next file with take() as it has room, and records the outcome with
 * setEqual(). Files come largest first by their expected size, so that no big
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
    /// Records the outcome for file @p index; safe from any thread, once per file.
    void setEqual(int index, bool equal);
    /// Per file in the order given: did its digest text equal the expected one.
    QVector<bool> results() const { return m_equal; }

private:
    const QVector<FileCheck> &m_files;
    QVector<int> m_order;
    QVector<bool> m_equal;
    QAtomicInt m_next;
};
