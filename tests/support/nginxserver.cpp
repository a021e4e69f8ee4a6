#include "nginxserver.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString findNginx()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!found.isEmpty())
        return found;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http")).arg(m_port) + path;
}

QList<QByteArray> NginxServer::requestLines() const
{
    QList<QByteArray> lines;
    for (const QByteArray &line : readTestFile(m_prefix.path() + QStringLiteral("/logs/access.log"), QByteArray()).split('\n')) {
        const int start = line.indexOf('"');
        if (start >= 0)
            lines.append(line.mid(start + 1, line.indexOf('"', start + 1) - start - 1));
    }
    return lines;
}

bool NginxServer::start(const QString &siteDir, const QString &tlsCertificate, const QString &tlsKey,
                        const QByteArray &serverConfig)
{
    m_tls = !tlsCertificate.isEmpty();
    const QByteArray tls = m_tls ? QByteArray(m_http2 ? " ssl http2" : " ssl") + ";\n    ssl_certificate " + QFile::encodeName(tlsCertificate)
                                       + ";\n    ssl_certificate_key " + QFile::encodeName(tlsKey) + ";\n"
                                 : QByteArray(";\n");
    const QString nginx = findNginx();
    if (nginx.isEmpty()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    m_port = freeLoopbackPort();
    const QString prefix = m_prefix.path();
    QDir(prefix).mkpath(QStringLiteral("logs"));
    QDir(prefix).mkpath(QStringLiteral("temp"));
    // As root, workers would drop to an account that cannot read a private temporary folder.
#ifdef Q_OS_WIN
    const QByteArray user;
#else
    const QByteArray user = geteuid() == 0 ? "user root;\n" : "";
#endif
    const QByteArray config = user
            + "worker_processes 1;\n"
              "pid " + QFile::encodeName(prefix) + "/nginx.pid;\n"
              "error_log " + QFile::encodeName(prefix) + "/logs/error.log;\n"
              "events { worker_connections 256; }\n"
              "http {\n"
              "  access_log " + QFile::encodeName(prefix) + "/logs/access.log;\n"
              "  client_body_temp_path " + QFile::encodeName(prefix) + "/temp/body;\n"
              "  proxy_temp_path " + QFile::encodeName(prefix) + "/temp/proxy;\n"
              "  fastcgi_temp_path " + QFile::encodeName(prefix) + "/temp/fastcgi;\n"
              "  uwsgi_temp_path " + QFile::encodeName(prefix) + "/temp/uwsgi;\n"
              "  scgi_temp_path " + QFile::encodeName(prefix) + "/temp/scgi;\n"
              "  default_type application/octet-stream;\n"
              "  sendfile on;\n"
              "  server {\n"
              "    listen 127.0.0.1:" + QByteArray::number(m_port) + tls +
              "    root " + QFile::encodeName(siteDir) + ";\n"
              "    merge_slashes off;\n"
            + serverConfig +
              "  }\n"
              "}\n";
    QFile configFile(prefix + QStringLiteral("/nginx.conf"));
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(config) != config.size()) {
        m_error = QStringLiteral("cannot write the nginx configuration");
        return false;
    }
    configFile.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    QStringList command = m_launcher;
    command << nginx << QStringLiteral("-p") << prefix << QStringLiteral("-c") << configFile.fileName()
            << QStringLiteral("-e") << prefix + QStringLiteral("/logs/error.log") << QStringLiteral("-g") << QStringLiteral("daemon off;");
    m_process.start(command.takeFirst(), command);
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200))
            return true;
        if (m_process.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    m_error = QStringLiteral("nginx did not start: ") + QString::fromLocal8Bit(m_process.readAll());
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // A launcher such as strace detaches at a signal and leaves nginx running: nginx is told itself.
    if (!m_launcher.isEmpty())
        QProcess::execute(findNginx(), {QStringLiteral("-p"), m_prefix.path(), QStringLiteral("-c"),
                                        m_prefix.path() + QStringLiteral("/nginx.conf"), QStringLiteral("-s"), QStringLiteral("stop")});
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
