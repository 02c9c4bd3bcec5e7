// The request dispatcher: the one state machine of the serial line.
#include "bridge/DistUnit.h"

#include <QTimer>
#include <algorithm>

#include "bridge/ServerSocket.h"
#include "bridge/sv_Prot.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "platform/TickCount.h"
#include "platform/Tracing.h"

namespace {
constexpr int ChunkSize = 2048;
constexpr int RelayTicks = 3;
constexpr int LongRequestTicks = 60;
constexpr int LongRequestBytes = 5000;
constexpr int ProbeTicks = 3;
constexpr int IdleTicksBeforeProbe = 30;
constexpr int SettleLimitTicks = 10;

QByteArray TakeChunk(QByteArray& rest) {
    const QByteArray chunk = rest.left(ChunkSize);
    rest.remove(0, chunk.size());
    return chunk;
}
} // namespace

void TDistForm::RestartTimerEnd(int interval) {
    TimerEnd->stop();
    TimerEnd->setInterval(interval);
    TimerEnd->start();
}

void TDistForm::Init() {
    LogBusy = false;
    TimerEnd->stop();
    Exchange = TExchange();
    WaitTicks = 0;
    IdleTicks = 0;
    ProbeRest.clear();
    StatusText.clear();
    LastLoggedStatus.clear();
    ReopenBeforeProbe = false;
    ProbeResult = 0;
    PassMode = 0;
    PortList.clear();
    PortIndex = 0;
    BestIndex = 0;
    BestResult = 0;
    State = dsIdle;
    AnswerTime = 0;
    LastRxTick = 0;
    TCPForm->ServerSocket1->SetActive(false);
    RSForm->SetChannel(1);
    RSForm->OpenConfiguredPort();
    ReceiveQueue = std::make_unique<TsvProt>();
    RSForm->ReceiveQueue = ReceiveQueue.get();
    TCPForm->RestartServer();
    TimerCheck->start();
}

void TDistForm::BeginExchange(uint32_t client) {
    TimerEnd->stop();
    Exchange = TExchange();
    Exchange.CurrentClient = client;
    WaitTicks = 0;
}

// Bytes the port kept for an exchange that is over belong to no one.
void TDistForm::EndExchange() {
    LogDropped();
    TimerEnd->stop();
    Exchange = TExchange();
    State = dsIdle;
    if (RSForm->ReceivePaused) {
        RSForm->ResetInput();
        RSForm->ResumeReceive();
    }
    ServeNextInLine();
}

void TDistForm::LineReset() {
    if (State == dsIdle)
        return;
    if ((State == dsProbeWait || State == dsProbeAnswer) && ProbeResult == 1)
        ProbeResult = 0;
    EndExchange();
}

void TDistForm::OnClientData(int32_t id) {
    IdleTicks = 0;
    if (State == dsIdle)
        TakeUpClient(id);
    else if (State == dsRelayWait && Exchange.CurrentClient == static_cast<uint32_t>(id))
        ServeClient(id);
}

// Begins the exchange of a client whose request may go to the line.
void TDistForm::TakeUpClient(int32_t id) {
    const TMySocket* record = TCPForm->Clients.FindById(id);
    if (!record || !record->RequestReady())
        return;
    BeginExchange(static_cast<uint32_t>(id));
    if (FramingOn()) {
        const http::TRequestHead* head = TCPForm->RequestHead(id);
        Exchange.Framer.emplace(head->State() == http::TRequest::Complete && head->Method() == "HEAD");
    }
    ServeClient(id);
    if (State == dsIdle)
        EndExchange();
}

// What the client sends beyond a chunk ahead waits on the TCP side, which holds the client back.
void TDistForm::ServeClient(int32_t id) {
    IdleTicks = 0;
    if (Exchange.RequestRest.size() >= ChunkSize)
        return;
    const QByteArray text = TCPForm->TakeRequest(id, Exchange.ClientTotal);
    if (text.isEmpty())
        return;
    State = dsRelayWait;
    qCDebug(lcBridge) << "relaying" << text.size() << "bytes of client" << id;
    Exchange.RequestRest += text;
    SendRequestChunk();
}

void TDistForm::SendRequestChunk() {
    if (State == dsRelayWait && Exchange.CurrentClient != 0 && Exchange.RequestRest.size() < ChunkSize)
        Exchange.RequestRest += TCPForm->TakeRequest(static_cast<int32_t>(Exchange.CurrentClient), Exchange.ClientTotal);
    if (Exchange.RequestRest.isEmpty())
        return;
    TimerEnd->stop();
    const QByteArray chunk = TakeChunk(Exchange.RequestRest);
    if (RSForm->WriteChunk(chunk)) {
        WaitTicks = 0;
        RestartTimerEnd(WatchdogMs);
        return;
    }
    QByteArray answer = DeviceNotAvailableAnswer;
    const qsizetype mark = answer.indexOf('~');
    answer.replace(mark, 1, RSForm->PortName().toUtf8());
    TCPForm->SendAnswer(static_cast<int32_t>(Exchange.CurrentClient), answer);
    RSForm->OpenPort(RSForm->PortName());
    EndExchange();
}

void TDistForm::ContinueSending() {
    if (State == dsProbeWait)
        SendProbeChunk();
    else if (State == dsRelayWait)
        SendRequestChunk();
}

void TDistForm::OnSerialData() {
    TimerEnd->stop();
    IdleTicks = 0;
    if (!ReceiveQueue)
        return;
    QByteArray piece;
    while (ReceiveQueue->TakeChunk(piece) > 0) {
        LastRxTick = GetTickCount();
        Exchange.Answer += piece;
    }
    const bool framed = Exchange.Framer.has_value() && State != dsIdle;
    if (framed && !FrameAnswer())
        return;
    State = (State == dsProbeWait || State == dsProbeAnswer) ? dsProbeAnswer : dsRelayAnswer;
    DeviceOk = true;
    if (framed) {
        EndFramedArrival();
        return;
    }
    if (Exchange.CurrentClient == 0)
        DropArrived();
    // A send delay of 0 would give the quiet timer no period; the smallest one still ends the answer.
    RestartTimerEnd(std::max(1, static_cast<int>(TCPForm->SendDelay)));
}

// The client's part in the exchange is over; what the device still sends is dropped.
void TDistForm::Release(TOrphan why) {
    Exchange.CurrentClient = 0;
    Exchange.Orphan = why;
    if (RSForm->ReceivePaused)
        ResumeStream();
    if (State == dsRelayAnswer)
        DropArrived();
}

// An answer owed after a fixed answer or a client that left may still begin this many watchdog
// ticks after the request went out; without framing its end could not be told, so it is not awaited.
int TDistForm::SettleTicks() const {
    const int limit = Exchange.ClientTotal >= LongRequestBytes ? LongRequestTicks : RelayTicks;
    return Exchange.Framer ? std::max(limit, SettleLimitTicks) : limit;
}

void TDistForm::TimerEndTimer() {
    qCDebug(lcBridge) << "end timer in state" << State << "tick" << WaitTicks;
    switch (State) {
    case dsIdle: TimerEnd->stop(); break;
    case dsRelayWait: RelayWatchdogTick(); break;
    case dsRelayAnswer: AnswerEnded(); break;
    case dsProbeWait:
        if (++WaitTicks >= ProbeTicks)
            ProbeEnded(3);
        break;
    case dsProbeAnswer: ProbeEnded(4); break;
    }
}

void TDistForm::RelayWatchdogTick() {
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    if (id != 0 && !TCPForm->IsClientConnected(id))
        Release(orClientLeft);
    ++WaitTicks;
    const int limit = Exchange.ClientTotal >= LongRequestBytes ? LongRequestTicks : RelayTicks;
    if (Exchange.CurrentClient != 0 && WaitTicks >= limit) {
        TCPForm->SendAnswer(id, DeviceNotRespondingAnswer);
        DeviceOk = false;
        Release(orClientAnswered);
    }
    if (Exchange.CurrentClient != 0 || WaitTicks < SettleTicks())
        return;
    // The device stayed silent through the settle limit: those waiting for it would wait in vain.
    if (Exchange.Framer) {
        DeviceOk = false;
        TCPForm->AnswerWaiting(DeviceNotRespondingAnswer);
    }
    EndExchange();
}

void TDistForm::AnswerEnded() {
    TimerEnd->stop();
    if (Exchange.CurrentClient != 0) {
        LogStall();
        if (Exchange.Handed > 0 || !Exchange.Answer.isEmpty())
            HandAnswer();
    } else {
        DropArrived();
    }
    EndExchange();
}

void TDistForm::ProbeEnded(uint8_t result) {
    StatusText = result == 4 ? Exchange.Answer : QByteArray();
    ProbeResult = result;
    if (result == 3)
        DeviceOk = false;
    EndExchange();
    ReportProbeResult();
}

void TDistForm::HandAnswer() {
    AnswerTime = GetTickCount() - LastRxTick;
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    qCDebug(lcBridge) << "answer of" << Exchange.Handed + Exchange.Answer.size() << "bytes to client" << id;
    if (Exchange.Framer) {
        TCPForm->StreamAnswer(id, Exchange.Answer);
        TCPForm->EndAnswer(id);
    } else {
        TCPForm->SendAnswer(id, Exchange.Answer);
    }
    if (UpdateStatus)
        UpdateStatus();
}

void TDistForm::OnClientClosed(int32_t id) {
    if (id != 0 && Exchange.CurrentClient == static_cast<uint32_t>(id))
        Release(orClientLeft);
}

void TDistForm::TimerCheckTimer() {
    TCPForm->RefuseOverdue();
    if (State == dsRelayWait && Exchange.CurrentClient != 0 &&
        TCPForm->RequestOverdue(static_cast<int32_t>(Exchange.CurrentClient)))
        CutOverdueRequest();
    if (State != dsIdle) {
        IdleTicks = 0;
        return;
    }
    // A probe that waited for the line goes first, also during a detection pass: the pass step
    // waits for the probe in progress, so it would otherwise wait forever.
    if (!ProbeRest.isEmpty()) {
        State = dsProbeWait;
        SendProbeChunk();
        IdleTicks = 0;
        return;
    }
    if (PassMode == 1) {
        NextPort();
        IdleTicks = 0;
        return;
    }
    const int32_t id = TCPForm->FirstPendingClient();
    if (id > 0) {
        TakeUpClient(id);
        IdleTicks = 0;
        return;
    }
    if (++IdleTicks >= IdleTicksBeforeProbe) {
        IdleTicks = 0;
        StartProbe(false);
    }
}

// A request written as it came stopped coming: the device has part of it and may still answer.
void TDistForm::CutOverdueRequest() {
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    TCPForm->Log(QStringLiteral("client %1 did not send its whole request in time, cut after %2 bytes")
                     .arg(id)
                     .arg(Exchange.ClientTotal));
    TCPForm->SendAnswer(id, RequestIncompleteAnswer);
    Exchange.RequestRest.clear();
    Release(orClientAnswered);
    if (!TimerEnd->isActive())
        RestartTimerEnd(WatchdogMs);
}

void TDistForm::StartProbe(bool reopen) {
    IdleTicks = 0;
    if (!ProbeRest.isEmpty())
        return;
    ReopenBeforeProbe = reopen;
    StatusText.clear();
    ProbeResult = 1;
    ProbeRest = ProbeRequest();
    if (State == dsIdle) {
        State = dsProbeWait;
        SendProbeChunk();
    }
}

void TDistForm::SendProbeChunk() {
    IdleTicks = 0;
    if (ProbeRest.isEmpty())
        return;
    TimerEnd->stop();
    if (ReopenBeforeProbe) {
        ReopenBeforeProbe = false;
        RSForm->ClosePort();
        RSForm->OpenConfiguredPort();
    }
    BeginExchange(0);
    if (FramingOn())
        Exchange.Framer.emplace();
    const QByteArray chunk = TakeChunk(ProbeRest);
    if (RSForm->WriteChunk(chunk)) {
        RestartTimerEnd(WatchdogMs);
        return;
    }
    ProbeRest.clear();
    // A detection pass moves on to the next port itself; only a port that stays is reopened.
    if (PassMode != 1)
        RSForm->OpenPort(RSForm->PortName());
    ProbeEnded(2);
}
