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

bool ProxyChoice::isProxyAddress(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty() && (url.path().isEmpty() || url.path() == QLatin1String("/"))
            && !url.hasQuery() && !url.hasFragment();
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
