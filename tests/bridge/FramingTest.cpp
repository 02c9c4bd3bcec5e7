// The dispatcher with framing on: answers end where their heads say, nothing of one exchange
// reaches another client, and half requests never reach the device.
#include <gtest/gtest.h>

#include "bridge/Bridge.h"
#include "support/LinePeek.h"
#include "bridge/sv_TCP.h"
#include "platform/TickCount.h"

namespace {
const QByteArray Get = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray Head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

struct TFramedBridge : TFramed {
    int32_t Ask(TClient& client, const QByteArray& request = Get) { return TFramed::Ask(client, request); }
    void WaitForAnswerBytes(qsizetype size) {
        EXPECT_TRUE(WaitUntil([&] { return Peek(Line).Exchange.Handed + Peek(Line).Exchange.Answer.size() >= size; })) << Peek(Line).Exchange.Answer.size();
    }
};
} // namespace

TEST(Framing, AnAnswerIsHandedTheMomentItIsWholeAndAPauseInsideItDoesNotCutIt) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    bridge.Ask(client);
    bridge.Device.Write(Head + "01234");
    bridge.WaitForAnswerBytes(Head.size() + 5);
    EXPECT_EQ(Peek(bridge.Line).TimerEnd->interval(), 2000);
    EXPECT_EQ(Peek(bridge.Line).State, dsRelayAnswer);
    bridge.Device.Write("56789");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }));
    EXPECT_EQ(client.ReadToClose(), Head + "0123456789");
}

TEST(Framing, AnAnswerThatStallsBeforeItsDeclaredEndIsHandedAsItIsAndLogged) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    bridge.Ask(client);
    bridge.Device.Write(Head + "012");
    bridge.WaitForAnswerBytes(Head.size() + 3);
    EXPECT_EQ(bridge.TakeTimerEnd(), 2000);
    bridge.Line.TimerEndTimer();
    EXPECT_EQ(client.ReadToClose(), Head + "012");
    EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("RS: COM1 answer stalled, 42 bytes handed before its declared end"));
}

TEST(Framing, SurplusAndLeftoverBytesNeverReachTheNextClient) {
    TFramedBridge bridge;
    TClient first(bridge.Port);
    bridge.Ask(first);
    TClient second(bridge.Port);
    const int32_t next = bridge.Connect(second, "GET /b HTTP/1.1\r\n\r\n");
    bridge.Device.Write(Head + "0123456789surplus");
    EXPECT_EQ(first.ReadToClose(), Head + "0123456789");
    // The line was free at once, so the waiting client went out without a check tick.
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(next));
    EXPECT_EQ(bridge.Device.Read(19), "GET /b HTTP/1.1\r\n\r\n");
    bridge.Device.Write("late tail of the first answer" + Head + "abcdefghij");
    EXPECT_EQ(second.ReadToClose(), Head + "abcdefghij");
    const QStringList log = bridge.Program.LogLines();
    EXPECT_EQ(log.filter("dropped 7 bytes past the end of an answer").size(), 1);
    EXPECT_EQ(log.filter("dropped 29 bytes left over from an earlier answer").size(), 1);
}

TEST(Framing, AnswersWithoutBodyAndInterimAnswersAreFramedByTheirHeads) {
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"HEAD /a HTTP/1.1\r\n\r\n", Head},
        {Get, "HTTP/1.1 204 No Content\r\n\r\n"},
        {Get, "HTTP/1.1 304 Not Modified\r\nETag: \"x\"\r\n\r\n"},
        {"POST /a HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\nx", interim + Head + "0123456789"},
        {Get, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"},
    };
    TFramedBridge bridge;
    for (const auto& [request, answer] : cases) {
        TClient client(bridge.Port);
        bridge.Ask(client, request);
        bridge.Device.Write(answer);
        EXPECT_EQ(client.ReadToClose(), answer);
        EXPECT_EQ(Peek(bridge.Line).State, dsIdle) << answer.constData();
    }
}

TEST(Framing, AnswersThatDeclareNoEndAndDevicesThatNeverSpokeHttpKeepTheQuietRule) {
    const auto relayUnframed = [](TFramedBridge& bridge, const QByteArray& answer) {
        TClient client(bridge.Port);
        bridge.Ask(client);
        bridge.Device.Write(answer);
        bridge.WaitForAnswerBytes(answer.size());
        EXPECT_EQ(bridge.TakeTimerEnd(), 100);
        bridge.Line.TimerEndTimer();
        EXPECT_EQ(client.ReadToClose(), answer);
    };
    {
        TFramedBridge http;
        relayUnframed(http, "HTTP/1.1 200 OK\r\n\r\nuntil quiet");
    }
    TFramedBridge garbage;
    relayUnframed(garbage, "\x07\x07 no http");
    relayUnframed(garbage, "xyzHTTP/1.1");
}

TEST(Framing, AHalfRequestWaitsWithoutHoldingTheLineAndGetsTheFixedAnswerAtItsDeadline) {
    TFramedBridge bridge;
    uint32_t now = 1000;
    SetTickSource([&] { return now; });
    TClient half(bridge.Port);
    const int32_t halfId = bridge.Connect(half, "GET /a HTTP/1.1\r\nHost: loc");
    TClient whole(bridge.Port);
    const int32_t wholeId = bridge.Connect(whole, "GET /b HTTP/1.1\r\n\r\n");
    // The half request does not hold the line: the whole one behind it goes out at once.
    bridge.TakeUp(halfId);
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(wholeId));
    EXPECT_EQ(bridge.Device.Read(19), "GET /b HTTP/1.1\r\n\r\n");
    // 20 s and a second for every 500 bytes that came.
    now += 20000 + 2 * 26;
    bridge.Line.TimerCheckTimer();
    EXPECT_TRUE(bridge.Program.Tcp().Clients.FindById(halfId));
    ++now;
    bridge.Line.TimerCheckTimer();
    SetTickSource({});
    EXPECT_EQ(half.ReadToClose(), RequestIncompleteAnswer);
    EXPECT_TRUE(bridge.Program.LogLines().last().endsWith("TCP: client " + QString::number(halfId) +
                                                           " sent no whole request in 20 s, 26 bytes came"));
    EXPECT_EQ(Peek(bridge.Line).Exchange.CurrentClient, static_cast<uint32_t>(wholeId));
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");
}

TEST(Framing, ASmallBodyGoesOutWholeAndALargeOneAsItComes) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    const int32_t id = bridge.Connect(client, "POST /u HTTP/1.1\r\nContent-");
    bridge.TakeUp(id);
    client.Send("Length: 6\r\n\r\nabc");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().Clients.FindById(id)->Pending.size() == 42; }));
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");
    // Bytes past the declared end would make a request of their own: they are not kept.
    client.Send("defGET /x HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().Clients.FindById(id)->Received == 64; }));
    bridge.TakeUp(id);
    EXPECT_EQ(bridge.Device.Read(45), "POST /u HTTP/1.1\r\nContent-Length: 6\r\n\r\nabcdef");
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");

    TFramedBridge large;
    TClient uploader(large.Port);
    const QByteArray head = "POST /fw HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n";
    const int32_t up = large.Connect(uploader, head + "part");
    large.TakeUp(up);
    EXPECT_EQ(large.Device.Read(static_cast<int>(head.size()) + 4), head + "part");
    uploader.Send("more");
    ASSERT_TRUE(WaitUntil([&] { return large.Program.Tcp().Clients.FindById(up)->Pending.size() == 4; }));
    large.TakeUp(up);
    EXPECT_EQ(large.Device.Read(4), "more");
}

TEST(Framing, TheProbeEndsAtItsDeclaredEnd) {
    TFramedBridge bridge;
    bridge.Program.Probe().StartProbe(false);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.Device.Write("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nid=device");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }));
    EXPECT_GE(bridge.Program.Probe().ProbeResult, 4);
    EXPECT_TRUE(Peek(bridge.Line).DeviceOk);
}
