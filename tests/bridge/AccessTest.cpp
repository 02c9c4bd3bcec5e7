// Who may reach the device: where the server listens, and which requests the dispatcher refuses
// before the device sees any of them.
#include <gtest/gtest.h>

#include <QHostInfo>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge/Bridge.h"
#include "support/LinePeek.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_TCP.h"
#include "support/Hub.h"

namespace {
using namespace std::chrono_literals;

// Whether a TCP connection to the address and port is accepted by the system.
bool Connects(const char* address, quint16 port) {
    sockaddr_storage target{};
    socklen_t size = 0;
    auto& v4 = reinterpret_cast<sockaddr_in&>(target);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(target);
    if (::inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        size = sizeof v4;
    } else if (::inet_pton(AF_INET6, address, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        size = sizeof v6;
    }
    const int fd = ::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), size) == 0;
    ::close(fd);
    return connected;
}

struct TListening : TSides {
    quint16 Port = FreeTcpPort();
    explicit TListening(const QString& listen) {
        Tcp.Port = Port;
        Tcp.Listen = listen;
        Tcp.RestartServer();
    }
};

struct TGuardedBridge : TBridge {
    explicit TGuardedBridge(bool framing = true, const QString& allowed = {})
        : TBridge(100, framing, [allowed] { SettingsWriteString("TCP\\AllowedHosts", allowed); }) {}
    // The client's whole answer, and what of its request reached the device.
    std::pair<QByteArray, QByteArray> Exchange(const QByteArray& request, const QByteArray& answer = {}) {
        TClient client(Port);
        const int32_t id = Connect(client, request);
        TakeUp(id);
        const QByteArray seen = Device.Read(static_cast<int>(request.size()), 300ms);
        if (!seen.isEmpty())
            Device.Write(answer);
        return {client.ReadToClose(), seen};
    }
};

const QByteArray Answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
} // namespace

TEST(ListenAddress, OneAddressIsTheOnlyOneThatAnswers) {
    TListening side("127.0.0.1");
    ASSERT_TRUE(side.Tcp.ServerSocket1->Active());
    EXPECT_TRUE(Connects("127.0.0.1", side.Port));
    EXPECT_FALSE(Connects("127.0.0.2", side.Port));
    EXPECT_FALSE(Connects("::1", side.Port));
}

TEST(ListenAddress, LocalhostListensOnBothLoopbackAddressesAndNowhereElse) {
    TListening side("localhost");
    ASSERT_TRUE(side.Tcp.ServerSocket1->Active());
    EXPECT_TRUE(Connects("127.0.0.1", side.Port));
    EXPECT_TRUE(Connects("::1", side.Port));
    EXPECT_FALSE(Connects("127.0.0.2", side.Port));
    EXPECT_EQ(side.Tcp.BrowserHost(), "localhost");
}

TEST(ListenAddress, AnAddressThatIsNotThisMachinesIsReportedAndNothingListens) {
    for (const QString& listen : {QString("10.255.255.1"), QString("not-an-address")}) {
        TListening side(listen);
        EXPECT_FALSE(side.Tcp.ServerSocket1->Active());
        ASSERT_EQ(side.Log().size(), 2) << listen.toStdString();
        EXPECT_EQ(side.Log()[0], "TCP: Open Socket Error");
        EXPECT_TRUE(side.Log()[1].startsWith("TCP: cannot listen on ")) << side.Log()[1].toStdString();
        EXPECT_FALSE(Connects("127.0.0.1", side.Port));
    }
    EXPECT_TRUE(TListening("not-an-address").Log().last().endsWith("\"not-an-address\" is not an IP address"));
}

TEST(ListenAddress, ALanAddressIsWhereTheBrowserIsSent) {
    TSides side;
    side.Tcp.Listen = "192.168.7.7";
    EXPECT_EQ(side.Tcp.BrowserHost(), "192.168.7.7");
    side.Tcp.Listen = "fd00::7";
    EXPECT_EQ(side.Tcp.BrowserHost(), "[fd00::7]");
    side.Tcp.Listen = "::1";
    EXPECT_EQ(side.Tcp.BrowserHost(), "localhost");
}

TEST(RequestGuard, AForeignHostIsRefusedWithAFixedAnswerAndTheDeviceSeesNothing) {
    for (const bool framing : {true, false}) {
        TGuardedBridge bridge(framing);
        const auto [answer, seen] =
            bridge.Exchange("GET /config HTTP/1.1\r\nHost: rebound.<evil>.example:24111\r\n\r\n", Answer);
        EXPECT_EQ(seen, "") << "framing " << framing;
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 403 Forbidden\r\nConnection: close\r\n"));
        EXPECT_TRUE(answer.contains("The host name rebound.&lt;evil&gt;.example:24111 is not allowed. To allow it, "
                                    "add it to TCP\\AllowedHosts in the settings file."))
            << answer.constData();
        EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("TCP: refused host rebound.<evil>.example:24111"));
        EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    }
}

TEST(RequestGuard, AllowedRequestsReachTheDeviceUnchanged) {
    TGuardedBridge bridge(true, "device.lan");
    for (const QByteArray& request :
         {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(bridge.Port) + "\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: " + QHostInfo::localHostName().toUtf8() + "\r\n\r\n",
          QByteArray("GET / HTTP/1.1\r\nHost: device.lan\r\n\r\n"), QByteArray("GET / HTTP/1.0\r\n\r\n"),
          QByteArray("POST /set HTTP/1.1\r\nhost: LOCALHOST:24111\r\norigin: http://localhost:24111\r\nContent-Length: 0\r\n\r\n"),
          QByteArray("GET /a HTTP/1.1\r\nHost: [::1]:24111\r\nOrigin: https://evil.example\r\n\r\n"),
          QByteArray("\x01\x02 not http at all\r\n\r\n")}) {
        const auto [answer, seen] = bridge.Exchange(request, Answer);
        EXPECT_EQ(seen, request);
        EXPECT_EQ(answer, Answer) << request.constData();
    }
}

TEST(RequestGuard, ACrossSitePostAndRepeatedHostsAreRefused) {
    TGuardedBridge bridge;
    const auto [post, postSeen] = bridge.Exchange(
        "POST /set HTTP/1.1\r\nHost: localhost:24111\r\nOrigin: https://evil.example\r\nContent-Length: 3\r\n\r\nx=1");
    EXPECT_EQ(postSeen, "");
    EXPECT_TRUE(post.contains("Pages of https://evil.example may not send this request.")) << post.constData();
    const auto [twice, twiceSeen] = bridge.Exchange("GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n");
    EXPECT_EQ(twiceSeen, "");
    EXPECT_TRUE(twice.contains("The host name localhost, evil.example is not allowed."));
    const int lines = bridge.Program.LogLines().size();
    bridge.Exchange("GET / HTTP/1.1\r\nHost: evil\rTCP: Listen\r\n\r\n");
    EXPECT_EQ(bridge.Program.LogLines().size(), lines + 1);
    EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("TCP: refused host evil?TCP: Listen"));
}

TEST(RequestGuard, WithTheChecksAndFramingOffAHalfRequestStillWaitsForItsRest) {
    TGuardedBridge bridge(false, "*");
    TClient client(bridge.Port);
    const int32_t id = bridge.Connect(client, "GET / HTTP/1.1\r\nHost: evil.exa");
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(1, 100ms), "");
    client.Send("mple\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().Clients.FindById(id)->Request.Whole(); }));
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(38), "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
}
