#include "singleinstanceguard.h"

SingleInstanceGuard::SingleInstanceGuard(const QString &applicationDir)
    : m_segment(applicationDir + QLatin1String("update_singleton"))
{
}

bool SingleInstanceGuard::tryAcquire()
{
#ifndef Q_OS_WIN
    // Here a segment outlives a killed updater. Attaching and detaching once
    // removes it when no live process is attached, so only a live updater blocks.
    if (m_segment.attach(QSharedMemory::ReadWrite))
        m_segment.detach();
#endif
    if (m_segment.attach(QSharedMemory::ReadWrite))
        return false;
    if (m_segment.error() == QSharedMemory::AlreadyExists)
        return false;
    m_segment.create(1, QSharedMemory::ReadWrite);
    return true;
}
