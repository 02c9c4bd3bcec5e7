// The line's asks: every ask gets its own outcome once, a borrowed port carries only its own ask,
// an answer that comes after its ask gave up is drained, and cancellation reaches only its owner.
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "support/LinePeek.h"
#include "bridge/Bridge.h"
#include "bridge/sv_RS.h"
#include "support/Pty.h"

namespace {
using namespace std::chrono_literals;

const QByteArray GetB = "GET /b HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray AnswerB = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage B";
const QByteArray Post = "POST /config HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\n\r\nreset";
const QByteArray IdAnswer = TSimDevice::Answer("200 OK", "text/plain", TSimDevice::IdText());

// Every outcome an owner heard.
struct TOwner {
    QList<TProbeOutcome> Heard;
    TAsk Ask(TAskOwner owner, const QString& port = {}) {
        TAsk ask;
        ask.Owner = owner;
        ask.Port = port;
        ask.Done = [this](const TProbeOutcome& outcome) { Heard << outcome; };
        return ask;
    }
};

struct TLineBridge : TFramed {
    void Ticks(int count) {
        for (int i = 0; i < count; ++i)
            Line.TimerEndTimer();
    }
    int32_t Waiting(TClient& client, const QByteArray& request) { return Connect(client, request); }
};
} // namespace

TEST(LineAsks, EachAskHearsItsOwnOutcomeOnceAndABrowserWaitingMeanwhileGetsItsOwnAnswer) {
    TLineBridge bridge;
    TOwner follower;
    TOwner idle;
    bridge.Line.Ask(follower.Ask(TAskOwner::Follower));
    bridge.Line.Ask(idle.Ask(TAskOwner::IdleProbe));
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Waiting(client, GetB));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.Device.Write(IdAnswer);
    ASSERT_TRUE(WaitUntil([&] { return !follower.Heard.isEmpty(); }));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.TakeTimerEnd();
    bridge.Ticks(3);
    ASSERT_EQ(follower.Heard.size(), 1);
    EXPECT_EQ(follower.Heard[0].Outcome, TOutcome::DeviceAnswer);
    EXPECT_EQ(follower.Heard[0].Answer, IdAnswer);
    EXPECT_EQ(follower.Heard[0].Owner, TAskOwner::Follower);
    ASSERT_EQ(idle.Heard.size(), 1);
    EXPECT_EQ(idle.Heard[0].Outcome, TOutcome::Silent);
    EXPECT_TRUE(idle.Heard[0].Answer.isEmpty());
    // The idle probe had no answer: the browser waiting is told at once, and the line settles.
    EXPECT_EQ(client.ReadToClose(1s), DeviceNotRespondingAnswer);
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    bridge.Ticks(7);
    ExpectNoExchange(bridge.Line);
    EXPECT_EQ(follower.Heard.size(), 1);
    EXPECT_EQ(idle.Heard.size(), 1);
}

// A device that answers the probe late: the answer is read to its end and dropped, and the next
// browser gets the answer to its own request.
TEST(LineAsks, AProbeAnswerThatComesAfterTheProbeGaveUpNeverReachesTheNextBrowser) {
    TLineBridge bridge;
    bridge.Program.Probe().StartProbe(false);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.TakeTimerEnd();
    bridge.Ticks(3);
    EXPECT_EQ(bridge.Program.Probe().ProbeResult, prTimeOut);
    TClient client(bridge.Port);
    const int32_t id = bridge.Waiting(client, GetB);
    bridge.TakeUp(id);
    EXPECT_TRUE(bridge.Device.Read(1, 150ms).isEmpty());
    bridge.Device.Write(IdAnswer);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(GetB.size())), GetB);
    bridge.Device.Write(AnswerB);
    EXPECT_EQ(client.ReadToClose(), AnswerB);
    EXPECT_FALSE(bridge.Program.LogLines().filter("that came after its client was answered").isEmpty());
}

// A form post that arrives while the follower probes another port goes to the configured device.
TEST(LineAsks, ABorrowedPortCarriesOnlyItsOwnAskAndTheBrowserIsWrittenToTheConfiguredPort) {
    TLineBridge bridge;
    TPty other;
    MapPort(2, other.SlavePath);
    TOwner follower;
    bridge.Line.Ask(follower.Ask(TAskOwner::Follower, "COM2"));
    EXPECT_EQ(other.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Waiting(client, Post));
    other.Write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !follower.Heard.isEmpty(); }));
    EXPECT_EQ(follower.Heard[0].Port, "COM2");
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(Post.size())), Post);
    EXPECT_TRUE(other.Read(1, 200ms).isEmpty());
    bridge.Device.Write(AnswerB);
    EXPECT_EQ(client.ReadToClose(), AnswerB);
    EXPECT_EQ(bridge.Program.Rs().PortName(), "COM1");

    // A port kept open for a board that may restart is still never written for a browser.
    TAsk again = follower.Ask(TAskOwner::Follower, "COM2");
    again.KeepOpen = true;
    bridge.Line.Ask(std::move(again));
    EXPECT_EQ(other.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.TakeTimerEnd();
    bridge.Ticks(3);
    ASSERT_EQ(follower.Heard.size(), 2);
    EXPECT_EQ(follower.Heard[1].Outcome, TOutcome::Silent);
    EXPECT_EQ(bridge.Program.Rs().PortName(), "COM2");
    TClient second(bridge.Port);
    bridge.TakeUp(bridge.Waiting(second, Post));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(Post.size())), Post);
    EXPECT_TRUE(other.Read(1, 200ms).isEmpty());
    bridge.Device.Write(AnswerB);
    EXPECT_EQ(second.ReadToClose(), AnswerB);
    MapPort(2, "/nonexistent/quellor-test/COM2");
}

// With no port configured, the port a probe borrowed is let go: a browser's request reaches no device.
TEST(LineAsks, WithNoPortConfiguredNoBrowserIsWrittenToTheLastBorrowedPort) {
    TLineBridge bridge;
    TPty other;
    MapPort(2, other.SlavePath);
    bridge.Program.Rs().ConfiguredCom = 0;
    TOwner follower;
    bridge.Line.Ask(follower.Ask(TAskOwner::Follower, "COM2"));
    EXPECT_EQ(other.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    other.Write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return !follower.Heard.isEmpty(); }));
    EXPECT_TRUE(bridge.Program.Rs().PortName().isEmpty());
    TClient client(bridge.Port);
    bridge.TakeUp(bridge.Waiting(client, GetB));
    EXPECT_EQ(client.ReadToClose(), QByteArray(DeviceNotAvailableAnswer).replace('~', ""));
    EXPECT_TRUE(other.Read(1, 200ms).isEmpty());
    EXPECT_TRUE(bridge.Device.Read(1, 200ms).isEmpty());
    MapPort(2, "/nonexistent/quellor-test/COM2");
}

TEST(LineAsks, CancellingReachesOnlyItsOwnerAndAnExchangeUnderWayStillSettles) {
    TLineBridge bridge;
    TOwner follower;
    TOwner detection;
    TOwner idle;
    bridge.Line.Ask(follower.Ask(TAskOwner::Follower));
    bridge.Line.Ask(detection.Ask(TAskOwner::Detection));
    bridge.Line.Ask(follower.Ask(TAskOwner::Follower));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.Line.Cancel(TAskOwner::Follower);
    ASSERT_EQ(follower.Heard.size(), 2);
    EXPECT_EQ(follower.Heard[0].Outcome, TOutcome::Cancelled);
    EXPECT_EQ(follower.Heard[1].Outcome, TOutcome::Cancelled);
    EXPECT_TRUE(detection.Heard.isEmpty());
    // The cancelled probe's answer belongs to no one; the detection ask goes out after it.
    bridge.Device.Write(IdAnswer);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    EXPECT_EQ(follower.Heard.size(), 2);
    bridge.Line.Ask(idle.Ask(TAskOwner::IdleProbe));
    bridge.Line.CancelAll();
    ASSERT_EQ(detection.Heard.size(), 1);
    EXPECT_EQ(detection.Heard[0].Outcome, TOutcome::Cancelled);
    ASSERT_EQ(idle.Heard.size(), 1);
    EXPECT_EQ(idle.Heard[0].Outcome, TOutcome::Cancelled);
    EXPECT_TRUE(Peek(bridge.Line).Asks.empty());
}

// While a chunked upload is still coming, only its own deadline runs.
TEST(LineAsks, NoAnswerWatchdogRunsBeforeTheRequestIsWhole) {
    TLineBridge bridge;
    const QByteArray head = "POST /upload HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n";
    TClient client(bridge.Port);
    const int32_t id = bridge.Waiting(client, head);
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(head.size())), head);
    bridge.TakeTimerEnd();
    bridge.Ticks(5);
    EXPECT_TRUE(client.ReadToClose(100ms).isEmpty());
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(id));
    client.Send("0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] {
        const TClientRecord* record = bridge.Program.Tcp().Clients.FindById(id);
        return record && record->Request.Whole();
    }));
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(5), "0\r\n\r\n");
    bridge.TakeTimerEnd();
    bridge.Ticks(2);
    EXPECT_TRUE(client.ReadToClose(100ms).isEmpty());
    bridge.Ticks(1);
    EXPECT_EQ(client.ReadToClose(1s), DeviceNotRespondingAnswer);
}

// A device that answers an upload before its body is whole still holds the cut request: the next
// request waits until the line has settled, and nothing more of the upload goes out.
TEST(LineAsks, AnAnswerBeforeTheRequestIsWholeSettlesTheLineBeforeTheNextRequest) {
    TLineBridge bridge;
    const QByteArray head = "POST /upload HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n";
    TClient upload(bridge.Port);
    bridge.TakeUp(bridge.Waiting(upload, head));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(head.size())), head);
    TClient next(bridge.Port);
    const int32_t nextId = bridge.Waiting(next, GetB);
    bridge.TakeUp(nextId);
    const QByteArray early = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n";
    bridge.Device.Write(early);
    EXPECT_EQ(upload.ReadToClose(), early);
    upload.Send("5\r\nworld\r\n0\r\n\r\n");
    EXPECT_TRUE(bridge.Device.Read(1, 200ms).isEmpty()) << "the next request went into the cut upload";
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayWait);
    bridge.Device.Write("HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(GetB.size())), GetB);
    bridge.Device.Write(AnswerB);
    EXPECT_EQ(next.ReadToClose(), AnswerB);
}

// With the line free, a client whose data comes in does not pass one already waiting.
TEST(LineAsks, AFreeLineTakesTheFirstClientWaitingWhicheverSentLast) {
    TBridge bridge;
    TClient first(bridge.Port);
    const QByteArray getA = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
    bridge.Connect(first, getA);
    TClient second(bridge.Port);
    const int32_t secondId = bridge.Connect(second, GetB);
    bridge.TakeUp(secondId);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(getA.size())), getA);
}
