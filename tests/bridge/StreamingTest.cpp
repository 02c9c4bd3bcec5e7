// The dispatcher streams a framed answer to its client as it arrives, holds the line back for a
// client that reads slowly, and drops one that stops reading.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "SimDevice.h"
#include "support/LinePeek.h"
#include "bridge/Bridge.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"

namespace {
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

const QByteArray Get = "GET /big HTTP/1.1\r\nHost: localhost\r\n\r\n";

// A browser's connection with a small receive buffer of its own, read only when the test says.
struct TRawClient {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool Reset = false;

    explicit TRawClient(quint16 port) {
        const int buffer = 4096;
        ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(Fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~TRawClient() { ::close(Fd); }
    // What has arrived, at most `limit` bytes; empty at the end or after a reset.
    QByteArray Take(qsizetype limit) {
        QByteArray bytes(limit, '\0');
        const ssize_t n = ::recv(Fd, bytes.data(), static_cast<size_t>(limit), MSG_DONTWAIT);
        if (n < 0 && errno == ECONNRESET)
            Reset = true;
        bytes.resize(std::max<ssize_t>(n, 0));
        return bytes;
    }
    // Everything until the server closes or resets, running the program meanwhile.
    QByteArray ReadToEnd(std::chrono::milliseconds limit = 20s) {
        QByteArray all;
        WaitUntil(
            [&] {
                for (QByteArray got = Take(1 << 16); !got.isEmpty(); got = Take(1 << 16))
                    all += got;
                char probe;
                const ssize_t n = ::recv(Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                Reset = Reset || (n < 0 && errno == ECONNRESET);
                return n == 0 || Reset;
            },
            limit);
        return all;
    }
};

// Plays a device that writes an answer in pieces from a thread of its own, as fast as the line
// takes it or at a pace.
struct TDeviceWriter {
    std::atomic<qsizetype> Written{0};
    TClock::time_point FirstByteAt;
    std::thread Thread;

    void Start(TPty& device, QByteArray answer, qsizetype piece, std::chrono::microseconds gap = 0us) {
        FirstByteAt = TClock::now();
        Thread = std::thread([&device, answer, piece, gap, this] {
            for (qsizetype at = 0; at < answer.size(); at += piece) {
                device.Write(answer.mid(at, piece));
                Written = std::min(at + piece, answer.size());
                std::this_thread::sleep_for(gap);
            }
        });
    }
    ~TDeviceWriter() {
        if (Thread.joinable())
            Thread.join();
    }
};

struct TStreamingBridge : TBridge {
    TStreamingBridge() : TBridge(100, true) {}

    int32_t Ask(TRawClient& client, const QByteArray& request = Get) {
        const int before = Program.Tcp().LastClientId;
        EXPECT_TRUE(WaitUntil([&] { return Program.Tcp().LastClientId > before; }));
        const int32_t id = Program.Tcp().LastClientId;
        EXPECT_EQ(::send(client.Fd, request.constData(), static_cast<size_t>(request.size()), 0), request.size());
        EXPECT_TRUE(WaitUntil([&] {
            const TClientRecord* record = Program.Tcp().Clients.FindById(id);
            return record && record->Pending.size() >= request.size();
        }));
        TakeUp(id);
        EXPECT_EQ(Device.Read(static_cast<int>(request.size())), request);
        return id;
    }
    // Asks for a large answer that the device writes as fast as the line takes it; true once the
    // dispatcher stopped reading the line for the client, which does not read.
    bool HoldBack(TRawClient& client, TDeviceWriter& device, const QByteArray& answer) {
        Ask(client);
        device.Start(Device, answer, 1 << 16);
        return WaitUntil([&] { return Program.Rs().ReceivePaused; }, 10s);
    }
};

const QByteArray LargeAnswer = TSimDevice::PatternAnswer(12 << 20);
} // namespace

TEST(Streaming, APacedAnswerReachesItsClientAsItArrivesWholeAndInOrderAndTheProbeStillWorks) {
    TStreamingBridge bridge;
    TRawClient client(bridge.Port);
    bridge.Ask(client);
    const QByteArray answer = TSimDevice::PatternAnswer(1 << 20);
    TDeviceWriter device;
    device.Start(bridge.Device, answer, 8192, 3ms);
    QByteArray got;
    ASSERT_TRUE(WaitUntil([&] { return !(got += client.Take(1 << 16)).isEmpty(); }, 5s));
    const auto firstByteDelay = TClock::now() - device.FirstByteAt;
    EXPECT_LT(device.Written, answer.size()) << "nothing reached the client before the device was done";
    EXPECT_LT(firstByteDelay, 50ms) << std::chrono::duration<double, std::milli>(firstByteDelay).count() << " ms";
    got += client.ReadToEnd();
    EXPECT_FALSE(client.Reset);
    EXPECT_TRUE(got == answer) << got.size() << " of " << answer.size();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);

    bridge.Program.Probe().StartProbe(false);
    const QByteArray probe = bridge.Device.Read(static_cast<int>(ProbeRequest().size()));
    EXPECT_EQ(probe, ProbeRequest());
    bridge.Device.Write(TSimDevice::Answer("200 OK", "text/plain", TSimDevice::IdText()));
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }));
    EXPECT_EQ(bridge.Program.Probe().ProbeResult, 7);
    EXPECT_TRUE(bridge.Program.Probe().StatusText.endsWith(TSimDevice::IdText()));
}

TEST(Streaming, ASlowReaderHoldsTheLineBackWithBoundedMemoryAndLosesNothing) {
    TStreamingBridge bridge;
    TRawClient client(bridge.Port);
    const QByteArray& answer = LargeAnswer;
    TDeviceWriter device;
    ASSERT_TRUE(bridge.HoldBack(client, device, answer));
    const int32_t id = static_cast<int32_t>(Peek(bridge.Line).Exchange.CurrentClient);
    QByteArray got;
    for (int second = 0; second < 3; ++second) {
        got += client.Take(1024);
        WaitUntil([] { return false; }, 1s);
        EXPECT_LE(bridge.Program.Tcp().Unsent(id), (1 << 20) + (1 << 17));
        EXPECT_LE(Peek(bridge.Line).Exchange.Answer.size(), 1 << 17);
        EXPECT_TRUE(bridge.Program.Rs().ReceivePaused);
    }
    EXPECT_LT(device.Written, answer.size()) << "the line was not held back";
    EXPECT_TRUE(bridge.Program.Tcp().FindConnection(id)->AwaitsReader());
    got += client.ReadToEnd(30s);
    EXPECT_TRUE(got == answer) << got.size() << " of " << answer.size();
}

TEST(Streaming, AReaderThatStopsIsDroppedAndTheNextClientGetsItsOwnWholeAnswer) {
    TStreamingBridge bridge;
    TRawClient stuck(bridge.Port);
    TDeviceWriter device;
    ASSERT_TRUE(bridge.HoldBack(stuck, device, LargeAnswer));
    TServerConnection* connection = bridge.Program.Tcp().FindConnection(static_cast<int32_t>(Peek(bridge.Line).Exchange.CurrentClient));
    ASSERT_TRUE(connection && connection->AwaitsReader());
    bridge.Program.Tcp().ServerSocket1->ClientStalled(*connection);
    stuck.ReadToEnd();
    EXPECT_TRUE(stuck.Reset);
    EXPECT_EQ(bridge.Program.LogLines().filter("took nothing of its answer for 120 s, dropped").size(), 1);

    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }, 20s)) << "the rest was not drained";
    TRawClient next(bridge.Port);
    const QByteArray nextAnswer = TSimDevice::PatternAnswer(777);
    bridge.Ask(next, "GET /next HTTP/1.1\r\n\r\n");
    bridge.Device.Write(nextAnswer);
    EXPECT_TRUE(next.ReadToEnd() == nextAnswer);
}

TEST(Streaming, ADeviceThatStopsAfterBytesWereStreamedEndsTheAnswerShortWithoutAFixedAnswer) {
    TStreamingBridge bridge;
    TRawClient client(bridge.Port);
    bridge.Ask(client);
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    bridge.Device.Write(head + QByteArray(5000, 'x'));
    QByteArray got;
    ASSERT_TRUE(WaitUntil([&] { return (got += client.Take(1 << 16)).size() == head.size() + 5000; }));
    EXPECT_EQ(bridge.TakeTimerEnd(), 2000);
    bridge.Line.TimerEndTimer();
    got += client.ReadToEnd();
    EXPECT_EQ(got, head + QByteArray(5000, 'x'));
    EXPECT_FALSE(client.Reset);
    EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("answer stalled, 5043 bytes handed before its declared end"));
}

TEST(Streaming, WithFramingOffNothingReachesTheClientBeforeTheQuietEnd) {
    TBridge bridge(100, false);
    TRawClient client(bridge.Port);
    const int before = bridge.Program.Tcp().LastClientId;
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().LastClientId > before; }));
    ::send(client.Fd, Get.constData(), static_cast<size_t>(Get.size()), 0);
    const int32_t id = bridge.Program.Tcp().LastClientId;
    ASSERT_TRUE(WaitUntil([&] { return !bridge.Program.Tcp().Clients.FindById(id)->Pending.isEmpty(); }));
    bridge.TakeUp(id);
    const QByteArray answer = TSimDevice::PatternAnswer(3000);
    bridge.Device.Write(answer);
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer.size() == answer.size(); }));
    EXPECT_EQ(bridge.TakeTimerEnd(), 100);
    WaitUntil([] { return false; }, 100ms);
    EXPECT_EQ(client.Take(1 << 16), "");
    bridge.Line.TimerEndTimer();
    EXPECT_TRUE(client.ReadToEnd() == answer);
}
