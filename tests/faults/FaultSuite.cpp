// The real program, headless, between the simulated device and waves of clients that misbehave
// in every way a browser or a network can: each normal client must still get its own whole
// answer, the program must survive its wave (the sanitizer build aborts it on any memory fault)
// and then stop in order, and its descriptors and memory must come back to where they were.
// Each wave has a program, profile, port and pseudo-terminal of its own (every test process has
// its own folders), so that the build runs them side by side, each as a test of its own.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <atomic>
#include <optional>
#include <thread>
#include <gtest/gtest.h>

#include "Children.h"
#include "faults/FaultSuite.h"

namespace {
// A reader that takes nothing of an answer the line can finish gives the line up at once; one
// that would have the line held back gives it up at the reader limit. Returns how long the reader
// stayed before the program dropped it or it left.
std::chrono::milliseconds NonReaderWave(TFaultSuite& suite, int size, std::chrono::milliseconds limit) {
    TWave stuck(22);
    TFaultClient& reader = stuck.AddOne(TAct::NoReader, 0ms, size);
    reader.Hold = 1500ms;
    reader.Stay = size < (1 << 20) ? 5s : 150s;
    stuck.AddOne(TAct::Normal, 2000ms, 700);
    stuck.AddOne(TAct::Normal, 2100ms, 800);
    stuck.Run(suite.Program->Port, 160s);
    for (const TFaultClient& client : stuck.Clients)
        if (client.Act == TAct::Normal) {
            EXPECT_TRUE(IsOwnAnswer(client)) << size;
            EXPECT_LT(client.Took, limit) << size;
        }
    suite.ExpectAliveAndClean("non-readers");
    suite.ExpectBackAtBaseline("non-readers");
    return stuck.Clients.front().Took;
}
} // namespace

TEST_F(TFaultSuite, ClientsThatDisconnectAtAnyPointLeaveTheOthersTheirAnswers) {
    Start();
    TWave disconnects(11);
    disconnects.Add(TAct::Normal, 12, 2000ms);
    for (TAct act : {TAct::CloseBefore, TAct::ResetBefore, TAct::CloseAfter, TAct::ResetAfter, TAct::HalfClose})
        disconnects.Add(act, 4, 2000ms);
    for (TAct act : {TAct::CloseDuring, TAct::ResetDuring})
        disconnects.Add(act, 4, 2000ms, 500000, 3000000);
    disconnects.Run(Program->Port, 120s);
    ExpectNormalClientsServed(disconnects, IsOwnAnswer);
    for (const TFaultClient& client : disconnects.Clients)
        if (client.Act == TAct::HalfClose) {
            EXPECT_TRUE(IsOwnAnswer(client)) << "half-closed client of size " << client.Size;
        }
    ExpectAliveAndClean("disconnects");
    ExpectBackAtBaseline("disconnects");
}

// The reset lands just before, at, or just after the moment the answer is handed over.
TEST_F(TFaultSuite, AResetAtTheMomentTheAnswerIsHandedOverHarmsNothing) {
    Start();
    TWave sweep(15);
    sweep.AddSweep(TAct::ResetBefore, 400, 50ms, 28ms, 20us);
    sweep.Run(Program->Port, 60s);
    ExpectAliveAndClean("sweep");
    ExpectBackAtBaseline("sweep");
}

TEST_F(TFaultSuite, ClientsThatSendNothingOrHalfARequestKeepNoOneWaiting) {
    Start();
    TWave idlers(12);
    idlers.Add(TAct::Normal, 10, 3000ms);
    idlers.Add(TAct::Silent, 10, 3000ms);
    idlers.Add(TAct::Half, 3, 3000ms);
    idlers.Run(Program->Port, 120s);
    for (const TFaultClient& client : idlers.Clients)
        if (client.Act == TAct::Normal) {
            EXPECT_LT(client.Took, 2s * Slowdown) << "a client waited behind half requests";
        }
    ExpectNormalClientsServed(idlers, IsOwnAnswer);
    for (const TFaultClient& client : idlers.Clients)
        if (client.Act == TAct::Half) {
            EXPECT_EQ(client.Got, RequestIncompleteAnswer);
        }
    ExpectAliveAndClean("idlers");
    ExpectBackAtBaseline("idlers");
}

TEST_F(TFaultSuite, AStormOfClientsAmongThemLeaversIsServed) {
    Start();
    TWave storm(13);
    storm.Add(TAct::Normal, 150, 100ms, 200, 4000);
    for (TAct act : {TAct::CloseBefore, TAct::ResetBefore, TAct::CloseAfter, TAct::ResetAfter, TAct::ResetDuring})
        storm.Add(act, 10, 100ms, 200, 60000);
    storm.Run(Program->Port, 150s);
    ExpectNormalClientsServed(storm, IsOwnAnswer);
    ExpectAliveAndClean("storm");
    ExpectBackAtBaseline("storm");
}

TEST_F(TFaultSuite, ADeviceThatVanishesMidAnswerEndsEachAnswerCleanlyAndComesBack) {
    Start();
    TWave vanish(14);
    vanish.Add(TAct::Normal, 16, 3000ms, 20000, 200000);
    vanish.Add(TAct::ResetDuring, 4, 3000ms, 20000, 200000);
    Device->VanishDuringNextAnswer(500ms);
    vanish.Run(Program->Port, 120s);
    ExpectNormalClientsServed(vanish, [](const TFaultClient& c) {
        return IsOwnAnswer(c) || IsFixedAnswer(c.Got) || TSimDevice::PatternAnswer(c.Size).startsWith(c.Got);
    });
    ExpectAliveAndClean("vanish");
    ASSERT_TRUE(Program->WaitForLog("RS: Open COM1"));
    ExpectBackAtBaseline("vanish");
}

// Clients whose answers the device owes: each other client still gets its own answer.
TEST_F(TFaultSuite, NoClientHandsAnotherItsAnswer) {
    Start();
    TWave leavers(21);
    for (int round = 0; round < 4; ++round) {
        const auto at = std::chrono::milliseconds(4500 * round);
        TFaultClient& leaving = leavers.AddOne(TAct::ResetBefore, at, 1500 + round);
        leaving.LateMs = 1800;
        leaving.Hold = 500ms;
        leavers.AddOne(TAct::Normal, at + 100ms, 2500 + round);
        leavers.AddOne(TAct::Normal, at + 200ms, 3500 + round);
    }
    TFaultClient& owed = leavers.AddOne(TAct::Normal, 18000ms, 4500);
    owed.LateMs = 4000;
    leavers.AddOne(TAct::Normal, 18500ms, 5500);
    leavers.AddOne(TAct::Normal, 18600ms, 6500);
    leavers.Run(Program->Port, 60s);
    ExpectNormalClientsServed(leavers, [](const TFaultClient& c) {
        return c.LateMs > 0 ? c.Got == DeviceNotRespondingAnswer : IsOwnAnswer(c);
    });
    ExpectAliveAndClean("leavers");
    ExpectBackAtBaseline("leavers");
}

TEST_F(TFaultSuite, AReaderThatTakesNothingOfAnAnswerTheLineCanFinishKeepsNoOneWaiting) {
    Start();
    NonReaderWave(*this, 600000, 1000ms * Slowdown);
}

// The reader limit is shortened through its setting, so that the wave does not wait out the
// default two minutes; the other clients wait for it and no longer.
TEST_F(TFaultSuite, AReaderThatHoldsTheLineBackGivesItUpAtTheReaderLimit) {
    constexpr int LimitS = 10;
    Start([] { SettingsWriteInteger("TCP\\ReaderLimit", LimitS); });
    const auto limit = std::chrono::seconds(LimitS) + 5000ms + 2000ms * Slowdown;
    const auto readerStayed = NonReaderWave(*this, 3500000, limit);
    // The program's timer may fire up to 5 % early.
    EXPECT_GT(readerStayed, std::chrono::seconds(LimitS) * 9 / 10);
    EXPECT_LT(readerStayed, limit) << "the reader was not dropped at its limit";
    EXPECT_TRUE(Program->WaitForLog("took nothing of its answer for " + QByteArray::number(LimitS) + " s"))
        << Program->Errors.right(2000).constData();
}

// Requests that arrive slowly: small ones wait aside, a large one is cut at its deadline,
// a steady one at the wire rate is never cut.
TEST_F(TFaultSuite, SlowRequestsKeepTheLineNoLongerThanTheirDeadline) {
    Start();
    TWave senders(23);
    senders.AddOne(TAct::Trickle, 0ms, 100);
    TFaultClient& large = senders.AddOne(TAct::Trickle, 30000ms, 300);
    large.DeclaredBody = 2000000;
    senders.AddOne(TAct::Paced, 0ms, 250000);
    senders.Add(TAct::Normal, 8, 3000ms);
    for (int i = 0; i < 6; ++i)
        senders.AddOne(TAct::Normal, 31000ms + 400ms * i, 9000 + i);
    senders.Run(Program->Port, 90s);
    for (const TFaultClient& client : senders.Clients) {
        EXPECT_FALSE(client.TimedOut);
        switch (client.Act) {
        case TAct::Trickle:
            EXPECT_EQ(client.Got, RequestIncompleteAnswer) << client.Size;
            EXPECT_GT(client.Took, 19s);
            EXPECT_LT(client.Took, 22s + 1s * Slowdown);
            break;
        case TAct::Paced:
            EXPECT_TRUE(client.Got.startsWith("HTTP/1.1 200 OK") && client.Got.contains("received 250000 bytes"))
                << client.Got.left(200).constData();
            break;
        default:
            EXPECT_TRUE(IsOwnAnswer(client)) << client.Size;
            // Those that came while the large body was coming waited for its cut and the device's answer to it.
            EXPECT_LT(client.Took, client.StartAt < 30000ms ? 2s * Slowdown : 26s + 2s * Slowdown) << client.Size;
        }
    }
    EXPECT_TRUE(Device->LastUpload() == TSimDevice::Pattern(250000)) << "the device saw a trickled body whole";
    ExpectAliveAndClean("senders");
    ExpectBackAtBaseline("senders");
}

// Whatever clients send, the program holds a bounded part of it.
TEST_F(TFaultSuite, MemoryStaysBoundedWhateverClientsSend) {
    Start();
    TWave flood(31);
    for (int i = 0; i < 40; ++i)
        flood.AddOne(TAct::Upload, std::chrono::milliseconds(10 * i), (1 << 20) - i);
    TFaultClient& pourer = flood.AddOne(TAct::Pour, 1000ms, 1);
    pourer.DeclaredBody = qint64(1) << 30;
    pourer.Stay = 15s;
    flood.Add(TAct::Normal, 10, 2000ms);
    std::atomic<qint64> peak{0};
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            peak = std::max<qint64>(peak, ResidentKiB(Pid()));
            std::this_thread::sleep_for(50ms);
        }
    });
    flood.Run(Program->Port, 240s);
    sampling = false;
    sampler.join();
    for (const TFaultClient& client : flood.Clients) {
        EXPECT_FALSE(client.TimedOut) << static_cast<int>(client.Act) << " " << client.Size;
        if (client.Act == TAct::Upload) {
            EXPECT_TRUE(client.Got.contains("received " + QByteArray::number(client.Size) + " bytes")) << client.Got.left(200).constData();
        } else if (client.Act == TAct::Normal) {
            EXPECT_TRUE(IsOwnAnswer(client)) << client.Size;
        }
    }
#ifndef QUELLOR_SANITIZE
    EXPECT_LE(peak, BaseResident + 64 * 1024) << "resident KiB at the peak, " << BaseResident << " idle";
#endif
    ExpectAliveAndClean("flood");
    ExpectBackAtBaseline("flood");
}

// Two loops keep both cores busy while 200 clients connect at once: none of them is lost.
TEST_F(TFaultSuite, ABurstOnBusyCoresLosesNoOne) {
    Start();
    TWave burst(32);
    burst.Add(TAct::Normal, 200, 50ms, 200, 3000);
    {
        const TBusyCores busy(2);
        burst.Run(Program->Port, 60s);
    }
    ExpectNormalClientsServed(burst, IsOwnAnswer);
    ExpectAliveAndClean("burst");
    ExpectBackAtBaseline("burst");
}
