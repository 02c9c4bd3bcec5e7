#include "bridge/ServerSocket.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Exception.h"

namespace {
constexpr int ListenBacklog = 5;
constexpr int WSAECONNABORTED = 10053, WSAECONNRESET = 10054, WSAETIMEDOUT = 10060, WSAENETDOWN = 10050;

// Qt reports an orderly close by the peer and a reset alike; the kernel's connection state tells them apart.
bool WasReset(QTcpSocket* socket) {
    tcp_info info{};
    socklen_t size = sizeof info;
    const auto fd = socket->socketDescriptor();
    return fd >= 0 && getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_CLOSE;
}
} // namespace

int SocketErrorCode(QTcpSocket* socket) {
    switch (socket->error()) {
    case QAbstractSocket::RemoteHostClosedError: return WasReset(socket) ? WSAECONNRESET : 0;
    case QAbstractSocket::SocketTimeoutError: return WSAETIMEDOUT;
    case QAbstractSocket::NetworkError: return WSAENETDOWN;
    default: return WSAECONNABORTED;
    }
}

bool TServerConnection::Connected() const {
    return !Gone && Socket->state() == QAbstractSocket::ConnectedState;
}

QString TServerConnection::RemoteAddress() const {
    const QHostAddress address = Socket->peerAddress();
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

TServerSocket::TServerSocket(QObject* parent) : QObject(parent), Server(new QTcpServer(this)) {
    Server->setListenBacklogSize(ListenBacklog);
    connect(Server, &QTcpServer::newConnection, this, &TServerSocket::AcceptPending);
}

TServerSocket::~TServerSocket() { DropAll(); }

bool TServerSocket::Active() const { return Server->isListening(); }

void TServerSocket::SetActive(bool active) {
    if (active == Active())
        return;
    if (!active) {
        DropAll();
        Server->close();
        return;
    }
    if (!Server->listen(QHostAddress::AnyIPv4, Port))
        throw EQuellorError(Server->errorString());
    if (OnListen)
        OnListen();
}

void TServerSocket::DropAll() {
    for (auto& connection : Connections) {
        connection->Socket->disconnect(this);
        connection->Socket->abort();
        connection->Socket->deleteLater();
    }
    Connections.clear();
}

void TServerSocket::AcceptPending() {
    while (QTcpSocket* socket = Server->nextPendingConnection()) {
        auto owned = std::make_unique<TServerConnection>(socket);
        TServerConnection* connection = owned.get();
        Connections.push_back(std::move(owned));
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] {
            if (OnClientRead)
                OnClientRead(*connection);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, connection] { Disconnected(connection); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, connection] { Failed(connection); });
        if (OnAccept)
            OnAccept(*connection);
    }
}

void TServerSocket::Failed(TServerConnection* connection) {
    int code = SocketErrorCode(connection->Socket);
    if (code == 0 || connection->Gone)
        return;  // an orderly close: the disconnect event follows
    if (OnClientError)
        OnClientError(*connection, code);
    if (code != 0)
        ShowErrorBox(ErrorReportText(QStringLiteral("Socket Error # %1").arg(code)));
}

void TServerSocket::Disconnected(TServerConnection* connection) {
    if (connection->Gone)
        return;
    connection->Gone = true;
    if (OnClientDisconnect)
        OnClientDisconnect(*connection);
    connection->Socket->disconnect(this);
    connection->Socket->deleteLater();
    Connections.remove_if([connection](const auto& owned) { return owned.get() == connection; });
}

QByteArray TServerSocket::ReceiveText(TServerConnection& connection) { return connection.Socket->readAll(); }

void TServerSocket::SendText(TServerConnection& connection, const QByteArray& bytes) {
    connection.Socket->write(bytes);
}

void TServerSocket::Close(TServerConnection& connection) {
    if (connection.Gone)
        return;
    QTcpSocket* socket = connection.Socket;
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        Disconnected(&connection);
}
