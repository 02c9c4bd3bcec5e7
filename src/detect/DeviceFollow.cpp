#include "detect/DeviceFollow.h"

#include <QComboBox>
#include <QFile>
#include <QMap>
#include <QTimer>
#include <unistd.h>
#include <utility>

#include "app/Hub.h"
#include "bridge/DistUnit.h"
#include "bridge/sv_RS.h"
#include "detect/EnumDevices.h"
#include "detect/PortWatch.h"
#include "serial/CommInt.h"
#include "serial/PortNames.h"
#include "settings/sv_params.h"

namespace {
constexpr int TickMs = 100;
// How long a port that appeared may refuse access before the attempt to open it goes ahead.
constexpr int AccessWaitMs = 5000;
constexpr uint8_t TimedOut = 3;
constexpr uint8_t FoundId = 6;

QString EntryName(const QString& entry) { return entry.section(QLatin1Char('='), 0, 0); }

QByteArray FirstLine(const QByteArray& text) { return text.left(text.indexOf("\r\n")); }
} // namespace

TDeviceFollow::TDeviceFollow(TDistForm* dist, TRSForm* rs, TFormParams* params)
    : Dist(dist), Rs(rs), Params(params), Tick(new QTimer(this)) {
    Tick->setInterval(TickMs);
    connect(Tick, &QTimer::timeout, this, &TDeviceFollow::Step);
}

TDeviceFollow::~TDeviceFollow() = default;

void TDeviceFollow::Start() {
    // Built-in UARTs do not come and go, and telling one from a placeholder would open its node.
    const TEnumSources sources = *Dist->EnumSources;
    auto scan = [sources] {
        TEnumSources watched = sources;
        watched.IsPlaceholder = [](const QString&) { return true; };
        return GetComPortList(watched);
    };
    Ports = new TPortWatch(scan, sources.MapFolder.isEmpty() ? PortMapFolder() : sources.MapFolder, this);
    Ports->OnAdded = [this](const QString& entry) { PortAdded(entry); };
    Ports->OnRemoved = [this](const QString& name) { PortRemoved(name); };
    Ports->Start();
    ShowPorts();
}

void TDeviceFollow::ProbeReported() {
    if (Probing.isEmpty() || Reported)
        return;
    Reported = true;
    Result = Dist->ProbeResult;
    Status = Dist->StatusText;
}

void TDeviceFollow::PortAdded(const QString& entry) {
    Rs->Log(QStringLiteral("port added ") + entry);
    ShowPorts();
    if (!Rs->Follow || Dist->DeviceOk)
        return;
    TCandidate candidate{entry, {}};
    candidate.Since.start();
    Candidates << candidate;
    Tick->start();
}

// A port that went is released at once when it was the configured one, so that the adapter
// can come back under the same name.
void TDeviceFollow::PortRemoved(const QString& name) {
    Rs->Log(QStringLiteral("port removed ") + name);
    ShowPorts();
    Candidates.removeIf([&](const TCandidate& candidate) { return EntryName(candidate.Entry) == name; });
    if (!Rs->Follow || name != Configured())
        return;
    Dist->DeviceOk = false;
    if (LineIdle() && Probing.isEmpty() && Rs->CommRS->Enabled())
        Rs->ClosePort();
}

void TDeviceFollow::ShowPorts() {
    QMap<int, QString> descriptions;
    for (const QString& entry : Ports->Ports())
        if (const int number = ComNumber(EntryName(entry)); number > 0)
            descriptions.insert(number, entry.section(QLatin1Char('='), 1));
    Params->ShowPortDescriptions(descriptions);
    if (Dist->isVisible())
        Dist->BtEnumRSClick();
}

// Waits for the line as the detection pass does: a probe goes out only between exchanges.
void TDeviceFollow::Step() {
    if (ProgramClosing)
        return;
    if (Dist->PassMode == 1) {
        Stop();
        return;
    }
    if (!LineIdle())
        return;
    if (!Probing.isEmpty()) {
        if (Reported)
            Conclude();
        return;
    }
    if (Candidates.isEmpty() || Dist->DeviceOk || !Rs->Follow) {
        Stop();
        return;
    }
    // Until the first probe has told, it is not known whether the configured device answers.
    const bool untried = Dist->ProbeResult == 0 && Rs->CommRS->Enabled();
    if (!untried && MayOpen(Candidates.first()))
        ProbeNext();
}

bool TDeviceFollow::LineIdle() const {
    return Dist->State == dsIdle && Dist->ProbeRest.isEmpty();
}

// Permissions on a new node are set a moment after it appears.
bool TDeviceFollow::MayOpen(const TCandidate& candidate) const {
    const QByteArray node = QFile::encodeName(DeviceNodeFor(EntryName(candidate.Entry)));
    return SerialSys().Access(node.constData(), R_OK | W_OK) == 0 || candidate.Since.elapsed() >= AccessWaitMs;
}

void TDeviceFollow::ProbeNext() {
    const TCandidate next = Candidates.takeFirst();
    Probing = next.Entry;
    SecondTry = next.SecondTry;
    From = Configured();
    Reported = false;
    // Opening the port again would restart a board that restarts when its port opens.
    const QString name = EntryName(Probing);
    if (!SecondTry || Rs->PortName() != name || !Rs->CommRS->Enabled())
        Rs->OpenPort(name);
    Dist->StartProbe(false);
}

void TDeviceFollow::Conclude() {
    const QString entry = std::exchange(Probing, QString());
    if (EntryName(entry) == From)
        return;
    // Many boards restart when their port opens, and miss a probe that arrives meanwhile.
    if (Result == TimedOut && !SecondTry) {
        TCandidate again{entry, {}, true};
        again.Since.start();
        Candidates.prepend(again);
        return;
    }
    if (Result >= FoundId) {
        Adopt(entry);
        return;
    }
    // Whatever answered there, it was not the configured device, which was silent before.
    Dist->DeviceOk = false;
    Rs->OpenConfiguredPort();
}

// Stored as a detection pass stores the port it found.
void TDeviceFollow::Adopt(const QString& entry) {
    const QString name = EntryName(entry);
    const int number = ComNumber(name);
    if (number <= 0 || number > Params->ComboBox_PortRS->count()) {
        Rs->OpenConfiguredPort();
        return;
    }
    Candidates.clear();
    // Before the settings are saved: a port chosen once is one the device can move from.
    const bool hadPort = !From.isEmpty() && (Params->Saved > 0 || Rs->DetectCOM > 0);
    Params->ComboBox_PortRS->setCurrentIndex(number - 1);
    Rs->DetectCOM = number;
    Rs->DetectName = name;
    Rs->DetectDescription = entry.section(QLatin1Char('='), 1);
    Params->SaveSettings();
    const QString how = hadPort ? QStringLiteral(" (the device moved from ") + From + QLatin1Char(')')
                                : QStringLiteral(" (the device was found on a port that appeared)");
    Dist->AddLogLine(FirstLine(Status) + how.toUtf8(), true);
    if (OnMoved)
        OnMoved(name, From);
}

QString TDeviceFollow::Configured() const {
    const int selected = Params->ComboBox_PortRS->currentIndex();
    return selected < 0 ? QString() : QStringLiteral("COM%1").arg(selected + 1);
}

void TDeviceFollow::Stop() {
    Candidates.clear();
    Probing.clear();
    Tick->stop();
}
