#include "singleinstanceguard.h"

void SingleInstanceGuard::dropStaleSegment()
{
    // Here a segment outlives a killed updater. Attaching and detaching once
    // removes it when no live process is attached, so only a live one blocks.
    if (m_segment.attach(QSharedMemory::ReadWrite))
        m_segment.detach();
}
