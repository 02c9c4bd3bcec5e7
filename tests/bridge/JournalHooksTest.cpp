// What the line and the TCP side tell the journal: each exchange's request as the device got it,
// the answer as its client got it (without what the line dropped ahead of or past it), the moments
// in order, and the outcomes of the line's own making.
#include <gtest/gtest.h>

#include "bridge/Bridge.h"
#include "bridge/sv_TCP.h"
#include "journal/Journal.h"
#include "support/LinePeek.h"

using journal::TEntry;

namespace {
const QByteArray Get = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray Head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

journal::TJournal& JournalOf(TBridge& bridge) { return *bridge.Program.W.Journal; }

void ExpectMomentsInOrder(const TEntry& entry) {
    EXPECT_NE(entry.Connected, journal::Never);
    EXPECT_LE(entry.Connected, entry.HeadRead);
    EXPECT_LE(entry.HeadRead, entry.TakenUp);
    EXPECT_LE(entry.TakenUp, entry.Written);
    EXPECT_LE(entry.Written, entry.FirstByte);
    EXPECT_LE(entry.FirstByte, entry.Ended);
}
} // namespace

TEST(JournalHooks, TheAnswerIsWhatItsClientGotWithoutLeftoversOrSurplus) {
    TFramed bridge;
    TClient first(bridge.Port);
    bridge.Ask(first, Get);
    TClient second(bridge.Port);
    bridge.Connect(second, "GET /b HTTP/1.1\r\n\r\n");
    bridge.Device.Write(Head + "0123456789surplus");
    EXPECT_EQ(first.ReadToClose(), Head + "0123456789");
    EXPECT_EQ(bridge.Device.Read(19), "GET /b HTTP/1.1\r\n\r\n");
    bridge.Device.Write("late tail" + Head.first(20));
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).Exchange.Handed + Peek(bridge.Line).Exchange.Answer.size() >= 20; }));
    bridge.Device.Write(Head.sliced(20) + "abcdefghij");
    EXPECT_EQ(second.ReadToClose(), Head + "abcdefghij");
    journal::TJournal& journal = JournalOf(bridge);
    ASSERT_EQ(journal.Count(), 2);
    const TEntry& a = journal.At(0);
    EXPECT_EQ(a.RequestHead, Get);
    EXPECT_EQ(a.RequestSize, Get.size());
    EXPECT_EQ(a.AnswerHead, Head);
    EXPECT_EQ(a.AnswerBody.Kept, "0123456789");
    EXPECT_EQ(a.AnswerSize, Head.size() + 10);
    EXPECT_EQ(a.Outcome, journal::TOutcome::DeviceAnswer);
    EXPECT_EQ(a.Port, "COM1");
    EXPECT_EQ(a.Address, "127.0.0.1");
    ExpectMomentsInOrder(a);
    const TEntry& b = journal.At(1);
    EXPECT_EQ(b.Target(), "/b");
    EXPECT_EQ(b.AnswerHead, Head);
    EXPECT_EQ(b.AnswerBody.Kept, "abcdefghij");
    EXPECT_EQ(b.Outcome, journal::TOutcome::DeviceAnswer);
    EXPECT_GT(b.Phases().Blocked, 0) << "it waited for the line";
    ExpectMomentsInOrder(b);
}

TEST(JournalHooks, ASilentDevicesFixedAnswerAndAClientThatLeftMidAnswer) {
    TFramed bridge;
    TClient silent(bridge.Port);
    bridge.Ask(silent, Get);
    bridge.TakeTimerEnd();
    for (int tick = 0; tick < 3; ++tick)
        bridge.Line.TimerEndTimer();
    EXPECT_EQ(silent.ReadToClose(), DeviceNotRespondingAnswer);
    journal::TJournal& journal = JournalOf(bridge);
    ASSERT_EQ(journal.Count(), 1);
    EXPECT_EQ(journal.At(0).Outcome, journal::TOutcome::FixedAnswer);
    EXPECT_EQ(journal.At(0).Fixed, journal::TFixed::NotResponding);
    EXPECT_EQ(journal.At(0).Status(), 503);
    // The device's late answer is the line's to drop, not the client's answer.
    bridge.Device.Write(Head + "0123456789");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }));
    EXPECT_EQ(journal.At(0).Status(), 503);

    TClient leaving(bridge.Port);
    bridge.Ask(leaving, Get);
    bridge.Device.Write(Head + "01234");
    ASSERT_TRUE(WaitUntil([&] { return leaving.Socket.bytesAvailable() >= Head.size() + 5 || leaving.Socket.waitForReadyRead(20); }));
    leaving.Reset();
    ASSERT_TRUE(WaitUntil([&] { return journal.At(1).Outcome != journal::TOutcome::UnderWay; }));
    EXPECT_EQ(journal.At(1).Outcome, journal::TOutcome::ClientLeft);
    EXPECT_EQ(journal.At(1).LeftHadBytes, Head.size() + 5);
    EXPECT_NE(journal.At(1).LeftUs, journal::Never);
}

TEST(JournalHooks, AProbeIsAnEntryWithItsOwner) {
    TFramed bridge;
    TAsk ask;
    ask.Owner = TAskOwner::CheckDevice;
    bridge.Line.Ask(std::move(ask));
    EXPECT_EQ(bridge.Device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    bridge.Device.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nid");
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsIdle; }));
    journal::TJournal& journal = JournalOf(bridge);
    ASSERT_EQ(journal.Count(), 1);
    const TEntry& probe = journal.At(0);
    EXPECT_EQ(probe.Owner, journal::TOwner::CheckDevice);
    EXPECT_EQ(probe.Target(), "/id.txt");
    EXPECT_EQ(probe.Outcome, journal::TOutcome::DeviceAnswer);
    EXPECT_EQ(probe.AnswerBody.Kept, "id");
    EXPECT_EQ(probe.Port, "COM1");
}
