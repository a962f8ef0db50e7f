// SPDX-License-Identifier: MIT
// What a user would write instead of serve, for bench_serve to set it
// against: a QTcpServer that, for each "MEAS:POW?" line, writes 0x82 to the
// meter's port and sends back the level of the 4 bytes that answer it. No
// parser, no queue, no checks. Prints "at 127.0.0.1:PORT" on stderr.

#include <QCoreApplication>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    port.setBaudRate(115200);
    if (!port.open(QIODevice::ReadWrite))
        return 1;
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    QTcpSocket *client = nullptr;
    QByteArray reply;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        client = server.nextPendingConnection();
        QObject::connect(client, &QTcpSocket::readyRead, [&] {
            while (client->canReadLine()) {
                if (client->readLine().startsWith("MEAS:POW?"))
                    port.write("\x82", 1);
            }
        });
    });
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        reply += port.readAll();
        while (reply.size() >= 4 && client) {
            const int value = (quint8(reply.at(0)) << 8) | quint8(reply.at(1));
            const double level = (reply.at(2) == 0x01 ? -value : value) / 100.0;
            client->write(QByteArray::number(level, 'E', 8) + '\n');
            reply.remove(0, 4);
        }
    });
    std::fprintf(stderr, "at 127.0.0.1:%d\n", server.serverPort());
    return app.exec();
}
