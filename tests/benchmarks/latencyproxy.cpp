// A TCP proxy on loopback that holds every chunk for a fixed time in each
// direction: a wide-area link's round trip on a machine without traffic shaping.
//
//   latency-proxy LISTEN_PORT TARGET_PORT DELAY_MS
//
// Prints "ready" once listening; runs until killed.
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

int s_delayMsecs = 0;

// Forwards what @p from receives to @p to after the delay, and its end likewise.
void relay(QTcpSocket *from, QTcpSocket *to)
{
    QObject::connect(from, &QTcpSocket::readyRead, to, [from, to] {
        const QByteArray data = from->readAll();
        QTimer::singleShot(s_delayMsecs, Qt::PreciseTimer, to, [to, data] { to->write(data); });
    });
    QObject::connect(from, &QTcpSocket::disconnected, to, [to] {
        QTimer::singleShot(s_delayMsecs, Qt::PreciseTimer, to, [to] { to->disconnectFromHost(); });
    });
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        std::fprintf(stderr, "usage: latency-proxy LISTEN_PORT TARGET_PORT DELAY_MS\n");
        return 2;
    }
    const quint16 targetPort = arguments.at(2).toUShort();
    s_delayMsecs = arguments.at(3).toInt();

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, arguments.at(1).toUShort())) {
        std::fprintf(stderr, "cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, targetPort] {
        while (QTcpSocket *client = server.nextPendingConnection()) {
            auto *upstream = new QTcpSocket(client);
            client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            relay(client, upstream);
            relay(upstream, client);
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            upstream->connectToHost(QHostAddress::LocalHost, targetPort);
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
