#include "singleinstanceguard.h"

void SingleInstanceGuard::dropStaleSegment()
{
    // Windows removes a mapping with the last process that holds it.
}
