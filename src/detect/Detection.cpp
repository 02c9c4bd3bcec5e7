#include "detect/Detection.h"


#include "bridge/sv_RS.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "settings/sv_params.h"

namespace {
QString EntryName(const QString& entry) { return entry.section(QLatin1Char('='), 0, 0); }

constexpr uint32_t CommonRates[] = {115200, 921600, 460800, 230400, 57600, 38400, 19200, 9600};
} // namespace

QList<uint32_t> TDetection::SearchRates(uint32_t configured) {
    QList<uint32_t> rates{configured};
    for (uint32_t rate : CommonRates)
        if (!rates.contains(rate))
            rates << rate;
    return rates;
}

TDetection::TDetection(TLine* line, TRSForm* rs, TFormParams* params, TDistForm* window, QObject* hub)
    : Line(line), Rs(rs), Params(params), Window(window), Hub(hub) {}

void TDetection::StartDetection() {
    if (PassMode == 1)
        return;
    PassMode = 1;
    PortList.clear();
    BestIndex = 0;
    BestResult = 0;
    BestIdentity.clear();
    BestBaud = 0;
    Stored.clear();
    if (const std::unique_ptr<QStringList> ports = GetComPortList(*Window->EnumSources))
        PortList = *ports;
    ArrangePorts(PortList);
    Window->AppendMemoLines(PortList);
    Window->AddLogLine(QByteArray(), false);
    PortIndex = 0;
    NextPort();
}

void TDetection::ArrangePorts(QStringList& list) const {
    const QString configured = Rs->ConfiguredPort();
    const bool saved = Params->Saved > 0;
    bool exchanged = true;
    while (exchanged) {
        exchanged = false;
        for (qsizetype i = 0; i + 1 < list.size(); ++i) {
            if (saved && EntryName(list[i]) == configured)
                continue;
            if (saved && EntryName(list[i + 1]) == configured) {
                list.swapItemsAt(i, i + 1);
                exchanged = true;
                continue;
            }
            if (list[i + 1].toUpper().contains(QLatin1String("USB")) &&
                !list[i].toUpper().contains(QLatin1String("USB"))) {
                list.swapItemsAt(i, i + 1);
                exchanged = true;
            }
        }
    }
    for (const QString& entry : list)
        if (EntryName(entry) == configured)
            return;
    list << configured + QStringLiteral("=User settings (") + configured + QLatin1Char(')');
}

// One port at a time: its ask waits behind the exchange under way, and goes before any browser.
void TDetection::NextPort() {
    if (PortIndex >= PortList.size()) {
        Conclude();
        return;
    }
    ++PortIndex;
    Rates = {0};
    RateIndex = 0;
    AskPort(0);
}

// One try of the port under way at a rate, 0: the configured one.
void TDetection::AskPort(uint32_t baud) {
    TAsk ask;
    ask.Owner = TAskOwner::Detection;
    ask.Port = EntryName(PortList[PortIndex - 1]);
    ask.Baud = baud;
    ask.Done = [this](const TProbeOutcome& outcome) { StepDone(outcome); };
    if (OnTrying)
        OnTrying(PortList[PortIndex - 1], baud);
    Line->Ask(std::move(ask));
}

// The other rates are tried where the device gave no HTTP answer; a port that failed for another
// reason than the rate fails at every rate.
bool TDetection::SearchesOn(uint8_t result) const {
    if (!Rs->LineSettings.BaudSearch || result >= prHttp)
        return false;
    return result != prComError || Rs->RefusedBaud != 0;
}

// At a rate beyond the configured one, only an HTTP answer tells that the rate is the device's.
void TDetection::StepDone(const TProbeOutcome& outcome) {
    if (outcome.Outcome == TOutcome::Cancelled) {
        PortIndex = static_cast<int32_t>(PortList.size());
        BestResult = 0;
        Conclude();
        return;
    }
    const TProbeReading reading = ReadOutcome(outcome);
    const uint32_t baud = Rates.value(RateIndex);
    if (OnTried)
        OnTried(PortList[PortIndex - 1], baud, reading.Result);
    if (reading.Result > BestResult && (baud == 0 || reading.Result >= prHttp)) {
        BestIndex = PortIndex;
        BestResult = reading.Result;
        BestIdentity = IdentityOf(reading);
        BestBaud = baud;
        if (BestResult == prFoundDevice)
            PortIndex = static_cast<int32_t>(PortList.size());
    }
    if (RateIndex == 0 && BestResult != prFoundDevice && SearchesOn(reading.Result)) {
        Rates = SearchRates(Rs->LineSettings.Baud);
        Rates[0] = 0;
    }
    if (BestResult != prFoundDevice && reading.Result < prHttp && ++RateIndex < Rates.size()) {
        AskPort(Rates[RateIndex]);
        return;
    }
    NextPort();
}

// Only the detection record is stored: what stands unconfirmed in the settings dialog stays there.
void TDetection::Conclude() {
    ++PortIndex;
    PassMode = 2;
    if (BestIndex > 0 && BestResult >= prUnknown && Rs->AdoptPort(PortList[BestIndex - 1], BestIdentity, BestBaud))
        Stored = PortList[BestIndex - 1];
    PostWinMessage(Hub, WM_SV_DIST_END);
    if (OnConcluded)
        OnConcluded();
}
