// The dispatcher's framing: an answer ends where its HTTP head says, bytes that belong to no
// exchange never reach a client, and the next in line is served as soon as the line is free.
#include <QTimer>

#include "bridge/Line.h"
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

bool TLine::FramingOn() const { return Clients->FramesAnswers(); }

void TLine::DropLeftover(qsizetype count, const char* where) {
    if (count <= 0 || Exchange.LeftoverLogged)
        return;
    Exchange.LeftoverLogged = true;
    AddLogLine("RS: " + Port->PortName().toUtf8() + " dropped " + QByteArray::number(count) + " bytes " + where);
}

// Feeds what arrived to the framer; false when nothing of an answer is left to wait for.
bool TLine::FrameAnswer() {
    TExchange& ex = Exchange;
    const bool awaiting = State == dsRelayWait || State == dsProbeWait;
    if (awaiting && DeviceSpeaksHttp && ex.FramedBytes == 0) {
        const qsizetype at = StatusLineAt(ex.Answer);
        DropLeftover(at, "left over from an earlier answer");
        ex.Answer.remove(0, at);
        if (ex.Answer.isEmpty()) {
            RestartTimerEnd(WatchdogMs);
            return false;
        }
    }
    ex.Framer->Feed(QByteArrayView(ex.Answer).sliced(ex.FramedBytes));
    ex.FramedBytes = ex.Answer.size();
    if (ex.Framer->SawStatusLine())
        DeviceSpeaksHttp = true;
    else if (ex.Framer->State() == http::TFrame::NotHttp)
        DeviceSpeaksHttp = false;
    return true;
}

// A complete answer ends the exchange at once, without its surplus; what arrived of an
// incomplete one goes on at once.
void TLine::EndFramedArrival() {
    TExchange& ex = Exchange;
    if (ex.Framer->State() == http::TFrame::Complete) {
        DropLeftover(ex.Handed + ex.Answer.size() - ex.Framer->End(), "past the end of an answer");
        ex.Answer.truncate(ex.Framer->End() - ex.Handed);
        JournalArrived();
        TimerEnd->stop();
        TimerEndTimer();
        return;
    }
    JournalArrived();
    PassOn();
    if (!Port->IsReceivePaused())
        ArmAnswerTimer();
}

// An incomplete answer may pause up to the stall limit; one that declares no end keeps the quiet rule.
void TLine::ArmAnswerTimer() {
    const bool declared = Exchange.Framer && Exchange.Framer->State() == http::TFrame::NeedMore;
    RestartTimerEnd(declared ? StallLimitMs : std::max(1, Clients->QuietMs()));
}

void TLine::LogStall() {
    const qsizetype arrived = Exchange.Handed + Exchange.Answer.size();
    if (Exchange.Framer && Exchange.Framer->State() == http::TFrame::NeedMore && arrived > 0)
        AddLogLine("RS: " + Port->PortName().toUtf8() + " answer stalled, " + QByteArray::number(arrived) +
                       " bytes handed before its declared end");
}

void TLine::LogDropped() {
    if (Exchange.Dropped == 0 || Exchange.Orphan == orNone)
        return;
    const QByteArray why = Exchange.Orphan == orClientLeft ? "whose client had left" : "that came after its client was answered";
    AddLogLine("RS: " + Port->PortName().toUtf8() + " dropped " + QByteArray::number(Exchange.Dropped) +
                   " bytes of an answer " + why);
}

// Takes up a waiting ask or client at once instead of at the next check tick.
void TLine::ServeNextInLine() {
    if (!FramingOn() || State != dsIdle)
        return;
    if (!Asks.empty()) {
        StartAsk(NextAsk());
        return;
    }
    if (const int32_t id = Clients->FirstWaiting(); id > 0)
        TakeUpClient(id);
}
