#include "bodyreceiver.h"

BodyReceiver::BodyReceiver(const QString &cachePath, const QString &temporaryPath)
    : m_cachePath(cachePath)
    , m_temporary(temporaryPath)
{
    // A leftover of a killed run under this name is simply overwritten.
    m_writable = m_temporary.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

BodyReceiver::~BodyReceiver()
{
    if (m_committed)
        return;
    m_temporary.close();
    if (m_writable || m_temporary.exists())
        m_temporary.remove();
}

void BodyReceiver::append(const char *data, qint64 length)
{
    m_hasher.addData(data, length);
    m_size += quint64(length);
    // After a failed write the body is still counted and hashed, so that the
    // checks report in their usual order; the write failure comes last.
    if (m_writable && m_temporary.write(data, length) != length)
        m_writable = false;
}

bool BodyReceiver::commit()
{
    if (!m_writable || !m_temporary.flush())
        return false;
    m_temporary.close();
    if (m_temporary.error() != QFileDevice::NoError)
        return false;
    if (QFile::exists(m_cachePath) && !QFile::remove(m_cachePath))
        return false;
    m_committed = m_temporary.rename(m_cachePath);
    return m_committed;
}
