#pragma once
// The exchange journal: one entry per exchange on the line (a browser's request and its answer, or
// a probe), kept in a bounded ring, shown in the Information window and exported as HAR.
//
// The journal learns of exchanges only from the moments the TCP side and the line tell it of
// (TExchangeEvents below); it never reads their state, keeps no timer, and nothing in the bridge
// waits on it. Every call runs on the GUI thread.
#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>

#include "http/HostGuard.h"
#include "settings/SettingsTable.h"

namespace journal {

// Journal\Entries: how many exchanges are kept; 0 switches the journal off.
constexpr int DefaultEntries = bound::JournalEntries.Default;
constexpr int MaxEntries = bound::JournalEntries.Max;
// Journal\BodyBytes: how much of each body, request and answer, is kept.
constexpr qsizetype DefaultBodyBytes = bound::JournalBodyBytes.Default;
constexpr qsizetype MaxBodyBytes = bound::JournalBodyBytes.Max;
// All kept bodies together; the oldest entries' bodies are dropped first.
constexpr qsizetype MaxKeptBodyBytes = qsizetype(16) << 20;
// A head longer than this is kept up to it (the head reader's own bound).
constexpr qsizetype MaxKeptHeadBytes = 16384;

// Who asked for the exchange: a browser (client) or one of the probe's owners.
enum class TOwner : uint8_t { Client, IdleProbe, CheckDevice, Recheck, Detection, Follower };

// How an exchange ended, for its asker.
enum class TOutcome : uint8_t {
    UnderWay,          // not ended yet
    DeviceAnswer,      // the device's answer went to its client (a probe: the device answered)
    FixedAnswer,       // the program answered itself: Fixed says which
    Refused,           // the host or origin check refused it, the device saw nothing: Refusal says which
    ClientLeft,        // the client left before its answer was whole: LeftUs, LeftHadBytes
    Cut,               // the request was cut short: Cut says why
    DroppedUnfinished, // the client left before its request was whole; the device saw nothing of it
    Silent,            // a probe that got no answer
    PortError,         // a probe whose port could not be written
    Cancelled,         // a probe cancelled by its owner, or whose port was reopened under it
};

// The program's own answers.
enum class TFixed : uint8_t {
    None,
    NotResponding,  // 503 "Device is not responding"
    NotAvailable,   // 503 "COMn is not available"
    RequestTimeout, // 408, the request did not arrive whole in time
    BadLength,      // 400, the request's length could not be read
};

using TRefusal = http::TRefusalKind;

enum class TCut : uint8_t {
    None,
    Deadline,       // the request did not arrive whole in time while it was being written (408)
    AnsweredEarly,  // the device answered before the request was whole; the rest was not relayed
    LineReset,      // the port was reopened or the server restarted under it
};

// What was kept of a body.
enum class TKept : uint8_t {
    Whole,    // all of it (also an empty body)
    First,    // its first Journal\BodyBytes bytes
    None,     // nothing: Journal\BodyBytes is 0
    Dropped,  // dropped later to keep all bodies within MaxKeptBodyBytes
};

// A time of the exchange: microseconds on the journal's monotonic clock; -1 when the moment did
// not come.
using TMoment = int64_t;
constexpr TMoment Never = -1;

struct TBody {
    QByteArray Kept;
    // The body's whole size, kept or not.
    qint64 Size = 0;
    TKept How = TKept::Whole;
};

// One exchange.
struct TEntry {
    // Unique in this journal, one more for each entry; a row's entry keeps its serial while rows
    // before it are dropped.
    uint64_t Serial = 0;
    TOwner Owner = TOwner::Client;
    // The client's number and address (0 and empty for a probe).
    int32_t Client = 0;
    QString Address;
    // When the client connected (a probe: when it was taken up), on the wall clock, in UTC.
    QDateTime Started;

    // The request as the device got it: request line and head (empty lines ahead included), its
    // whole size (head and body) and what was kept of its body. For a request the device never got
    // (refused, dropped, answered in the waiting room) the head as the client sent it.
    QByteArray RequestHead;
    qint64 RequestSize = 0;
    TBody RequestBody;

    // The port the exchange went to, "COMn", its device node, and the stored identity of the
    // device (RS\Detect\Identity) at that moment.
    QString Port;
    QString Node;
    QString Identity;

    // The moments.
    TMoment Connected = Never;   // client accepted (a probe: taken up)
    TMoment HeadRead = Never;    // the request's head was read whole
    TMoment TakenUp = Never;     // the line took it up (end of the waiting room)
    TMoment Written = Never;     // the request's last byte was written to the line (on it, where the port tells)
    TMoment FirstByte = Never;   // the answer's first byte came off the line
    TMoment Ended = Never;       // the answer ended for its client (or the outcome came)

    // The answer as its client got it: status line and head, its whole size (head and body) and
    // what was kept of its body; a fixed answer is the program's.
    QByteArray AnswerHead;
    qint64 AnswerSize = 0;
    TBody AnswerBody;

    TOutcome Outcome = TOutcome::UnderWay;
    TFixed Fixed = TFixed::None;
    TRefusal Refusal = TRefusal::None;
    // The refused host or origin.
    QByteArray RefusedName;
    TCut Cut = TCut::None;
    // A client that left: when, and how many bytes of its answer its socket had taken.
    TMoment LeftUs = Never;
    qint64 LeftHadBytes = 0;

    bool IsProbe() const { return Owner != TOwner::Client; }
    // The request's method and target, read from RequestHead; empty when it is not HTTP.
    QByteArray Method() const;
    QByteArray Target() const;
    // The answer's status code, 0 when none was read.
    int Status() const;
    // The four phases in microseconds, as a browser's network panel has them: blocked (waiting
    // room: connect to taken up), send (taken up to the request's last byte written), wait (until
    // the first answer byte), receive (until the answer ended for its client). A phase that did
    // not come is 0; none is negative. A request of which nothing was written spent its whole
    // time blocked.
    struct TPhases {
        int64_t Blocked = 0, Send = 0, Wait = 0, Receive = 0;
        int64_t Total() const { return Blocked + Send + Wait + Receive; }
    };
    TPhases Phases() const;
};

// Text for the window, the export and the log.
QString OwnerName(TOwner owner);          // "client", "idle probe", "Check Device", ...
QString OutcomeName(const TEntry& entry); // "device's answer", "fixed answer: 503 Device is not responding", ...
QString KeptComment(const TBody& body, qsizetype bodyBytes);  // why a body is not (wholly) kept; empty when it is

// What the TCP side and the line tell of an exchange. Each call is one moment, taken as it
// happens; the journal stamps its time. A client is named by its number, an exchange on the line
// by the id TakenUp or ProbeTakenUp returned (0: not journaled, every call with it does nothing).
class TExchangeEvents {
public:
    virtual ~TExchangeEvents() = default;

    // The TCP side.
    virtual void Accepted(int32_t client, const QString& address) = 0;
    // The request's head is whole (or its first bytes are not HTTP): the entry begins.
    virtual void HeadRead(int32_t client, QByteArrayView head) = 0;
    // The host or origin check refused the request; the client gets a 403.
    virtual void Refused(int32_t client, TRefusal why, QByteArrayView name, QByteArrayView answer) = 0;
    // The program answered the client itself: in the waiting room (400, 408, a 503 for all
    // waiting) or on the line (503, 408 of a cut request).
    virtual void FixedAnswer(int32_t client, TFixed which, QByteArrayView answer) = 0;
    // The client left before its request was whole; nothing of it reached the device.
    virtual void DroppedUnfinished(int32_t client, qint64 bytes) = 0;
    // The connection closed, by either side; its socket had taken `sent` bytes of its answer. A
    // client whose answer had not ended, or that had not taken all of it, left.
    virtual void Closed(int32_t client, qint64 sent) = 0;
    // The server restarted: every connection went without closing events.
    virtual void ServerRestarted() = 0;

    // The line. A client's request or a probe is taken up: its exchange begins on port (COMn,
    // node, identity). Returns the exchange's id.
    virtual uint64_t TakenUp(int32_t client, const QString& port, const QString& node, const QString& identity) = 0;
    virtual uint64_t ProbeTakenUp(TOwner owner, const QString& port, const QString& node, const QString& identity) = 0;
    // These bytes of the request were written to the line.
    virtual void RequestWritten(uint64_t exchange, QByteArrayView bytes) = 0;
    // The port's output ran empty after the request's last byte: it is on the line now. A port
    // that does not tell leaves the moment of the last write.
    virtual void RequestOnLine(uint64_t exchange) { (void)exchange; }
    // These bytes of the answer came off the line for the exchange's asker.
    virtual void AnswerArrived(uint64_t exchange, QByteArrayView bytes) = 0;
    // The answer ended for its client (all of it handed), or the probe has its answer.
    virtual void AnswerEnded(uint64_t exchange) = 0;
    // The request was cut short.
    virtual void RequestCut(uint64_t exchange, TCut why) = 0;
    // A probe's outcome: Silent, PortError or Cancelled (an answer ends with AnswerEnded).
    virtual void ProbeEnded(uint64_t exchange, TOutcome outcome) = 0;
    // The line is free of the exchange.
    virtual void LineFree(uint64_t exchange) = 0;
};

// The journal: the ring of entries and its bounds. The window's model mirrors the ring's rows
// through the signals, which come right after each change: EntriesDropped(n) when the n oldest
// rows went (always before an EntryAdded that made room), EntryAdded(row) for a new last row,
// EntryChanged(row) when a row's entry changed.
class TJournal : public QObject, public TExchangeEvents {
    Q_OBJECT
public:
    explicit TJournal(QObject* parent = nullptr);
    ~TJournal() override;

    // Reads Journal\Entries and Journal\BodyBytes (each clamped to its range); called at the
    // whole load and after every save of the settings. A smaller bound applies at once.
    void LoadSettings();
    void SetBounds(int entries, qsizetype bodyBytes);
    int EntriesBound() const { return EntriesLimit; }
    qsizetype BodyBytesBound() const { return BodyLimit; }
    bool Enabled() const { return EntriesLimit > 0; }

    // The ring, oldest first.
    int Count() const { return static_cast<int>(Ring.size()); }
    const TEntry& At(int row) const { return Ring[static_cast<size_t>(row)]; }
    // The row of an entry, -1 when it was dropped (or never was).
    int RowOf(uint64_t serial) const;
    // A copy of every entry, for the export.
    QList<TEntry> Entries() const;
    // The bytes all kept bodies take together.
    qsizetype KeptBodyBytes() const { return BodyBytes; }
    void Clear();

    // The clock the moments are stamped with, in microseconds; tests set their own.
    std::function<TMoment()> Clock;
    TMoment Now() const;
    // The wall-clock time of a moment, in UTC.
    QDateTime WallTime(TMoment moment) const;

    // TExchangeEvents.
    void Accepted(int32_t client, const QString& address) override;
    void HeadRead(int32_t client, QByteArrayView head) override;
    void Refused(int32_t client, TRefusal why, QByteArrayView name, QByteArrayView answer) override;
    void FixedAnswer(int32_t client, TFixed which, QByteArrayView answer) override;
    void DroppedUnfinished(int32_t client, qint64 bytes) override;
    void Closed(int32_t client, qint64 sent) override;
    void ServerRestarted() override;
    uint64_t TakenUp(int32_t client, const QString& port, const QString& node, const QString& identity) override;
    uint64_t ProbeTakenUp(TOwner owner, const QString& port, const QString& node, const QString& identity) override;
    void RequestWritten(uint64_t exchange, QByteArrayView bytes) override;
    void RequestOnLine(uint64_t exchange) override;
    void AnswerArrived(uint64_t exchange, QByteArrayView bytes) override;
    void AnswerEnded(uint64_t exchange) override;
    void RequestCut(uint64_t exchange, TCut why) override;
    void ProbeEnded(uint64_t exchange, TOutcome outcome) override;
    void LineFree(uint64_t exchange) override;

signals:
    void EntryAdded(int row);
    void EntryChanged(int row);
    void EntriesDropped(int count);

private:
    // An accepted client whose head has not come yet.
    struct TAccepted {
        QString Address;
        TMoment At = Never;
        QDateTime Wall;
    };
    // An entry on the line: where its bytes go.
    struct TProgress {
        bool RequestStarted = false;
        bool RequestHeadDone = false;
        bool AnswerHeadDone = false;
    };

    TEntry* Find(uint64_t serial);
    TEntry* ClientEntry(int32_t client, bool create);
    uint64_t Add(TEntry entry);
    void Changed(const TEntry& entry);
    void End(TEntry& entry, TOutcome outcome);
    void SetAnswer(TEntry& entry, QByteArrayView answer);
    void AppendBody(TBody& body, QByteArrayView bytes);
    void AppendSplit(QByteArray& head, TBody& body, bool& headDone, QByteArrayView bytes);
    void DropOldest(size_t count);
    void KeepBodiesBounded();
    void DropBody(TBody& body);

    std::deque<TEntry> Ring;
    QHash<uint64_t, TProgress> OnLine;
    QHash<int32_t, TAccepted> Waiting;
    // The entry of each client still connected.
    QHash<int32_t, uint64_t> ClientEntries;
    uint64_t LastSerial = 0;
    int EntriesLimit = DefaultEntries;
    qsizetype BodyLimit = DefaultBodyBytes;
    qsizetype BodyBytes = 0;
    // Entries before this row keep no body.
    size_t DropFrom = 0;
    TMoment Epoch = 0;
    QDateTime EpochWall;
};

} // namespace journal
