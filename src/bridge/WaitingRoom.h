#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bridge/FixedAnswers.h"
#include "bridge/LineSides.h"
#include "http/RequestMeter.h"

namespace journal {
class TExchangeEvents;
enum class TFixed : uint8_t;
}

// Where a client's request is on its way from its connection to the line. Held stages are those
// whose connection is not read for want of room: what its client sends waits in the system, which
// holds the client back, until there is room again.
//
// Stage        its request                            how it leaves the stage
// Arriving     read as it comes, waits for its turn   no room: HeldBack; its turn, unfinished:
//                                                     Checking; taken: TakenUp
// HeldBack     waits for its turn, unread             room: Arriving; its turn, unfinished:
//                                                     Checking; taken: TakenUpHeld
// Checking     its turn came before it was whole:     nothing more came for the quiet time, or it
//              what its client sent is read, to find  is whole, or the limit passed: Present; no
//              a client that left behind those bytes  room: PresentHeld; taken: TakenUp
// Present      its client is there; the line may      no room: PresentHeld; taken: TakenUp
//              take it up
// PresentHeld  the same, unread                       room: Present; taken: TakenUpHeld
// TakenUp      on the line for good: what comes goes  no room: TakenUpHeld
//              to the device
// TakenUpHeld  the same, unread until the line took  room: TakenUp
//              what is kept
//
// One record at most is Checking; it counts in no waiting request's memory. A record leaves the
// room, whatever its stage, when its client is answered and its connection ends, when its client
// left before its request was whole, or when the server is restarted or moved.
enum class TClientStage : uint8_t { Arriving, HeldBack, Checking, Present, PresentHeld, TakenUp, TakenUpHeld };

const char* StageName(TClientStage stage);

// One client's record: its id, the bytes not yet taken by the dispatcher, and the total it sent.
// A request waits in line until it is whole, or, when its body is too large to hold, until its
// head is; once taken up it never goes to the line again. Its stage is the waiting room's to set.
struct TClientRecord {
    int32_t Id = 0;
    QByteArray Pending;
    int32_t Received = 0;
    http::TRequestMeter Request;
    // The request's deadline counts from its first byte, and again from the moment it is taken up
    // or read again after it was held, with only the bytes that come from then on.
    uint32_t ClockStart = 0;
    qint64 SizeAtStart = 0;
    // Its client half-closed: nothing more comes, whatever the stage. A request without a
    // declared length ends there.
    bool InputEnded = false;
    uint32_t CheckStart = 0;

    TClientStage Stage() const { return At; }
    bool Held() const;
    bool TakenUp() const;
    // Nothing more of the request can come.
    bool RequestWhole() const;
    // The request may go to the line.
    bool RequestReady() const;
    // The request did not arrive whole within its deadline; bytes that are not HTTP may keep
    // coming for the reader limit.
    bool RequestOverdue(uint32_t now, int64_t readerLimitMs) const;
    // How long after ClockStart the record is overdue: its request, or a connection that sent
    // nothing while it was read; none while nothing of it can be.
    std::optional<int64_t> Deadline(int64_t readerLimitMs) const;

private:
    friend class TWaitingRoom;
    TClientStage At = TClientStage::Arriving;
};

// The client records in acceptance order; owns them.
class TClientList {
public:
    int IndexOfId(int32_t id) const;
    TClientRecord* FindById(int32_t id) const;
    void RemoveById(int32_t id);
    int32_t FirstPendingClient() const;
    // The clients whose requests wait in line, in order; the first of them, 0: none.
    QList<int32_t> WaitingClients() const;
    int32_t FirstWaiting() const;
    // The clients whose connections are not read for want of room.
    QList<int32_t> HeldClients() const;
    // The memory the requests waiting in line take.
    qsizetype WaitingBytes() const;
    void Add(std::unique_ptr<TClientRecord> record) { Records.push_back(std::move(record)); }
    void Clear() { Records.clear(); }
    int Count() const { return static_cast<int>(Records.size()); }

private:
    std::vector<std::unique_ptr<TClientRecord>> Records;
};

// What the waiting room asks of the server, each time by the client's id.
class TClientDoors {
public:
    virtual ~TClientDoors() = default;
    // The client's connection is still there (it may be closing); open: and not closing.
    virtual bool Exists(int32_t id) const = 0;
    virtual bool Open(int32_t id) const = 0;
    virtual void Hold(int32_t id, bool hold) = 0;
    // Reads what waits on the connection now, as when it tells that bytes came.
    virtual void ReadNow(int32_t id) = 0;
    // What the system still holds of a client that sent all it will send; none while more may come.
    virtual std::optional<QByteArray> FinalInput(int32_t id) const = 0;
    // Closes the connection once what was sent to it has gone out; nothing when it is gone.
    virtual void Close(int32_t id) = 0;
    // Writes the answer, which ends the connection.
    virtual void SendAnswer(int32_t id, const QByteArray& answer) = 0;
    // Tells the line that the client may be taken up.
    virtual void Nudge(int32_t id) = 0;
    virtual void Log(const QString& text) = 0;
    virtual int64_t ReaderLimitMs() const = 0;
};

// The clients in the order they came, from their connection until their connection ends: what
// each has sent of its request, its deadline, whether it is read or held back for want of room,
// the check that it is still there when its turn comes, and the order in which the line takes
// their requests.
class TWaitingRoom {
public:
    explicit TWaitingRoom(TClientDoors& doors);

    void SetJournal(journal::TExchangeEvents* journal) { Journal = journal; }
    void Admit(int32_t id);
    // Every client goes, without a word to any.
    void Clear();
    // How many bytes may be read of the client now; for a client without a record, as many as
    // one request may hold.
    qsizetype Space(int32_t id) const;
    // The client is not read until there is room for what it sends.
    void HoldBack(TClientRecord& record);
    // Keeps the bytes that belong to the request; returns how many did.
    qsizetype Take(TClientRecord& record, const QByteArray& data);
    // Bytes of its request came and were kept.
    void Read(TClientRecord& record);
    // The client half-closed its connection, which was read; true when the connection is to close.
    bool InputEnded(int32_t id);
    // The client of a held connection closed or reset.
    void HeldInputEnded(int32_t id);
    // The client's connection ended.
    void Left(int32_t id);
    // Gives every client in line but the one on the line the answer, and lets them go; returns
    // how many of them were still there to be answered.
    int AnswerAllBut(int32_t onLine, journal::TFixed why, const QByteArray& answer);

    bool TurnMayBegin(int32_t id);
    // The turn of the client first in line, or of this one when none waits before it, once its
    // request may go to the line.
    std::optional<TTurn> TakeTurn(int32_t arrived);
    // Its request's head is whole but more of the request is still to come or to be taken.
    bool RequestArriving(int32_t id) const;
    void PresenceTimerFired();
    bool PresenceCheckRunning() const { return TimerPresence.isActive(); }
    QByteArray TakeRequest(int32_t id, int32_t& total);
    bool RequestOverdue(int32_t id) const;
    void RefuseOverdue();
    std::optional<int64_t> NextDeadline(uint32_t now, int32_t onLine) const;
    void AnswerWaiting(const QByteArray& answer);
    bool Connected(int32_t id) const;

    TClientList Clients;

private:
    void SetStage(TClientRecord& record, TClientStage stage);
    void ReadHeldClients();
    bool LeftUnfinished(const TClientRecord& record) const;
    void DropUnfinished(int32_t id);
    void StartPresenceCheck(TClientRecord& record);
    void PresenceChecked(TClientRecord& record);
    void ReadDuringCheck(TClientRecord& record);
    void StopCheck();

    TClientDoors& Doors;
    journal::TExchangeEvents* Journal = nullptr;
    QTimer TimerPresence;
    int32_t CheckingClient = 0;
};
