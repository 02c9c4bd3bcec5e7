// The device probe: what a probe's answer says, and the status it shows.
#include "detect/DeviceProbe.h"

#include "bridge/LogSink.h"
#include "bridge/sv_RS.h"
#include "platform/Tracing.h"

#include <utility>

namespace {
constexpr int MaxShown = 100;
constexpr int ShownCut = 99;
// An identity longer than this is kept to its start.
constexpr int MaxIdentity = 1024;

const char* const Labels[] = {"none",           "progress...",    "COM Error",   "Time Out",
                              "Unknown device\r\n", "HTTP device\r\n", "Found Id\r\n", "Found Device\r\n"};

// Raises an answer's code 4 to 5, 6 or 7 by what it holds; the text shown is the body for 7.
uint8_t Classify(QByteArray& text) {
    uint8_t code = prUnknown;
    if (!text.startsWith("HTTP"))
        return code;
    code = prHttp;
    if (!text.contains("200 OK"))
        return code;
    code = prFoundId;
    const qsizetype blank = text.indexOf("\r\n\r\n");
    if (blank < 0)
        return code;
    text.remove(0, blank + 4);
    return text.isEmpty() ? code : static_cast<uint8_t>(prFoundDevice);
}

QByteArray Trimmed(QByteArray text) {
    if (text.size() > MaxShown)
        text.truncate(ShownCut);
    text.replace('\0', "#0");
    if (text.size() > MaxShown)
        text.truncate(ShownCut);
    return text;
}
} // namespace

TProbeReading ReadOutcome(const TProbeOutcome& outcome) {
    TProbeReading reading;
    switch (outcome.Outcome) {
    case TOutcome::PortError: reading.Result = prComError; return reading;
    case TOutcome::Silent: reading.Result = prTimeOut; return reading;
    case TOutcome::DeviceAnswer: break;
    // Cancelled: a probe ends in no other way.
    default: return reading;
    }
    reading.Text = outcome.Answer;
    reading.Result = reading.Text.isEmpty() ? static_cast<uint8_t>(prUnknown) : Classify(reading.Text);
    return reading;
}

QString IdentityOf(const TProbeReading& reading) {
    return reading.Result == prFoundDevice ? QString::fromUtf8(reading.Text.left(MaxIdentity)) : QString();
}

TDeviceProbe::TDeviceProbe(TLine* line, TRSForm* rs, TLogSink* log, QObject* hub)
    : Line(line), Rs(rs), Log(log), Hub(hub) {
    Line->OnProbed = [this](const TProbeOutcome& outcome) { Report(outcome); };
    Line->OnIdle = [this] { StartProbe(false); };
}

// A probe already waiting for the line answers for this one too.
void TDeviceProbe::StartProbe(bool reopen) {
    const TAskOwner owner = reopen ? TAskOwner::CheckDevice : TAskOwner::IdleProbe;
    if (Line->HasAsks(owner))
        return;
    StatusText.clear();
    ProbeResult = prProgress;
    TAsk ask;
    ask.Owner = owner;
    ask.Reopen = reopen;
    ask.Done = [this, reopen](const TProbeOutcome& outcome) {
        if (reopen)
            CheckEnded(outcome);
        if (outcome.Outcome != TOutcome::Cancelled)
            return;
        if (ProbeResult == prProgress)
            ProbeResult = prNone;
        if (reopen && OnCheckCalledOff)
            OnCheckCalledOff();
    };
    Line->Ask(std::move(ask));
}

void TDeviceProbe::AwaitCheck(std::function<void(const TProbeOutcome&)> then) { CheckWaiters.push_back(std::move(then)); }

void TDeviceProbe::CheckEnded(const TProbeOutcome& outcome) {
    for (const auto& then : std::exchange(CheckWaiters, {}))
        then(outcome);
}

void TDeviceProbe::Report(const TProbeOutcome& outcome) {
    const TProbeReading reading = ReadOutcome(outcome);
    ProbeResult = reading.Result;
    Identity = IdentityOf(reading);
    QByteArray line = outcome.Port.toUtf8();
    if (outcome.Baud != 0)
        line += " at " + QByteArray::number(outcome.Baud) + " baud";
    line += QByteArray(": ") + Labels[ProbeResult];
    if (ProbeResult >= prUnknown)
        line += Trimmed(reading.Text);
    StatusText = line;
    qCDebug(lcDetect) << "probe result" << ProbeResult << "on" << outcome.Port;
    if (StatusText != LastLoggedStatus) {
        LastLoggedStatus = StatusText;
        Log->AddLogLine(StatusText, true);
        Log->AddLogLine("----------------", false);
    }
    RecordIdentity(outcome, reading);
    SendWinMessage(Hub, WM_SV_DIST_STATE);
}

// Only the configured port's device is recorded, and only while no record of it is trusted yet.
void TDeviceProbe::RecordIdentity(const TProbeOutcome& outcome, const TProbeReading& reading) {
    if (!Rs->IdentityOwed || outcome.Port != Rs->ConfiguredPort() || reading.Result != prFoundDevice)
        return;
    Rs->IdentityOwed = false;
    Rs->StoreIdentity(IdentityOf(reading));
}
