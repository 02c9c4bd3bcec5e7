// Transfers and event delivery of the serial component, with the pty's master as the device.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QThread>
#include <ctime>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/SyncQueue.h"
#include "serial/CommInt.h"
#include "support/Pty.h"

namespace {
struct TEventPort {
    TPty Pty;
    TComm Comm;
    QStringList Events;
    QList<int> Counts;
    QByteArray Received;
    bool OffGuiThread = false;

    TEventPort() {
        Comm.SetDeviceName(Pty.SlavePath);
        Comm.OnRxChar = [this](TCustomComm*, int count) {
            Events << "rx";
            Counts << count;
            OffGuiThread |= QThread::currentThread() != qApp->thread();
            QByteArray block(count, '\0');
            Received += block.left(Comm.Read(block.data(), count));
        };
        Comm.OnTxEmpty = [this](TCustomComm*) { Events << "txempty"; };
        Comm.OnError = [this](TCustomComm*, int) { Events << "error"; };
        Comm.Open();
    }
};

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}
} // namespace

TEST(SerialEvents, BytesFromTheDeviceReachTheHandlerOnTheGuiThreadAndAreReadWhole) {
    TEventPort port;
    QByteArray sent;
    for (int i = 0; i < 3000; ++i)
        sent += static_cast<char>(i % 256);
    port.Pty.Write(sent);
    ASSERT_TRUE(WaitUntil([&] { return port.Received.size() >= sent.size(); }));
    EXPECT_EQ(port.Received, sent);
    EXPECT_FALSE(port.OffGuiThread);
    int counted = 0;
    for (int count : port.Counts)
        counted += count;
    EXPECT_EQ(counted, sent.size());
}

// Left on a line while nobody had it open, such bytes answer an earlier owner's request.
TEST(SerialEvents, BytesThatCameBeforeThePortWasOpenedAreNotDelivered) {
    TPty pty;
    pty.Write("an answer to somebody else");
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    QByteArray received;
    comm.OnRxChar = [&](TCustomComm*, int count) {
        QByteArray block(count, '\0');
        received += block.left(comm.Read(block.data(), count));
    };
    comm.Open();
    pty.Write("fresh");
    ASSERT_TRUE(WaitUntil([&] { return received.endsWith("fresh"); }));
    EXPECT_EQ(received, "fresh");
}

TEST(SerialEvents, ReadOfMoreThanIsQueuedReturnsWhatIsQueuedAtOnce) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.Open();
    pty.Write("abc");
    QThread::msleep(50);
    char buffer[100];
    EXPECT_EQ(comm.Read(buffer, 100), 3);
    EXPECT_EQ(QByteArray(buffer, 3), "abc");
    EXPECT_EQ(comm.Read(buffer, 100), 0);
}

TEST(SerialEvents, TransmitEmptyFollowsAWriteUnlessNobodyWaitsForIt) {
    TEventPort port;
    const QByteArray request = "GET /id.txt HTTP/1.1\r\n\r\n";
    EXPECT_EQ(port.Comm.Write(request.constData(), static_cast<int>(request.size()), false), request.size());
    EXPECT_EQ(port.Pty.Read(static_cast<int>(request.size())), request);
    QThread::msleep(50);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(port.Events.isEmpty());
    EXPECT_EQ(port.Comm.Write(request.constData(), static_cast<int>(request.size())), request.size());
    EXPECT_TRUE(WaitUntil([&] { return port.Events.contains("txempty"); }));
    EXPECT_EQ(port.Pty.Read(static_cast<int>(request.size())), request);
}

TEST(SerialEvents, WriteThatTheDeviceNeverTakesTimesOutWithoutRaising) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.SetWriteTimeout(300);
    comm.Open();
    const QByteArray block(1 << 20, 'x');
    int result = 0;
    EXPECT_NO_THROW(result = comm.Write(block.constData(), static_cast<int>(block.size())));
    EXPECT_EQ(result, -1);
}

TEST(SerialEvents, HandlersOfOneDeliveryRunInTheFixedOrder) {
    TEventPort port;
    port.Comm.OnRxChar = [&](TCustomComm*, int count) { port.Events << QStringLiteral("rx%1").arg(count); };
    port.Pty.Write("12345");
    // The terminal layer hands the bytes on in its own time, which a busy machine stretches.
    ASSERT_TRUE(WaitUntil([&] { return port.Comm.InQueCount() == 5; }));
    port.Events.clear();
    port.Comm.HandleCommEvent(nullptr, EV_TXEMPTY | EV_RXCHAR | EV_ERR);
    EXPECT_EQ(port.Events, (QStringList{"error", "rx5", "txempty"}));

    char drain[16];
    port.Comm.Read(drain, 16);
    port.Events.clear();
    port.Comm.HandleCommEvent(nullptr, EV_RXCHAR | EV_TXEMPTY);
    EXPECT_EQ(port.Events, QStringList{"txempty"});
    QCoreApplication::processEvents();
}

TEST(SerialEvents, OnlyTheMonitoredEventsFire) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.SetMonitorEvents(EventBit(evRxChar));
    QStringList events;
    comm.OnRxChar = [&](TCustomComm* sender, int count) {
        events << "rx";
        QByteArray block(count, '\0');
        static_cast<TComm*>(sender)->Read(block.data(), count);
    };
    comm.OnTxEmpty = [&](TCustomComm*) { events << "txempty"; };
    comm.Open();
    comm.Write("ping", 4);
    pty.Write("pong");
    ASSERT_TRUE(WaitUntil([&] { return events.contains("rx"); }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_FALSE(events.contains("txempty"));
}

TEST(SerialEvents, DeliveryHandedOverBeforeCloseRunsInsideCloseAndNoneFollows) {
    TEventPort port;
    port.Pty.Write("late");
    // The watcher hands the delivery over and waits; this thread does not serve it yet.
    for (int wait = 0; wait < 1000 && TSyncQueue::Instance().Waiting() == 0; ++wait)
        QThread::msleep(5);
    ASSERT_EQ(TSyncQueue::Instance().Waiting(), 1u);
    EXPECT_TRUE(port.Events.isEmpty());
    port.Comm.Close();
    EXPECT_EQ(port.Events, QStringList{"rx"});
    EXPECT_EQ(port.Received, "late");
    port.Pty.Write("more");
    QThread::msleep(50);
    QCoreApplication::processEvents();
    EXPECT_EQ(port.Events, QStringList{"rx"});
}

TEST(SerialEvents, CloseRightAfterOpenCallsNoHandler) {
    TEventPort port;
    port.Comm.Close();
    QCoreApplication::processEvents();
    EXPECT_TRUE(port.Events.isEmpty());
}

TEST(SerialEvents, HandlerThatRaisesEndsDeliveriesUntilTheNextOpen) {
    TEventPort port;
    int calls = 0;
    port.Comm.OnRxChar = [&](TCustomComm*, int count) {
        ++calls;
        QByteArray block(count, '\0');
        port.Comm.Read(block.data(), count);
        throw std::runtime_error("handler failed");
    };
    port.Pty.Write("one");
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    port.Pty.Write("two");
    QThread::msleep(50);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(port.Comm.Enabled());
    port.Comm.Close();
    EXPECT_FALSE(port.Comm.Enabled());
    port.Comm.Open();
    port.Pty.Write("three");
    EXPECT_TRUE(WaitUntil([&] { return calls == 2; }));
}

TEST(SerialEvents, HungUpPortCostsLittleAndCanBeOpenedAgain) {
    auto pty = std::make_unique<TPty>();
    MapPort(20, pty->SlavePath);
    TComm comm;
    comm.SetDeviceName("COM20");
    int received = 0;
    comm.OnRxChar = [&](TCustomComm*, int count) {
        QByteArray block(count, '\0');
        received += comm.Read(block.data(), count);
    };
    comm.Open();
    pty->CloseMaster();
    const double before = ProcessCpuSeconds();
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    idle.exec();
    EXPECT_LT(ProcessCpuSeconds() - before, 0.3);
    comm.Close();

    pty = std::make_unique<TPty>();
    MapPort(20, pty->SlavePath);
    comm.Open();
    pty->Write("back");
    EXPECT_TRUE(WaitUntil([&] { return received == 4; }));
}
