#pragma once

#include <QSharedMemory>
#include <QString>

/**
 * Lets one updater at a time run from an application directory: the first
 * holds a named shared-memory segment until the guard is destroyed.
 */
class SingleInstanceGuard
{
public:
    /// @param applicationDir directory of the updater; the segment's key derives from it
    explicit SingleInstanceGuard(const QString &applicationDir);

    /// Takes the segment; false when a live updater already holds it.
    bool tryAcquire();

private:
    QSharedMemory m_segment;
};
