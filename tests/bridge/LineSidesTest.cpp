// The line driven through its two sides alone: a TCP side and a serial side of the test's own,
// with no socket and no port behind them.
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QStringList>
#include <deque>
#include <map>

#include "bridge/FixedAnswers.h"
#include "bridge/Line.h"
#include "bridge/LineSides.h"
#include "bridge/LogSink.h"
#include "bridge/sv_Prot.h"

namespace {

struct TFakeClient {
    QByteArray Pending;
    int32_t Total = 0;
    bool HeadOnly = false;
    bool Connected = true;
    bool Taken = false;
    QByteArray Answer;
    bool Ended = false;
};

class TFakeClients final : public TLineClients {
public:
    bool Framing = true;
    int Quiet = 100;
    qsizetype UnsentBytes = 0;
    std::map<int32_t, TFakeClient> Clients;

    void Arrive(int32_t id, const QByteArray& request) {
        TFakeClient& client = Clients[id];
        client.Pending += request;
        client.Total += static_cast<int32_t>(request.size());
    }

    bool FramesAnswers() const override { return Framing; }
    int QuietMs() const override { return Quiet; }
    void StopServer() override {}
    void RestartServer() override {}
    std::optional<TTurn> TakeTurn(int32_t arrived) override {
        const int32_t first = FirstWaiting();
        const int32_t id = first > 0 ? first : arrived;
        auto found = Clients.find(id);
        if (found == Clients.end() || found->second.Taken || found->second.Pending.isEmpty())
            return std::nullopt;
        found->second.Taken = true;
        return TTurn{id, found->second.HeadOnly};
    }
    int32_t FirstWaiting() const override {
        for (const auto& [id, client] : Clients)
            if (!client.Taken && !client.Ended && !client.Pending.isEmpty())
                return id;
        return 0;
    }
    QByteArray TakeRequest(int32_t id, int32_t& total) override {
        total = Clients[id].Total;
        return std::exchange(Clients[id].Pending, QByteArray());
    }
    bool RequestArriving(int32_t id) const override { return !Clients.at(id).Pending.isEmpty(); }
    bool IsClientConnected(int32_t id) override { return Clients[id].Connected; }
    bool RequestOverdue(int32_t) const override { return false; }
    void RefuseOverdue() override {}
    TClientsDue Due(uint32_t, int32_t) const override { return {std::nullopt, FirstWaiting() > 0}; }
    void SendAnswer(int32_t id, const QByteArray& answer) override {
        Clients[id].Answer += answer;
        Clients[id].Ended = true;
    }
    void StreamAnswer(int32_t id, const QByteArray& bytes) override { Clients[id].Answer += bytes; }
    void EndAnswer(int32_t id) override { Clients[id].Ended = true; }
    qsizetype Unsent(int32_t) const override { return UnsentBytes; }
    void AnswerWaiting(const QByteArray& answer) override {
        for (auto& [id, client] : Clients)
            if (!client.Taken && !client.Ended)
                SendAnswer(id, answer);
    }
};

class TFakePort final : public TLinePort {
public:
    QString Name = QStringLiteral("COM1");
    bool WriteFails = false;
    bool Paused = false;
    int Opens = 0;
    QByteArray Written;
    TsvProt* Queue = nullptr;

    // What the device sends, announced as the hub would.
    void Device(TLine& line, const QByteArray& bytes) {
        Queue->PutChunk(bytes);
        line.OnSerialData();
    }

    QString PortName() const override { return Name; }
    QString ConfiguredPort() const override { return Name; }
    TPortFacts Facts() const override { return {}; }
    uint32_t LineBaud() const override { return 115200; }
    bool IsOpen() const override { return true; }
    bool OpenWith(uint32_t baud) const override { return baud == 0 || baud == 115200; }
    bool OpenPort(const QString&, uint32_t) override { return ++Opens > 0; }
    bool OpenConfiguredPort() override { return OpenPort(Name, 0); }
    void ClosePort() override {}
    void ForgetPort() override {}
    bool WriteChunk(const QByteArray& block, bool) override {
        if (WriteFails)
            return false;
        Written += block;
        return true;
    }
    void ReceiveInto(TsvProt* queue) override { Queue = queue; }
    void ResetInput() override {}
    void PauseReceive() override { Paused = true; }
    void ResumeReceive() override { Paused = false; }
    bool IsReceivePaused() const override { return Paused; }
};

class TLogLines final : public TLogSink {
public:
    QStringList Lines;
    void AddLogLine(const QByteArray& text, bool) override { Lines << QString::fromUtf8(text); }
};

const QByteArray Get = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";

QByteArray Answer(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

struct TSides : ::testing::Test {
    TLogLines Log;
    TFakeClients Clients;
    TFakePort Port;
    TLine Line{&Log};

    TSides() {
        Line.Attach(&Clients, &Port, {});
        Line.Init();
    }
    void Ticks(int count) {
        for (int i = 0; i < count; ++i)
            Line.TimerEndTimer();
    }
};

TEST_F(TSides, RequestsGoToThePortInTheirOrderAndEachFramedAnswerToItsOwnClientAlone) {
    Clients.Arrive(1, Get);
    Clients.Arrive(2, "GET /two HTTP/1.1\r\nHost: localhost\r\n\r\n");
    Line.OnClientData(2);
    EXPECT_EQ(Port.Written, Get) << "the client that came first goes first";
    Line.ContinueSending();
    Port.Device(Line, Answer("one") + "surplus");
    EXPECT_EQ(Clients.Clients[1].Answer, Answer("one"));
    EXPECT_TRUE(Clients.Clients[1].Ended);
    EXPECT_TRUE(Port.Written.endsWith("GET /two HTTP/1.1\r\nHost: localhost\r\n\r\n"))
        << "the freed line takes the next at once";
    Line.ContinueSending();
    Port.Device(Line, Answer("two"));
    EXPECT_EQ(Clients.Clients[2].Answer, Answer("two")) << "nothing of the first answer's surplus";
    EXPECT_TRUE(Line.IsIdle());
    EXPECT_EQ(Line.ServedCount(), 2u);
    EXPECT_TRUE(Log.Lines.join('\n').contains("RS: COM1 dropped 7 bytes past the end of an answer"));
}

TEST_F(TSides, ALongRequestGoesOutInChunksEachAfterThePortTookTheLast) {
    const QByteArray body(5000, 'x');
    const QByteArray post = "POST /f HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5000\r\n\r\n" + body;
    Clients.Arrive(1, post);
    Line.OnClientData(1);
    EXPECT_EQ(Port.Written.size(), 2048);
    Line.ContinueSending();
    EXPECT_EQ(Port.Written.size(), 4096);
    Line.ContinueSending();
    EXPECT_EQ(Port.Written, post);
}

TEST_F(TSides, AnUnwritablePortGivesTheClientTheNotAvailableAnswerAndIsOpenedAgain) {
    const int opens = Port.Opens;
    Port.WriteFails = true;
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    QByteArray expected = DeviceNotAvailableAnswer;
    expected.replace(expected.indexOf('~'), 1, "COM1");
    EXPECT_EQ(Clients.Clients[1].Answer, expected);
    EXPECT_EQ(Port.Opens, opens + 1);
    EXPECT_TRUE(Line.IsIdle());
}

// The client is answered on the device's behalf after three ticks; the line settles for ten, and
// then a probe asks whether the device ignored just that one request.
TEST_F(TSides, ASilentDeviceCostsItsClientTheNotRespondingAnswerAndThenTheLineRechecksIt) {
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    Line.ContinueSending();
    Ticks(2);
    EXPECT_FALSE(Clients.Clients[1].Ended);
    Ticks(1);
    EXPECT_EQ(Clients.Clients[1].Answer, DeviceNotRespondingAnswer);
    EXPECT_FALSE(Line.IsIdle()) << "a late answer is still awaited, for no one";
    Port.Written.clear();
    Ticks(7);
    EXPECT_EQ(Port.Written, ProbeRequest());
    EXPECT_TRUE(Line.HasAsks(TAskOwner::Recheck));
}

TEST_F(TSides, AProbeAskGoesOutAtOnceAndAClientThatArrivesMeanwhileWaitsForIt) {
    std::optional<TProbeOutcome> heard;
    TAsk ask;
    ask.Owner = TAskOwner::CheckDevice;
    ask.Done = [&](const TProbeOutcome& outcome) { heard = outcome; };
    Line.Ask(std::move(ask));
    EXPECT_EQ(Port.Written, ProbeRequest());
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    EXPECT_EQ(Port.Written, ProbeRequest()) << "the client waits while the probe is on the line";
    Line.ContinueSending();
    Port.Device(Line, Answer("id"));
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->Outcome, TOutcome::DeviceAnswer);
    EXPECT_EQ(heard->Answer, Answer("id"));
    EXPECT_TRUE(Line.IsDeviceOk());
    EXPECT_TRUE(Port.Written.endsWith(Get));
    EXPECT_EQ(Line.ClientOnLine(), 1);
}

TEST_F(TSides, AClientThatTakesItsAnswerSlowlyHoldsThePortBackUntilItDrains) {
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    Line.ContinueSending();
    Clients.UnsentBytes = qsizetype(2) << 20;
    Port.Device(Line, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf ");
    EXPECT_TRUE(Port.Paused);
    Clients.UnsentBytes = qsizetype(1) << 20;
    Line.OnClientWritten(1);
    EXPECT_TRUE(Port.Paused) << "not before half of the mark";
    Clients.UnsentBytes = 0;
    Line.OnClientWritten(1);
    EXPECT_FALSE(Port.Paused);
    Port.Device(Line, "done!");
    EXPECT_EQ(Clients.Clients[1].Answer, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf done!");
    EXPECT_TRUE(Clients.Clients[1].Ended);
}

TEST_F(TSides, AClientThatLeftHasTheRestOfItsAnswerDroppedAndTheDropLogged) {
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    Line.ContinueSending();
    Port.Device(Line, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst");
    Line.OnClientClosed(1);
    Port.Device(Line, QByteArray(95, 'r'));
    EXPECT_EQ(Clients.Clients[1].Answer, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst");
    EXPECT_TRUE(Line.IsIdle());
    EXPECT_TRUE(Log.Lines.join('\n').contains("RS: COM1 dropped 95 bytes of an answer whose client had left"));
}

QStringList Traced;
void Trace(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (QLatin1String(context.category) == QLatin1String("quellor.bridge") && text.startsWith("line state"))
        Traced << text;
}

TEST_F(TSides, EveryChangeOfTheLinesStateIsTracedUnderTheBridgesCategory) {
    QLoggingCategory::setFilterRules(QStringLiteral("quellor.bridge.debug=true"));
    Traced.clear();
    const QtMessageHandler before = qInstallMessageHandler(Trace);
    Clients.Arrive(1, Get);
    Line.OnClientData(1);
    Line.ContinueSending();
    Port.Device(Line, Answer("x"));
    qInstallMessageHandler(before);
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(Traced, QStringList({"line state 0 -> 1", "line state 1 -> 2", "line state 2 -> 0"}));
}

} // namespace
