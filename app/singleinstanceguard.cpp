#include "singleinstanceguard.h"

#include "checklog.h"

#include <QDeadlineTimer>
#include <QThread>

const QLatin1String SingleInstanceGuard::lockName("update.lock");

namespace {
// How often a held lock or segment is tried again while waiting.
constexpr int retryMsecs = 100;
}

SingleInstanceGuard::SingleInstanceGuard(const QString &applicationDir)
    : m_applicationDir(applicationDir)
    , m_segment(applicationDir + QLatin1String("update_singleton"))
{
}

bool SingleInstanceGuard::tryAcquire(int waitMsecs)
{
    const QDeadlineTimer deadline(waitMsecs);
    const HeldFolder folder = HeldFolder::openTrusted(m_applicationDir);
    // A folder nobody can write holds no lock, and nobody can squat it either:
    // there the segment guards alone.
    bool locked = false;
    while (!(locked = folder.lockFile(lockName, m_lock)) && folder.lastFailureWasInUse() && !deadline.hasExpired())
        QThread::msleep(retryMsecs);
    if (!locked && folder.lastFailureWasInUse()) {
        qCInfo(lcRun).noquote() << "the guard's lock is held or its name occupied:" << folder.errorString();
        return false;
    }
    if (!locked)
        qCInfo(lcRun).noquote() << "no lock in" << m_applicationDir << "(" << folder.errorString() << "): the segment guards alone";
    while (!takeSegment()) {
        if (deadline.hasExpired()) {
            qCInfo(lcRun) << "the guard's segment is held";
            m_lock.close();
            return false;
        }
        QThread::msleep(retryMsecs);
    }
    return true;
}

bool SingleInstanceGuard::takeSegment()
{
    // A segment a killed updater left under a key file removed since shows
    // only once create() has made the file again: the second round clears it.
    for (int round = 0; round < 2; ++round) {
        dropStaleSegment();
        if (m_segment.attach(QSharedMemory::ReadWrite)) {
            m_segment.detach();
            return false;
        }
        // Another updater may have created it since our attach: that one runs,
        // not this one. A segment that cannot be made for another reason guards
        // nothing and must not lock the user out.
        if (m_segment.create(1, QSharedMemory::ReadWrite) || m_segment.error() != QSharedMemory::AlreadyExists)
            return true;
    }
    return false;
}
