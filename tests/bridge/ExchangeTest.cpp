// One exchange at a time on the line, and each answer only to the client that asked: clients
// that leave, get a fixed answer, half-close or trickle their requests cannot hand another
// client their bytes nor keep the line.
#include <QTimer>
#include <gtest/gtest.h>

#include "bridge/Bridge.h"
#include "support/LinePeek.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_TCP.h"
#include "platform/TickCount.h"

namespace {
using namespace std::chrono_literals;

const QByteArray GetA = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray GetB = "GET /b HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray AnswerA = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage A";
const QByteArray AnswerB = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\npage B";

struct TFramedLine : TFramed {
    int32_t Ask(TClient& client, const QByteArray& request = GetA) { return TFramed::Ask(client, request); }
    void Ticks(int count) {
        for (int i = 0; i < count; ++i)
            Line.TimerEndTimer();
    }
    bool LineQuiet() { return Device.Read(1, 150ms).isEmpty(); }
};
} // namespace

TEST(Exchange, AnAnswerWhoseClientLeftIsDroppedWholeBeforeTheNextRequestGoesOut) {
    TFramedLine line;
    TClient leaving(line.Port);
    line.Ask(leaving);
    TClient waiting(line.Port);
    line.Connect(waiting, GetB);
    line.TakeTimerEnd();
    leaving.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).Exchange.CurrentClient == 0; }));
    line.Ticks(2);
    line.Line.TimerCheckTimer();
    EXPECT_TRUE(line.LineQuiet()) << "the next request went out while an answer was owed";
    line.Device.Write(AnswerA.left(30));
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).State == dsRelayAnswer; }));
    EXPECT_TRUE(line.LineQuiet());
    line.Device.Write(AnswerA.mid(30));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    EXPECT_EQ(line.Program.LogLines().filter("dropped").size(), 1);
    EXPECT_TRUE(line.Program.LogLines().last().endsWith("RS: COM1 dropped 44 bytes of an answer whose client had left"));
    line.Device.Write(AnswerB);
    EXPECT_EQ(waiting.ReadToClose(), AnswerB);

    // Leaving in the middle of a streamed answer: the rest goes nowhere.
    TClient midway(line.Port);
    line.Ask(midway);
    TClient next(line.Port);
    line.Connect(next, GetB);
    const QByteArray big = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + QByteArray(20000, 'x');
    line.Device.Write(big.left(5000));
    ASSERT_TRUE(WaitUntil([&] { return midway.Socket.bytesAvailable() > 0; }));
    midway.Reset();
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).Exchange.CurrentClient == 0; }));
    line.Device.Write(big.mid(5000));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    line.Device.Write(AnswerB);
    EXPECT_EQ(next.ReadToClose(), AnswerB);
}

TEST(Exchange, AnAnswerAfterTheFixedAnswerIsDroppedAndOnlyThenIsTheNextRequestWritten) {
    TFramedLine line;
    TClient first(line.Port);
    line.Ask(first);
    TClient second(line.Port);
    line.Connect(second, GetB);
    line.TakeTimerEnd();
    line.Ticks(3);
    EXPECT_EQ(first.ReadToClose(), DeviceNotRespondingAnswer);
    EXPECT_EQ(Peek(line.Line).State, dsRelayWait);
    line.Line.TimerCheckTimer();
    EXPECT_TRUE(line.LineQuiet());
    line.Device.Write(AnswerA);
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    EXPECT_TRUE(line.Program.LogLines().last().endsWith(
        "RS: COM1 dropped 44 bytes of an answer that came after its client was answered"));
    line.Device.Write(AnswerB);
    EXPECT_EQ(second.ReadToClose(), AnswerB);
}

// After the settle limit the probe asks the device before anyone is answered on its behalf.
TEST(Exchange, ADeviceSilentThroughTheSettleLimitAndToTheProbeAnswersAllWaitingAtOnce) {
    TFramedLine line;
    TClient first(line.Port);
    line.Ask(first);
    TClient second(line.Port);
    line.Connect(second, GetB);
    TClient third(line.Port);
    line.Connect(third, GetB);
    line.TakeTimerEnd();
    line.Ticks(3);
    EXPECT_EQ(first.ReadToClose(), DeviceNotRespondingAnswer);
    line.Ticks(6);
    EXPECT_EQ(Peek(line.Line).State, dsRelayWait);
    line.Ticks(1);
    EXPECT_EQ(Peek(line.Line).State, dsProbeWait);
    EXPECT_EQ(line.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    line.Ticks(2);
    EXPECT_TRUE(second.ReadToClose(100ms).isEmpty());
    line.Ticks(1);
    EXPECT_EQ(second.ReadToClose(1s), DeviceNotRespondingAnswer);
    EXPECT_EQ(third.ReadToClose(1s), DeviceNotRespondingAnswer);
    EXPECT_FALSE(Peek(line.Line).DeviceOk);
    // The probe's own answer may still come: the line settles before anything else is written.
    EXPECT_EQ(Peek(line.Line).State, dsRelayWait);
    line.Ticks(7);
    ExpectNoExchange(line.Line);
    EXPECT_TRUE(line.LineQuiet());
}

TEST(Exchange, ADeviceThatIgnoredOneRequestCostsThatRequestAlone) {
    TFramedLine line;
    TClient first(line.Port);
    line.Ask(first);
    TClient second(line.Port);
    line.Connect(second, GetB);
    line.TakeTimerEnd();
    line.Ticks(10);
    EXPECT_EQ(first.ReadToClose(), DeviceNotRespondingAnswer);
    EXPECT_EQ(line.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    line.Device.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nid");
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).State == dsRelayWait && Peek(line.Line).Exchange.CurrentClient != 0; }));
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    line.Device.Write(AnswerB);
    EXPECT_EQ(second.ReadToClose(1s), AnswerB);
    EXPECT_TRUE(Peek(line.Line).DeviceOk);
}

TEST(Exchange, AClientThatHalfClosesAfterItsRequestGetsItsAnswerAndOneBeforeIsDropped) {
    TFramedLine line;
    TClient client(line.Port);
    const int32_t id = line.Connect(client, GetA);
    client.HalfClose();
    ASSERT_TRUE(WaitUntil([&] { return line.Program.Tcp().Clients.FindById(id)->InputEnded; }));
    line.TakeUp(id);
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetA.size())), GetA);
    line.Device.Write(AnswerA);
    EXPECT_EQ(client.ReadToClose(), AnswerA);
    ExpectNoExchange(line.Line);

    TClient half(line.Port);
    const int32_t halfId = line.Connect(half, "GET /a HTTP/1.1\r\nHo");
    half.HalfClose();
    EXPECT_EQ(half.ReadToClose(), "");
    EXPECT_FALSE(line.Program.Tcp().Clients.FindById(halfId));
    line.Line.TimerCheckTimer();
    EXPECT_TRUE(line.LineQuiet());
}

TEST(Exchange, ATrickledLargeBodyIsCutAtItsDeadlineAndItsExchangeSettles) {
    TFramedLine line;
    uint32_t now = 5000;
    SetTickSource([&] { return now; });
    TClient uploader(line.Port);
    const QByteArray head = "POST /fw HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n";
    const int32_t up = line.Ask(uploader, head + "0123456789");
    TClient waiting(line.Port);
    line.Connect(waiting, GetB);
    // Every piece written restarts the watchdog; the deadline still runs out.
    for (int piece = 0; piece < 60; ++piece) {
        const int32_t before = line.Program.Tcp().Clients.FindById(up)->Received;
        uploader.Send("x");
        ASSERT_TRUE(WaitUntil([&] { return line.Program.Tcp().Clients.FindById(up)->Received > before; }));
        line.TakeUp(up);
        EXPECT_EQ(line.Device.Read(1), "x");
        now += 500;
        line.Line.TimerCheckTimer();
        if (Peek(line.Line).Exchange.CurrentClient == 0)
            break;
    }
    SetTickSource({});
    // 20 s from its take-up and a second for every 500 bytes from then: 41 came, so it was cut after 20.5 s.
    EXPECT_EQ(uploader.ReadToClose(), RequestIncompleteAnswer);
    EXPECT_TRUE(line.Program.LogLines().last().contains("did not send its whole request in time, cut after 97 bytes"));
    EXPECT_EQ(Peek(line.Line).State, dsRelayWait);
    line.Device.Write("HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    line.Device.Write(AnswerB);
    EXPECT_EQ(waiting.ReadToClose(), AnswerB);
}

TEST(Exchange, ARequestArrivingAtTheWireRateIsNeverOverdueAndATrickleIsAtTwentySeconds) {
    const auto overdueAt = [](int bytesPerSecond) {
        TClientRecord record;
        record.ClockStart = 1000;
        record.Request.Feed("POST /fw HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n");
        for (int second = 1; second <= 100; ++second) {
            record.Request.Feed(QByteArray(bytesPerSecond, 'u'));
            if (record.RequestOverdue(1000 + 1000 * second, 120000))
                return second;
        }
        return 0;
    };
    EXPECT_EQ(overdueAt(11520), 0);
    EXPECT_EQ(overdueAt(2), 21);
    TClientRecord notHttp;
    notHttp.ClockStart = 0;
    notHttp.Request.Feed("\x01\x02");
    EXPECT_FALSE(notHttp.RequestOverdue(120000, 120000));
    EXPECT_TRUE(notHttp.RequestOverdue(120001, 120000));
    EXPECT_TRUE(notHttp.RequestOverdue(10001, 10000));
}

TEST(Exchange, AClosingConnectionNeitherAnnouncesWhatItSendsNorHoldsTheLine) {
    TFramedLine line;
    line.Program.Main().removeEventFilter(&line.Gate);
    TClient client(line.Port);
    const int32_t id = line.Connect(client, GetA);
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).State == dsRelayWait; }));
    line.Device.Read(static_cast<int>(GetA.size()));
    line.Device.Write(AnswerA);
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).State == dsIdle; }));
    const int32_t received = line.Program.Tcp().Clients.FindById(id) ? line.Program.Tcp().Clients.FindById(id)->Received : -1;
    client.Send("one more byte");
    TClient next(line.Port);
    line.Connect(next, GetB);
    EXPECT_EQ(line.Device.Read(static_cast<int>(GetB.size())), GetB);
    if (const TClientRecord* record = line.Program.Tcp().Clients.FindById(id)) {
        EXPECT_EQ(record->Received, received);
    }
    line.Device.Write(AnswerB);
    EXPECT_EQ(next.ReadToClose(), AnswerB);
    EXPECT_EQ(client.ReadToClose(), AnswerA);
}

TEST(Exchange, TheSettingsSavedMidAnswerEndTheExchangeAndTheNextClientIsServed) {
    TFramedLine line;
    TClient client(line.Port);
    line.Ask(client);
    line.Device.Write(AnswerA.left(20));
    ASSERT_TRUE(WaitUntil([&] { return Peek(line.Line).State == dsRelayAnswer; }));
    line.Program.Rs().PauseReceive();
    line.Program.Main().WMSvParamsSaved();
    ExpectNoExchange(line.Line);
    EXPECT_FALSE(line.Program.Rs().ReceivePaused);
    TClient next(line.Port);
    line.Ask(next, GetB);
    line.Device.Write(AnswerB);
    EXPECT_EQ(next.ReadToClose(), AnswerB);
}

TEST(Exchange, ARequestWhoseEndTheDeviceCouldReadOtherwiseIsRefusedAndAChunkedOneEndsAtItsLastChunk) {
    TFramedLine line;
    const QByteArray smuggled = "GET /b HTTP/1.1\r\n\r\n";
    TClient sly(line.Port);
    line.Connect(sly, "POST /u HTTP/1.1\r\nContent-Length: 0\r\nTransfer-Encoding: chunked\r\n\r\n" + smuggled);
    EXPECT_EQ(sly.ReadToClose(), BadLengthAnswer);
    EXPECT_TRUE(line.Program.LogLines().last().endsWith("TCP: refused a request whose length could not be read"));
    line.Line.TimerCheckTimer();
    EXPECT_TRUE(line.LineQuiet());

    const QByteArray chunked = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n";
    TClient client(line.Port);
    const int32_t id = line.Connect(client, chunked + smuggled);
    line.TakeUp(id);
    EXPECT_EQ(line.Device.Read(static_cast<int>(chunked.size())), chunked);
    EXPECT_TRUE(line.LineQuiet());
    line.Device.Write(AnswerA);
    EXPECT_EQ(client.ReadToClose(), AnswerA);
}

TEST(Exchange, AConnectionThatSendsNothingIsClosedWhenARequestWouldBeOverdue) {
    TFramedLine line;
    uint32_t now = 1000;
    SetTickSource([&] { return now; });
    TClient idle(line.Port);
    ASSERT_TRUE(WaitUntil([&] { return line.Program.Tcp().Clients.Count() == 1; }));
    now += 20000;
    line.Line.TimerCheckTimer();
    EXPECT_EQ(line.Program.Tcp().Clients.Count(), 1);
    ++now;
    line.Line.TimerCheckTimer();
    SetTickSource({});
    EXPECT_EQ(idle.ReadToClose(2s), "");
    EXPECT_EQ(idle.Socket.state(), QAbstractSocket::UnconnectedState);
}
