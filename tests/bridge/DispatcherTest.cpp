// The request dispatcher's state machine, its handlers and timer handlers called directly, with
// a pty for the device (the test plays it on the master side) and real clients on 127.0.0.1.
#include <QComboBox>
#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include "app/Hub.h"
#include "support/LinePeek.h"
#include "bridge/Bridge.h"
#include "bridge/ServerSocket.h"
#include "platform/TickCount.h"
#include "support/PlayedDevice.h"

namespace {
// Counts one window message on its way to the main window.
struct TMessageCount : QObject {
    TMessageCount(QObject* target, int msg) : Msg(msg) { target->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == TWinMessage::EventType() && static_cast<TWinMessage*>(event)->Msg == Msg)
            ++Count;
        return false;
    }
    int Msg;
    int Count = 0;
};

const QByteArray Request = "GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray DeviceAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
} // namespace

TEST(Dispatcher, ALongRequestGoesOutInChunksEachAfterTheTransmitEmptyNotice) {
    TBridge bridge;
    TClient client(bridge.Port);
    QByteArray request = "POST /upload HTTP/1.1\r\nContent-Length: 4953\r\n\r\n";
    request += QByteArray(5000 - request.size(), 'u');
    const int32_t id = bridge.Connect(client, request);
    bridge.Program.Main().Timer2->stop();
    // Nothing reaches the dispatcher by message here: it is handed the whole request at once.
    bridge.TakeUp(id);
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    EXPECT_EQ(Peek(bridge.Line).Exchange.RequestRest.size(), 2952);
    EXPECT_EQ(bridge.Device.Read(2048, std::chrono::milliseconds(200)).size(), 2048);
    EXPECT_EQ(bridge.TakeTimerEnd(), 1000);
    bridge.Line.ContinueSending();
    EXPECT_EQ(Peek(bridge.Line).Exchange.RequestRest.size(), 904);
    bridge.Line.ContinueSending();
    EXPECT_TRUE(Peek(bridge.Line).Exchange.RequestRest.isEmpty());
    EXPECT_EQ(Peek(bridge.Line).Exchange.ClientTotal, 5000);
    EXPECT_EQ(bridge.Device.Read(2952), request.mid(2048));

    bridge.Device.Write(DeviceAnswer);
    EXPECT_EQ(client.ReadToClose(), DeviceAnswer);
    ASSERT_TRUE(bridge.Line.IsIdle());

    // The same through the real notices: the transmit-empty message arms Timer2, whose tick sends on.
    TClient second(bridge.Port);
    const int32_t next = bridge.Connect(second, request);
    bridge.TakeUp(next);
    EXPECT_EQ(bridge.Device.Read(5000), request);
    EXPECT_TRUE(Peek(bridge.Line).Exchange.RequestRest.isEmpty());
}

// Only a write whose end something waits for wakes the serial watcher: a probe's wait runs from
// its write, a relayed request's from its last byte on the line.
TEST(Dispatcher, OnlyARelayedRequestWaitsForTheTransmitEmptyNotice) {
    TBridge bridge;
    TMessageCount notices(&bridge.Program.Main(), WM_SV_RS_TXEMPTY);
    bridge.Line.Ask(TAsk{});
    EXPECT_EQ(bridge.Device.Read(110), ProbeRequest());
    QThread::msleep(50);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(notices.Count, 0);
    bridge.TakeTimerEnd();
    for (int tick = 0; tick < 3; ++tick)
        bridge.Line.TimerEndTimer();
    ASSERT_EQ(Peek(bridge.Line).State, dsIdle);

    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Connect(client, Request));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(Request.size())), Request);
    EXPECT_TRUE(WaitUntil([&] { return notices.Count == 1; }));
}

TEST(Dispatcher, PiecesCloserThanTheSendDelayMakeOneAnswerAndLaterBytesAreDropped) {
    TBridge bridge;
    TClient client(bridge.Port);
    const int32_t id = bridge.Connect(client, Request);
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(Request.size())), Request);
    uint32_t now = 0xFFFFFFF0u;
    SetTickSource([&] { return now; });
    bridge.Device.Write(DeviceAnswer.left(20));
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsRelayAnswer; }));
    bridge.Device.Write(DeviceAnswer.mid(20));
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer.size() == DeviceAnswer.size(); }));
    EXPECT_EQ(bridge.TakeTimerEnd(), 100);
    EXPECT_TRUE(Peek(bridge.Line).DeviceOk);
    now = 0x10;
    bridge.Line.TimerEndTimer();
    SetTickSource({});
    EXPECT_EQ(Peek(bridge.Line).AnswerTime, 0x20u);
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_EQ(client.ReadToClose(), DeviceAnswer);

    bridge.Device.Write("stale bytes");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsRelayAnswer; }));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_TRUE(Peek(bridge.Line).Exchange.Answer.isEmpty());
}

TEST(Dispatcher, SilentDeviceGivesTheNotRespondingAnswerAfterThreeOrSixtyTicks) {
    TBridge bridge;
    MakeDeviceAnswer(bridge.Line, bridge.Device);
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Connect(client, Request));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_FALSE(Peek(bridge.Line).DeviceOk);
    EXPECT_EQ(client.ReadToClose(), DeviceNotRespondingAnswer);

    TClient uploader(bridge.Port);
    QByteArray upload = "POST /upload HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + QByteArray(5000, 'u');
    bridge.TakeUp(bridge.Connect(uploader, upload));
    while (!Peek(bridge.Line).Exchange.RequestRest.isEmpty())
        bridge.Line.ContinueSending();
    bridge.TakeTimerEnd();
    for (int tick = 1; tick < 60; ++tick)
        bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_EQ(uploader.ReadToClose(), DeviceNotRespondingAnswer);
}

// Framed, the wait for an answer runs only once the whole request is on the line, so an upload
// waits no longer than a GET, whatever its size; the log says what happened.
TEST(Dispatcher, AFramedUploadOfAnySizeWaitsForItsAnswerAsLongAsAGet) {
    TFramed bridge;
    for (const int size : {100, 5000, 200000}) {
        TClient uploader(bridge.Port);
        const QByteArray upload = "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + QByteArray::number(size) +
                                  "\r\n\r\n" + QByteArray(size, 'u');
        bridge.Ask(uploader, upload);
        while (!Peek(bridge.Line).Exchange.RequestRest.isEmpty())
            bridge.Line.ContinueSending();
        bridge.Line.ContinueSending();
        bridge.TakeTimerEnd();
        bridge.Line.TimerEndTimer();
        bridge.Line.TimerEndTimer();
        EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(bridge.Program.Tcp().LastClientId)) << size;
        bridge.Line.TimerEndTimer();
        EXPECT_EQ(uploader.ReadToClose(), DeviceNotRespondingAnswer) << size;
        EXPECT_EQ(bridge.Program.LogLines().filter(QStringLiteral("had no answer 3 s after its request of %1 bytes went out").arg(upload.size())).size(), 1)
            << bridge.Program.LogLines().join('\n').toStdString();
        bridge.Line.LineReset();
    }
}

TEST(Dispatcher, ASecondClientWaitsAndIsRelayedAfterTheFirstAnswer) {
    TBridge bridge;
    TClient first(bridge.Port);
    const int32_t a = bridge.Connect(first, Request);
    TClient second(bridge.Port);
    const int32_t b = bridge.Connect(second, "GET /id.txt HTTP/1.1\r\n\r\n");
    bridge.TakeUp(a);
    bridge.TakeUp(b);
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(a));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(Request.size())), Request);
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(a));
    bridge.Device.Write("first answer");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer == "first answer"; }));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(first.ReadToClose(), "first answer");
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(b));
    EXPECT_EQ(bridge.Device.Read(25), "GET /id.txt HTTP/1.1\r\n\r\n");
    bridge.Device.Write("second answer");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer == "second answer"; }));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(second.ReadToClose(), "second answer");
}

TEST(Dispatcher, AClientThatLeavesLeavesItsExchangeOnTheLineUntilItsAnswerEnds) {
    TBridge bridge;
    TClient leaving(bridge.Port);
    bridge.TakeUp(bridge.Connect(leaving, Request));
    TClient waiting(bridge.Port);
    const int32_t next = bridge.Connect(waiting, "GET /id.txt HTTP/1.1\r\n\r\n");
    bridge.TakeTimerEnd();
    leaving.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.CurrentClient == 0; }));
    bridge.Line.TimerEndTimer();
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait) << "the next request went out while an answer was owed";
    bridge.Device.Write("late answer");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsRelayAnswer; }));
    EXPECT_TRUE(Peek(bridge.Line).Exchange.Answer.isEmpty());
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("RS: COM1 dropped 11 bytes of an answer whose client had left"));
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(next));
    bridge.Device.Write("own answer");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer == "own answer"; }));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(waiting.ReadToClose(), "own answer");

    // Without framing a silent device is waited for only as long as the client would have been.
    TClient gone(bridge.Port);
    bridge.TakeUp(bridge.Connect(gone, Request));
    bridge.TakeTimerEnd();
    gone.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.CurrentClient == 0; }));
    bridge.Line.TimerEndTimer();
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
}

TEST(Dispatcher, CheckDeviceDuringARelayWaitsThenReopensThePortAndProbes) {
    TBridge bridge;
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Connect(client, Request));
    bridge.Device.Read(static_cast<int>(Request.size()));
    bridge.Program.Main().CheckDevice1Click();
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    ASSERT_EQ(Peek(bridge.Line).Asks.size(), 1u);
    EXPECT_TRUE(Peek(bridge.Line).Asks.front().Reopen);
    EXPECT_EQ(bridge.Program.Probe().ProbeResult, 1);
    bridge.Device.Write("answer");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Answer == "answer"; }));
    bridge.TakeTimerEnd();
    bridge.Line.TimerEndTimer();
    const int opened = bridge.Program.LogLines().filter("RS: Open COM1").size();
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsProbeWait);
    EXPECT_EQ(bridge.Program.LogLines().filter("RS: Open COM1").size(), opened + 1);
    EXPECT_EQ(bridge.Device.Read(110), ProbeRequest());
    EXPECT_EQ(ProbeRequest().size(), 110);
}

TEST(Dispatcher, AFailedWriteAnswersWithThePortNameAndReopens) {
    TBridge bridge;
    TClient client(bridge.Port);
    const int32_t id = bridge.Connect(client, Request);
    MapPort(1, "/nonexistent/quellor-test/COM1");
    bridge.Device.CloseMaster();
    QThread::msleep(20);
    bridge.TakeUp(id);
    QByteArray expected = DeviceNotAvailableAnswer;
    expected.replace('~', "COM1");
    EXPECT_EQ(client.ReadToClose(), expected);
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, 0u);
    // The write failed, the reopen failed, and so again: the log shows the three lines once and
    // counts the rounds after them.
    const QStringList log = bridge.Program.LogLines();
    ASSERT_GE(log.size(), 4);
    EXPECT_TRUE(log[log.size() - 4].endsWith("RS: COM1 Tx Error!"));
    EXPECT_TRUE(log[log.size() - 3].endsWith("RS: COM1 Open Error!"));
    EXPECT_TRUE(log[log.size() - 2].contains("RS: COM1 is /nonexistent/quellor-test/COM1, which does not exist"));
    EXPECT_TRUE(log[log.size() - 1].startsWith("  (the last 3 lines repeated ")) << log.last().toStdString();
}

// The check sleeps until the probe is due: it is armed for 3 s after the line last had work, and
// runs early only to find it not yet due.
TEST(Dispatcher, TheIdleCheckProbesAfterThreeSecondsOfIdleLineAndSilenceClearsTheDeviceFlag) {
    uint32_t now = 100000;
    SetTickSource([&] { return now; });
    TBridge bridge;
    bridge.Line.OnIdle = bridge.IdleProbe;
    MakeDeviceAnswer(bridge.Line, bridge.Device);
    bridge.Line.OnClientClosed(0);
    EXPECT_TRUE(Peek(bridge.Line).TimerCheck->isActive());
    EXPECT_EQ(Peek(bridge.Line).TimerCheck->interval(), 3000);
    now += 2900;
    bridge.Line.TimerCheckTimer();
    EXPECT_EQ(Peek(bridge.Line).State, dsIdle);
    EXPECT_EQ(Peek(bridge.Line).TimerCheck->interval(), 100);
    now += 100;
    bridge.Line.TimerCheckTimer();
    SetTickSource({});
    EXPECT_EQ(Peek(bridge.Line).State, dsProbeWait);
    EXPECT_FALSE(Peek(bridge.Line).TimerCheck->isActive()) << "a busy line with no client has nothing due";
    EXPECT_EQ(bridge.Device.Read(110), ProbeRequest());
    bridge.TakeTimerEnd();
    for (int tick = 0; tick < 3; ++tick)
        bridge.Line.TimerEndTimer();
    EXPECT_EQ(bridge.Program.Probe().ProbeResult, 3);
    EXPECT_FALSE(Peek(bridge.Line).DeviceOk);
    EXPECT_EQ(bridge.Program.Probe().StatusText, "COM1: Time Out");
}

// However late the check is armed after the probe fell due, it runs at once: never not at all.
TEST(Dispatcher, ACheckArmedAfterTheProbeFellDueRunsAtOnce) {
    uint32_t now = 100000;
    SetTickSource([&] { return now; });
    TBridge bridge;
    now += 5000;
    bridge.Line.OnClientClosed(0);
    SetTickSource({});
    EXPECT_TRUE(Peek(bridge.Line).TimerCheck->isActive());
    EXPECT_EQ(Peek(bridge.Line).TimerCheck->interval(), 0);
}

TEST(Dispatcher, ASendDelayOfZeroStillEndsTheAnswer) {
    TBridge bridge(0);
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Connect(client, Request));
    bridge.Device.Read(static_cast<int>(Request.size()));
    bridge.Device.Write(DeviceAnswer);
    EXPECT_EQ(client.ReadToClose(std::chrono::milliseconds(3000)), DeviceAnswer);
}
