#include "proxychoice.h"

QString ProxyChoice::unusableProxyVariable()
{
    // Windows takes its Internet settings, not variables.
    return QString();
}
