// The serial line: its one state machine, the asks that wait for it and where each outcome goes.
#include "bridge/Line.h"

#include <QTimer>
#include <algorithm>
#include <optional>
#include <utility>

#include "bridge/FixedAnswers.h"
#include "bridge/LogSink.h"
#include "bridge/sv_Prot.h"
#include "platform/TickCount.h"
#include "platform/Tracing.h"

namespace {
constexpr int ChunkSize = 2048;
constexpr int RelayTicks = 3;
constexpr int LongRequestTicks = 60;
constexpr int LongRequestBytes = 5000;
constexpr int ProbeTicks = 3;
// The idle probe goes out after this much idle line; a client that waits while framing is off
// is taken up at the next check, this long after the line frees.
constexpr int IdleProbeMs = 3000;
constexpr int CheckMs = 100;
constexpr int SettleLimitTicks = 10;

QByteArray TakeChunk(QByteArray& rest) {
    const QByteArray chunk = rest.left(ChunkSize);
    rest.remove(0, chunk.size());
    return chunk;
}

QByteArray ReplaceFirst(QByteArray text, const QByteArray& what, const QByteArray& with) {
    const qsizetype at = text.indexOf(what);
    return at < 0 ? text : text.replace(at, what.size(), with);
}
} // namespace

QByteArray ProbeRequest() {
    const QByteArray probeTemplate = "GET ~ HTTP/1.1\r\nHost: ~\r\nAccept: text/html, */*\r\n"
                                     "User-Agent: Mozilla\r\nConnection: keep-alive\r\n\r\n";
    return ReplaceFirst(ReplaceFirst(probeTemplate, "~", "/id.txt"), "~", "localhost");
}

TLine::TLine(TLogSink* log) : Log(log) {
    setObjectName(QStringLiteral("Line"));
    TimerEnd = new QTimer(this);
    TimerEnd->setObjectName(QStringLiteral("TimerEnd"));
    TimerEnd->setInterval(100);
    // The quiet period decides where an answer ends; a coarse timer could end it up to 5 % early.
    TimerEnd->setTimerType(Qt::PreciseTimer);
    TimerCheck = new QTimer(this);
    TimerCheck->setObjectName(QStringLiteral("TimerCheck"));
    TimerCheck->setSingleShot(true);
    // Armed for the moment something is due: a coarse one would wake early and find nothing to do.
    TimerCheck->setTimerType(Qt::PreciseTimer);
    connect(TimerEnd, &QTimer::timeout, this, &TLine::TimerEndTimer);
    connect(TimerCheck, &QTimer::timeout, this, &TLine::TimerCheckTimer);
}

TLine::~TLine() = default;

void TLine::Attach(TLineClients* clients, TLinePort* port, std::function<void()> updateStatus) {
    Clients = clients;
    Port = port;
    UpdateStatus = std::move(updateStatus);
}

void TLine::SetJournal(journal::TExchangeEvents* journal) { Journal = journal; }

void TLine::AddLogLine(const QByteArray& text) { Log->AddLogLine(text, true); }

// What the line tells of a client is logged as the TCP side's own lines are.
void TLine::LogClient(const QString& text) { AddLogLine(("TCP: " + text).toUtf8()); }

void TLine::SetState(TDistState next) {
    if (State != next)
        qCDebug(lcBridge) << "line state" << State << "->" << next;
    State = next;
}

// The journal hears of each exchange on the port it went to, and of its probe's owner.
void TLine::JournalTakenUp(int32_t client) {
    if (!Journal)
        return;
    const QString port = Port->PortName();
    const TPortFacts facts = Port->Facts();
    Exchange.Journaled = client != 0 ? Journal->TakenUp(client, port, facts.Node, facts.Identity)
                                     : Journal->ProbeTakenUp(Exchange.Probe.Owner, port, facts.Node, facts.Identity);
}

// The answer's bytes that arrived since the journal was last told, past what the line dropped ahead
// of a status line and short of what it drops past the answer's end.
void TLine::JournalArrived() {
    const qsizetype arrived = Exchange.Handed + Exchange.Answer.size();
    if (Journal && Exchange.Journaled != 0 && arrived > Exchange.Told && Exchange.Told >= Exchange.Handed)
        Journal->AnswerArrived(Exchange.Journaled, QByteArrayView(Exchange.Answer).sliced(Exchange.Told - Exchange.Handed));
    Exchange.Told = arrived;
}

void TLine::JournalFixed(int32_t client, journal::TFixed which, const QByteArray& answer) {
    if (Journal)
        Journal->FixedAnswer(client, which, answer);
}

void TLine::RestartTimerEnd(int interval) {
    TimerEnd->stop();
    TimerEnd->setInterval(interval);
    TimerEnd->start();
}

void TLine::Init() {
    TimerEnd->stop();
    Exchange = TExchange();
    Asks.clear();
    WaitTicks = 0;
    IdleSince = GetTickCount();
    SetState(dsIdle);
    AnswerTime = 0;
    LastRxTick = 0;
    Clients->StopServer();
    Port->OpenConfiguredPort();
    ReceiveQueue = std::make_unique<TsvProt>();
    Port->ReceiveInto(ReceiveQueue.get());
    Clients->RestartServer();
    ArmCheck();
}

QString TLine::ConfiguredPort() const { return Port->ConfiguredPort(); }

void TLine::BeginExchange(uint32_t client) {
    TimerEnd->stop();
    Exchange = TExchange();
    Exchange.CurrentClient = client;
    WaitTicks = 0;
}

// Bytes the port kept for an exchange that is over belong to no one. An ask whose exchange ends
// without an outcome (the port was reopened under it) was cancelled.
void TLine::FinishExchange() {
    LogDropped();
    TimerEnd->stop();
    TExchange ended = std::exchange(Exchange, TExchange());
    SetState(dsIdle);
    IdleSince = GetTickCount();
    if (Journal && ended.Journaled != 0)
        Journal->LineFree(ended.Journaled);
    if (Port->IsReceivePaused()) {
        Port->ResetInput();
        Port->ResumeReceive();
    }
    if (ended.Probe.Done)
        ended.Probe.Done({ended.Probe.Id, ended.Probe.Owner, TOutcome::Cancelled, ended.Probe.Port, {}, ended.Probe.Baud});
    ArmCheck();
}

void TLine::PortFailed() { SetDeviceOk(false); }

void TLine::EndExchange() {
    FinishExchange();
    ServeNextInLine();
}

// What the port read before it was reopened, still queued or announced, is no answer to anything
// asked on the port now open: taken for one, an old port's answer would speak for the new one.
void TLine::LineReset() {
    DropReceived();
    if (State != dsIdle)
        EndExchange();
}

void TLine::DropReceived() {
    QByteArray stale;
    while (ReceiveQueue && ReceiveQueue->TakeChunk(stale) > 0)
        ;
}

uint64_t TLine::Ask(TAsk ask) {
    ask.Id = ++LastAskId;
    if (!ask.Done)
        ask.Done = [](const TProbeOutcome&) {};
    const uint64_t id = ask.Id;
    if (ask.Owner == TAskOwner::Recheck)
        Asks.push_front(std::move(ask));
    else
        Asks.push_back(std::move(ask));
    IdleSince = GetTickCount();
    if (State == dsIdle)
        StartAsk(NextAsk());
    return id;
}

TAsk TLine::NextAsk() {
    TAsk ask = std::move(Asks.front());
    Asks.pop_front();
    return ask;
}

void TLine::Cancel(TAskOwner owner) {
    std::deque<TAsk> cancelled;
    for (auto it = Asks.begin(); it != Asks.end();) {
        if (it->Owner != owner) {
            ++it;
            continue;
        }
        cancelled.push_back(std::move(*it));
        it = Asks.erase(it);
    }
    if (Exchange.Probe.Done && Exchange.Probe.Owner == owner)
        HandOutcome(TOutcome::Cancelled, {});
    for (TAsk& ask : cancelled)
        ask.Done({ask.Id, ask.Owner, TOutcome::Cancelled, ask.Port, {}, ask.Baud});
}

void TLine::CancelAll() {
    for (TAskOwner owner : {TAskOwner::IdleProbe, TAskOwner::CheckDevice, TAskOwner::Recheck, TAskOwner::Detection,
                            TAskOwner::Follower})
        Cancel(owner);
}

bool TLine::HasAsks(TAskOwner owner) const {
    if (Exchange.Probe.Done && Exchange.Probe.Owner == owner)
        return true;
    return std::any_of(Asks.begin(), Asks.end(), [owner](const TAsk& ask) { return ask.Owner == owner; });
}

// An answer still owed cannot come from a port that went: its settling ends at once. A probe of
// it under way failed on the port; it was not called off, so a pass goes on to the next port.
void TLine::PortGone(const QString& name) {
    if (name != ConfiguredPort())
        return;
    SetDeviceOk(false);
    if (State != dsIdle && Exchange.CurrentClient == 0 && !Exchange.Borrowed) {
        HandOutcome(TOutcome::PortError, {});
        FinishExchange();
    }
    if (State == dsIdle && Asks.empty() && Port->PortName() == name && Port->IsOpen())
        Port->ClosePort();
    ServeNextInLine();
}

// The one place an outcome is handed: to the display first, then to the ask's owner, once.
void TLine::HandOutcome(TOutcome outcome, const QByteArray& answer) {
    auto done = std::exchange(Exchange.Probe.Done, nullptr);
    if (!done)
        return;
    const TProbeOutcome result{Exchange.Probe.Id, Exchange.Probe.Owner, outcome, Exchange.Probe.Port, answer,
                               Exchange.Probe.Baud};
    if (Journal && Exchange.Journaled != 0) {
        if (outcome == TOutcome::DeviceAnswer)
            Journal->AnswerEnded(Exchange.Journaled);
        else
            Journal->ProbeEnded(Exchange.Journaled, outcome);
    }
    if (outcome != TOutcome::Cancelled && OnProbed)
        OnProbed(result);
    done(result);
}

// The queue of received blocks may still hold bytes of the port that was open before. With no
// port configured, the one last open (a borrowed one, say) is let go, so that nothing is written to it.
// A port open at another rate than the one asked for (0: the line's own) is opened again.
void TLine::UsePort(const QString& name, bool reopen, uint32_t baud) {
    if (!reopen && Port->PortName() == name && (name.isEmpty() || Port->OpenWith(baud)))
        return;
    if (name.isEmpty())
        Port->ForgetPort();
    else
        Port->OpenPort(name, baud);
    DropReceived();
}

// A free line takes the first client waiting, so that one arriving as the line frees does not pass
// those already in line.
void TLine::OnClientData(int32_t id) {
    IdleSince = GetTickCount();
    if (State == dsIdle)
        TakeUpClient(id);
    else if (State == dsRelayWait && Exchange.CurrentClient == static_cast<uint32_t>(id))
        ServeClient(id);
    ArmCheck();
}

// Begins the exchange of the client whose turn it is: always on the configured port.
void TLine::TakeUpClient(int32_t arrived) {
    const std::optional<TTurn> turn = Clients->TakeTurn(arrived);
    if (!turn)
        return;
    const int32_t id = turn->Client;
    UsePort(ConfiguredPort(), false);
    BeginExchange(static_cast<uint32_t>(id));
    JournalTakenUp(id);
    if (FramingOn())
        Exchange.Framer.emplace(turn->HeadOnly);
    ServeClient(id);
    if (State == dsIdle)
        EndExchange();
}

// What the client sends beyond a chunk ahead waits on the TCP side, which holds the client back.
void TLine::ServeClient(int32_t id) {
    IdleSince = GetTickCount();
    if (Exchange.RequestRest.size() >= ChunkSize)
        return;
    const QByteArray text = Clients->TakeRequest(id, Exchange.ClientTotal);
    if (text.isEmpty())
        return;
    SetState(dsRelayWait);
    qCDebug(lcBridge) << "relaying" << text.size() << "bytes of client" << id;
    Exchange.RequestRest += text;
    SendRequestChunk();
}

void TLine::SendRequestChunk() {
    if (State == dsRelayWait && Exchange.CurrentClient != 0 && Exchange.RequestRest.size() < ChunkSize)
        Exchange.RequestRest += Clients->TakeRequest(static_cast<int32_t>(Exchange.CurrentClient), Exchange.ClientTotal);
    if (Exchange.RequestRest.isEmpty())
        return;
    TimerEnd->stop();
    const QByteArray chunk = TakeChunk(Exchange.RequestRest);
    if (Port->WriteChunk(chunk, true)) {
        if (Journal)
            Journal->RequestWritten(Exchange.Journaled, chunk);
        WaitTicks = 0;
        RestartTimerEnd(WatchdogMs);
        return;
    }
    QByteArray answer = DeviceNotAvailableAnswer;
    const qsizetype mark = answer.indexOf('~');
    answer.replace(mark, 1, Port->PortName().toUtf8());
    JournalFixed(static_cast<int32_t>(Exchange.CurrentClient), journal::TFixed::NotAvailable, answer);
    Clients->SendAnswer(static_cast<int32_t>(Exchange.CurrentClient), answer);
    Port->OpenPort(Port->PortName(), 0);
    EndExchange();
}

// The wait for an answer counts from the request's last byte on the line, not from its last write.
void TLine::ContinueSending() {
    if (State == dsProbeWait) {
        SendProbeChunk();
        return;
    }
    if (State != dsRelayWait)
        return;
    SendRequestChunk();
    if (State == dsRelayWait && Exchange.CurrentClient != 0 && Exchange.RequestRest.isEmpty() && WaitTicks == 0 &&
        !RequestUnfinished()) {
        RestartTimerEnd(WatchdogMs);
        if (Journal)
            Journal->RequestOnLine(Exchange.Journaled);
    }
}

// A notice whose bytes went with a port given back, or were taken with an earlier notice, changes nothing.
void TLine::OnSerialData() {
    IdleSince = GetTickCount();
    if (!ReceiveQueue)
        return;
    QByteArray piece;
    bool arrived = false;
    while (ReceiveQueue->TakeChunk(piece) > 0) {
        LastRxTick = GetTickCount();
        Exchange.Answer += piece;
        arrived = true;
    }
    if (!arrived)
        return;
    TimerEnd->stop();
    const bool framed = Exchange.Framer.has_value() && State != dsIdle;
    if (framed && !FrameAnswer())
        return;
    SetState((State == dsProbeWait || State == dsProbeAnswer) ? dsProbeAnswer : dsRelayAnswer);
    // Another device answering on a borrowed port, or the device at another rate, says nothing of the line.
    if (Port->PortName() == ConfiguredPort() && !Exchange.OtherRate)
        TellDevice(true);
    if (framed) {
        EndFramedArrival();
        return;
    }
    JournalArrived();
    if (Exchange.CurrentClient == 0)
        DropArrived();
    // A send delay of 0 would give the quiet timer no period; the smallest one still ends the answer.
    RestartTimerEnd(std::max(1, Clients->QuietMs()));
}

// The client's part in the exchange is over; what the device still sends is dropped.
void TLine::Release(TOrphan why) {
    Exchange.CurrentClient = 0;
    Exchange.Orphan = why;
    if (Port->IsReceivePaused())
        ResumeStream();
    if (State == dsRelayAnswer)
        DropArrived();
}

// An answer owed after a fixed answer or a client that left may still begin this many watchdog
// ticks after the request went out; without framing its end could not be told, so it is not awaited.
int TLine::SettleTicks() const { return Exchange.Framer ? std::max(AnswerTicks(), SettleLimitTicks) : AnswerTicks(); }

// Framed, every request waits as long for its answer whatever its size, since the wait only runs
// once the whole request is on the line; unframed, a long one waits 60 s as it always did.
int TLine::AnswerTicks() const {
    if (Exchange.Framer)
        return RelayTicks;
    return Exchange.ClientTotal >= LongRequestBytes ? LongRequestTicks : RelayTicks;
}

void TLine::TimerEndTimer() {
    qCDebug(lcBridge) << "end timer in state" << State << "tick" << WaitTicks;
    switch (State) {
    case dsIdle: TimerEnd->stop(); break;
    case dsRelayWait: RelayWatchdogTick(); break;
    case dsRelayAnswer: AnswerEnded(); break;
    case dsProbeWait:
        if (++WaitTicks < ProbeTicks)
            break;
        if (FramingOn() && !Exchange.Borrowed && !Exchange.OtherRate)
            GiveUpProbe();
        else
            ProbeEnded(TOutcome::Silent);
        break;
    case dsProbeAnswer: ProbeEnded(TOutcome::DeviceAnswer); break;
    }
}

// A request still arriving is not yet the device's to answer; only its own deadline runs.
bool TLine::RequestUnfinished() const {
    if (!FramingOn() || Exchange.CurrentClient == 0)
        return false;
    return !Exchange.RequestRest.isEmpty() || Clients->RequestArriving(static_cast<int32_t>(Exchange.CurrentClient));
}

void TLine::RelayWatchdogTick() {
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    if (id != 0 && !Clients->IsClientConnected(id))
        Release(orClientLeft);
    if (RequestUnfinished()) {
        WaitTicks = 0;
        return;
    }
    ++WaitTicks;
    if (Exchange.CurrentClient != 0 && WaitTicks >= AnswerTicks()) {
        LogClient(QStringLiteral("client %1 had no answer %2 s after its request of %3 bytes went out")
                      .arg(id)
                      .arg(WaitTicks * WatchdogMs / 1000)
                      .arg(Exchange.ClientTotal));
        JournalFixed(id, journal::TFixed::NotResponding, DeviceNotRespondingAnswer);
        Clients->SendAnswer(id, DeviceNotRespondingAnswer);
        TellDevice(false);
        Release(orClientAnswered);
    }
    if (Exchange.CurrentClient != 0 || WaitTicks < SettleTicks())
        return;
    // The device stayed silent through the settle limit. It may have ignored that one request:
    // the probe tells before anyone waiting is answered on its behalf.
    if (Exchange.Framer && Exchange.Probe.Id == 0)
        RecheckDevice();
    EndExchange();
}

void TLine::RecheckDevice() {
    if (HasAsks(TAskOwner::Recheck))
        return;
    TAsk ask;
    ask.Owner = TAskOwner::Recheck;
    Ask(std::move(ask));
}

// The status shows whether the device answers; it is refreshed when that changes, not on a clock.
void TLine::TellDevice(bool answers) {
    DeviceTold = true;
    SetDeviceOk(answers);
}

void TLine::SetDeviceOk(bool answers) {
    if (std::exchange(DeviceOk, answers) != answers && UpdateStatus)
        UpdateStatus();
}

void TLine::AnswerEnded() {
    TimerEnd->stop();
    if (Exchange.CurrentClient != 0) {
        const bool early = RequestUnfinished();
        LogStall();
        if (Exchange.Handed > 0 || !Exchange.Answer.isEmpty())
            HandAnswer();
        if (early) {
            SettleEarlyAnswer();
            return;
        }
    } else {
        DropArrived();
    }
    EndExchange();
}

// The device answered before the request was whole: it still holds a cut request, which it may
// answer again, so the line settles as after a cut request before the next one is written.
void TLine::SettleEarlyAnswer() {
    LogClient(QStringLiteral("client %1 was answered before its whole request went out, cut after %2 bytes")
                  .arg(Exchange.CurrentClient)
                  .arg(Exchange.ClientTotal));
    if (Journal)
        Journal->RequestCut(Exchange.Journaled, journal::TCut::AnsweredEarly);
    Exchange.RequestRest.clear();
    Exchange.Answer.clear();
    Exchange.FramedBytes = 0;
    Exchange.Handed = 0;
    Exchange.Told = 0;
    Exchange.Framer.emplace();
    SetState(dsRelayWait);
    Release(orClientAnswered);
    WaitTicks = 0;
    RestartTimerEnd(WatchdogMs);
}

// The probe of the configured port had no answer: those waiting are told at once, and the
// exchange stays on the line until a late answer has ended or the settle limit has passed.
void TLine::GiveUpProbe() {
    TellDevice(false);
    HandOutcome(TOutcome::Silent, {});
    Clients->AnswerWaiting(DeviceNotRespondingAnswer);
    SetState(dsRelayWait);
    Exchange.Orphan = orClientAnswered;
}

// The owner hears the outcome before anyone else is served, so that a port it adopts is the one
// the next browser goes to. A borrowed port, or one open at another rate, is given back unless the
// ask keeps it for a retry.
void TLine::ProbeEnded(TOutcome outcome) {
    const bool borrowed = Exchange.Borrowed || Exchange.OtherRate;
    const bool keep = Exchange.Probe.KeepOpen;
    if (outcome == TOutcome::Silent && !borrowed)
        TellDevice(false);
    HandOutcome(outcome, outcome == TOutcome::DeviceAnswer ? Exchange.Answer : QByteArray());
    FinishExchange();
    if (borrowed && Asks.empty() && !(keep && outcome == TOutcome::Silent))
        UsePort(ConfiguredPort(), false);
    ServeNextInLine();
}

void TLine::HandAnswer() {
    AnswerTime = GetTickCount() - LastRxTick;
    ++Served;
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    qCDebug(lcBridge) << "answer of" << Exchange.Handed + Exchange.Answer.size() << "bytes to client" << id;
    // Told before the connection closes, which may happen at once.
    if (Journal)
        Journal->AnswerEnded(Exchange.Journaled);
    if (Exchange.Framer) {
        Clients->StreamAnswer(id, Exchange.Answer);
        Clients->EndAnswer(id);
    } else {
        Clients->SendAnswer(id, Exchange.Answer);
    }
    if (UpdateStatus)
        UpdateStatus();
}

void TLine::OnClientClosed(int32_t id) {
    if (id != 0 && Exchange.CurrentClient == static_cast<uint32_t>(id))
        Release(orClientLeft);
    ArmCheck();
}

// Runs when something it looks after is due: a request's deadline, a waiting client or ask while
// framing is off, or the idle probe.
void TLine::TimerCheckTimer() {
    Clients->RefuseOverdue();
    if (State == dsRelayWait && Exchange.CurrentClient != 0 &&
        Clients->RequestOverdue(static_cast<int32_t>(Exchange.CurrentClient)))
        CutOverdueRequest();
    if (State == dsIdle)
        CheckIdleLine();
    ArmCheck();
}

void TLine::CheckIdleLine() {
    if (!Asks.empty()) {
        StartAsk(NextAsk());
        return;
    }
    if (const int32_t id = Clients->FirstWaiting(); id > 0) {
        TakeUpClient(id);
        return;
    }
    if (static_cast<uint32_t>(GetTickCount() - IdleSince) < static_cast<uint32_t>(IdleProbeMs))
        return;
    IdleSince = GetTickCount();
    if (OnIdle)
        OnIdle();
}

// Arms the check for the first moment something is due; while nothing is, the line sleeps.
void TLine::ArmCheck() {
    const uint32_t now = GetTickCount();
    const auto onLine = static_cast<int32_t>(State == dsRelayWait ? Exchange.CurrentClient : 0);
    const TClientsDue clients = Clients->Due(now, onLine);
    std::optional<int64_t> due = clients.Deadline;
    if (State == dsIdle) {
        const bool waiting = !Asks.empty() || clients.Waiting;
        const int64_t idleFor = static_cast<uint32_t>(now - IdleSince);
        const int64_t idle = waiting ? CheckMs : std::max<int64_t>(0, IdleProbeMs - idleFor);
        due = std::min(due.value_or(idle), idle);
    }
    if (due)
        TimerCheck->start(static_cast<int>(*due));
    else
        TimerCheck->stop();
}

void TLine::OnClientAccepted() { ArmCheck(); }

// A request written as it came stopped coming: the device has part of it and may still answer.
void TLine::CutOverdueRequest() {
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    LogClient(QStringLiteral("client %1 did not send its whole request in time, cut after %2 bytes")
                  .arg(id)
                  .arg(Exchange.ClientTotal));
    JournalFixed(id, journal::TFixed::RequestTimeout, RequestIncompleteAnswer);
    if (Journal)
        Journal->RequestCut(Exchange.Journaled, journal::TCut::Deadline);
    Clients->SendAnswer(id, RequestIncompleteAnswer);
    Exchange.RequestRest.clear();
    Release(orClientAnswered);
    if (!TimerEnd->isActive())
        RestartTimerEnd(WatchdogMs);
}

void TLine::StartAsk(TAsk ask) {
    IdleSince = GetTickCount();
    const QString configured = ConfiguredPort();
    if (ask.Port.isEmpty())
        ask.Port = configured;
    const bool borrowed = ask.Port != configured;
    const bool otherRate = ask.Baud != 0 && ask.Baud != Port->LineBaud();
    UsePort(ask.Port, ask.Reopen, ask.Baud);
    BeginExchange(0);
    Exchange.Probe = std::move(ask);
    Exchange.Borrowed = borrowed;
    Exchange.OtherRate = otherRate;
    JournalTakenUp(0);
    Exchange.RequestRest = ProbeRequest();
    if (FramingOn() && !otherRate)
        Exchange.Framer.emplace();
    SetState(dsProbeWait);
    SendProbeChunk();
}

// Only the configured port is reopened after a failed write; a borrowed one is given back. The
// probe's wait runs from its write, so only a chunk with more behind it waits for transmit-empty.
void TLine::SendProbeChunk() {
    IdleSince = GetTickCount();
    if (Exchange.RequestRest.isEmpty())
        return;
    TimerEnd->stop();
    const QByteArray chunk = TakeChunk(Exchange.RequestRest);
    if (Port->WriteChunk(chunk, !Exchange.RequestRest.isEmpty())) {
        if (Journal)
            Journal->RequestWritten(Exchange.Journaled, chunk);
        RestartTimerEnd(WatchdogMs);
        return;
    }
    Exchange.RequestRest.clear();
    if (!Exchange.Borrowed && !Exchange.OtherRate)
        Port->OpenPort(Port->PortName(), 0);
    ProbeEnded(TOutcome::PortError);
}
