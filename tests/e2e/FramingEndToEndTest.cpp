// The real program framing the simulated device's answers: queued clients behind pauses, every
// kind of declared end, and the quiet rule alone when framing is switched off.
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Running.h"

namespace {
TSimDevice::TOptions OnCom1() {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    return options;
}

QByteArray Request(const QByteArray& target, const QByteArray& method = "GET") {
    return method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

QByteArray Whole(const QByteArray& target) {
    QByteArray bytes;
    for (const auto& piece : TSimDevice::FramingCase(target))
        bytes += piece.second;
    return bytes;
}

// Clients that all ask at once, in this order; their answers.
QList<QByteArray> AskAtOnce(quint16 port, const QList<QByteArray>& requests) {
    std::vector<std::unique_ptr<TClient>> clients;
    for (const QByteArray& request : requests) {
        clients.push_back(std::make_unique<TClient>(port));
        clients.back()->Send(request);
    }
    QList<QByteArray> answers;
    for (auto& client : clients)
        answers << client->ReadToClose(std::chrono::milliseconds(20000));
    return answers;
}
} // namespace

TEST(FramingEndToEnd, ClientsQueuedBehindPausedAnswersEachGetTheirOwn) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    for (const QByteArray& paused : {QByteArray("/frame/pause?ms=350"), QByteArray("/frame/chunked?ms=250")}) {
        const QList<QByteArray> answers = AskAtOnce(program.Port, {Request(paused), Request("/bin/pattern?size=3001"),
                                                                   Request("/bin/pattern?size=3002"), Request("/bin/pattern?size=3003")});
        EXPECT_EQ(answers[0], Whole(paused));
        for (int i = 1; i <= 3; ++i)
            EXPECT_EQ(answers[i], TSimDevice::PatternAnswer(3000 + i)) << paused.constData() << " " << i;
    }
}

TEST(FramingEndToEnd, LengthsThatDisagreeWithTheBodyHarmNoOtherClient) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    const QList<QByteArray> longer = AskAtOnce(program.Port, {Request("/frame/longer"), Request("/bin/pattern?size=777")});
    EXPECT_EQ(longer[0], Whole("/frame/longer"));
    EXPECT_EQ(longer[1], TSimDevice::PatternAnswer(777));
    EXPECT_TRUE(program.WaitForLog("answer stalled, 2041 bytes handed before its declared end"));
    const QList<QByteArray> shorter = AskAtOnce(program.Port, {Request("/frame/shorter"), Request("/bin/pattern?size=778")});
    EXPECT_EQ(shorter[0], Whole("/frame/shorter").left(1041));
    EXPECT_EQ(shorter[1], TSimDevice::PatternAnswer(778));
}

TEST(FramingEndToEnd, EveryKindOfEndArrivesByteForByte) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    for (const char* name : {"/frame/nolength", "/frame/204", "/frame/304", "/frame/continue"}) {
        const QByteArray target = name;
        TClient client(program.Port);
        client.Send(Request(target));
        EXPECT_EQ(client.ReadToClose(), Whole(target)) << target.constData();
    }
    TClient head(program.Port);
    head.Send(Request("/id.txt", "HEAD"));
    const QByteArray answer = head.ReadToClose();
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(answer.endsWith("\r\n\r\n"));
}

TEST(FramingEndToEnd, WhatArrivedOfAnAnswerReachesTheClientDuringItsPause) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    TClient client(program.Port);
    client.Send(Request("/frame/pause?ms=1500"));
    const QByteArray first = TSimDevice::FramingCase("/frame/pause").front().second;
    QByteArray got;
    EXPECT_TRUE(WaitUntil([&] { return (got += client.Socket.readAll()).size() >= first.size(); }, std::chrono::milliseconds(1000)));
    EXPECT_EQ(got, first);
    EXPECT_EQ(client.Socket.state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(got + client.ReadToClose(), Whole("/frame/pause"));
}

TEST(FramingEndToEnd, WithFramingOffAPauseLongerThanTheSendDelayEndsTheAnswer) {
    TSimDevice device(OnCom1());
    TRunningProgram program([] { SettingsWriteInteger("TCP\\Framing", 0); });
    TClient client(program.Port);
    client.Send(Request("/frame/pause?ms=400"));
    EXPECT_EQ(client.ReadToClose(), TSimDevice::FramingCase("/frame/pause").front().second);
}
