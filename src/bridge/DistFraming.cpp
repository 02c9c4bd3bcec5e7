// The dispatcher's framing: an answer ends where its HTTP head says, bytes that belong to no
// exchange never reach a client, a request reaches the device only once its head is whole, and
// the next client in line is served as soon as the line is free.
#include <QTimer>

#include "bridge/DistUnit.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "platform/Tracing.h"

namespace {
// How long a framed answer may stay quiet before its declared end; then it is handed as it is.
constexpr int StallLimitMs = 2000;
const QByteArray StatusLineStart = "HTTP/";

// Where an answer's status line may begin in bytes from the device, or the size when nowhere.
qsizetype StatusLineAt(const QByteArray& bytes) {
    const qsizetype at = bytes.indexOf(StatusLineStart);
    if (at >= 0)
        return at;
    for (qsizetype keep = std::min<qsizetype>(StatusLineStart.size() - 1, bytes.size()); keep > 0; --keep)
        if (StatusLineStart.startsWith(bytes.right(keep)))
            return bytes.size() - keep;
    return bytes.size();
}
} // namespace

bool TDistForm::FramingOn() const { return TCPForm->Framing; }

void TDistForm::BeginExchange() {
    Framer.reset();
    FramedBytes = 0;
    Handed = 0;
    RequestHead = http::TRequestHead();
    RequestHeld.clear();
    LeftoverLogged = false;
}

// Keeps request bytes back until the head is whole; false while it is not, and for a refused
// request. Then `text` is all of it, and the answer framer knows whether the request was a HEAD.
bool TDistForm::HoldRequest(QByteArray& text) {
    if (!(FramingOn() || TCPForm->Guard.On()) || RequestHead.State() != http::TRequest::NeedMore)
        return true;
    RequestHeld += text;
    if (RequestHead.Feed(text) == http::TRequest::NeedMore) {
        if (!TimerEnd->isActive()) {
            WaitTicks = 0;
            RestartTimerEnd(WatchdogMs);
        }
        return false;
    }
    text = std::exchange(RequestHeld, {});
    if (RequestHead.State() != http::TRequest::NotHttp) {
        if (const auto refusal = TCPForm->Guard.Check(RequestHead)) {
            TCPForm->Refuse(static_cast<int32_t>(CurrentClient), *refusal);
            EndRelay();
            FinishExchange();
            return false;
        }
    }
    if (FramingOn())
        Framer.emplace(RequestHead.State() == http::TRequest::Complete && RequestHead.Method() == "HEAD");
    return true;
}

void TDistForm::DropLeftover(qsizetype count, const char* where) {
    if (count <= 0 || LeftoverLogged)
        return;
    LeftoverLogged = true;
    AddLogLine("RS: " + RSForm->PortName().toUtf8() + " dropped " + QByteArray::number(count) + " bytes " + where, true);
}

// Feeds what arrived to the framer; false when nothing of an answer is left to wait for.
bool TDistForm::FrameAnswer() {
    const bool awaiting = State == dsRelayWait || State == dsProbeWait;
    if (awaiting && DeviceSpeaksHttp && FramedBytes == 0) {
        const qsizetype at = StatusLineAt(Answer);
        DropLeftover(at, "left over from an earlier answer");
        Answer.remove(0, at);
        if (Answer.isEmpty()) {
            RestartTimerEnd(WatchdogMs);
            return false;
        }
    }
    Framer->Feed(QByteArrayView(Answer).sliced(FramedBytes));
    FramedBytes = Answer.size();
    if (Framer->SawStatusLine())
        DeviceSpeaksHttp = true;
    else if (Framer->State() == http::TFrame::NotHttp)
        DeviceSpeaksHttp = false;
    return true;
}

// A complete answer is handed at once, without its surplus; what arrived of an incomplete one
// goes to its client at once.
void TDistForm::EndFramedArrival() {
    if (Framer->State() == http::TFrame::Complete) {
        DropLeftover(Handed + Answer.size() - Framer->End(), "past the end of an answer");
        Answer.truncate(Framer->End() - Handed);
        TimerEnd->stop();
        TimerEndTimer();
        return;
    }
    if (Streams())
        StreamArrived();
    if (!RSForm->ReceivePaused)
        ArmAnswerTimer();
}

// An incomplete answer may pause up to the stall limit; one that declares no end keeps the quiet rule.
void TDistForm::ArmAnswerTimer() {
    const bool declared = Framer->State() == http::TFrame::NeedMore;
    RestartTimerEnd(declared ? StallLimitMs : std::max(1, static_cast<int>(TCPForm->SendDelay)));
}

void TDistForm::LogStall() {
    const qsizetype arrived = Handed + Answer.size();
    if (Framer && Framer->State() == http::TFrame::NeedMore && arrived > 0)
        AddLogLine("RS: " + RSForm->PortName().toUtf8() + " answer stalled, " + QByteArray::number(arrived) +
                       " bytes handed before its declared end",
                   true);
}

void TDistForm::FinishExchange() {
    if (State != dsIdle)
        return;
    Framer.reset();
    FramedBytes = 0;
    Handed = 0;
    ServeNextInLine();
}

// Takes up a waiting probe or client at once instead of at the next check tick; the detection
// pass keeps its pace on the tick.
void TDistForm::ServeNextInLine() {
    if (!FramingOn() || State != dsIdle || CurrentClient != 0 || PassMode == 1)
        return;
    if (!ProbeRest.isEmpty()) {
        State = dsProbeWait;
        SendProbeChunk();
        return;
    }
    if (const int32_t id = TCPForm->FirstPendingClient(); id > 0)
        TakeUpClient(id);
}
