#pragma once

#include "heldfolder.h"

#include <QDeadlineTimer>
#include <QThread>

/**
 * Tries @p step, a call on @p folder, until it works, it fails for another
 * reason than another process holding the name (HeldFolder::lastFailureWasInUse(),
 * so one attempt on POSIX), or @p deadline expires; every 100 ms. An antivirus,
 * an indexer or a host not quite exited holds a file for a moment on Windows.
 * @p onRetry(attempt) is called before each further attempt.
 */
template <typename Step, typename OnRetry>
bool patiently(QDeadlineTimer &deadline, const HeldFolder &folder, Step step, OnRetry onRetry)
{
    for (int attempt = 1;; ++attempt) {
        if (step())
            return true;
        if (!folder.lastFailureWasInUse() || deadline.hasExpired())
            return false;
        onRetry(attempt);
        QThread::msleep(100);
    }
}
