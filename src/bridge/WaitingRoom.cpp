#include "bridge/WaitingRoom.h"

#include <algorithm>

#include "journal/Journal.h"
#include "platform/TickCount.h"
#include "platform/Tracing.h"

namespace {
// How long a request may take to arrive whole: a base, and a second more for every 500 bytes.
constexpr int64_t RequestBaseMs = 20000;
constexpr int64_t RequestMsPerByte = 2;

using enum TClientStage;

TClientStage HeldStage(TClientStage stage) {
    switch (stage) {
    case Arriving: return HeldBack;
    case Checking:
    case Present: return PresentHeld;
    case TakenUp: return TakenUpHeld;
    default: return stage;
    }
}

TClientStage ReadStage(TClientStage stage) {
    switch (stage) {
    case HeldBack: return Arriving;
    case PresentHeld: return Present;
    case TakenUpHeld: return TakenUp;
    default: return stage;
    }
}

TClientStage TakenStage(TClientStage stage) {
    switch (stage) {
    case HeldBack:
    case PresentHeld:
    case TakenUpHeld: return TakenUpHeld;
    default: return TakenUp;
    }
}

TClientStage CheckedStage(TClientStage stage) { return stage == Checking ? Present : stage; }
} // namespace

const char* StageName(TClientStage stage) {
    switch (stage) {
    case Arriving: return "arriving";
    case HeldBack: return "held back";
    case Checking: return "checking";
    case Present: return "present";
    case PresentHeld: return "present, held";
    case TakenUp: return "taken up";
    case TakenUpHeld: return "taken up, held";
    }
    return "?";
}

bool TClientRecord::Held() const { return At == HeldBack || At == PresentHeld || At == TakenUpHeld; }

bool TClientRecord::TakenUp() const { return At == TClientStage::TakenUp || At == TakenUpHeld; }

bool TClientRecord::RequestWhole() const {
    if (Request.Whole())
        return true;
    return InputEnded && Request.Head().State() != http::TRequest::NeedMore && Request.BodyLength() < 0;
}

bool TClientRecord::RequestReady() const {
    if (TakenUp() || Pending.isEmpty())
        return false;
    switch (Request.Head().State()) {
    case http::TRequest::NeedMore: return false;
    case http::TRequest::Complete: return RequestWhole() || Request.BodyLength() < 0 || Request.BodyLength() > MaxHeldBody;
    default: return true;
    }
}

// Bytes that are not HTTP have no end to wait for; they may keep coming for the reader limit.
bool TClientRecord::RequestOverdue(uint32_t now, int64_t readerLimitMs) const {
    if (Request.Size() == 0 || RequestWhole() || Held())
        return false;
    const int64_t took = static_cast<uint32_t>(now - ClockStart);
    if (Request.Head().State() == http::TRequest::NotHttp)
        return took > readerLimitMs;
    return took > RequestBaseMs + RequestMsPerByte * (Request.Size() - SizeAtStart);
}

std::optional<int64_t> TClientRecord::Deadline(int64_t readerLimitMs) const {
    if (Request.Size() == 0)
        return TakenUp() || Held() ? std::nullopt : std::optional<int64_t>(RequestBaseMs);
    if (RequestWhole() || Held() || RequestReady())
        return std::nullopt;
    if (Request.Head().State() == http::TRequest::NotHttp)
        return readerLimitMs;
    return RequestBaseMs + RequestMsPerByte * (Request.Size() - SizeAtStart);
}

int TClientList::IndexOfId(int32_t id) const {
    for (size_t i = 0; i < Records.size(); ++i)
        if (Records[i]->Id == id)
            return static_cast<int>(i);
    return -1;
}

TClientRecord* TClientList::FindById(int32_t id) const {
    const int index = IndexOfId(id);
    return index < 0 ? nullptr : Records[static_cast<size_t>(index)].get();
}

void TClientList::RemoveById(int32_t id) {
    const int index = IndexOfId(id);
    if (index >= 0)
        Records.erase(Records.begin() + index);
}

int32_t TClientList::FirstPendingClient() const {
    for (const auto& record : Records)
        if (record->RequestReady())
            return record->Id;
    return -1;
}

qsizetype TClientList::WaitingBytes() const {
    qsizetype total = 0;
    for (const auto& record : Records)
        if (!record->TakenUp() && record->Stage() != Checking)
            total += record->Pending.capacity();
    return total;
}

QList<int32_t> TClientList::HeldClients() const {
    QList<int32_t> ids;
    for (const auto& record : Records)
        if (record->Held())
            ids << record->Id;
    return ids;
}

int32_t TClientList::FirstWaiting() const {
    for (const auto& record : Records)
        if (!record->TakenUp())
            return record->Id;
    return 0;
}

QList<int32_t> TClientList::WaitingClients() const {
    QList<int32_t> ids;
    for (const auto& record : Records)
        if (!record->TakenUp())
            ids << record->Id;
    return ids;
}

TWaitingRoom::TWaitingRoom(TClientDoors& doors) : Doors(doors) {
    TimerPresence.setObjectName(QStringLiteral("TimerPresence"));
    TimerPresence.setSingleShot(true);
    QObject::connect(&TimerPresence, &QTimer::timeout, [this] { PresenceTimerFired(); });
}

void TWaitingRoom::SetStage(TClientRecord& record, TClientStage stage) {
    if (record.At == stage)
        return;
    qCDebug(lcBridge) << "client" << record.Id << StageName(record.At) << "->" << StageName(stage);
    record.At = stage;
}

void TWaitingRoom::Admit(int32_t id) {
    auto record = std::make_unique<TClientRecord>();
    record->Id = id;
    record->ClockStart = GetTickCount();
    Clients.Add(std::move(record));
}

void TWaitingRoom::Clear() {
    Clients.Clear();
    StopCheck();
}

void TWaitingRoom::StopCheck() {
    CheckingClient = 0;
    TimerPresence.stop();
}

// Bytes past a whole request are not wanted; the rest of a request is read as there is room.
qsizetype TWaitingRoom::Space(int32_t id) const {
    const TClientRecord* record = Clients.FindById(id);
    if (!record)
        return MaxKeptRequest;
    if (record->Request.Whole())
        return 0;
    if (record->At == Checking)
        return std::max<qsizetype>(LookAheadBytes - record->Pending.size(), 0);
    qsizetype room = MaxKeptRequest - record->Pending.size();
    // The first in line may always finish its request, or a room full of unfinished requests
    // would wait for good: none of them could become ready for the line to take.
    if (!record->TakenUp() && Clients.FirstWaiting() != id)
        room = std::min(room, MaxWaitingBytes - Clients.WaitingBytes());
    return std::max<qsizetype>(room, 0);
}

// A check that finds no room has read all it may: the client is there.
void TWaitingRoom::HoldBack(TClientRecord& record) {
    const bool checking = record.At == Checking;
    SetStage(record, HeldStage(record.At));
    Doors.Hold(record.Id, true);
    if (checking)
        PresenceChecked(record);
}

qsizetype TWaitingRoom::Take(TClientRecord& record, const QByteArray& data) {
    record.Received = static_cast<int32_t>(static_cast<uint32_t>(record.Received) + static_cast<uint32_t>(data.size()));
    if (record.Request.Size() == 0)
        record.ClockStart = GetTickCount();
    const qsizetype belongs = record.Request.Feed(data);
    record.Pending += QByteArrayView(data).first(belongs);
    return belongs;
}

void TWaitingRoom::Read(TClientRecord& record) {
    if (record.At == Checking)
        ReadDuringCheck(record);
    else
        Doors.Nudge(record.Id);
}

// A client that half-closed after a whole request waits for its answer; one whose request can
// no longer become whole is dropped.
bool TWaitingRoom::InputEnded(int32_t id) {
    TClientRecord* record = Clients.FindById(id);
    if (!record)
        return true;
    record->InputEnded = true;
    if (!record->TakenUp() && !record->RequestWhole() && record->Request.Size() > 0) {
        DropUnfinished(id);
        return false;
    }
    if (!record->RequestWhole())
        return true;
    if (record->At == Checking)
        PresenceChecked(*record);
    return false;
}

// A held client that left frees its place in the waiting room at once, not when its turn comes.
void TWaitingRoom::HeldInputEnded(int32_t id) {
    const TClientRecord* record = Clients.FindById(id);
    if (record && !record->TakenUp() && LeftUnfinished(*record))
        DropUnfinished(id);
}

void TWaitingRoom::Left(int32_t id) {
    Clients.RemoveById(id);
    if (id == CheckingClient) {
        StopCheck();
        Doors.Nudge(Clients.FirstPendingClient());
    }
    ReadHeldClients();
}

int TWaitingRoom::AnswerAllBut(int32_t onLine, journal::TFixed why, const QByteArray& answer) {
    int answered = 0;
    for (const int32_t id : Clients.WaitingClients()) {
        if (id == onLine)
            continue;
        if (Doors.Open(id)) {
            Doors.Hold(id, false);
            if (Journal)
                Journal->FixedAnswer(id, why, answer);
            Doors.SendAnswer(id, answer);
            ++answered;
        }
        Clients.RemoveById(id);
    }
    if (!Clients.FindById(CheckingClient))
        StopCheck();
    ReadHeldClients();
    return answered;
}

// A client read again after waiting for room starts its request's deadline afresh.
void TWaitingRoom::ReadHeldClients() {
    for (const int32_t id : Clients.HeldClients()) {
        TClientRecord* record = Clients.FindById(id);
        if (!record || !Doors.Exists(id) || Space(id) == 0)
            continue;
        SetStage(*record, ReadStage(record->At));
        record->ClockStart = GetTickCount();
        record->SizeAtStart = record->Request.Size();
        Doors.Hold(id, false);
    }
}

// A client that is not read (held back, or whose end came while its turn was being taken) may
// have ended its input unseen: when all it sent is in, the bytes the system holds tell whether
// its request can still become whole. Its last bytes may still be on their way when its turn
// comes; such a request goes out and is cut once its end is read.
bool TWaitingRoom::LeftUnfinished(const TClientRecord& record) const {
    if (!Doors.Exists(record.Id) || record.RequestWhole())
        return false;
    const std::optional<QByteArray> rest = Doors.FinalInput(record.Id);
    if (!rest)
        return false;
    TClientRecord last;
    last.Request = record.Request;
    last.Request.Feed(*rest);
    last.InputEnded = true;
    return !last.RequestWhole();
}

// Only a request whose head came is worth a line; a connection that ends inside a head is no
// more than one that sends nothing.
void TWaitingRoom::DropUnfinished(int32_t id) {
    const TClientRecord* record = Clients.FindById(id);
    if (record->Request.Head().State() != http::TRequest::NeedMore)
        Doors.Log(QStringLiteral("client %1 left before its request was whole, %2 bytes dropped")
                      .arg(id)
                      .arg(record->Request.Size()));
    if (Journal)
        Journal->DroppedUnfinished(id, record->Request.Size());
    Clients.RemoveById(id);
    Doors.Close(id);
}

bool TWaitingRoom::TurnMayBegin(int32_t id) {
    TClientRecord* record = Clients.FindById(id);
    if (!record)
        return false;
    if (record->TakenUp())
        return true;
    if (LeftUnfinished(*record)) {
        DropUnfinished(id);
        return false;
    }
    if (record->RequestWhole() || record->At == Present || record->At == PresentHeld)
        return true;
    // One check at a time: a client ahead whose request became ready waits for the running one.
    if (!Clients.FindById(CheckingClient))
        StartPresenceCheck(*record);
    return false;
}

void TWaitingRoom::StartPresenceCheck(TClientRecord& record) {
    SetStage(record, Checking);
    record.CheckStart = GetTickCount();
    CheckingClient = record.Id;
    TimerPresence.start(PresenceQuietMs);
    if (Doors.Exists(record.Id)) {
        Doors.Hold(record.Id, false);
        Doors.ReadNow(record.Id);
    }
}

// More came: the check goes on until the request is whole, or nothing more comes for the quiet
// time, or its limit has passed.
void TWaitingRoom::ReadDuringCheck(TClientRecord& record) {
    if (record.RequestWhole()) {
        PresenceChecked(record);
        return;
    }
    const int elapsed = static_cast<int>(static_cast<uint32_t>(GetTickCount() - record.CheckStart));
    TimerPresence.start(std::clamp(PresenceLimitMs - elapsed, 0, PresenceQuietMs));
}

// The quiet time is the client's only when nothing waits unread: a server that was kept from
// reading has not seen the client quiet, and a client that left may have its end behind what waits.
void TWaitingRoom::PresenceTimerFired() {
    const int32_t id = CheckingClient;
    TClientRecord* record = Clients.FindById(id);
    if (!record)
        return;
    const int32_t before = record->Received;
    Doors.ReadNow(id);
    record = Clients.FindById(id);
    if (!record || record->At != Checking)
        return;
    if (LeftUnfinished(*record)) {
        DropUnfinished(id);
        return;
    }
    const auto elapsed = static_cast<uint32_t>(GetTickCount() - record->CheckStart);
    if (record->Received == before || elapsed >= static_cast<uint32_t>(PresenceLimitMs))
        PresenceChecked(*record);
}

// The client is still there; its request goes to the line when the line is free.
void TWaitingRoom::PresenceChecked(TClientRecord& record) {
    SetStage(record, CheckedStage(record.At));
    StopCheck();
    Doors.Nudge(record.Id);
}

std::optional<TTurn> TWaitingRoom::TakeTurn(int32_t arrived) {
    const int32_t first = Clients.FirstPendingClient();
    const int32_t id = first > 0 ? first : arrived;
    const TClientRecord* record = Clients.FindById(id);
    if (!record || !record->RequestReady() || !TurnMayBegin(id))
        return std::nullopt;
    const http::TRequestHead& head = record->Request.Head();
    return TTurn{id, head.State() == http::TRequest::Complete && head.Method() == "HEAD"};
}

bool TWaitingRoom::RequestArriving(int32_t id) const {
    const TClientRecord* record = Clients.FindById(id);
    return record && record->Request.Head().State() == http::TRequest::Complete &&
           (!record->RequestWhole() || !record->Pending.isEmpty());
}

QByteArray TWaitingRoom::TakeRequest(int32_t id, int32_t& total) {
    QByteArray bytes;
    TClientRecord* record = Clients.FindById(id);
    if (!record)
        return bytes;
    total = record->Received;
    if (!record->TakenUp()) {
        SetStage(*record, TakenStage(record->At));
        record->ClockStart = GetTickCount();
        record->SizeAtStart = record->Request.Size();
    }
    if (Doors.Exists(id)) {
        if (Doors.Open(id))
            bytes = record->Pending;
        record->Pending = QByteArray();
        ReadHeldClients();
    }
    return bytes;
}

bool TWaitingRoom::RequestOverdue(int32_t id) const {
    const TClientRecord* record = Clients.FindById(id);
    return record && record->RequestOverdue(GetTickCount(), Doors.ReaderLimitMs());
}

// A request that may go to the line waits for its turn, not for its sender. A connection that
// sends nothing at all while it is read is closed without an answer once a request would have
// been overdue; one held back for want of room may have sent its request, and waits.
void TWaitingRoom::RefuseOverdue() {
    const uint32_t now = GetTickCount();
    for (const int32_t id : Clients.WaitingClients()) {
        const TClientRecord* record = Clients.FindById(id);
        if (record && record->Request.Size() == 0 && !record->Held() &&
            static_cast<uint32_t>(now - record->ClockStart) > RequestBaseMs) {
            Doors.Close(id);
            continue;
        }
        if (!record || record->RequestReady() || !record->RequestOverdue(now, Doors.ReaderLimitMs()))
            continue;
        Doors.Log(QStringLiteral("client %1 sent no whole request in %2 s, %3 bytes came")
                      .arg(id)
                      .arg(static_cast<uint32_t>(now - record->ClockStart) / 1000)
                      .arg(record->Request.Size()));
        if (Journal)
            Journal->FixedAnswer(id, journal::TFixed::RequestTimeout, RequestIncompleteAnswer);
        Doors.SendAnswer(id, RequestIncompleteAnswer);
    }
}

// Only connections still read count: a closing one has had its answer.
std::optional<int64_t> TWaitingRoom::NextDeadline(uint32_t now, int32_t onLine) const {
    QList<int32_t> ids = Clients.WaitingClients();
    if (onLine > 0)
        ids << onLine;
    std::optional<int64_t> next;
    for (const int32_t id : ids) {
        const TClientRecord* record = Clients.FindById(id);
        const std::optional<int64_t> limit = record ? record->Deadline(Doors.ReaderLimitMs()) : std::nullopt;
        if (!limit || !Doors.Open(id))
            continue;
        const int64_t left = std::max<int64_t>(0, *limit + 1 - static_cast<uint32_t>(now - record->ClockStart));
        next = std::min(next.value_or(left), left);
    }
    return next;
}

void TWaitingRoom::AnswerWaiting(const QByteArray& answer) {
    for (const int32_t id : Clients.WaitingClients())
        if (const TClientRecord* record = Clients.FindById(id); record && record->RequestReady()) {
            if (Journal)
                Journal->FixedAnswer(id, journal::TFixed::NotResponding, answer);
            Doors.SendAnswer(id, answer);
        }
}

bool TWaitingRoom::Connected(int32_t id) const { return Clients.FindById(id) && Doors.Open(id); }
