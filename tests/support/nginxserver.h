#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

/**
 * A private nginx serving one folder on a free loopback port, with its own
 * configuration, logs and temporary files. Stopped when destroyed.
 */
class NginxServer
{
public:
    NginxServer() = default;
    ~NginxServer();

    /**
     * Starts nginx for @p siteDir; false (with errorString()) when it cannot.
     * With a certificate and its key (PEM files) it serves HTTPS; @p serverConfig
     * goes into the server block as it stands.
     */
    bool start(const QString &siteDir, const QString &tlsCertificate = QString(), const QString &tlsKey = QString(),
               const QByteArray &serverConfig = QByteArray());
    /// Offers HTTP/2 (over TLS) from the next start() on.
    void setHttp2(bool offered) { m_http2 = offered; }
    /// Runs nginx through @p launcher (a program and its arguments) from the next start() on, as in "strace …".
    void setLauncher(const QStringList &launcher) { m_launcher = launcher; }
    /// The request lines served so far, such as "GET /v2/a.dll HTTP/2.0".
    QList<QByteArray> requestLines() const;
    void stop();

    quint16 port() const { return m_port; }
    /// "http://127.0.0.1:PORT" (or https) followed by @p path.
    QString url(const QString &path = QString()) const;
    QString errorString() const { return m_error; }

private:
    QTemporaryDir m_prefix;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_tls = false;
    bool m_http2 = false;
    QStringList m_launcher;
    QString m_error;
};
