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
}

ProxyChoice ProxyChoice::fromSetting(const QString &setting)
{
    ProxyChoice choice;
    const QString value = setting.trimmed();
    if (value.isEmpty())
        return choice;
    if (value.compare(QLatin1String("direct"), Qt::CaseInsensitive) == 0) {
        choice.m_kind = Kind::Direct;
        return choice;
    }
    const QUrl url(value, QUrl::StrictMode);
    choice.m_kind = Kind::Named;
    choice.m_valid = url.isValid() && url.scheme() == QLatin1String("http") && !url.host().isEmpty()
            && url.port() > 0 && (url.path().isEmpty() || url.path() == QLatin1String("/"))
            && !url.hasQuery() && !url.hasFragment();
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
