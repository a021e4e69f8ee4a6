#include "singleinstanceguard.h"

#ifndef Q_OS_WIN
#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// Serialises the guard's steps between updaters of one folder: Qt's segment
// calls are not atomic across processes here, and the clean-up of a segment
// left by a killed updater would otherwise race with a live one creating it.
// The kernel drops the lock with its holder, however the process ends.
class AcquireLock
{
public:
    explicit AcquireLock(const QString &key)
    {
        const QByteArray name = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex();
        const QString path = QDir::temp().absoluteFilePath(QLatin1String("updater-guard-") + QLatin1String(name));
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~AcquireLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    AcquireLock(const AcquireLock &) = delete;
    AcquireLock &operator=(const AcquireLock &) = delete;

private:
    int m_fd = -1;
};
#endif

} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString &applicationDir)
    : m_segment(applicationDir + QLatin1String("update_singleton"))
{
}

bool SingleInstanceGuard::tryAcquire()
{
#ifndef Q_OS_WIN
    const AcquireLock lock(m_segment.key());
    // Here a segment outlives a killed updater. Attaching and detaching once
    // removes it when no live process is attached, so only a live updater blocks.
    if (m_segment.attach(QSharedMemory::ReadWrite))
        m_segment.detach();
#endif
    if (m_segment.attach(QSharedMemory::ReadWrite))
        return false;
    if (m_segment.error() == QSharedMemory::AlreadyExists)
        return false;
    // Another updater may have created it since our attach: that one runs, not
    // this one. A segment that cannot be made for another reason guards nothing
    // and must not lock the user out.
    return m_segment.create(1, QSharedMemory::ReadWrite)
            || m_segment.error() != QSharedMemory::AlreadyExists;
}
