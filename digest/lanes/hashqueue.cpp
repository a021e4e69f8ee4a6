#include "hashqueue.h"

#include <algorithm>

HashQueue::HashQueue(const QVector<HashTask> &files)
    : m_files(files)
    , m_digests(files.size())
{
    m_order.reserve(files.size());
    for (int i = 0; i < files.size(); ++i)
        m_order << i;
    std::stable_sort(m_order.begin(), m_order.end(),
                     [&files](int a, int b) { return files.at(a).size > files.at(b).size; });
    // Detached before any thread writes: each then touches only its own elements.
    m_digests.detach();
}

int HashQueue::take()
{
    const int position = m_next.fetchAndAddRelaxed(1);
    return position < m_order.size() ? m_order.at(position) : -1;
}

bool HashQueue::isEmpty() const
{
    return m_next.loadRelaxed() >= m_order.size();
}

void HashQueue::setDigest(int index, const QByteArray &digest)
{
    m_digests.data()[index] = digest;
}
