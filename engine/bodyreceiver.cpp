#include "bodyreceiver.h"

#include "safeopen.h"

BodyReceiver::BodyReceiver(const HeldFolder &files, const QString &cacheName, const HeldFolder &partial,
                           const QString &scratchName, bool resume, bool withSha256)
    : m_files(files)
    , m_cacheName(cacheName)
    , m_partial(partial)
    , m_scratchName(scratchName)
    , m_hasher(withSha256)
{
    if (resume && m_partial.openFile(m_scratch, m_scratchName, QIODevice::ReadWrite)) {
        QByteArray chunk(1024 * 1024, Qt::Uninitialized);
        qint64 read = 0;
        while ((read = m_scratch.read(chunk.data(), chunk.size())) > 0) {
            m_hasher.addData(chunk.constData(), read);
            m_size += quint64(read);
        }
        m_writable = read == 0;
        if (m_writable)
            return;
        m_scratch.close();
        restart();
    }
    // A leftover under this name that is not continued goes; the body starts in a new file.
    m_writable = m_partial.remove(m_scratchName) && m_partial.createFile(m_scratch, m_scratchName);
}

BodyReceiver::~BodyReceiver()
{
    if (m_committed)
        return;
    m_scratch.close();
    if (!m_keep)
        m_partial.remove(m_scratchName);
}

bool BodyReceiver::append(const char *data, qint64 length)
{
    m_hasher.addData(data, length);
    m_size += quint64(length);
    m_writable = m_writable && writeAll(m_scratch, data, length);
    return m_writable;
}

void BodyReceiver::restart()
{
    m_hasher.result(); // starts the digests over
    m_size = 0;
    m_writable = m_scratch.isOpen() && m_scratch.seek(0) && m_scratch.resize(0);
}

bool BodyReceiver::decodeInto(quint64 size, const std::function<bool(uchar *out, QString *error)> &decode,
                              QString *error, const std::atomic_bool *cancel)
{
    if (!m_writable || size == 0 || !reserveSpace(m_scratch, qint64(size))) {
        *error = QStringLiteral("no room for the result");
        return false;
    }
    // Qt keeps the size it saw when the file was opened; opened anew, it maps the whole.
    m_scratch.close();
    m_writable = m_partial.openFile(m_scratch, m_scratchName, QIODevice::ReadWrite);
    uchar *out = m_writable ? m_scratch.map(0, qint64(size)) : nullptr;
    if (!out) {
        *error = QStringLiteral("the result cannot be mapped");
        return false;
    }
    bool decoded = decode(out, error);
    // In pieces, so that a cancel is seen between them.
    constexpr quint64 hashPiece = 16 * 1024 * 1024;
    for (quint64 hashed = 0; decoded && hashed < size; hashed += hashPiece) {
        if (cancel && *cancel) {
            *error = QStringLiteral("cancelled");
            decoded = false;
        } else {
            m_hasher.addData(reinterpret_cast<const char *>(out + hashed), qint64(qMin(hashPiece, size - hashed)));
        }
    }
    if (decoded)
        m_size = size;
    m_scratch.unmap(out);
    return decoded;
}

bool BodyReceiver::finishWriting()
{
    if (!m_writable || !m_scratch.flush())
        return false;
    m_scratch.close();
    return m_scratch.error() == QFileDevice::NoError;
}

bool BodyReceiver::commit()
{
    m_committed = finishWriting() && m_partial.rename(m_scratchName, m_files, m_cacheName);
    return m_committed;
}
