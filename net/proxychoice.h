#pragma once

#include <QNetworkProxy>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

/**
 * The proxy every request of a run goes through, as the [Update] Proxy setting
 * chooses it: empty for the system's settings (on Windows its Internet settings
 * with PAC and auto-detection; elsewhere http_proxy, https_proxy and no_proxy),
 * "direct" for none, or "http://[user:password@]host:port" for that proxy.
 *
 * It is applied to each network access manager, not to the whole process: Qt's
 * process-wide proxy never serves loopback addresses, the manager's own does.
 */
class ProxyChoice
{
public:
    /// The system's settings.
    ProxyChoice() = default;
    /**
     * Reads @p setting; an unusable value gives an invalid choice, and so does an
     * empty one when http_proxy or https_proxy holds no proxy address.
     */
    static ProxyChoice fromSetting(const QString &setting);

    bool isValid() const { return m_valid; }
    /// What the choice was read from: the setting, or the unusable variable's value.
    QString text() const { return m_text; }
    /// Makes @p manager send its requests as chosen.
    void applyTo(QNetworkAccessManager &manager) const;

    /// Only a host and a port, maybe with credentials: anything else would be silently dropped or misread.
    static bool isProxyAddress(const QUrl &url);

private:
    /**
     * A variable the system's settings come from (http_proxy, https_proxy) that
     * Qt would make a host of whatever it holds; empty when there is none (and
     * on Windows, whose settings are its own).
     */
    static QString unusableProxyVariable();

    enum class Kind { System, Direct, Named };
    Kind m_kind = Kind::System;
    QNetworkProxy m_proxy;
    QString m_text;
    bool m_valid = true;
};
