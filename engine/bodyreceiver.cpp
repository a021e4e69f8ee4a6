#include "bodyreceiver.h"

BodyReceiver::BodyReceiver(const QString &cachePath, const QString &temporaryPath, bool resume)
    : m_cachePath(cachePath)
    , m_temporary(temporaryPath)
{
    if (!resume) {
        // A leftover under this name that is not resumed is simply overwritten.
        m_writable = m_temporary.open(QIODevice::WriteOnly | QIODevice::Truncate);
        return;
    }
    m_writable = m_temporary.open(QIODevice::ReadWrite);
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    qint64 read = 0;
    while (m_writable && (read = m_temporary.read(chunk.data(), chunk.size())) > 0) {
        m_hasher.addData(chunk.constData(), read);
        m_size += quint64(read);
    }
    m_writable = m_writable && read == 0;
}

BodyReceiver::~BodyReceiver()
{
    if (m_committed)
        return;
    m_temporary.close();
    if (!m_keep && (m_writable || m_temporary.exists()))
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

void BodyReceiver::restart()
{
    m_hasher.text(); // starts the digest over
    m_size = 0;
    m_writable = m_temporary.isOpen() && m_temporary.seek(0) && m_temporary.resize(0);
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
