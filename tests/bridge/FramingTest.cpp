// The dispatcher with framing on: answers end where their heads say, nothing of one exchange
// reaches another client, and half requests never reach the device.
#include <gtest/gtest.h>

#include "bridge/Bridge.h"
#include "bridge/sv_TCP.h"

namespace {
const QByteArray Get = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray Head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

struct TFramedBridge : TBridge {
    TFramedBridge() : TBridge(100, true) {}
    // A client whose request has reached the device.
    int32_t Ask(TClient& client, const QByteArray& request = Get) {
        const int32_t id = Connect(client, request);
        Dist.OnClientData(id);
        EXPECT_EQ(Device.Read(static_cast<int>(request.size())), request);
        return id;
    }
    void WaitForAnswerBytes(qsizetype size) {
        EXPECT_TRUE(WaitUntil([&] { return Dist.Handed + Dist.Answer.size() >= size; })) << Dist.Answer.size();
    }
};
} // namespace

TEST(Framing, AnAnswerIsHandedTheMomentItIsWholeAndAPauseInsideItDoesNotCutIt) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    bridge.Ask(client);
    bridge.Device.Write(Head + "01234");
    bridge.WaitForAnswerBytes(Head.size() + 5);
    EXPECT_EQ(bridge.Dist.TimerEnd->interval(), 2000);
    EXPECT_EQ(bridge.Dist.State, dsRelayAnswer);
    bridge.Device.Write("56789");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Dist.State == dsIdle; }));
    EXPECT_EQ(client.ReadToClose(), Head + "0123456789");
}

TEST(Framing, AnAnswerThatStallsBeforeItsDeclaredEndIsHandedAsItIsAndLogged) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    bridge.Ask(client);
    bridge.Device.Write(Head + "012");
    bridge.WaitForAnswerBytes(Head.size() + 3);
    EXPECT_EQ(bridge.TakeTimerEnd(), 2000);
    bridge.Dist.TimerEndTimer();
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
    EXPECT_EQ(bridge.Dist.CurrentClient, static_cast<uint32_t>(next));
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
        EXPECT_EQ(bridge.Dist.State, dsIdle) << answer.constData();
    }
}

TEST(Framing, AnswersThatDeclareNoEndAndDevicesThatNeverSpokeHttpKeepTheQuietRule) {
    const auto relayUnframed = [](TFramedBridge& bridge, const QByteArray& answer) {
        TClient client(bridge.Port);
        bridge.Ask(client);
        bridge.Device.Write(answer);
        bridge.WaitForAnswerBytes(answer.size());
        EXPECT_EQ(bridge.TakeTimerEnd(), 100);
        bridge.Dist.TimerEndTimer();
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

TEST(Framing, HalfARequestNeverReachesTheDeviceAndTheNextClientFindsItClean) {
    TFramedBridge bridge;
    TClient half(bridge.Port);
    const int32_t halfId = bridge.Connect(half, "GET /a HTTP/1.1\r\nHost: loc");
    TClient whole(bridge.Port);
    const int32_t wholeId = bridge.Connect(whole, "GET /b HTTP/1.1\r\n\r\n");
    bridge.Dist.OnClientData(halfId);
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");
    EXPECT_EQ(bridge.TakeTimerEnd(), 1000);
    for (int tick = 0; tick < 3; ++tick)
        bridge.Dist.TimerEndTimer();
    EXPECT_EQ(half.ReadToClose(), RequestIncompleteAnswer);
    EXPECT_EQ(bridge.Dist.CurrentClient, static_cast<uint32_t>(wholeId));
    EXPECT_EQ(bridge.Device.Read(19), "GET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");
}

TEST(Framing, ARequestHeadInPiecesGoesOutWholeAndItsBodyFollowsAsItComes) {
    TFramedBridge bridge;
    TClient client(bridge.Port);
    const int32_t id = bridge.Connect(client, "POST /u HTTP/1.1\r\nContent-");
    bridge.Dist.OnClientData(id);
    EXPECT_EQ(bridge.Device.Read(1, std::chrono::milliseconds(100)), "");
    client.Send("Length: 6\r\n\r\nabc");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().Clients.FindById(id)->Pending.size() == 16; }));
    bridge.Dist.OnClientData(id);
    EXPECT_EQ(bridge.Device.Read(42), "POST /u HTTP/1.1\r\nContent-Length: 6\r\n\r\nabc");
    client.Send("def");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Program.Tcp().Clients.FindById(id)->Pending.size() == 3; }));
    bridge.Dist.OnClientData(id);
    EXPECT_EQ(bridge.Device.Read(3), "def");
}

TEST(Framing, TheProbeEndsAtItsDeclaredEnd) {
    TFramedBridge bridge;
    bridge.Dist.StartProbe(false);
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.Device.Write("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nid=device");
    ASSERT_TRUE(WaitUntil([&] { return bridge.Dist.State == dsIdle; }));
    EXPECT_GE(bridge.Dist.ProbeResult, 4);
    EXPECT_TRUE(bridge.Dist.DeviceOk);
}
