// The dispatcher's streaming: a framed answer goes to its client as it arrives, and a client that
// reads slowly holds the line back instead of filling memory. A client that takes nothing for the
// reader limit is reset by the TCP side; its exchange then drops the rest of the answer.
#include <QTimer>

#include "bridge/Line.h"

namespace {
// Bytes a client's socket may leave untaken before the line is no longer read.
constexpr qsizetype HighWaterBytes = qsizetype(1) << 20;
} // namespace

bool TLine::Streams() const {
    return Exchange.Framer && Exchange.CurrentClient != 0 && (State == dsRelayWait || State == dsRelayAnswer);
}

void TLine::PassOn() {
    if (Streams())
        StreamArrived();
    else
        DropArrived();
}

void TLine::StreamArrived() {
    const auto id = static_cast<int32_t>(Exchange.CurrentClient);
    Clients->StreamAnswer(id, Exchange.Answer);
    Exchange.Handed += Exchange.Answer.size();
    Exchange.Answer.clear();
    Exchange.FramedBytes = 0;
    if (Clients->Unsent(id) > HighWaterBytes)
        PauseStream();
}

// What arrives of an answer without a client goes nowhere, as it comes; a probe's answer stays.
void TLine::DropArrived() {
    if (State != dsRelayAnswer || Exchange.CurrentClient != 0)
        return;
    Exchange.Dropped += Exchange.Answer.size();
    Exchange.Handed += Exchange.Answer.size();
    Exchange.Answer.clear();
    Exchange.FramedBytes = 0;
}

// The device's silence from here on is the bridge's own, so the end rules wait too.
void TLine::PauseStream() {
    Port->PauseReceive();
    TimerEnd->stop();
}

void TLine::ResumeStream() {
    if (!Port->IsReceivePaused())
        return;
    ArmAnswerTimer();
    Port->ResumeReceive();
}

void TLine::OnClientWritten(int32_t id) {
    if (Exchange.CurrentClient != static_cast<uint32_t>(id) || !Port->IsReceivePaused())
        return;
    if (Clients->Unsent(id) <= HighWaterBytes / 2)
        ResumeStream();
}
