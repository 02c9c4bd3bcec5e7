#include "bridge/ServerSocket.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Exception.h"
#include "platform/Tracing.h"

namespace {
// Clients that connect faster than they are accepted must wait, not be refused.
constexpr int ListenBacklog = SOMAXCONN;

// Hands every accepted descriptor to the server socket instead of wrapping it in a QTcpSocket.
class TListener : public QTcpServer {
public:
    std::function<void(int)> OnDescriptor;

protected:
    void incomingConnection(qintptr descriptor) override { OnDescriptor(static_cast<int>(descriptor)); }
};

QString PeerAddress(int fd) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (peer.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(peer).sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// What a closing connection may read and throw away in one turn of the event loop.
constexpr size_t DiscardTurnBytes = 64 * 1024;
} // namespace

int SocketErrorCode(int error) {
    switch (error) {
    case ECONNRESET: return 10054;
    case ETIMEDOUT: return 10060;
    case EPIPE: return 10058;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case EHOSTUNREACH: return 10065;
    default: return 10053;
    }
}

TServerConnection::TServerConnection(TServerSocket& server, int fd)
    : QObject(&server), Server(server), Fd(fd), Peer(PeerAddress(fd)),
      ReadNotifier(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      WriteNotifier(new QSocketNotifier(fd, QSocketNotifier::Write, this)), StallTimer(new QTimer(this)) {
    WriteNotifier->setEnabled(false);
    StallTimer->setSingleShot(true);
    StallTimer->setInterval(server.ReaderLimitMs);
    QObject::connect(ReadNotifier, &QSocketNotifier::activated, [this] { Readable(); });
    QObject::connect(WriteNotifier, &QSocketNotifier::activated, [this] { Writable(); });
    QObject::connect(StallTimer, &QTimer::timeout, [this] { Server.ClientStalled(*this); });
}

TServerConnection::~TServerConnection() { Release(); }

bool TServerConnection::AwaitsReader() const { return StallTimer->isActive(); }

void TServerConnection::Release() {
    if (Fd < 0)
        return;
    ReadNotifier->setEnabled(false);
    WriteNotifier->setEnabled(false);
    StallTimer->stop();
    ::close(Fd);
    Fd = -1;
}

// The end of the peer's input is no disconnect: a client that half-closed after its request
// still reads its answer.
void TServerConnection::Readable() {
    if (Gone)
        return;
    if (Closing) {
        Discard();
        return;
    }
    char probe;
    const ssize_t n = ::recv(Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        if (Server.OnClientRead)
            Server.OnClientRead(*this);
    } else if (n == 0) {
        ReadNotifier->setEnabled(false);
        InputDone = true;
        if (Server.OnClientEnd)
            Server.OnClientEnd(*this);
    } else if (!WouldBlock(errno)) {
        Server.Failed(*this, errno);
    }
}

// Input of a closing connection belongs to no request; a reset ends the connection at once.
void TServerConnection::Discard() {
    char bytes[4096];
    for (size_t total = 0; total < DiscardTurnBytes; total += sizeof bytes) {
        const ssize_t n = ::recv(Fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0) {
            ReadNotifier->setEnabled(false);
            InputDone = true;
        } else if (!WouldBlock(errno)) {
            Outgoing.clear();
            Server.Failed(*this, errno);
            Server.Disconnected(*this);
        }
        return;
    }
}

void TServerConnection::Writable() {
    if (Gone)
        return;
    const qsizetype before = Outgoing.size();
    const bool flushed = Flush();
    if (!Gone && !Closing && Outgoing.size() < before && Server.OnClientWrite)
        Server.OnClientWrite(*this);
    if (Gone || !flushed)
        return;
    WriteNotifier->setEnabled(false);
    if (Closing) {
        ::shutdown(Fd, SHUT_WR);
        Server.Disconnected(*this);
    }
}

// Sends what is queued; false while bytes are left or after a failure.
bool TServerConnection::Flush() {
    bool progress = false;
    while (!Outgoing.isEmpty()) {
        const ssize_t n = ::send(Fd, Outgoing.constData(), static_cast<size_t>(Outgoing.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            Outgoing.remove(0, n);
            Sent += n;
            progress = true;
            continue;
        }
        if (n < 0 && WouldBlock(errno)) {
            WriteNotifier->setEnabled(true);
            if (progress || !StallTimer->isActive())
                StallTimer->start();
            return false;
        }
        Outgoing.clear();
        Server.Failed(*this, n < 0 ? errno : EPIPE);
        // A connection that failed while closing ends here; the error handler could not close it.
        if (Closing && !Gone)
            Server.Disconnected(*this);
        return false;
    }
    StallTimer->stop();
    return true;
}

TServerSocket::TServerSocket(QObject* parent)
    : QObject(parent), HeldWatch(::epoll_create1(EPOLL_CLOEXEC)),
      HeldNotifier(new QSocketNotifier(HeldWatch, QSocketNotifier::Read, this)) {
    QObject::connect(HeldNotifier, &QSocketNotifier::activated, [this] { HeldEnded(); });
}

// Connections still open are children of the server socket and go with it.
TServerSocket::~TServerSocket() {
    delete HeldNotifier;
    ::close(HeldWatch);
}

bool TServerSocket::Active() const { return !Listeners.empty(); }

void TServerSocket::SetActive(bool active) {
    if (active == Active())
        return;
    if (!active) {
        DropAll();
        CloseListeners();
        return;
    }
    try {
        if (Address.isEmpty()) {
            Listen(QHostAddress(QHostAddress::AnyIPv4), false);
        } else if (Address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
            Listen(QHostAddress(QHostAddress::LocalHost), false);
            Listen(QHostAddress(QHostAddress::LocalHostIPv6), true);
        } else {
            const QHostAddress address(Address);
            if (address.isNull())
                throw EQuellorError(QStringLiteral("\"%1\" is not an IP address").arg(Address));
            Listen(address, false);
        }
    } catch (const std::exception&) {
        CloseListeners();
        throw;
    }
    if (OnListen)
        OnListen();
}

void TServerSocket::StopListening() {
    for (QTcpServer* listener : Listeners)
        listener->waitForNewConnection(0);
    CloseListeners();
}

void TServerSocket::CloseListeners() {
    for (QTcpServer* listener : std::exchange(Listeners, {}))
        delete listener;
}

// optional: a system without that kind of address is no error.
void TServerSocket::Listen(const QHostAddress& address, bool optional) {
    auto* listener = new TListener;
    listener->setParent(this);
    listener->setListenBacklogSize(ListenBacklog);
    listener->OnDescriptor = [this](int fd) { Accepted(fd); };
    if (listener->listen(address, Port)) {
        Listeners.push_back(listener);
        return;
    }
    const QAbstractSocket::SocketError error = listener->serverError();
    const QString reason = listener->errorString();
    delete listener;
    if (optional && (error == QAbstractSocket::SocketAddressNotAvailableError ||
                     error == QAbstractSocket::UnsupportedSocketOperationError))
        return;
    throw EQuellorError(QStringLiteral("%1 port %2: %3").arg(address.toString()).arg(Port).arg(reason));
}

void TServerSocket::Accepted(int fd) {
    auto& connection = *new TServerConnection(*this, fd);
    Connections.push_back(&connection);
    qCDebug(lcTcp) << "accepted a connection from" << connection.RemoteAddress();
    if (OnAccept)
        OnAccept(connection);
}

void TServerSocket::DropAll() {
    for (TServerConnection* connection : std::list(Connections))
        Retire(*connection);
}

void TServerSocket::Retire(TServerConnection& connection) {
    connection.Gone = true;
    connection.Release();
    Connections.remove(&connection);
    connection.deleteLater();
}

void TServerSocket::Failed(TServerConnection& connection, int error) {
    if (connection.Gone)
        return;
    int code = SocketErrorCode(error);
    qCDebug(lcTcp) << "connection" << connection.Data << "failed:" << strerror(error);
    if (OnClientError)
        OnClientError(connection, code);
    if (code != 0)
        ShowErrorBox(ErrorReportText(QStringLiteral("Socket Error # %1").arg(code)));
}

void TServerSocket::Disconnected(TServerConnection& connection) {
    if (connection.Gone)
        return;
    Retire(connection);
    qCDebug(lcTcp) << "connection" << connection.Data << "closed";
    if (OnClientDisconnect)
        OnClientDisconnect(connection);
}

QByteArray TServerSocket::ReceiveText(TServerConnection& connection, qsizetype limit) {
    QByteArray text;
    int waiting = 0;
    while (text.size() < limit && connection.Fd >= 0 && ::ioctl(connection.Fd, FIONREAD, &waiting) == 0 && waiting > 0) {
        const qsizetype start = text.size();
        const qsizetype take = std::min<qsizetype>(waiting, limit - start);
        text.resize(start + take);
        const ssize_t n = ::recv(connection.Fd, text.data() + start, static_cast<size_t>(take), MSG_DONTWAIT);
        text.resize(start + std::max<ssize_t>(n, 0));
        if (n <= 0)
            break;
    }
    return text;
}

void TServerSocket::HoldInput(TServerConnection& connection, bool hold) {
    if (connection.Fd < 0)
        return;
    if (!hold || connection.Closing || connection.InputDone) {
        ::epoll_ctl(HeldWatch, EPOLL_CTL_DEL, connection.Fd, nullptr);
        if (!connection.Closing && !connection.InputDone)
            connection.ReadNotifier->setEnabled(true);
        return;
    }
    connection.ReadNotifier->setEnabled(false);
    epoll_event watch{};
    watch.events = EPOLLRDHUP | EPOLLET;
    watch.data.fd = connection.Fd;
    ::epoll_ctl(HeldWatch, EPOLL_CTL_ADD, connection.Fd, &watch);
}

void TServerSocket::HeldEnded() {
    epoll_event ended[64];
    const int count = ::epoll_wait(HeldWatch, ended, 64, 0);
    for (int i = 0; i < count; ++i) {
        const auto held = std::find_if(Connections.begin(), Connections.end(),
                                       [fd = ended[i].data.fd](const TServerConnection* c) { return c->Fd == fd; });
        if (held == Connections.end())
            continue;
        ::epoll_ctl(HeldWatch, EPOLL_CTL_DEL, (*held)->Fd, nullptr);
        if (OnClientHeldEnd)
            OnClientHeldEnd(**held);
    }
}

std::optional<QByteArray> TServerSocket::FinalInput(const TServerConnection& connection) const {
    if (connection.InputDone || connection.Fd < 0)
        return QByteArray();
    pollfd state{connection.Fd, POLLRDHUP, 0};
    if (::poll(&state, 1, 0) != 1 || (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
        return std::nullopt;
    QByteArray rest;
    int waiting = 0;
    if (::ioctl(connection.Fd, FIONREAD, &waiting) == 0 && waiting > 0) {
        rest.resize(waiting);
        const ssize_t n = ::recv(connection.Fd, rest.data(), static_cast<size_t>(waiting), MSG_PEEK | MSG_DONTWAIT);
        rest.resize(std::max<ssize_t>(n, 0));
    }
    return rest;
}

void TServerSocket::SendText(TServerConnection& connection, const QByteArray& bytes) {
    if (!connection.Connected())
        return;
    connection.Outgoing += bytes;
    connection.Flush();
}

void TServerSocket::ClientStalled(TServerConnection& connection) {
    if (connection.Gone)
        return;
    if (OnClientStalled)
        OnClientStalled(connection);
    Abort(connection);
}

void TServerSocket::Abort(TServerConnection& connection) {
    if (connection.Gone)
        return;
    const linger reset{1, 0};
    ::setsockopt(connection.Fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    connection.Outgoing.clear();
    Disconnected(connection);
}

void TServerSocket::Close(TServerConnection& connection) {
    if (connection.Gone || connection.Closing)
        return;
    connection.Closing = true;
    // Unread input would turn the close into a reset and could cost the client its answer.
    if (!connection.InputDone)
        connection.ReadNotifier->setEnabled(true);
    connection.Discard();
    if (!connection.Gone && connection.Outgoing.isEmpty()) {
        ::shutdown(connection.Fd, SHUT_WR);
        Disconnected(connection);
    }
}

TServerConnection* TServerSocket::FindByData(intptr_t data) const {
    for (TServerConnection* connection : Connections)
        if (connection->Data == data)
            return connection;
    return nullptr;
}

void TServerSocket::ReadNow(TServerConnection& connection) {
    if (OnClientRead)
        OnClientRead(connection);
}
