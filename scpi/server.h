// SPDX-License-Identifier: MIT
#pragma once

// SCPI over TCP: each connection a client with its own conversation, all
// of them on one shared meter. What it does that a client or the operator
// should know goes out as a line through logged().

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

class QTcpServer;

namespace scpi {

class SharedMeter;

class Server : public QObject
{
    Q_OBJECT

public:
    // Replies waiting for a client that does not read them: beyond this it is
    // cut off, so it cannot grow the server's memory.
    static constexpr int maxUnreadBytes = 64 * 1024;
    // Input held while a client's line waits for the meter; more waits in the
    // socket, where TCP holds the client back.
    static constexpr int maxHeldInputBytes = 16 * 1024;
    // stallMs: a query without its newline and then nothing for this long
    // is -420; serve takes the meter's deadline, as long as it waits for a reply.
    Server(SharedMeter &meter, const QByteArray &version, int maxClients, int stallMs, QObject *parent = nullptr);
    ~Server() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const;
    QHostAddress address() const;
    quint16 port() const;
    int clientCount() const { return int(connections.size()); }

    // "[::1]:5025", "127.0.0.1:5025"
    static QString endpointText(const QHostAddress &address, quint16 port);

signals:
    void logged(const QString &line);

private:
    class Connection;
    void accept();

    SharedMeter &meter;
    QByteArray version;
    int maxClients;
    int stallMs;
    QTcpServer *tcp;
    QSet<Connection *> connections;
    int nextId = 1;
};

} // namespace scpi
