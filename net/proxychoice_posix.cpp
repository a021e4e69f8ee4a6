#include "proxychoice.h"

QString ProxyChoice::unusableProxyVariable()
{
    // Qt reads these for the system's settings and makes a host of whatever they
    // hold; an unusable one is refused before any request, like an unusable setting.
    for (const char *name : {"http_proxy", "https_proxy"}) {
        const QString value = qEnvironmentVariable(name).trimmed();
        if (value.isEmpty())
            continue;
        const QUrl url(value.contains(QLatin1String("://")) ? value : QLatin1String("http://") + value, QUrl::StrictMode);
        const bool knownScheme = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("socks5")
                || url.scheme() == QLatin1String("socks5h");
        if (!knownScheme || !isProxyAddress(url))
            return value;
    }
    return QString();
}
