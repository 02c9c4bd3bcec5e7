#pragma once
#include <QTcpSocket>
#include <sys/socket.h>

#include "support/Pty.h"

// A browser's side of one connection to the bridge.
struct TClient {
    QTcpSocket Socket;
    explicit TClient(quint16 port, const QHostAddress& address = QHostAddress(QHostAddress::LocalHost)) {
        Socket.connectToHost(address, port);
        Socket.waitForConnected(2000);
    }
    void Send(const QByteArray& bytes) {
        Socket.write(bytes);
        Socket.flush();
    }
    // Leaves with a reset, as a browser that gives up on a page does.
    void Reset() {
        const linger reset{1, 0};
        ::setsockopt(static_cast<int>(Socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        Socket.abort();
    }
    // Ends its sending side and goes on reading.
    void HalfClose() { ::shutdown(static_cast<int>(Socket.socketDescriptor()), SHUT_WR); }
    // Everything the server sends until it closes the connection.
    QByteArray ReadToClose(std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        QByteArray all;
        WaitUntil(
            [&] {
                all += Socket.readAll();
                return Socket.state() == QAbstractSocket::UnconnectedState;
            },
            limit);
        return all + Socket.readAll();
    }
};
