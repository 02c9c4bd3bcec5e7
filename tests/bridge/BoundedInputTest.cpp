// What clients send is read only as there is room for it: a client that pours is held back by
// the system, not kept in memory, and its bytes still reach the device whole and in order.
#include <QElapsedTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "SimDevice.h"
#include "support/LinePeek.h"
#include "bridge/Bridge.h"
#include "bridge/sv_TCP.h"

namespace {
using namespace std::chrono_literals;

const QByteArray GetA = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray AnswerA = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage A";

// Sends its bytes from a thread of its own, as fast as the server takes them.
struct TPourer {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<qsizetype> Sent{0};
    std::thread Thread;

    TPourer(quint16 port, QByteArray bytes) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const timeval patience{20, 0};
        ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        // The system's own buffers then take little of what the server leaves unread.
        const int buffer = 4096;
        ::setsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        Thread = std::thread([this, bytes] {
            while (Sent < bytes.size()) {
                const ssize_t n = ::send(Fd, bytes.constData() + Sent, static_cast<size_t>(bytes.size() - Sent), MSG_NOSIGNAL);
                if (n <= 0)
                    return;
                Sent += n;
            }
        });
    }
    ~TPourer() {
        ::shutdown(Fd, SHUT_RDWR);
        Thread.join();
        ::close(Fd);
    }
};

struct TBounded : TBridge {
    TBounded() : TBridge(100, true) {}
    int32_t NextId() {
        const int before = Program.Tcp().LastClientId;
        EXPECT_TRUE(WaitUntil([&] { return Program.Tcp().LastClientId > before; }));
        return Program.Tcp().LastClientId;
    }
};
} // namespace

TEST(BoundedInput, AWaitingClientThatPoursIsHeldBackAndItsBodyLaterReachesTheDeviceWhole) {
    TBounded line;
    TClient first(line.Port);
    line.TakeUp(line.Connect(first, GetA));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);

    const QByteArray body = TSimDevice::Pattern(3 << 20);
    const QByteArray upload = "POST /fw HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body;
    TPourer pourer(line.Port, upload);
    const int32_t id = line.NextId();
    ASSERT_TRUE(WaitUntil([&] {
        const TClientRecord* record = line.Program.Tcp().Clients.FindById(id);
        return record && record->Held();
    }, 10s));
    WaitUntil([] { return false; }, 200ms);
    EXPECT_LE(line.Program.Tcp().Clients.FindById(id)->Pending.size(), MaxKeptRequest);
    EXPECT_LT(pourer.Sent, upload.size()) << "the system took the whole body: nothing was held back";

    // Its turn: what it already sent is read before any of it goes to the line.
    line.Device.Write(AnswerA);
    EXPECT_EQ(first.ReadToClose(), AnswerA);
    ASSERT_TRUE(WaitUntil([&] {
        const TClientRecord* record = line.Program.Tcp().Clients.FindById(id);
        return record && (record->Stage() == TClientStage::Present || record->Stage() == TClientStage::PresentHeld ||
                          record->TakenUp());
    }));
    line.TakeUp(id);
    QByteArray seen;
    qsizetype mostAhead = 0;
    QElapsedTimer clock;
    clock.start();
    while (seen.size() < upload.size() && clock.elapsed() < 60000) {
        seen += line.Device.Read(1, 50ms);
        mostAhead = std::max(mostAhead, Peek(line.Line).Exchange.RequestRest.size());
    }
    EXPECT_TRUE(seen == upload) << seen.size() << " of " << upload.size();
    EXPECT_LE(mostAhead, 2048 + LookAheadBytes + MaxKeptRequest);
}

TEST(BoundedInput, AllWaitingClientsTogetherHoldAtMostTheirShareAndAWholeOneIsServedNext) {
    TBounded line;
    TClient first(line.Port);
    line.TakeUp(line.Connect(first, GetA));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);
    std::vector<std::unique_ptr<TPourer>> pourers;
    std::vector<int32_t> ids;
    const QByteArray body(1 << 20, 'b');
    for (int i = 0; i < 40; ++i) {
        pourers.push_back(std::make_unique<TPourer>(
            line.Port, "POST /u" + QByteArray::number(i) + " HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) +
                           "\r\n\r\n" + body));
        ids.push_back(line.NextId());
    }
    ASSERT_TRUE(WaitUntil([&] { return line.Program.Tcp().Clients.HeldClients().size() >= 8; }, 20s));
    WaitUntil([] { return false; }, 300ms);
    EXPECT_LE(line.Program.Tcp().Clients.WaitingBytes(), MaxWaitingBytes + MaxKeptRequest);
    line.Device.Write(AnswerA);
    EXPECT_EQ(first.ReadToClose(), AnswerA);
    EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<int32_t>(Peek(line.Line).Exchange.CurrentClient)), ids.end());
    EXPECT_TRUE(line.Device.Read(20).startsWith("POST /u"));
}

namespace {
// Fills the room of the line with waiting uploads, so that the next client is not read at all.
std::vector<std::unique_ptr<TPourer>> FillRoom(TBounded& line) {
    std::vector<std::unique_ptr<TPourer>> pourers;
    const QByteArray body(1 << 20, 'b');
    for (int i = 0; i < 40 && line.Program.Tcp().Clients.WaitingBytes() < MaxWaitingBytes; ++i) {
        pourers.push_back(std::make_unique<TPourer>(
            line.Port, "POST /u HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body));
        const int32_t id = line.NextId();
        WaitUntil([&] {
            const TClientRecord* record = line.Program.Tcp().Clients.FindById(id);
            return record && (record->Request.Whole() || record->Held());
        }, 5s);
    }
    EXPECT_TRUE(WaitUntil([&] { return line.Program.Tcp().Clients.WaitingBytes() >= MaxWaitingBytes; }, 10s));
    return pourers;
}

// The client's own system has handed every byte it was given to the server's.
bool AllDelivered(TClient& client) {
    int unacknowledged = -1;
    ::ioctl(static_cast<int>(client.Socket.socketDescriptor()), SIOCOUTQ, &unacknowledged);
    return client.Socket.bytesToWrite() == 0 && unacknowledged == 0;
}
} // namespace

// A whole GET that the program did not read for want of room waits for its turn; only a client
// the program was ready to read and that sent nothing is closed as silent.
TEST(BoundedInput, AClientHeldBackBeforeItsFirstByteIsNotClosedAsSilent) {
    TBounded line;
    TClient first(line.Port);
    line.TakeUp(line.Connect(first, GetA));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);
    const auto pourers = FillRoom(line);

    TClient held(line.Port);
    const int32_t heldId = line.NextId();
    held.Send(GetA);
    TTCPForm& tcp = line.Program.Tcp();
    ASSERT_TRUE(WaitUntil([&] { return tcp.Clients.FindById(heldId) && tcp.Clients.FindById(heldId)->Held(); }));
    EXPECT_EQ(tcp.Clients.FindById(heldId)->Request.Size(), 0);
    TClient silent(line.Port);
    const int32_t silentId = line.NextId();

    for (const int32_t id : {heldId, silentId})
        tcp.Clients.FindById(id)->ClockStart -= 21000;
    tcp.RefuseOverdue();
    EXPECT_TRUE(WaitUntil([&] { return silent.Socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_NE(tcp.FindConnection(heldId), nullptr);
    EXPECT_EQ(held.Socket.state(), QAbstractSocket::ConnectedState);
    EXPECT_TRUE(held.Socket.readAll().isEmpty());
}

// Whether the client left while its request waited in line, was held back by the room of one
// request, or reset its connection: the device never sees the unfinished request, and the
// whole request behind it is served next.
TEST(BoundedInput, AnUnfinishedRequestWhoseClientLeftBeforeItsTurnNeverReachesTheDevice) {
    TBounded line;
    TClient first(line.Port);
    line.TakeUp(line.Connect(first, GetA));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);
    const auto upload = [](qsizetype sent) {
        const QByteArray head = "POST /fw HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3145728\r\n\r\n";
        return head + QByteArray(sent - head.size(), 'u');
    };
    TTCPForm& tcp = line.Program.Tcp();
    TClient waiting(line.Port);
    const int32_t waitingId = line.Connect(waiting, upload(100000));
    TClient halfClosed(line.Port);
    line.NextId();
    halfClosed.Send(upload(MaxKeptRequest + 8192));
    TClient reset(line.Port);
    line.NextId();
    reset.Send(upload(MaxKeptRequest + 8192));
    ASSERT_TRUE(WaitUntil([&] {
        return tcp.Clients.HeldClients().size() == 2 && AllDelivered(halfClosed) && AllDelivered(reset);
    }, 10s));
    TClient behind(line.Port);
    const int32_t behindId = line.Connect(behind, GetA);

    // Each frees its place at once, held back or not, long before its turn.
    waiting.HalfClose();
    halfClosed.HalfClose();
    reset.Reset();
    ASSERT_TRUE(WaitUntil([&] { return !tcp.Clients.FindById(waitingId) && tcp.Clients.Count() == 2; }));
    EXPECT_TRUE(tcp.Clients.HeldClients().isEmpty());

    line.Device.Write(AnswerA);
    EXPECT_EQ(first.ReadToClose(), AnswerA);
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size()), 2s), GetA);
    EXPECT_EQ(Peek(line.Line).Exchange.CurrentClient, static_cast<uint32_t>(behindId));
    EXPECT_TRUE(WaitUntil([&] { return tcp.Clients.Count() == 1; }));
    EXPECT_EQ(line.Program.LogLines().filter("left before its request was whole").size(), 3)
        << line.Program.LogLines().join('\n').toStdString();
    EXPECT_TRUE(halfClosed.ReadToClose(2s).isEmpty());
    line.Device.Write(AnswerA);
    EXPECT_EQ(behind.ReadToClose(), AnswerA);
    EXPECT_TRUE(line.Device.Read(1, 300ms).isEmpty());
}

// A client pours far more than the program holds and leaves: its close is still behind bytes in
// the system's buffers, its own and the program's, when its turn comes. They are read first, and
// none of them reaches the device.
TEST(BoundedInput, AClientThatPouredAndLeftIsFoundBehindItsUnreadBytesWhenItsTurnComes) {
    TBounded line;
    TClient first(line.Port);
    line.TakeUp(line.Connect(first, GetA));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);
    TTCPForm& tcp = line.Program.Tcp();
    TClient flood(line.Port);
    const int32_t floodId = line.NextId();
    const int fd = static_cast<int>(flood.Socket.socketDescriptor());
    const QByteArray head = "POST /fw HTTP/1.1\r\nHost: localhost\r\nContent-Length: 314572800\r\n\r\n";
    ASSERT_EQ(::send(fd, head.constData(), static_cast<size_t>(head.size()), MSG_NOSIGNAL), head.size());
    const QByteArray piece(1 << 16, 'p');
    qsizetype poured = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        const ssize_t n = ::send(fd, piece.constData(), static_cast<size_t>(piece.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            poured += n;
        else if (tcp.Clients.FindById(floodId) && tcp.Clients.FindById(floodId)->Held())
            break;
        else
            WaitUntil([] { return false; }, 5ms);
    }
    ASSERT_TRUE(tcp.Clients.FindById(floodId)->Held());
    flood.Socket.close();
    WaitUntil([] { return false; }, 100ms);
    ASSERT_NE(tcp.Clients.FindById(floodId), nullptr) << "its close was seen before its turn";
    EXPECT_GT(poured, MaxKeptRequest + 256 * 1024);

    line.Device.Write(AnswerA);
    EXPECT_EQ(first.ReadToClose(), AnswerA);
    EXPECT_TRUE(WaitUntil([&] { return !tcp.Clients.FindById(floodId); }, 5s));
    EXPECT_TRUE(line.Device.Read(1, 300ms).isEmpty()) << "bytes of a client that left reached the device";
    EXPECT_EQ(line.Program.LogLines().filter("left before its request was whole").size(), 1);
    ExpectNoExchange(line.Line);
}
