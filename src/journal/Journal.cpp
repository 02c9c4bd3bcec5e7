// The exchange journal: a bounded ring of entries, filled from the moments the bridge tells of.
#include "journal/Journal.h"

#include <algorithm>
#include <chrono>

#include "settings/UtilsRegistry.h"

namespace journal {
namespace {
const QByteArray HeadEnd = "\r\n\r\n";

TMoment SteadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The first line of a head, empty lines ahead of it skipped.
QByteArrayView FirstLine(QByteArrayView head) {
    while (head.startsWith("\r\n") || head.startsWith("\n"))
        head = head.sliced(head.startsWith("\r\n") ? 2 : 1);
    const qsizetype end = head.indexOf('\n');
    QByteArrayView line = end < 0 ? head : head.first(end);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

bool IsToken(QByteArrayView word) {
    if (word.isEmpty())
        return false;
    for (const char c : word)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            return false;
    return true;
}

} // namespace

QByteArray TEntry::Method() const {
    const QByteArrayView line = FirstLine(RequestHead);
    const qsizetype space = line.indexOf(' ');
    if (space <= 0 || !line.contains(" HTTP/"))
        return {};
    const QByteArrayView method = line.first(space);
    return IsToken(method) ? method.toByteArray() : QByteArray();
}

QByteArray TEntry::Target() const {
    if (Method().isEmpty())
        return {};
    const QByteArrayView line = FirstLine(RequestHead);
    const qsizetype first = line.indexOf(' ');
    const qsizetype last = line.lastIndexOf(' ');
    return last > first ? line.sliced(first + 1, last - first - 1).toByteArray() : QByteArray();
}

int TEntry::Status() const {
    const QByteArrayView line = FirstLine(AnswerHead);
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || line[8] != ' ')
        return 0;
    bool ok = false;
    const int status = line.sliced(9, 3).toInt(&ok);
    return ok ? status : 0;
}

TEntry::TPhases TEntry::Phases() const {
    // A moment that did not come takes the next one's time, so that its phase is 0.
    TMoment at[5] = {Connected != Never ? Connected : TakenUp, TakenUp, Written, FirstByte, Ended};
    if (at[4] == Never)
        at[4] = LeftUs;
    if (at[4] == Never)
        for (const TMoment m : at)
            at[4] = std::max(at[4], m);
    // Nothing went out on the line: the whole time was spent in the bridge, none of it sending.
    if (Written == Never)
        at[1] = at[2] = at[3] = Never;
    for (int i = 3; i >= 0; --i)
        if (at[i] == Never)
            at[i] = at[i + 1];
    auto span = [&](int i) { return std::max<int64_t>(0, at[i + 1] - at[i]); };
    TPhases phases;
    phases.Blocked = span(0);
    phases.Send = span(1);
    phases.Wait = span(2);
    phases.Receive = span(3);
    return phases;
}

QString OwnerName(TOwner owner) {
    switch (owner) {
    case TOwner::Client: return QStringLiteral("client");
    case TOwner::IdleProbe: return QStringLiteral("idle probe");
    case TOwner::CheckDevice: return QStringLiteral("Check Device");
    case TOwner::Recheck: return QStringLiteral("recheck");
    case TOwner::Detection: return QStringLiteral("detection pass");
    case TOwner::Follower: return QStringLiteral("follower");
    }
    return {};
}

QString OutcomeName(const TEntry& entry) {
    switch (entry.Outcome) {
    case TOutcome::UnderWay: return QStringLiteral("under way");
    case TOutcome::DeviceAnswer: return QStringLiteral("device's answer");
    case TOutcome::FixedAnswer:
        switch (entry.Fixed) {
        case TFixed::NotResponding: return QStringLiteral("fixed answer: 503 Device is not responding");
        case TFixed::NotAvailable: return QStringLiteral("fixed answer: 503 %1 is not available").arg(entry.Port);
        case TFixed::RequestTimeout: return QStringLiteral("fixed answer: 408 the request did not arrive whole");
        case TFixed::BadLength: return QStringLiteral("fixed answer: 400 the request's length could not be read");
        case TFixed::None: break;
        }
        return QStringLiteral("fixed answer");
    case TOutcome::Refused: {
        const QString name = QString::fromLatin1(entry.RefusedName);
        switch (entry.Refusal) {
        case TRefusal::Host: return QStringLiteral("refused: host %1").arg(name);
        case TRefusal::Origin: return QStringLiteral("refused: pages of %1").arg(name);
        case TRefusal::Head: return QStringLiteral("refused: head could not be checked");
        case TRefusal::None: break;
        }
        return QStringLiteral("refused");
    }
    case TOutcome::ClientLeft: return QStringLiteral("client left after %1 bytes").arg(entry.LeftHadBytes);
    case TOutcome::Cut:
        switch (entry.Cut) {
        case TCut::Deadline: return QStringLiteral("cut: the request did not arrive whole in time");
        case TCut::AnsweredEarly: return QStringLiteral("cut: answered before the request was whole");
        case TCut::LineReset: return QStringLiteral("cut: the port or the server was restarted");
        case TCut::None: break;
        }
        return QStringLiteral("cut");
    case TOutcome::DroppedUnfinished: return QStringLiteral("dropped: the client left before its request was whole");
    case TOutcome::Silent: return QStringLiteral("no answer");
    case TOutcome::PortError: return QStringLiteral("port error");
    case TOutcome::Cancelled: return QStringLiteral("cancelled");
    }
    return {};
}

QString KeptComment(const TBody& body, qsizetype bodyBytes) {
    switch (body.How) {
    case TKept::Whole: return {};
    case TKept::First:
        return QStringLiteral("only the first %1 of %2 bytes kept (Journal\\BodyBytes is %3)")
            .arg(body.Kept.size())
            .arg(body.Size)
            .arg(bodyBytes);
    case TKept::None: return QStringLiteral("body not kept (Journal\\BodyBytes is 0)");
    case TKept::Dropped:
        return QStringLiteral("body dropped to keep the journal's bodies within %1 MiB").arg(MaxKeptBodyBytes >> 20);
    }
    return {};
}

TJournal::TJournal(QObject* parent) : QObject(parent) {
    Epoch = Now();
    // The wall clock is read once: each moment's time of day follows from the monotonic clock,
    // which costs no look at the time zone per exchange.
    EpochWall = QDateTime::currentDateTimeUtc();
}

TJournal::~TJournal() = default;

TMoment TJournal::Now() const { return Clock ? Clock() : SteadyMicroseconds(); }

QDateTime TJournal::WallTime(TMoment moment) const { return EpochWall.addMSecs((moment - Epoch) / 1000); }

void TJournal::LoadSettings() {
    SetBounds(ReadClamped(key::JournalEntries), ReadClamped(key::JournalBodyBytes));
}

void TJournal::SetBounds(int entries, qsizetype bodyBytes) {
    EntriesLimit = std::clamp(entries, 0, MaxEntries);
    BodyLimit = std::clamp<qsizetype>(bodyBytes, 0, MaxBodyBytes);
    if (Ring.size() > static_cast<size_t>(EntriesLimit))
        DropOldest(Ring.size() - static_cast<size_t>(EntriesLimit));
    if (EntriesLimit == 0) {
        Waiting.clear();
        ClientEntries.clear();
        OnLine.clear();
    }
}

int TJournal::RowOf(uint64_t serial) const {
    if (Ring.empty() || serial < Ring.front().Serial || serial > Ring.back().Serial)
        return -1;
    return static_cast<int>(serial - Ring.front().Serial);
}

QList<TEntry> TJournal::Entries() const { return QList<TEntry>(Ring.begin(), Ring.end()); }

void TJournal::Clear() { DropOldest(Ring.size()); }

TEntry* TJournal::Find(uint64_t serial) {
    const int row = RowOf(serial);
    return row < 0 ? nullptr : &Ring[static_cast<size_t>(row)];
}

void TJournal::Changed(const TEntry& entry) {
    if (const int row = RowOf(entry.Serial); row >= 0)
        emit EntryChanged(row);
}

uint64_t TJournal::Add(TEntry entry) {
    if (EntriesLimit == 0)
        return 0;
    if (Ring.size() >= static_cast<size_t>(EntriesLimit))
        DropOldest(Ring.size() - static_cast<size_t>(EntriesLimit) + 1);
    entry.Serial = ++LastSerial;
    Ring.push_back(std::move(entry));
    emit EntryAdded(Count() - 1);
    return LastSerial;
}

void TJournal::DropOldest(size_t count) {
    count = std::min(count, Ring.size());
    if (count == 0)
        return;
    for (size_t i = 0; i < count; ++i) {
        const TEntry& entry = Ring[i];
        BodyBytes -= entry.RequestBody.Kept.size() + entry.AnswerBody.Kept.size();
        OnLine.remove(entry.Serial);
        if (entry.Client != 0) {
            const auto it = ClientEntries.constFind(entry.Client);
            if (it != ClientEntries.cend() && *it == entry.Serial)
                ClientEntries.erase(it);
        }
    }
    Ring.erase(Ring.begin(), Ring.begin() + static_cast<std::ptrdiff_t>(count));
    DropFrom = DropFrom > count ? DropFrom - count : 0;
    // A deque keeps the blocks of erased elements for a while; a ring emptied at once gives them back.
    if (Ring.empty())
        std::deque<TEntry>().swap(Ring);
    emit EntriesDropped(static_cast<int>(count));
}

void TJournal::DropBody(TBody& body) {
    if (body.Kept.isEmpty())
        return;
    BodyBytes -= body.Kept.size();
    body.Kept = QByteArray();
    body.How = TKept::Dropped;
}

void TJournal::KeepBodiesBounded() {
    while (BodyBytes > MaxKeptBodyBytes && DropFrom < Ring.size()) {
        TEntry& entry = Ring[DropFrom];
        if (entry.RequestBody.Kept.isEmpty() && entry.AnswerBody.Kept.isEmpty()) {
            ++DropFrom;
            continue;
        }
        DropBody(entry.RequestBody);
        DropBody(entry.AnswerBody);
        Changed(entry);
    }
}

void TJournal::AppendBody(TBody& body, QByteArrayView bytes) {
    body.Size += bytes.size();
    if (bytes.isEmpty() || body.How == TKept::Dropped)
        return;
    if (BodyLimit == 0) {
        body.How = TKept::None;
        return;
    }
    const qsizetype take = std::min(bytes.size(), BodyLimit - body.Kept.size());
    if (take > 0) {
        body.Kept.append(bytes.first(take));
        BodyBytes += take;
    }
    if (take < bytes.size())
        body.How = TKept::First;
    KeepBodiesBounded();
}

// Bytes of a request or an answer: the head up to its empty line, the rest body. A head longer
// than the bound ends there.
void TJournal::AppendSplit(QByteArray& head, TBody& body, bool& headDone, QByteArrayView bytes) {
    if (!headDone) {
        const qsizetype had = head.size();
        head.append(bytes.first(std::min(bytes.size(), MaxKeptHeadBytes + 1 - had)));
        const qsizetype end = head.indexOf(HeadEnd, std::max<qsizetype>(0, had - (HeadEnd.size() - 1)));
        qsizetype headBytes = 0;
        if (end >= 0)
            headBytes = end + HeadEnd.size();
        else if (head.size() > MaxKeptHeadBytes)
            headBytes = MaxKeptHeadBytes;
        else
            return;
        headDone = true;
        head.truncate(headBytes);
        head.squeeze();
        bytes = bytes.sliced(headBytes - had);
    }
    AppendBody(body, bytes);
}

void TJournal::End(TEntry& entry, TOutcome outcome) {
    entry.Outcome = outcome;
    if (entry.Ended == Never)
        entry.Ended = Now();
    entry.RequestBody.Kept.squeeze();
    entry.AnswerBody.Kept.squeeze();
}

// A fixed answer is the program's: the client gets it in place of any answer from the device.
void TJournal::SetAnswer(TEntry& entry, QByteArrayView answer) {
    BodyBytes -= entry.AnswerBody.Kept.size();
    entry.AnswerHead.clear();
    entry.AnswerBody = TBody();
    entry.AnswerSize = answer.size();
    bool done = false;
    AppendSplit(entry.AnswerHead, entry.AnswerBody, done, answer);
    if (auto it = OnLine.find(entry.Serial); it != OnLine.end())
        it->AnswerHeadDone = true;
}

TEntry* TJournal::ClientEntry(int32_t client, bool create) {
    if (EntriesLimit == 0 || client <= 0)
        return nullptr;
    if (const auto it = ClientEntries.constFind(client); it != ClientEntries.cend())
        if (TEntry* entry = Find(*it))
            return entry;
    if (!create)
        return nullptr;
    TEntry entry;
    entry.Owner = TOwner::Client;
    entry.Client = client;
    if (const auto waiting = Waiting.constFind(client); waiting != Waiting.cend()) {
        entry.Address = waiting->Address;
        entry.Connected = waiting->At;
        entry.Started = waiting->Wall;
        Waiting.erase(waiting);
    } else {
        entry.Connected = Now();
        entry.Started = WallTime(entry.Connected);
    }
    const uint64_t serial = Add(std::move(entry));
    if (serial == 0)
        return nullptr;
    ClientEntries.insert(client, serial);
    return Find(serial);
}

void TJournal::Accepted(int32_t client, const QString& address) {
    if (EntriesLimit == 0)
        return;
    const TMoment now = Now();
    Waiting.insert(client, {address, now, WallTime(now)});
}

void TJournal::HeadRead(int32_t client, QByteArrayView head) {
    TEntry* entry = ClientEntry(client, true);
    if (!entry || entry->HeadRead != Never)
        return;
    entry->HeadRead = Now();
    entry->RequestHead = head.first(std::min(head.size(), MaxKeptHeadBytes)).toByteArray();
    entry->RequestSize = head.size();
    Changed(*entry);
}

void TJournal::Refused(int32_t client, TRefusal why, QByteArrayView name, QByteArrayView answer) {
    TEntry* entry = ClientEntry(client, true);
    if (!entry)
        return;
    entry->Refusal = why;
    entry->RefusedName = name.first(std::min<qsizetype>(name.size(), 1024)).toByteArray();
    SetAnswer(*entry, answer);
    End(*entry, TOutcome::Refused);
    Changed(*entry);
}

void TJournal::FixedAnswer(int32_t client, TFixed which, QByteArrayView answer) {
    TEntry* entry = ClientEntry(client, true);
    if (!entry || entry->Outcome != TOutcome::UnderWay)
        return;
    entry->Fixed = which;
    SetAnswer(*entry, answer);
    End(*entry, TOutcome::FixedAnswer);
    Changed(*entry);
}

void TJournal::DroppedUnfinished(int32_t client, qint64 bytes) {
    TEntry* entry = ClientEntry(client, false);
    if (!entry || entry->Outcome != TOutcome::UnderWay)
        return;
    if (!OnLine.value(entry->Serial).RequestStarted)
        entry->RequestSize = bytes;
    End(*entry, TOutcome::DroppedUnfinished);
    Changed(*entry);
}

void TJournal::Closed(int32_t client, qint64 sent) {
    Waiting.remove(client);
    TEntry* entry = ClientEntry(client, false);
    ClientEntries.remove(client);
    if (!entry)
        return;
    const bool under = entry->Outcome == TOutcome::UnderWay;
    const bool shortAnswer = entry->Outcome == TOutcome::DeviceAnswer && sent < entry->AnswerSize;
    if (!under && !shortAnswer)
        return;
    entry->LeftUs = Now();
    entry->LeftHadBytes = sent;
    entry->Outcome = TOutcome::ClientLeft;
    if (under)
        End(*entry, TOutcome::ClientLeft);
    Changed(*entry);
}

void TJournal::ServerRestarted() {
    const QList<uint64_t> serials = ClientEntries.values();
    ClientEntries.clear();
    Waiting.clear();
    for (const uint64_t serial : serials)
        if (TEntry* entry = Find(serial); entry && entry->Outcome == TOutcome::UnderWay) {
            entry->Cut = TCut::LineReset;
            End(*entry, TOutcome::Cut);
            Changed(*entry);
        }
}

uint64_t TJournal::TakenUp(int32_t client, const QString& port, const QString& node, const QString& identity) {
    TEntry* entry = ClientEntry(client, true);
    if (!entry)
        return 0;
    entry->TakenUp = Now();
    entry->Port = port;
    entry->Node = node;
    entry->Identity = identity;
    OnLine.insert(entry->Serial, {});
    Changed(*entry);
    return entry->Serial;
}

uint64_t TJournal::ProbeTakenUp(TOwner owner, const QString& port, const QString& node, const QString& identity) {
    TEntry entry;
    entry.Owner = owner;
    entry.Connected = entry.TakenUp = Now();
    entry.Started = WallTime(entry.Connected);
    entry.Port = port;
    entry.Node = node;
    entry.Identity = identity;
    const uint64_t serial = Add(std::move(entry));
    if (serial != 0)
        OnLine.insert(serial, {});
    return serial;
}

void TJournal::RequestWritten(uint64_t exchange, QByteArrayView bytes) {
    TEntry* entry = Find(exchange);
    const auto progress = OnLine.find(exchange);
    if (!entry || progress == OnLine.end() || bytes.isEmpty())
        return;
    if (!progress->RequestStarted) {
        // What the device gets replaces the head as the client sent it.
        progress->RequestStarted = true;
        entry->RequestHead.clear();
        entry->RequestSize = 0;
    }
    entry->Written = Now();
    entry->RequestSize += bytes.size();
    AppendSplit(entry->RequestHead, entry->RequestBody, progress->RequestHeadDone, bytes);
    Changed(*entry);
}

void TJournal::RequestOnLine(uint64_t exchange) {
    TEntry* entry = Find(exchange);
    if (!entry || entry->Written == Never || entry->FirstByte != Never || entry->Outcome != TOutcome::UnderWay ||
        !OnLine.contains(exchange))
        return;
    entry->Written = Now();
    Changed(*entry);
}

void TJournal::AnswerArrived(uint64_t exchange, QByteArrayView bytes) {
    TEntry* entry = Find(exchange);
    const auto progress = OnLine.find(exchange);
    if (!entry || progress == OnLine.end() || bytes.isEmpty() || entry->Outcome != TOutcome::UnderWay)
        return;
    if (entry->FirstByte == Never)
        entry->FirstByte = Now();
    entry->AnswerSize += bytes.size();
    AppendSplit(entry->AnswerHead, entry->AnswerBody, progress->AnswerHeadDone, bytes);
    Changed(*entry);
}

void TJournal::AnswerEnded(uint64_t exchange) {
    TEntry* entry = Find(exchange);
    if (!entry || entry->Outcome != TOutcome::UnderWay)
        return;
    End(*entry, TOutcome::DeviceAnswer);
    Changed(*entry);
}

void TJournal::RequestCut(uint64_t exchange, TCut why) {
    TEntry* entry = Find(exchange);
    if (!entry)
        return;
    const TOutcome was = entry->Outcome;
    if (was != TOutcome::UnderWay && was != TOutcome::DeviceAnswer && was != TOutcome::FixedAnswer)
        return;
    entry->Cut = why;
    End(*entry, TOutcome::Cut);
    Changed(*entry);
}

void TJournal::ProbeEnded(uint64_t exchange, TOutcome outcome) {
    TEntry* entry = Find(exchange);
    if (!entry || entry->Outcome != TOutcome::UnderWay)
        return;
    End(*entry, outcome);
    Changed(*entry);
}

void TJournal::LineFree(uint64_t exchange) {
    TEntry* entry = Find(exchange);
    OnLine.remove(exchange);
    if (!entry || entry->Outcome != TOutcome::UnderWay)
        return;
    if (entry->IsProbe()) {
        End(*entry, TOutcome::Cancelled);
    } else {
        entry->Cut = TCut::LineReset;
        End(*entry, TOutcome::Cut);
    }
    Changed(*entry);
}

} // namespace journal
