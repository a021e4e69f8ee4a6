#include "proxychoice.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrl>

namespace {
// The system's proxies for each request, loopback addresses included.
class SystemProxies : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        return systemProxyForQuery(query);
    }
};

// Only a host and a port, maybe with credentials: anything else would be
// silently dropped or misread.
bool isProxyAddress(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty() && (url.path().isEmpty() || url.path() == QLatin1String("/"))
            && !url.hasQuery() && !url.hasFragment();
}

// Qt reads these for the system's settings and makes a host of whatever they
// hold; an unusable one is refused before any request, like an unusable setting.
QString unusableProxyVariable()
{
#ifdef Q_OS_WIN
    return QString();
#else
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
#endif
}
}

ProxyChoice ProxyChoice::fromSetting(const QString &setting)
{
    ProxyChoice choice;
    const QString value = setting.trimmed();
    choice.m_text = value;
    if (value.isEmpty()) {
        choice.m_text = unusableProxyVariable();
        choice.m_valid = choice.m_text.isEmpty();
        return choice;
    }
    if (value.compare(QLatin1String("direct"), Qt::CaseInsensitive) == 0) {
        choice.m_kind = Kind::Direct;
        return choice;
    }
    const QUrl url(value, QUrl::StrictMode);
    choice.m_kind = Kind::Named;
    choice.m_valid = url.scheme() == QLatin1String("http") && url.port() > 0 && isProxyAddress(url);
    choice.m_proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port()),
                                   url.userName(QUrl::FullyDecoded), url.password(QUrl::FullyDecoded));
    return choice;
}

void ProxyChoice::applyTo(QNetworkAccessManager &manager) const
{
    switch (m_kind) {
    case Kind::System:
        manager.setProxyFactory(new SystemProxies);
        break;
    case Kind::Direct:
        manager.setProxy(QNetworkProxy::NoProxy);
        break;
    case Kind::Named:
        manager.setProxy(m_proxy);
        break;
    }
}
