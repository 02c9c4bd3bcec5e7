#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>

#include "settings/SettingsTable.h"

class QSocketNotifier;
class QHostAddress;
class QTimer;
class QTcpServer;
class TServerSocket;

// One accepted client connection of the server, on its own descriptor: QTcpSocket reports a
// connection reset like an orderly close, and the TCP side needs to tell them apart.
//
// Lifetime: a connection is never destroyed inside a call that reaches the owner's handlers.
// Closing it (Disconnected, DropAll) releases its descriptor at once, takes it out of the list and
// leaves its destruction to the event loop (deleteLater), which runs it only once control is back
// in the loop that was running when it closed. Every caller further up the stack (a notifier,
// Flush, SendText, the owner's SendAnswer) may therefore still read the connection after a
// handler closed it, and sees Gone.
class TServerConnection : public QObject {
public:
    TServerConnection(TServerSocket& server, int fd);
    ~TServerConnection() override;
    bool Connected() const { return !Gone && !Closing; }
    // The peer sent all it will send (it half-closed); it may still read.
    bool InputEnded() const { return InputDone; }
    QString RemoteAddress() const { return Peer; }
    // Bytes the socket took of what was sent to this connection.
    qint64 SentBytes() const { return Sent; }
    // Bytes wait to go out and the reader limit runs.
    bool AwaitsReader() const;

    intptr_t Data = 0;  // the owner's value for this connection; 0 until the accept handler sets it

private:
    friend class TServerSocket;
    void Readable();
    void Discard();
    void Writable();
    bool Flush();
    void Release();

    TServerSocket& Server;
    int Fd;
    QString Peer;
    QSocketNotifier* ReadNotifier;
    QSocketNotifier* WriteNotifier;
    // Runs while bytes wait to go out; restarted whenever the peer takes some.
    QTimer* StallTimer;
    QByteArray Outgoing;
    qint64 Sent = 0;
    bool Closing = false;
    bool Gone = false;
    bool InputDone = false;
};

// The event-driven server socket the TCP side is built on: IPv4 on all local addresses unless
// told one address (or both loopback addresses), the system's largest backlog, events delivered on the GUI thread
// in this order: listen when activated; accept once per connection, after it joined the list and
// before any read; read when data waits on a connection that is not closing (a closing
// connection's input is discarded unannounced); end when the peer half-closed a connection that
// is not closing; write when the socket took more of the bytes queued for a connection that is
// not closing; stall when a connection took nothing of its queued bytes for the reader limit
// (it is reset right after); disconnect when the peer or the program closes it, with Data still
// readable; error with a code the handler may clear. Deactivating closes every connection
// without disconnect events.
class TServerSocket : public QObject {
public:
    explicit TServerSocket(QObject* parent = nullptr);
    ~TServerSocket() override;

    bool Active() const;
    // Raises when the port cannot be listened on, listening nowhere then.
    void SetActive(bool active);
    // Closes the listeners and keeps every connection: those the system had ready are accepted
    // first, so that none is refused. SetActive(true) listens again, on Port and Address as they are then.
    void StopListening();
    uint16_t Port = static_cast<uint16_t>(DefaultNumber(key::TcpPort));
    // Empty: every IPv4 address; "localhost": 127.0.0.1 and, where the system has it, ::1;
    // otherwise one address of this machine.
    QString Address;

    int ActiveConnections() const { return static_cast<int>(Connections.size()); }
    const std::list<TServerConnection*>& ConnectionList() const { return Connections; }
    // The connection its owner numbered so (Data); none when it is gone.
    TServerConnection* FindByData(intptr_t data) const;
    // Tells the owner now that the connection has bytes, as the read event does.
    void ReadNow(TServerConnection& connection);

    // The data waiting on the connection, at most `limit` bytes.
    QByteArray ReceiveText(TServerConnection& connection, qsizetype limit);
    // While held, the connection's input is left to the system, which holds its sender back; a
    // closing connection's input is discarded all the same. Whether a held connection's peer
    // closed or reset is watched all the same: the held end event tells.
    void HoldInput(TServerConnection& connection, bool hold);
    // When the peer has sent all it will send (it half-closed or reset), what the system still
    // holds of its input, looked at without taking it; none while more may come. A held
    // connection's end is not seen by reading, and its last bytes arrive before its end does.
    std::optional<QByteArray> FinalInput(const TServerConnection& connection) const;
    // Queues the bytes; they go out without blocking, in order, before any close.
    void SendText(TServerConnection& connection, const QByteArray& bytes);
    // Closes once every byte sent has gone out; the disconnect event follows.
    void Close(TServerConnection& connection);
    // Resets the connection at once, dropping what is queued; the disconnect event follows.
    void Abort(TServerConnection& connection);
    // The bytes sent that the socket has not taken yet.
    qsizetype Unsent(const TServerConnection& connection) const { return connection.Outgoing.size(); }
    // The connection took nothing for the reader limit: the stall event, then a reset.
    void ClientStalled(TServerConnection& connection);

    // How long a connection may take nothing of what waits for it; applies to connections accepted
    // from then on. Over loopback a receiver opens its window in steps of 64 KiB, so a client
    // reading 1 KiB a second shows progress every minute.
    int ReaderLimitMs = DefaultNumber(key::TcpReaderLimit) * 1000;

    std::function<void()> OnListen;
    std::function<void(TServerConnection&)> OnAccept;
    std::function<void(TServerConnection&)> OnClientRead;
    std::function<void(TServerConnection&)> OnClientEnd;
    // The peer of a held connection closed or reset; what it sent before may still wait unread.
    std::function<void(TServerConnection&)> OnClientHeldEnd;
    std::function<void(TServerConnection&)> OnClientStalled;
    // The socket took queued bytes, so the client is reading.
    std::function<void(TServerConnection&)> OnClientWrite;
    std::function<void(TServerConnection&)> OnClientDisconnect;
    std::function<void(TServerConnection&, int& errorCode)> OnClientError;

private:
    friend class TServerConnection;
    void AcceptPending();
    void Disconnected(TServerConnection& connection);
    void Failed(TServerConnection& connection, int error);
    void DropAll();
    void Retire(TServerConnection& connection);
    void Listen(const QHostAddress& address, bool optional);
    void CloseListeners();
    void Accepted(int fd);
    void HeldEnded();

    std::list<QTcpServer*> Listeners;
    // Held connections, watched for their peer's close only.
    int HeldWatch;
    QSocketNotifier* HeldNotifier;
    std::list<TServerConnection*> Connections;
};

// The Winsock-style code of a socket error number (10054 for a connection reset by the peer).
int SocketErrorCode(int error);
