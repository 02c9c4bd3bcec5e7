// The waiting room on its own, its clients' connections played by the test.
#include <QMap>
#include <QSet>
#include <gtest/gtest.h>

#include "bridge/FixedAnswers.h"
#include "bridge/WaitingRoom.h"
#include "journal/Journal.h"
#include "platform/TickCount.h"

namespace {
using enum TClientStage;

const QByteArray GetA = "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n";

QByteArray PostHead(qint64 length) {
    return "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

// The connections as the waiting room sees them: bytes the system holds for each client, whether
// it left, and what the room did to them.
struct TDoorsPlayed : TClientDoors {
    TWaitingRoom* Room = nullptr;
    QMap<int32_t, QByteArray> Waiting;
    QSet<int32_t> LeftClients;
    QSet<int32_t> Closing;
    QMap<int32_t, bool> HeldNow;
    QList<int32_t> Nudged;
    QMap<int32_t, QByteArray> Answers;

    bool Exists(int32_t) const override { return true; }
    bool Open(int32_t id) const override { return !Closing.contains(id); }
    void Hold(int32_t id, bool hold) override { HeldNow[id] = hold; }
    void ReadNow(int32_t id) override { Deliver(id); }
    std::optional<QByteArray> FinalInput(int32_t id) const override {
        return LeftClients.contains(id) ? std::optional<QByteArray>(Waiting.value(id)) : std::nullopt;
    }
    void Close(int32_t id) override { Closing.insert(id); }
    void SendAnswer(int32_t id, const QByteArray& answer) override {
        Answers[id] = answer;
        Closing.insert(id);
    }
    void Nudge(int32_t id) override { Nudged << id; }
    void Log(const QString&) override {}
    int64_t ReaderLimitMs() const override { return 60000; }

    // What the server does when the client's connection has bytes: reads as much as there is room for.
    void Deliver(int32_t id) {
        TClientRecord* record = Room->Clients.FindById(id);
        if (Waiting.value(id).isEmpty() || HeldNow.value(id))
            return;
        const qsizetype space = Room->Space(id);
        if (space == 0) {
            Room->HoldBack(*record);
            return;
        }
        const QByteArray data = Waiting[id].left(space);
        Waiting[id].remove(0, data.size());
        if (Room->Take(*record, data) > 0)
            Room->Read(*record);
    }
    void Send(int32_t id, const QByteArray& bytes) {
        Waiting[id] += bytes;
        Deliver(id);
    }
};

struct TRoom : testing::Test {
    uint32_t Now = 1000;
    TDoorsPlayed Doors;
    TWaitingRoom Room{Doors};
    TRoom() {
        Doors.Room = &Room;
        SetTickSource([this] { return Now; });
    }
    ~TRoom() override { SetTickSource({}); }
    TClientStage StageOf(int32_t id) const { return Room.Clients.FindById(id)->Stage(); }
    void Admit(std::initializer_list<int32_t> ids) {
        for (const int32_t id : ids)
            Room.Admit(id);
    }
};

TEST_F(TRoom, RequestsAreTakenInTheOrderTheirClientsCameNotInTheOrderTheyBecameReady) {
    Admit({1, 2, 3});
    Doors.Send(1, GetA.left(10));
    Doors.Send(2, GetA);
    Doors.Send(3, GetA);
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 2);
    Doors.Send(1, GetA.mid(10));
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 1);

    int32_t total = 0;
    EXPECT_EQ(Room.TakeRequest(1, total), GetA);
    EXPECT_EQ(total, GetA.size());
    EXPECT_EQ(StageOf(1), TakenUp);
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 2);
    EXPECT_EQ(Room.Clients.WaitingClients(), (QList<int32_t>{2, 3}));
    // A taken-up client never waits in line again, whatever it sends.
    Doors.Send(1, GetA);
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 2);
}

TEST_F(TRoom, AClientWithoutRoomIsHeldBackWithoutDeadlineAndReadAgainWhenAnotherLeaves) {
    // Each pours a body it declares but cannot hold, until what waits fills the room.
    int32_t id = 0;
    while (Room.Clients.WaitingBytes() < MaxWaitingBytes) {
        Admit({++id});
        Doors.Send(id, PostHead(MaxHeldBody) + QByteArray(MaxHeldBody, 'b'));
    }
    const int32_t late = ++id;
    Admit({late});
    Doors.Send(late, GetA);
    ASSERT_EQ(StageOf(late), HeldBack);
    EXPECT_TRUE(Doors.HeldNow.value(late));
    EXPECT_EQ(Room.Clients.FindById(late)->Request.Size(), 0);

    Now += 3600 * 1000;
    EXPECT_EQ(Room.Clients.FindById(late)->Deadline(Doors.ReaderLimitMs()), std::nullopt);
    Room.RefuseOverdue();
    EXPECT_FALSE(Doors.Answers.contains(late));

    Room.Left(1);
    EXPECT_FALSE(Doors.HeldNow.value(late));
    EXPECT_EQ(StageOf(late), Arriving);
    Doors.Deliver(late);
    EXPECT_EQ(Room.Clients.FindById(late)->Pending, GetA);
}

// Clients that each send most of a body they may hold, and pause, fill the room with requests
// none of which is ready: the first in line still finishes its own, and the line can take it.
TEST_F(TRoom, ARoomFullOfUnfinishedRequestsStillLetsTheFirstInLineFinishAndBeTaken) {
    const qint64 body = 1000000;
    int32_t id = 0;
    while (Room.Clients.WaitingBytes() < MaxWaitingBytes) {
        Admit({++id});
        Doors.Send(id, PostHead(body) + QByteArray(900000, 'b'));
    }
    const int32_t last = id;
    for (int32_t each = 1; each <= last; ++each)
        Doors.Send(each, QByteArray(body - 900000, 'e'));
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 1) << "the first in line is whole despite the full room";
    EXPECT_EQ(StageOf(last), HeldBack);
    const qsizetype kept = Room.Clients.WaitingBytes();
    EXPECT_LE(kept, MaxWaitingBytes + 2 * MaxKeptRequest) << "beyond the room, one request more at most";

    int32_t total = 0;
    EXPECT_EQ(Room.TakeRequest(1, total).size(), PostHead(body).size() + body);
    Doors.Deliver(2);
    EXPECT_EQ(Room.Clients.FirstPendingClient(), 2) << "the next in line may finish once the first is taken";
}

TEST_F(TRoom, AnUnfinishedRequestWhoseDeadlinePassedIsAnsweredOnlyWhileItsClientIsRead) {
    Admit({1, 2});
    Doors.Send(1, "POST /form HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\n12345");
    Doors.Send(2, GetA.left(5));
    Now += 20000;
    Room.RefuseOverdue();
    EXPECT_TRUE(Doors.Answers.isEmpty());
    Now += 1000;
    Room.RefuseOverdue();
    EXPECT_EQ(Doors.Answers.value(1), RequestIncompleteAnswer);
    EXPECT_EQ(Doors.Answers.value(2), RequestIncompleteAnswer);
}

TEST_F(TRoom, AnUnfinishedRequestsTurnBeginsOnlyOnceItsClientIsFoundThere) {
    Admit({1});
    Doors.Send(1, PostHead(300 << 20) + "first");
    ASSERT_EQ(Room.Clients.FirstPendingClient(), 1);
    EXPECT_FALSE(Room.TurnMayBegin(1));
    EXPECT_EQ(StageOf(1), Checking);
    EXPECT_TRUE(Room.PresenceCheckRunning());

    // What comes during the check is read, and counts in no waiting request's memory.
    Doors.Send(1, "more");
    EXPECT_EQ(Room.Clients.WaitingBytes(), 0);
    EXPECT_FALSE(Room.TurnMayBegin(1));

    Room.PresenceTimerFired();
    EXPECT_EQ(StageOf(1), Present);
    EXPECT_EQ(Doors.Nudged.last(), 1);
    EXPECT_FALSE(Room.PresenceCheckRunning());
    EXPECT_TRUE(Room.TurnMayBegin(1));
    int32_t total = 0;
    EXPECT_TRUE(Room.TakeRequest(1, total).endsWith("firstmore"));
    EXPECT_EQ(StageOf(1), TakenUp);
}

TEST_F(TRoom, ACheckGoesOnWhileBytesWaitUnreadAndFindsAnEndBehindThem) {
    Admit({1, 2});
    Doors.Send(1, PostHead(300 << 20) + "part");
    Doors.Send(2, PostHead(300 << 20) + "part");
    EXPECT_FALSE(Room.TurnMayBegin(1));
    // The server was kept from reading for the quiet time: the bytes waited, the client was not quiet.
    Doors.Waiting[1] = "more";
    Room.PresenceTimerFired();
    EXPECT_EQ(StageOf(1), Checking);
    EXPECT_TRUE(Room.Clients.FindById(1)->Pending.endsWith("partmore"));
    Now += PresenceLimitMs;
    Doors.Waiting[1] = "still more";
    Room.PresenceTimerFired();
    EXPECT_EQ(StageOf(1), Present);

    EXPECT_FALSE(Room.TurnMayBegin(2));
    Doors.Waiting[2] = "rest";
    Doors.LeftClients.insert(2);
    Doors.HeldNow[2] = true;
    Room.PresenceTimerFired();
    EXPECT_EQ(Room.Clients.FindById(2), nullptr);
    EXPECT_TRUE(Doors.Closing.contains(2));
}

TEST_F(TRoom, ACheckEndsWhenItHasReadAllItMayAndTheClientStaysUnreadUntilItsTurn) {
    Admit({1});
    Doors.Send(1, PostHead(300 << 20));
    Doors.Waiting[1] += QByteArray(LookAheadBytes + 1, 'x');
    EXPECT_FALSE(Room.TurnMayBegin(1));
    Doors.Deliver(1);
    EXPECT_EQ(StageOf(1), PresentHeld);
    EXPECT_TRUE(Doors.HeldNow.value(1));
    EXPECT_FALSE(Room.PresenceCheckRunning());
    EXPECT_TRUE(Room.TurnMayBegin(1));

    int32_t total = 0;
    EXPECT_EQ(Room.TakeRequest(1, total).size(), LookAheadBytes);
    EXPECT_EQ(StageOf(1), TakenUp);
    EXPECT_FALSE(Doors.HeldNow.value(1));
}

TEST_F(TRoom, AClientFoundGoneIsDroppedWithItsRequestAndTheNextOneGetsTheLine) {
    Admit({1, 2, 3});
    Doors.Send(1, PostHead(300 << 20) + "part");
    Doors.Send(2, PostHead(300 << 20) + "part");
    Doors.Send(3, GetA);

    // Gone before its turn: the system holds its end behind its last bytes.
    Doors.LeftClients.insert(1);
    Doors.Waiting[1] = "rest";
    EXPECT_FALSE(Room.TurnMayBegin(1));
    EXPECT_EQ(Room.Clients.FindById(1), nullptr);
    EXPECT_TRUE(Doors.Closing.contains(1));

    // Gone while it is checked: its end is read.
    EXPECT_FALSE(Room.TurnMayBegin(2));
    EXPECT_FALSE(Room.InputEnded(2));
    EXPECT_EQ(Room.Clients.FindById(2), nullptr);
    EXPECT_TRUE(Doors.Closing.contains(2));
    EXPECT_TRUE(Doors.Answers.isEmpty());
    Room.Left(2);
    EXPECT_FALSE(Room.PresenceCheckRunning());
    EXPECT_EQ(Doors.Nudged.last(), 3);
    EXPECT_TRUE(Room.TurnMayBegin(3));
}

TEST_F(TRoom, AClientAheadWhoseRequestBecomesReadyDuringACheckIsCheckedWhenThatOneEnds) {
    Admit({1, 2});
    Doors.Send(1, PostHead(300 << 20).left(20));
    Doors.Send(2, PostHead(300 << 20) + "part");
    EXPECT_FALSE(Room.TurnMayBegin(2));
    Doors.Send(1, PostHead(300 << 20).mid(20) + "part");
    ASSERT_EQ(Room.Clients.FirstPendingClient(), 1);
    EXPECT_FALSE(Room.TurnMayBegin(1));
    EXPECT_EQ(StageOf(1), Arriving);

    Room.PresenceTimerFired();
    EXPECT_EQ(StageOf(2), Present);
    EXPECT_FALSE(Room.TurnMayBegin(1));
    EXPECT_EQ(StageOf(1), Checking);
    Room.PresenceTimerFired();
    EXPECT_EQ(StageOf(1), Present);
    EXPECT_FALSE(Room.PresenceCheckRunning());
}

TEST_F(TRoom, AWholeRequestOrATakenUpOneIsNeverChecked) {
    Admit({1, 2});
    Doors.Send(1, GetA);
    Doors.Send(2, PostHead(300 << 20) + "part");
    EXPECT_TRUE(Room.TurnMayBegin(1));
    EXPECT_EQ(StageOf(1), Arriving);
    int32_t total = 0;
    Room.TakeRequest(2, total);
    EXPECT_TRUE(Room.TurnMayBegin(2));
    EXPECT_EQ(StageOf(2), TakenUp);
    EXPECT_FALSE(Room.PresenceCheckRunning());
}

TEST_F(TRoom, ATakenUpClientHeldForWantOfRoomIsNotOverdueAndItsDeadlineRestartsWhenReadAgain) {
    Admit({1});
    Doors.Send(1, PostHead(300 << 20));
    int32_t total = 0;
    Room.TakeRequest(1, total);
    Doors.Send(1, QByteArray(MaxKeptRequest + 1, 'x'));
    Doors.Deliver(1);
    ASSERT_EQ(StageOf(1), TakenUpHeld);
    Now += 3600 * 1000;
    EXPECT_FALSE(Room.RequestOverdue(1));

    EXPECT_EQ(Room.TakeRequest(1, total).size(), MaxKeptRequest);
    EXPECT_EQ(StageOf(1), TakenUp);
    EXPECT_FALSE(Room.RequestOverdue(1));
    Doors.Deliver(1);
    Now += 20000 + 2 + 1;
    EXPECT_TRUE(Room.RequestOverdue(1));
}

TEST_F(TRoom, MovingAwayAnswersEveryoneWaitingButTheClientOnTheLineAndEndsTheirCheck) {
    Admit({1, 2, 3});
    Doors.Send(1, GetA);
    Doors.Send(2, PostHead(300 << 20) + "part");
    Doors.Send(3, GetA.left(3));
    int32_t total = 0;
    Room.TakeRequest(1, total);
    EXPECT_FALSE(Room.TurnMayBegin(2));
    Doors.Closing.insert(3);

    EXPECT_EQ(Room.AnswerAllBut(1, journal::TFixed::NotAvailable, "gone"), 1);
    EXPECT_EQ(Doors.Answers.keys(), QList<int32_t>{2});
    EXPECT_EQ(Room.Clients.Count(), 1);
    EXPECT_NE(Room.Clients.FindById(1), nullptr);
    EXPECT_FALSE(Room.PresenceCheckRunning());
}
} // namespace
