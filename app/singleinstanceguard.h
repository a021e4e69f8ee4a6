#pragma once

#include "heldfolder.h"

#include <QFile>
#include <QSharedMemory>
#include <QString>

/**
 * Lets one updater at a time run from an application directory. The guard is
 * a lock file, "update.lock", in the held application directory (see
 * HeldFolder::lockFile()): nothing another user puts at its name is opened or
 * followed, and a lock is never left behind by a killed updater. Updaters from
 * before the lock look for a named shared-memory segment alone; the guard holds
 * that too, and waits for it like for the lock, but never trusts it alone.
 * Both stay held until the guard is destroyed.
 */
class SingleInstanceGuard
{
public:
    /// The lock file's name in the application directory.
    static const QLatin1String lockName;

    /// @param applicationDir directory of the updater; the segment's key derives from it
    explicit SingleInstanceGuard(const QString &applicationDir);

    /**
     * Takes the lock and the segment, waiting at most @p waitMsecs for another
     * updater to let go of them (or for whoever occupies the lock's name or the
     * segment to go); false when they could not be had by then.
     */
    bool tryAcquire(int waitMsecs = 10000);

private:
    /// Takes the segment; false when a live process holds it.
    bool takeSegment();
    /// Removes a segment that outlived a killed updater (POSIX); nothing where the system does it.
    void dropStaleSegment();

    QString m_applicationDir;
    QSharedMemory m_segment;
    QFile m_lock;
};
