// The dispatcher's streaming: a framed answer goes to its client as it arrives, and a client that
// reads slowly holds the line back instead of filling memory.
#include <QTimer>

#include "bridge/DistUnit.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"

namespace {
// Bytes a client's socket may leave untaken before the line is no longer read.
constexpr qsizetype HighWaterBytes = qsizetype(1) << 20;
// How long a client may take nothing before it is dropped. Over loopback a receiver opens its
// window in steps of 64 KiB, so a client reading 1 KiB a second shows progress only every minute.
constexpr int ReaderLimitMs = 120000;
} // namespace

bool TDistForm::Streams() const {
    return Framer && CurrentClient != 0 && (State == dsRelayWait || State == dsRelayAnswer);
}

void TDistForm::StreamArrived() {
    const auto id = static_cast<int32_t>(CurrentClient);
    TCPForm->StreamAnswer(id, Answer);
    Handed += Answer.size();
    Answer.clear();
    FramedBytes = 0;
    if (TCPForm->Unsent(id) > HighWaterBytes)
        PauseStream();
}

// The device's silence from here on is the bridge's own, so the end rules wait too.
void TDistForm::PauseStream() {
    RSForm->PauseReceive();
    TimerEnd->stop();
    TimerReader->start(ReaderLimitMs);
}

void TDistForm::ResumeStream() {
    TimerReader->stop();
    if (!RSForm->ReceivePaused)
        return;
    ArmAnswerTimer();
    RSForm->ResumeReceive();
}

void TDistForm::OnClientWritten(int32_t id) {
    if (CurrentClient != static_cast<uint32_t>(id) || !RSForm->ReceivePaused)
        return;
    TimerReader->start(ReaderLimitMs);
    if (TCPForm->Unsent(id) <= HighWaterBytes / 2)
        ResumeStream();
}

// The client took nothing for the whole limit: it goes, and the rest of its answer is read from
// the line and dropped, so that the next client's answer starts clean.
void TDistForm::TimerReaderTimer() {
    if (!RSForm->ReceivePaused || CurrentClient == 0)
        return;
    const auto id = static_cast<int32_t>(CurrentClient);
    TCPForm->Log(QStringLiteral("client %1 took nothing of its answer for %2 s, dropped after %3 bytes")
                     .arg(id)
                     .arg(ReaderLimitMs / 1000)
                     .arg(Handed - TCPForm->Unsent(id)));
    TCPForm->DropClient(id);
    ResumeStream();
}
