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
    CurrentClient = 0;
    ClientTotal = 0;
    WaitTicks = 0;
    IdleTicks = 0;
    Answer.clear();
    RequestRest.clear();
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

void TDistForm::OnClientData(int32_t id) {
    IdleTicks = 0;
    const auto client = static_cast<uint32_t>(id);
    if (State == dsIdle) {
        if (CurrentClient == 0) {
            Answer.clear();
            RequestRest.clear();
            CurrentClient = client;
            ClientTotal = 0;
            TimerEnd->stop();
            BeginExchange();
        }
        if (CurrentClient == client)
            ServeClient(id);
    } else if (State == dsRelayWait && CurrentClient == client) {
        ServeClient(id);
    }
}

void TDistForm::ServeClient(int32_t id) {
    IdleTicks = 0;
    QByteArray text = TCPForm->TakeRequest(id, ClientTotal);
    if (text.isEmpty())
        return;
    CurrentClient = static_cast<uint32_t>(id);
    State = dsRelayWait;
    if (!HoldRequest(text))
        return;
    qCDebug(lcBridge) << "relaying" << text.size() << "bytes of client" << id;
    RequestRest += text;
    SendRequestChunk();
}

void TDistForm::SendRequestChunk() {
    if (RequestRest.isEmpty())
        return;
    TimerEnd->stop();
    const QByteArray chunk = TakeChunk(RequestRest);
    if (RSForm->WriteChunk(chunk)) {
        WaitTicks = 0;
        RestartTimerEnd(WatchdogMs);
        return;
    }
    QByteArray answer = DeviceNotAvailableAnswer;
    const qsizetype mark = answer.indexOf('~');
    answer.replace(mark, 1, RSForm->PortName().toUtf8());
    TCPForm->SendAnswer(static_cast<int32_t>(CurrentClient), answer);
    CurrentClient = 0;
    ClientTotal = 0;
    State = dsIdle;
    TimerEnd->stop();
    RSForm->OpenPort(RSForm->PortName());
    FinishExchange();
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
        Answer += piece;
    }
    const bool framed = Framer.has_value() && State != dsIdle;
    if (framed && !FrameAnswer())
        return;
    State = (State == dsProbeWait || State == dsProbeAnswer) ? dsProbeAnswer : dsRelayAnswer;
    DeviceOk = true;
    if (framed) {
        EndFramedArrival();
        return;
    }
    // A send delay of 0 would give the quiet timer no period; the smallest one still ends the answer.
    RestartTimerEnd(std::max(1, static_cast<int>(TCPForm->SendDelay)));
}

void TDistForm::EndRelay() {
    CurrentClient = 0;
    ClientTotal = 0;
    State = dsIdle;
    TimerEnd->stop();
}

void TDistForm::TimerEndTimer() {
    qCDebug(lcBridge) << "end timer in state" << State << "tick" << WaitTicks;
    switch (State) {
    case dsIdle: TimerEnd->stop(); break;
    case dsRelayWait: {
        if (CurrentClient == 0 || !TCPForm->IsClientConnected(static_cast<int32_t>(CurrentClient))) {
            EndRelay();
            break;
        }
        ++WaitTicks;
        const int limit = ClientTotal >= LongRequestBytes ? LongRequestTicks : RelayTicks;
        if (WaitTicks < limit)
            break;
        if (!RequestHeld.isEmpty()) {
            TCPForm->SendAnswer(static_cast<int32_t>(CurrentClient), RequestIncompleteAnswer);
            EndRelay();
            break;
        }
        TCPForm->SendAnswer(static_cast<int32_t>(CurrentClient), DeviceNotRespondingAnswer);
        EndRelay();
        DeviceOk = false;
        break;
    }
    case dsRelayAnswer:
        TimerEnd->stop();
        LogStall();
        if (CurrentClient != 0 && (Handed > 0 || !Answer.isEmpty()))
            HandAnswer();
        Answer.clear();
        CurrentClient = 0;
        ClientTotal = 0;
        State = dsIdle;
        break;
    case dsProbeWait:
        if (++WaitTicks < ProbeTicks)
            break;
        EndRelay();
        StatusText.clear();
        ProbeResult = 3;
        DeviceOk = false;
        ReportProbeResult();
        break;
    case dsProbeAnswer:
        TimerEnd->stop();
        StatusText = Answer;
        Answer.clear();
        ProbeResult = 4;
        State = dsIdle;
        ReportProbeResult();
        break;
    }
    FinishExchange();
}

void TDistForm::HandAnswer() {
    AnswerTime = GetTickCount() - LastRxTick;
    const auto id = static_cast<int32_t>(CurrentClient);
    qCDebug(lcBridge) << "answer of" << Handed + Answer.size() << "bytes to client" << id;
    if (Framer) {
        TCPForm->StreamAnswer(id, Answer);
        TCPForm->EndAnswer(id);
    } else {
        TCPForm->SendAnswer(id, Answer);
    }
    if (UpdateStatus)
        UpdateStatus();
}

void TDistForm::OnClientClosed(int32_t id) {
    if (CurrentClient == static_cast<uint32_t>(id) && RSForm->ReceivePaused)
        ResumeStream();
    if (State != dsIdle || CurrentClient != static_cast<uint32_t>(id))
        return;
    Answer.clear();
    RequestRest.clear();
    CurrentClient = 0;
    ClientTotal = 0;
    TimerEnd->stop();
}

void TDistForm::TimerCheckTimer() {
    if (State != dsIdle || CurrentClient != 0) {
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

// Begins the exchange of a client whose request waited.
void TDistForm::TakeUpClient(int32_t id) {
    Answer.clear();
    RequestRest.clear();
    TimerEnd->stop();
    BeginExchange();
    ServeClient(id);
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
    if (FramingOn()) {
        BeginExchange();
        Framer.emplace();
    }
    const QByteArray chunk = TakeChunk(ProbeRest);
    if (RSForm->WriteChunk(chunk)) {
        WaitTicks = 0;
        RestartTimerEnd(WatchdogMs);
        return;
    }
    ProbeRest.clear();
    StatusText.clear();
    ProbeResult = 2;
    State = dsIdle;
    TimerEnd->stop();
    ReportProbeResult();
    RSForm->OpenPort(RSForm->PortName());
    FinishExchange();
}
