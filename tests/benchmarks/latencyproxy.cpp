// A TCP proxy on loopback that holds every chunk for a fixed time in each
// direction: a wide-area link's round trip on a machine without traffic shaping.
//
//   latency-proxy LISTEN_PORT TARGET_PORT DELAY_MS [COUNT_FILE]
//
// Prints "ready" once listening; runs until killed. With COUNT_FILE, keeps in it
// the number of bytes the target has sent so far (headers and bodies).
#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

int s_delayMsecs = 0;
QString s_countFile;
qint64 s_targetBytes = 0;

void countFromTarget(qint64 bytes)
{
    s_targetBytes += bytes;
    QFile count(s_countFile);
    if (count.open(QIODevice::WriteOnly | QIODevice::Truncate))
        count.write(QByteArray::number(s_targetBytes) + '\n');
}

// Forwards what @p from receives to @p to after the delay, and its end likewise.
void relay(QTcpSocket *from, QTcpSocket *to, bool fromTarget)
{
    QObject::connect(from, &QTcpSocket::readyRead, to, [from, to, fromTarget] {
        const QByteArray data = from->readAll();
        if (fromTarget && !s_countFile.isEmpty())
            countFromTarget(data.size());
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
    if (arguments.size() != 4 && arguments.size() != 5) {
        std::fprintf(stderr, "usage: latency-proxy LISTEN_PORT TARGET_PORT DELAY_MS [COUNT_FILE]\n");
        return 2;
    }
    s_countFile = arguments.value(4);
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
            relay(client, upstream, false);
            relay(upstream, client, true);
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            upstream->connectToHost(QHostAddress::LocalHost, targetPort);
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
