// The TCP side of the bridge against real sockets on 127.0.0.1.
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/ServerSocket.h"
#include "support/LinePeek.h"
#include "support/Hub.h"
#include "support/Program.h"
#include "platform/Dialogs.h"
#include "support/Net.h"
#include "support/Pty.h"

namespace {
struct TTcpSide : TSides {
    quint16 Port = FreeTcpPort();
    TTcpSide() {
        Tcp.Port = Port;
        Tcp.RestartServer();
    }
    // A plain socket, so that the test can reset it; -1 unless the TCP side took it as a client.
    int ConnectRaw() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int before = Tcp.Clients.Count();
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            !WaitUntil([&] { return Tcp.Clients.Count() == before + 1; }))
            return -1;
        return fd;
    }
    int32_t LastReadId() const {
        for (auto it = Hub.Messages.crbegin(); it != Hub.Messages.crend(); ++it)
            if (it->first == WM_SV_TCP_READ)
                return static_cast<int32_t>(it->second);
        return 0;
    }
};

void ResetAndClose(int fd) {
    linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}
} // namespace

TEST(FixedAnswers, AreByteForByteAsDocumented) {
    EXPECT_EQ(DeviceNotRespondingAnswer.size(), 207);
    EXPECT_EQ(DeviceNotAvailableAnswer.size(), 201);
    EXPECT_TRUE(DeviceNotRespondingAnswer.startsWith("HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\n"));
    EXPECT_TRUE(DeviceNotRespondingAnswer.endsWith("<b>Device is not responding.</b></p></body></html>\r\n"));
    EXPECT_TRUE(DeviceNotAvailableAnswer.contains("\r\n\r\n<html><body><b>Error!</b><p><b>~ is not available."));
    EXPECT_TRUE(DeviceNotAvailableAnswer.contains("Content-Type: text/html; charset=windows-1251\r\nCache-Control: no-cache\r\n"));
}

TEST(TcpSide, ARequestInPiecesIsGatheredWithOneReadMessagePerPiece) {
    TTcpSide side;
    EXPECT_TRUE(side.Log().contains("TCP: Listen"));
    TClient client(side.Port);
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_ACCEPT) == 1; }));
    client.Send("GET / HT");
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_READ) == 1; }));
    client.Send("TP/1.1\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_READ) == 2; }));
    EXPECT_EQ(side.LastReadId(), 1);
    EXPECT_EQ(side.Tcp.FirstWaiting(), 1);
    int32_t total = -1;
    EXPECT_EQ(side.Tcp.TakeRequest(1, total), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(total, 18);
    EXPECT_EQ(side.Tcp.FirstWaiting(), -1);
    EXPECT_EQ(side.Tcp.TakeRequest(1, total), "");
    EXPECT_EQ(total, 18);
    EXPECT_TRUE(side.Tcp.IsClientConnected(1));
}

TEST(TcpSide, ClientIdsStartAtOneAndWrapAfterTheLargest) {
    TTcpSide side;
    TClient first(side.Port);
    ASSERT_TRUE(WaitUntil([&] { return side.Tcp.LastClientId == 1; }));
    side.Tcp.LastClientId = 2147483647;
    TClient second(side.Port);
    ASSERT_TRUE(WaitUntil([&] { return side.Tcp.Clients.Count() == 2; }));
    EXPECT_EQ(side.Tcp.LastClientId, 1);
    EXPECT_EQ(side.Tcp.Clients.IndexOfId(1), 0);
    EXPECT_EQ(side.Tcp.Clients.IndexOfId(2), -1);
}

TEST(TcpSide, RequestOfAClientWithoutConnectionIsKept) {
    TTcpSide side;
    auto record = std::make_unique<TClientRecord>();
    record->Id = 99;
    record->Pending = "kept";
    record->Received = 4;
    side.Tcp.Clients.Add(std::move(record));
    int32_t total = 0;
    EXPECT_EQ(side.Tcp.TakeRequest(99, total), "");
    EXPECT_EQ(total, 4);
    EXPECT_EQ(side.Tcp.Clients.FindById(99)->Pending, "kept");
    total = -5;
    EXPECT_EQ(side.Tcp.TakeRequest(7, total), "");
    EXPECT_EQ(total, -5);
    EXPECT_FALSE(side.Tcp.IsClientConnected(99));
    side.Tcp.Clients.RemoveById(99);
    EXPECT_EQ(side.Tcp.Clients.FindById(99), nullptr);
}

TEST(TcpSide, AnEmptyAnswerKeepsTheConnectionAndALargeOneArrivesWholeBeforeTheClose) {
    TTcpSide side;
    TClient client(side.Port);
    ASSERT_TRUE(WaitUntil([&] { return side.Tcp.Clients.Count() == 1; }));
    side.Tcp.SendAnswer(1, "");
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(side.Tcp.IsClientConnected(1));

    QByteArray answer;
    for (int i = 0; i < 6 * 1024 * 1024; ++i)
        answer += static_cast<char>(i * 7 % 256);
    side.Tcp.SendAnswer(1, answer);
    EXPECT_EQ(client.ReadToClose(), answer);
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_CLOSE) == 1; }));
    EXPECT_EQ(side.Tcp.Clients.Count(), 0);
    EXPECT_EQ(side.Tcp.ServerSocket1->ActiveConnections(), 0);
}

TEST(TcpSide, AClientResetGivesTwoCloseMessagesAndALogLine) {
    TTcpSide side;
    const int fd = side.ConnectRaw();
    ASSERT_GE(fd, 0);
    ResetAndClose(fd);
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_CLOSE) == 2; }));
    EXPECT_EQ(side.Hub.Messages.last(), (std::pair<int, intptr_t>{WM_SV_TCP_CLOSE, 1}));
    EXPECT_TRUE(side.Log().contains("TCP: 127.0.0.1 Error10054"));
    EXPECT_EQ(side.Tcp.Clients.Count(), 0);
}

// The reset reaches the server before anything reads it, so the answer's first send fails
// inside SendAnswer and the error handler closes the connection in the middle of that call.
TEST(TcpSide, AClientResetJustBeforeItsAnswerIsClosedOnceAndOutlivesTheCallThatClosedIt) {
    TTcpSide side;
    const int fd = side.ConnectRaw();
    ASSERT_GE(fd, 0);
    QPointer<TServerConnection> connection = side.Tcp.FindConnection(1);
    ResetAndClose(fd);

    side.Tcp.SendAnswer(1, QByteArray(4 * 1024 * 1024, 'x'));
    ASSERT_FALSE(connection.isNull());
    EXPECT_FALSE(connection->Connected());
    EXPECT_EQ(side.Tcp.Clients.Count(), 0);
    EXPECT_EQ(side.Tcp.ServerSocket1->ActiveConnections(), 0);
    EXPECT_EQ(side.Tcp.FindConnection(1), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(connection.isNull());
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_CLOSE) == 2; }));
    EXPECT_TRUE(side.Log().last().startsWith("TCP: 127.0.0.1 Error100")) << side.Log().last().toStdString();
}

TEST(TcpSide, AnOrderlyCloseByTheClientGivesOneCloseMessageAndNoLogLine) {
    TTcpSide side;
    {
        TClient client(side.Port);
        ASSERT_TRUE(WaitUntil([&] { return side.Tcp.Clients.Count() == 1; }));
        client.Send("partial");
        ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_READ) == 1; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_TCP_CLOSE) == 1; }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(side.Hub.Count(WM_SV_TCP_CLOSE), 1);
    EXPECT_EQ(side.Log(), QStringList{"TCP: Listen"});
    EXPECT_EQ(side.Tcp.Clients.Count(), 0);
}

TEST(TcpSide, APortInUseIsLoggedAndALaterRestartWorks) {
    TTcpSide side;
    QTcpServer occupier;
    ASSERT_TRUE(occupier.listen(QHostAddress::AnyIPv4, 0));
    side.Tcp.Port = occupier.serverPort();
    side.Dist.BtClearClick();
    side.Tcp.RestartServer();
    EXPECT_EQ(side.Log(), (QStringList{"TCP: Open Socket Error", "TCP: cannot listen on 0.0.0.0 port " +
                                                                       QString::number(side.Tcp.Port) +
                                                                       ": The bound address is already in use"}));
    EXPECT_FALSE(side.Tcp.ServerSocket1->Active());
    occupier.close();
    side.Tcp.RestartServer();
    EXPECT_EQ(side.Log().last(), "TCP: Listen");
    TClient client(side.Tcp.Port);
    EXPECT_EQ(client.Socket.state(), QAbstractSocket::ConnectedState);
}

TEST(TcpSide, DeactivatingClosesEveryClientWithoutCloseMessages) {
    TTcpSide side;
    TClient a(side.Port);
    TClient b(side.Port);
    ASSERT_TRUE(WaitUntil([&] { return side.Tcp.Clients.Count() == 2; }));
    side.Tcp.RestartServer();
    EXPECT_EQ(side.Tcp.Clients.Count(), 0);
    EXPECT_EQ(side.Tcp.ServerSocket1->ActiveConnections(), 0);
    EXPECT_TRUE(WaitUntil([&] { return a.Socket.state() == QAbstractSocket::UnconnectedState; }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(side.Hub.Count(WM_SV_TCP_CLOSE), 0);
    EXPECT_EQ(side.Tcp.LastClientId, 2);
}

TEST(MainWindowAndSides, SavingANewPortMovesTheServerAndTheStatusCountsClients) {
    TProgram program;
    const quint16 first = FreeTcpPort();
    program.Params().LoadSettings();
    program.Params().EditTCPPort->setText(QString::number(first));
    program.Params().SaveSettings();
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    {
        TClient client(first);
        ASSERT_TRUE(WaitUntil([&] { return program.Tcp().Clients.Count() == 1; }));
        program.Main().UpdateStatus();
        EXPECT_EQ(program.Main().StatusPanels[1]->text(), "Id:1");
        EXPECT_EQ(program.Main().StatusPanels[2]->text(), "c:1/1");
    }
    const quint16 second = FreeTcpPort();
    program.Params().EditTCPPort->setText(QString::number(second));
    FreshDialogs();
    program.Params().BtSaveClick();
    QCoreApplication::processEvents();
    EXPECT_EQ(program.Tcp().ServerSocket1->Port, second);
    TClient moved(second);
    EXPECT_EQ(moved.Socket.state(), QAbstractSocket::ConnectedState);
    TClient old(first);
    EXPECT_NE(old.Socket.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(ScriptedDialogs().Texts, QStringList{"Error oppening COM port!"});
}
