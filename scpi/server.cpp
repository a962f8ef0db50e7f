// SPDX-License-Identifier: MIT
#include "scpi/server.h"

#include "scpi/interpreter.h"
#include "scpi/sharedmeter.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace scpi {

// One client: its socket, its conversation, its view of the meter. It is
// the conversation's instrument itself, so that input held back while the
// meter works is read once the meter has answered.
class Server::Connection : public QObject, public Instrument
{
public:
    Connection(Server *server, QTcpSocket *socket, int id)
        : QObject(server),
          server(server),
          socket(socket),
          id(id),
          peer(endpointText(socket->peerAddress(), socket->peerPort())),
          meterView(server->meter.connect()),
          interpreter(*this, server->version)
    {
        socket->setParent(this);
        // The kernel's share of unread replies stays small too.
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, maxUnreadBytes);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        stall.setSingleShot(true);
        stall.setInterval(server->stallMs);
        connect(&stall, &QTimer::timeout, this, &Connection::stalled);
        connect(&interpreter, &Interpreter::response, this, &Connection::send);
        connect(socket, &QTcpSocket::readyRead, this, [this] { readInput(true); });
        connect(socket, &QTcpSocket::disconnected, this, &Connection::gone);
        log(QStringLiteral("connected"));
    }

    void start(Operation operation, quint16 nanometres, Done done) override
    {
        QPointer<Connection> self(this);
        meterView->start(operation, nanometres, [self, done](const Outcome &outcome) {
            done(outcome);
            if (self)
                self->readInput(false);
        });
    }
    Outcome latest() const override { return meterView->latest(); }
    void setContinuous(bool on) override { meterView->setContinuous(on); }

    // Called for the disconnection of a client still there when the server ends.
    void drop() { socket->disconnect(this); }

private:
    void log(const QString &what)
    {
        emit server->logged(QStringLiteral("client %1 (%2) %3").arg(id).arg(peer, what));
    }

    void readInput(bool fresh)
    {
        if (reading || ended)
            return; // a response written from within a feed
        reading = true;
        bool arrived = false;
        while (!ended && socket->bytesAvailable() > 0 && interpreter.heldBytes() < maxHeldInputBytes) {
            interpreter.feed(socket->read(4096));
            arrived = true;
        }
        reading = false;
        if (ended)
            return;
        if (!interpreter.awaitsTerminator())
            stall.stop();
        else if (arrived || fresh || !stall.isActive())
            stall.start();
    }

    void stalled()
    {
        if (ended || !interpreter.awaitsTerminator())
            return;
        log(QStringLiteral("sent a query without its newline, then nothing for %1 s: dropped (-420)")
                .arg(server->stallMs / 1000.0));
        interpreter.inputStalled();
    }

    void send(const QByteArray &message)
    {
        if (ended)
            return;
        socket->write(message);
        // Handed to the kernel now, not on the loop's next pass: a reply is
        // on its way as soon as it is known.
        socket->flush();
        if (socket->bytesToWrite() > maxUnreadBytes) {
            log(QStringLiteral("left %1 KiB of replies unread: cut off").arg(maxUnreadBytes / 1024));
            ended = true;
            socket->abort();
        }
    }

    void gone()
    {
        if (disconnectedSeen)
            return;
        disconnectedSeen = true;
        ended = true;
        stall.stop();
        log(QStringLiteral("disconnected"));
        server->connections.remove(this);
        deleteLater();
    }

    Server *server;
    QTcpSocket *socket;
    int id;
    QString peer;
    std::unique_ptr<Instrument> meterView; // outlives the conversation, which uses it
    Interpreter interpreter;
    QTimer stall;
    bool reading = false;
    bool ended = false;
    bool disconnectedSeen = false;
};

Server::Server(SharedMeter &meter, const QByteArray &version, int maxClients, int stallMs, QObject *parent)
    : QObject(parent),
      meter(meter),
      version(version),
      maxClients(maxClients),
      stallMs(stallMs),
      tcp(new QTcpServer(this))
{
    connect(tcp, &QTcpServer::newConnection, this, &Server::accept);
    connect(&meter, &SharedMeter::unplugged, this, [this] {
        emit logged(QStringLiteral("the meter is gone from %1 (unplugged or switched off): queries answer -241 "
                                   "until it is back")
                        .arg(this->meter.portName()));
    });
    connect(&meter, &SharedMeter::pluggedIn, this, [this] {
        emit logged(QStringLiteral("the meter is back on %1").arg(this->meter.portName()));
    });
    connect(&meter, &SharedMeter::trouble, this, [this](const QString &reason, int code) {
        emit logged(QStringLiteral("the meter: %1: answered %2").arg(reason).arg(code));
    });
}

Server::~Server()
{
    // Clients still connected go without a line each: the server is ending.
    for (Connection *connection : qAsConst(connections))
        connection->drop();
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    return tcp->listen(address, port);
}

QString Server::errorString() const
{
    return tcp->errorString();
}

QHostAddress Server::address() const
{
    return tcp->serverAddress();
}

quint16 Server::port() const
{
    return tcp->serverPort();
}

QString Server::endpointText(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

void Server::accept()
{
    while (QTcpSocket *socket = tcp->nextPendingConnection()) {
        if (connections.size() >= maxClients) {
            emit logged(QStringLiteral("refused a client from %1: %2 clients already (--max-clients)")
                            .arg(endpointText(socket->peerAddress(), socket->peerPort()))
                            .arg(maxClients));
            socket->close();
            socket->deleteLater();
            continue;
        }
        connections.insert(new Connection(this, socket, nextId++));
    }
}

} // namespace scpi
