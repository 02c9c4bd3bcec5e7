#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>

class QSocketNotifier;
class QTcpServer;
class TServerSocket;

// One accepted client connection of the server, on its own descriptor: QTcpSocket reports a
// connection reset like an orderly close, and the TCP side needs to tell them apart.
class TServerConnection {
public:
    TServerConnection(TServerSocket& server, int fd);
    ~TServerConnection();
    bool Connected() const { return !Gone && !Closing; }
    QString RemoteAddress() const { return Peer; }

    intptr_t Data = 0;  // the owner's value for this connection; 0 until the accept handler sets it

private:
    friend class TServerSocket;
    void Readable();
    void Writable();
    bool Flush();
    void Release();

    TServerSocket& Server;
    int Fd;
    QString Peer;
    QSocketNotifier* ReadNotifier;
    QSocketNotifier* WriteNotifier;
    QByteArray Outgoing;
    bool Closing = false;
    bool Gone = false;
};

// The event-driven server socket the TCP side is built on: IPv4 on all local addresses,
// backlog 5, events delivered on the GUI thread in this order: listen when activated; accept
// once per connection, after it joined the list and before any read; read when data waits;
// disconnect when the peer or the program closes it, with Data still readable; error with a
// code the handler may clear. Deactivating closes every connection without disconnect events.
class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    // Raises when the port cannot be listened on.
    void SetActive(bool active);
    uint16_t Port = 24111;

    int ActiveConnections() const { return static_cast<int>(Connections.size()); }
    const std::list<std::unique_ptr<TServerConnection>>& ConnectionList() const { return Connections; }

    // All data waiting on the connection.
    QByteArray ReceiveText(TServerConnection& connection);
    // Queues the bytes; they go out without blocking, in order, before any close.
    void SendText(TServerConnection& connection, const QByteArray& bytes);
    // Closes once every byte sent has gone out; the disconnect event follows.
    void Close(TServerConnection& connection);

    std::function<void()> OnListen;
    std::function<void(TServerConnection&)> OnAccept;
    std::function<void(TServerConnection&)> OnClientRead;
    std::function<void(TServerConnection&)> OnClientDisconnect;
    std::function<void(TServerConnection&, int& errorCode)> OnClientError;

private:
    friend class TServerConnection;
    void AcceptPending();
    void Disconnected(TServerConnection& connection);
    void Failed(TServerConnection& connection, int error);
    void DropAll();

    QTcpServer* Server;
    std::list<std::unique_ptr<TServerConnection>> Connections;
};

// The Winsock-style code of a socket error number (10054 for a connection reset by the peer).
int SocketErrorCode(int error);
