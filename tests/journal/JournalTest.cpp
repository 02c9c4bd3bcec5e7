// The journal's ring: what it keeps of each exchange, its bounds, its signals and the phases.
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "journal/Journal.h"
#include "settings/UtilsRegistry.h"

using namespace journal;

namespace {
const QByteArray Get = "GET /index.html HTTP/1.1\r\nHost: localhost:24111\r\n\r\n";
const QByteArray AnswerHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\n";

// A journal on a clock the test moves by hand, in milliseconds.
struct TClocked {
    TJournal Journal;
    int64_t Ms = 1000;
    TClocked() {
        Journal.Clock = [this] { return Ms * 1000; };
    }

    // One browser's exchange from accept to its answer's end, each moment `step` ms after the last.
    uint64_t Exchange(int32_t client, const QByteArray& request, const QByteArray& answer, int64_t step = 1) {
        Journal.Accepted(client, "127.0.0.1");
        Ms += step;
        Journal.HeadRead(client, request);
        Ms += step;
        const uint64_t id = Journal.TakenUp(client, "COM1", "/dev/ttyUSB0", "device 7");
        Ms += step;
        Journal.RequestWritten(id, request);
        Ms += step;
        Journal.AnswerArrived(id, answer);
        Ms += step;
        Journal.AnswerEnded(id);
        Journal.LineFree(id);
        Journal.Closed(client, answer.size());
        return id;
    }
};
} // namespace

TEST(JournalRing, KeepsTheLastThousandExchangesAndSaysWhichRowsWent) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    QSignalSpy added(&journal, &TJournal::EntryAdded);
    QSignalSpy dropped(&journal, &TJournal::EntriesDropped);
    for (int client = 1; client <= 1001; ++client)
        clocked.Exchange(client, Get, AnswerHead + "hello");
    ASSERT_EQ(journal.Count(), 1000);
    EXPECT_EQ(journal.At(0).Client, 2) << "the oldest went first";
    EXPECT_EQ(journal.At(999).Client, 1001);
    EXPECT_EQ(journal.RowOf(journal.At(0).Serial), 0);
    EXPECT_EQ(journal.RowOf(1), -1);
    EXPECT_EQ(added.count(), 1001);
    ASSERT_EQ(dropped.count(), 1);
    EXPECT_EQ(dropped.first().first().toInt(), 1);
    EXPECT_EQ(added.last().first().toInt(), 999);
}

TEST(JournalRing, KeepsTheFirstBodyBytesOfALargeAnswerAndItsWholeSize) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: 10485760\r\n\r\n";
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, Get);
    const uint64_t id = journal.TakenUp(1, "COM1", "/dev/ttyUSB0", {});
    journal.RequestWritten(id, Get);
    journal.AnswerArrived(id, head);
    const QByteArray piece(4096, 'x');
    for (int i = 0; i < 10 * 256; ++i)
        journal.AnswerArrived(id, piece);
    journal.AnswerEnded(id);
    const TEntry& entry = journal.At(0);
    EXPECT_EQ(entry.AnswerHead, head);
    EXPECT_EQ(entry.AnswerSize, head.size() + (qint64(10) << 20));
    EXPECT_EQ(entry.AnswerBody.Size, qint64(10) << 20);
    EXPECT_EQ(entry.AnswerBody.Kept.size(), 65536);
    EXPECT_EQ(entry.AnswerBody.How, TKept::First);
    EXPECT_EQ(journal.KeptBodyBytes(), 65536);
    EXPECT_EQ(entry.Outcome, TOutcome::DeviceAnswer);
    EXPECT_EQ(entry.Status(), 200);
    EXPECT_FALSE(KeptComment(entry.AnswerBody, journal.BodyBytesBound()).isEmpty());
}

TEST(JournalRing, AllKeptBodiesStayWithinSixteenMebibytesOldestDroppedFirst) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    const QByteArray answer = "HTTP/1.1 200 OK\r\n\r\n" + QByteArray(200000, 'b');
    const QByteArray upload = "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n" + QByteArray(100000, 'u');
    for (int client = 1; client <= 300; ++client)
        clocked.Exchange(client, upload, answer);
    EXPECT_EQ(journal.Count(), 300);
    EXPECT_LE(journal.KeptBodyBytes(), MaxKeptBodyBytes);
    EXPECT_GT(journal.KeptBodyBytes(), MaxKeptBodyBytes - 2 * DefaultBodyBytes);
    qsizetype kept = 0;
    for (int row = 0; row < journal.Count(); ++row)
        kept += journal.At(row).RequestBody.Kept.size() + journal.At(row).AnswerBody.Kept.size();
    EXPECT_EQ(kept, journal.KeptBodyBytes());
    EXPECT_EQ(journal.At(0).AnswerBody.How, TKept::Dropped);
    EXPECT_TRUE(journal.At(0).AnswerBody.Kept.isEmpty());
    EXPECT_EQ(journal.At(0).AnswerBody.Size, 200000) << "a dropped body keeps its size";
    EXPECT_EQ(journal.At(299).AnswerBody.How, TKept::First);
    EXPECT_EQ(journal.At(299).RequestBody.Kept.size(), 65536);
    for (int row = 1; row < journal.Count(); ++row) {
        if (journal.At(row - 1).AnswerBody.How != TKept::Dropped) {
            EXPECT_NE(journal.At(row).AnswerBody.How, TKept::Dropped) << "row " << row << " dropped before an older one";
        }
    }
}

TEST(JournalRing, BoundsComeFromTheSettingsClampedAndApplyAtOnce) {
    SettingsSetLocation("NORVEL-Q", "JournalTest");
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    journal.LoadSettings();
    EXPECT_EQ(journal.EntriesBound(), 1000);
    EXPECT_EQ(journal.BodyBytesBound(), 65536);
    SettingsWriteInteger("Journal\\Entries", 200000);
    SettingsWriteInteger("Journal\\BodyBytes", 5 << 20);
    journal.LoadSettings();
    EXPECT_EQ(journal.EntriesBound(), 100000);
    EXPECT_EQ(journal.BodyBytesBound(), 1 << 20);
    SettingsWriteInteger("Journal\\Entries", -3);
    SettingsWriteInteger("Journal\\BodyBytes", -1);
    journal.LoadSettings();
    EXPECT_EQ(journal.EntriesBound(), 0);
    EXPECT_EQ(journal.BodyBytesBound(), 0);
    SettingsWriteInteger("Journal\\Entries", 10);
    SettingsWriteInteger("Journal\\BodyBytes", 0);
    journal.LoadSettings();
    for (int client = 1; client <= 20; ++client)
        clocked.Exchange(client, Get, AnswerHead + "hello");
    EXPECT_EQ(journal.Count(), 10);
    EXPECT_EQ(journal.At(9).AnswerBody.How, TKept::None);
    EXPECT_EQ(journal.At(9).AnswerBody.Size, 5);
    EXPECT_EQ(journal.KeptBodyBytes(), 0);
    QSignalSpy dropped(&journal, &TJournal::EntriesDropped);
    journal.SetBounds(4, 100);
    EXPECT_EQ(journal.Count(), 4);
    EXPECT_EQ(journal.At(0).Client, 17);
    ASSERT_EQ(dropped.count(), 1);
    EXPECT_EQ(dropped.first().first().toInt(), 6);
}

TEST(JournalRing, SwitchedOffItKeepsNothingAndTheBridgeGetsNoIds) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    journal.SetBounds(0, DefaultBodyBytes);
    EXPECT_FALSE(journal.Enabled());
    EXPECT_EQ(clocked.Exchange(1, Get, AnswerHead), 0u);
    EXPECT_EQ(journal.ProbeTakenUp(TOwner::IdleProbe, "COM1", {}, {}), 0u);
    EXPECT_EQ(journal.Count(), 0);
}

TEST(JournalEntry, ThePhasesAreTheWaitingRoomTheRequestTheWaitAndTheAnswer) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    QSignalSpy changed(&journal, &TJournal::EntryChanged);
    journal.Accepted(5, "192.0.2.7");
    clocked.Ms += 2;
    journal.HeadRead(5, Get);
    clocked.Ms += 40;
    const uint64_t id = journal.TakenUp(5, "COM3", "/dev/ttyACM0", "dev");
    journal.RequestWritten(id, Get.first(10));
    clocked.Ms += 7;
    journal.RequestWritten(id, Get.sliced(10));
    // The port says when the last byte is on the line.
    clocked.Ms += 3;
    journal.RequestOnLine(id);
    clocked.Ms += 117;
    journal.AnswerArrived(id, AnswerHead);
    clocked.Ms += 30;
    journal.AnswerArrived(id, "hello");
    journal.AnswerEnded(id);
    clocked.Ms += 500;
    journal.LineFree(id);
    journal.Closed(5, AnswerHead.size() + 5);
    const TEntry& entry = journal.At(0);
    EXPECT_EQ(entry.Client, 5);
    EXPECT_EQ(entry.Address, "192.0.2.7");
    EXPECT_EQ(entry.Port, "COM3");
    EXPECT_EQ(entry.Node, "/dev/ttyACM0");
    EXPECT_EQ(entry.Identity, "dev");
    EXPECT_EQ(entry.RequestHead, Get);
    EXPECT_EQ(entry.RequestSize, Get.size());
    EXPECT_EQ(entry.Method(), "GET");
    EXPECT_EQ(entry.Target(), "/index.html");
    EXPECT_EQ(entry.AnswerBody.Kept, "hello");
    EXPECT_EQ(entry.Outcome, TOutcome::DeviceAnswer);
    const TEntry::TPhases phases = entry.Phases();
    EXPECT_EQ(phases.Blocked, 42000);
    EXPECT_EQ(phases.Send, 10000);
    EXPECT_EQ(phases.Wait, 117000);
    EXPECT_EQ(phases.Receive, 30000);
    EXPECT_GE(changed.count(), 5);
    EXPECT_EQ(changed.last().first().toInt(), 0);
}

TEST(JournalEntry, EachOutcomeIsKeptWithWhatItSays) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    // A 503 of a silent device: the answer is the program's, and the device's late one is not taken for it.
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, Get);
    uint64_t id = journal.TakenUp(1, "COM1", {}, {});
    journal.RequestWritten(id, Get);
    clocked.Ms += 3000;
    journal.FixedAnswer(1, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\nbusy");
    journal.AnswerArrived(id, AnswerHead);
    journal.LineFree(id);
    EXPECT_EQ(journal.At(0).Outcome, TOutcome::FixedAnswer);
    EXPECT_EQ(journal.At(0).Fixed, TFixed::NotResponding);
    EXPECT_EQ(journal.At(0).Status(), 503);
    EXPECT_EQ(journal.At(0).Phases().Wait, 3000000);
    EXPECT_TRUE(OutcomeName(journal.At(0)).contains("not responding"));
    // Refused by the host check: never on the line.
    journal.Accepted(2, "127.0.0.1");
    journal.HeadRead(2, "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n");
    journal.Refused(2, TRefusal::Host, "evil.example", "HTTP/1.1 403 Forbidden\r\n\r\nno");
    EXPECT_EQ(journal.At(1).Outcome, TOutcome::Refused);
    EXPECT_EQ(journal.At(1).RefusedName, "evil.example");
    EXPECT_EQ(journal.At(1).TakenUp, Never);
    EXPECT_TRUE(OutcomeName(journal.At(1)).contains("evil.example"));
    // A client that left mid-answer.
    journal.Accepted(3, "127.0.0.1");
    journal.HeadRead(3, Get);
    id = journal.TakenUp(3, "COM1", {}, {});
    journal.RequestWritten(id, Get);
    journal.AnswerArrived(id, AnswerHead);
    clocked.Ms += 10;
    journal.Closed(3, 20);
    journal.AnswerArrived(id, "hello");
    journal.LineFree(id);
    EXPECT_EQ(journal.At(2).Outcome, TOutcome::ClientLeft);
    EXPECT_EQ(journal.At(2).LeftHadBytes, 20);
    EXPECT_EQ(journal.At(2).LeftUs, clocked.Ms * 1000);
    // A client that had its whole answer on the line but left before taking it.
    clocked.Exchange(4, Get, AnswerHead + "hello");
    journal.Closed(4, 0);
    EXPECT_EQ(journal.At(3).Outcome, TOutcome::DeviceAnswer) << "closed twice changes nothing";
    journal.Accepted(5, "127.0.0.1");
    journal.HeadRead(5, Get);
    id = journal.TakenUp(5, "COM1", {}, {});
    journal.RequestWritten(id, Get);
    journal.AnswerArrived(id, AnswerHead + "hello");
    journal.AnswerEnded(id);
    journal.Closed(5, 3);
    EXPECT_EQ(journal.At(4).Outcome, TOutcome::ClientLeft);
    EXPECT_EQ(journal.At(4).LeftHadBytes, 3);
    // A probe with its owner, answered, and one that got no answer.
    id = journal.ProbeTakenUp(TOwner::Follower, "COM66", "/dev/ttyACM1", {});
    journal.RequestWritten(id, "GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
    journal.AnswerArrived(id, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nid");
    journal.AnswerEnded(id);
    journal.LineFree(id);
    EXPECT_EQ(journal.At(5).Owner, TOwner::Follower);
    EXPECT_TRUE(journal.At(5).IsProbe());
    EXPECT_EQ(journal.At(5).Outcome, TOutcome::DeviceAnswer);
    EXPECT_EQ(journal.At(5).Target(), "/id.txt");
    id = journal.ProbeTakenUp(TOwner::IdleProbe, "COM1", {}, {});
    journal.ProbeEnded(id, TOutcome::Silent);
    journal.LineFree(id);
    EXPECT_EQ(journal.At(6).Outcome, TOutcome::Silent);
    // A request cut at its deadline, one dropped unfinished, and one under way when the server restarted.
    journal.Accepted(8, "127.0.0.1");
    journal.HeadRead(8, "POST /upload HTTP/1.1\r\nContent-Length: 9000\r\n\r\n");
    id = journal.TakenUp(8, "COM1", {}, {});
    journal.FixedAnswer(8, TFixed::RequestTimeout, "HTTP/1.1 408 Request Timeout\r\n\r\n");
    journal.RequestCut(id, TCut::Deadline);
    EXPECT_EQ(journal.At(7).Outcome, TOutcome::Cut);
    EXPECT_EQ(journal.At(7).Cut, TCut::Deadline);
    EXPECT_EQ(journal.At(7).Status(), 408);
    journal.Accepted(9, "127.0.0.1");
    journal.HeadRead(9, "POST /upload HTTP/1.1\r\nContent-Length: 9000\r\n\r\n");
    journal.DroppedUnfinished(9, 1200);
    EXPECT_EQ(journal.At(8).Outcome, TOutcome::DroppedUnfinished);
    EXPECT_EQ(journal.At(8).RequestSize, 1200);
    journal.Accepted(10, "127.0.0.1");
    journal.HeadRead(10, Get);
    journal.ServerRestarted();
    EXPECT_EQ(journal.At(9).Outcome, TOutcome::Cut);
    EXPECT_EQ(journal.At(9).Cut, TCut::LineReset);
    // A connection that never sent a head is no exchange.
    journal.Accepted(11, "127.0.0.1");
    journal.Closed(11, 0);
    EXPECT_EQ(journal.Count(), 10);
}

TEST(JournalEntry, TheRequestIsWhatTheDeviceGotSplitIntoHeadAndBody) {
    TClocked clocked;
    TJournal& journal = clocked.Journal;
    const QByteArray head = "\r\nPOST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: 6\r\n\r\n";
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, head);
    const uint64_t id = journal.TakenUp(1, "COM1", {}, {});
    // Written in pieces that split the empty line that ends the head.
    const QByteArray whole = head + "abcdef";
    journal.RequestWritten(id, whole.first(head.size() - 3));
    journal.RequestWritten(id, whole.sliced(head.size() - 3, 5));
    journal.RequestWritten(id, whole.sliced(head.size() + 2));
    EXPECT_EQ(journal.At(0).RequestHead, head);
    EXPECT_EQ(journal.At(0).RequestBody.Kept, "abcdef");
    EXPECT_EQ(journal.At(0).RequestSize, whole.size());
    EXPECT_EQ(journal.At(0).Method(), "POST");
}
