#pragma once
#include <QTcpSocket>

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
