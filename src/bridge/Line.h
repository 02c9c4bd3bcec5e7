#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "bridge/LineSides.h"
#include "http/HttpHead.h"
#include "journal/Journal.h"

class QTimer;
class TLogSink;
class TsvProt;

// The probe's request for the device's identity file.
QByteArray ProbeRequest();

enum TDistState : uint8_t { dsIdle = 0, dsRelayWait = 1, dsRelayAnswer = 2, dsProbeWait = 3, dsProbeAnswer = 4 };

// Why the rest of an answer goes to no one.
enum TOrphan : uint8_t { orNone, orClientLeft, orClientAnswered };

// Who asks the line for an exchange: the owner the journal records. A browser (Client) is not an
// ask of the line: its request waits in the TCP side's waiting room; every other owner sends the probe.
using TAskOwner = journal::TOwner;

// How an exchange ended. A probe ask ends DeviceAnswer, Silent, PortError or Cancelled, told to
// its owner alone.
using TOutcome = journal::TOutcome;

struct TProbeOutcome {
    uint64_t Ask = 0;
    TAskOwner Owner = TAskOwner::IdleProbe;
    TOutcome Outcome = TOutcome::Cancelled;
    // The port the probe went to.
    QString Port;
    // The answer as it came, when one came.
    QByteArray Answer;
    // The rate the probe went out at; 0: the line's own.
    uint32_t Baud = 0;
};

// A probe ask: its owner, the port it must go to and who hears how it ended. The outcome is
// handed once, to Done, whatever the way the exchange ends.
struct TAsk {
    uint64_t Id = 0;
    TAskOwner Owner = TAskOwner::IdleProbe;
    // Empty: the configured port, whichever it is when the ask's turn comes. Any other port is
    // borrowed for this one exchange.
    QString Port;
    // Closes and opens the port before the probe.
    bool Reopen = false;
    // A borrowed port stays open after this ask until the line is needed on another one, for a
    // board that restarts when its port opens and is asked again.
    bool KeepOpen = false;
    // The rate the port is opened at for this ask; 0: the line's own. At any other rate the answer
    // is not framed: it ends when the line is quiet, whatever its bytes.
    uint32_t Baud = 0;
    std::function<void(const TProbeOutcome&)> Done;
};

// One exchange: a request and its answer on the line, from the moment a client or a probe ask is
// taken up until the line is free for the next. The exchange belongs to the line, not to its
// asker: a client that leaves, or that was given a fixed answer, and a probe that gave up, leave
// the exchange running until the device's answer has ended or the device stayed silent through
// the settle limit.
//
// State          under way                            CurrentClient              TimerEnd
// dsIdle         no exchange (all below is empty)     0                          stopped
// dsRelayWait    request written, answer awaited;     the client; 0 once it left watchdog, 1000 ms;
//                also a probe that gave up, settling  or got a fixed answer      no count while the
//                                                                                request is unfinished
// dsRelayAnswer  answer arriving                      where it goes; 0: dropped  quiet (send delay) or
//                                                                                stall limit (framed);
//                                                                                stopped while held back
// dsProbeWait    probe written, answer awaited        0                          watchdog, 1000 ms
// dsProbeAnswer  probe answer arriving                0                          quiet or stall limit
//
// Probe holds the probe ask of a probe exchange (Id 0 for a client's); its Done is emptied once
// the outcome is handed. Bytes the device sends unasked make a dsRelayAnswer exchange without a
// client. BeginExchange starts an exchange, EndExchange ends it whatever the way, and then
// serves the next in line.
struct TExchange {
    uint32_t CurrentClient = 0;
    // Bytes the client had sent when it was last taken from.
    int32_t ClientTotal = 0;
    QByteArray Answer;
    // What is left to write of the request: the client's or the probe's.
    QByteArray RequestRest;
    // Where the answer ends; none while framing is off.
    std::optional<http::TAnswerFramer> Framer;
    // Bytes of Answer the framer has read.
    qsizetype FramedBytes = 0;
    // Bytes of the answer gone from Answer: streamed to the client, or dropped.
    qsizetype Handed = 0;
    qsizetype Dropped = 0;
    TOrphan Orphan = orNone;
    bool LeftoverLogged = false;
    TAsk Probe;
    // The probe went to a port other than the configured one; at a rate other than the line's own.
    bool Borrowed = false;
    bool OtherRate = false;
    // The exchange's id in the journal (0: none), and the bytes of the answer told to it.
    uint64_t Journaled = 0;
    qsizetype Told = 0;
};

struct TLinePeek;

// The serial line: the one owner of the open port, the receive queue, the exchange record and
// the asks that wait for the line. Probe asks go before browser clients; a browser's request is
// only ever written to the configured port. Its state is its own: the window, the follower and the
// serial side see it through the few calls below, the journal through the events it is told of.
// It asks of the TCP and serial sides only what bridge/LineSides.h lists.
class TLine : public QObject {
public:
    explicit TLine(TLogSink* log);
    ~TLine() override;

    // The two sides the line asks of, and what refreshes the status shown.
    void Attach(TLineClients* clients, TLinePort* port, std::function<void()> updateStatus);
    // Where the moments of each exchange are told; none: nowhere.
    void SetJournal(journal::TExchangeEvents* journal);

    void Init();
    void OnClientData(int32_t id);
    void ContinueSending();
    void OnSerialData();
    void OnClientClosed(int32_t id);
    // A client connected: its deadline for a request starts.
    void OnClientAccepted();
    // Streaming of framed answers to their client (bridge/LineStreaming.cpp).
    void OnClientWritten(int32_t id);
    // The timers' handlers.
    void TimerEndTimer();
    void TimerCheckTimer();

    // Queues a probe ask; it goes out at once when the line is free. Returns its id.
    uint64_t Ask(TAsk ask);
    // Every ask of the owner, waiting or under way, ends now with "cancelled"; an exchange under
    // way still settles on the line.
    void Cancel(TAskOwner owner);
    void CancelAll();
    bool HasAsks(TAskOwner owner) const;
    // The port's adapter went: an idle line lets go of it at once, so it can come back under its name.
    void PortGone(const QString& name);
    // The port could not be opened or written: its device does not answer for now.
    void PortFailed();
    // The port browsers are served on, "COMn"; empty when none is chosen.
    QString ConfiguredPort() const;
    // The port was reopened: whatever was under way on the line went with it.
    void LineReset();

    // The device of the configured port answered its last exchange; whether an exchange on the
    // configured port has told yet; the milliseconds from the last answer byte to its client.
    bool IsDeviceOk() const { return DeviceOk; }
    bool IsDeviceTold() const { return DeviceTold; }
    uint32_t LastAnswerTime() const { return AnswerTime; }
    // The device's answers handed to their clients since the program started.
    uint64_t ServedCount() const { return Served; }
    // No exchange is under way.
    bool IsIdle() const { return State == dsIdle; }
    // The client whose exchange is on the line; 0: none, or it left or was answered.
    int32_t ClientOnLine() const { return static_cast<int32_t>(Exchange.CurrentClient); }

    // The line has been idle long enough for the idle probe.
    std::function<void()> OnIdle;
    // Sees every probe outcome but "cancelled", before its owner does: the status shown.
    std::function<void(const TProbeOutcome&)> OnProbed;

private:
    // The tests' look inside (tests/support/LinePeek.h).
    friend struct TLinePeek;
    friend TLinePeek Peek(TLine& line);

    // After each chunk written: how long the line may stay quiet before a tick of the watchdog.
    static constexpr int WatchdogMs = 1000;

    // The one place the state changes; each change is traced.
    void SetState(TDistState next);
    void ServeClient(int32_t id);
    void SendRequestChunk();
    void BeginExchange(uint32_t client);
    void EndExchange();
    void ServeNextInLine();
    // Framing of answers by their HTTP heads (bridge/LineFraming.cpp).
    bool FrameAnswer();
    void AddLogLine(const QByteArray& text);
    void LogClient(const QString& text);
    void RestartTimerEnd(int interval);
    void ArmCheck();
    void CheckIdleLine();
    void TakeUpClient(int32_t id);
    bool RequestUnfinished() const;
    TAsk NextAsk();
    void StartAsk(TAsk ask);
    void SendProbeChunk();
    void UsePort(const QString& name, bool reopen, uint32_t baud = 0);
    void DropReceived();
    void HandAnswer();
    void RelayWatchdogTick();
    void AnswerEnded();
    void TellDevice(bool answers);
    void SetDeviceOk(bool answers);
    void SettleEarlyAnswer();
    void ProbeEnded(TOutcome outcome);
    void GiveUpProbe();
    void HandOutcome(TOutcome outcome, const QByteArray& answer);
    void RecheckDevice();
    void Release(TOrphan why);
    void FinishExchange();
    void CutOverdueRequest();
    int SettleTicks() const;
    int AnswerTicks() const;
    void DropLeftover(qsizetype count, const char* where);
    bool FramingOn() const;
    void EndFramedArrival();
    void ArmAnswerTimer();
    void LogStall();
    void LogDropped();
    bool Streams() const;
    void PassOn();
    void StreamArrived();
    void DropArrived();
    void PauseStream();
    void ResumeStream();
    // What the journal is told (bridge/Line.cpp).
    void JournalTakenUp(int32_t client);
    void JournalArrived();
    void JournalFixed(int32_t client, journal::TFixed which, const QByteArray& answer);

    QTimer* TimerEnd;
    QTimer* TimerCheck;
    std::unique_ptr<TsvProt> ReceiveQueue;
    TExchange Exchange;
    std::deque<TAsk> Asks;
    int32_t WaitTicks = 0;
    // When the line last had something to do; the idle probe is due 3 s later.
    uint32_t IdleSince = 0;
    TDistState State = dsIdle;
    uint32_t LastRxTick = 0;
    uint32_t AnswerTime = 0;
    uint64_t Served = 0;
    bool DeviceOk = false;
    // An exchange on the configured port has told whether its device answers.
    bool DeviceTold = false;
    bool DeviceSpeaksHttp = false;
    journal::TExchangeEvents* Journal = nullptr;

    TLogSink* Log;
    TLineClients* Clients = nullptr;
    TLinePort* Port = nullptr;
    std::function<void()> UpdateStatus;
    uint64_t LastAskId = 0;
};
