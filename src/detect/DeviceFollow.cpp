#include "detect/DeviceFollow.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QTimer>
#include <unistd.h>
#include <utility>

#include "bridge/sv_RS.h"
#include "detect/Detection.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "detect/PortWatch.h"
#include "serial/CommInt.h"
#include "serial/PortNames.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
constexpr int TickMs = 100;
// How long a port that appeared may refuse access before the attempt to open it goes ahead.
constexpr int AccessWaitMs = 5000;

QString EntryName(const QString& entry) { return entry.section(QLatin1Char('='), 0, 0); }

QByteArray FirstLine(const QByteArray& text) { return text.left(text.indexOf("\r\n")); }
} // namespace

TDeviceFollow::TDeviceFollow(TLine* line, TRSForm* rs, TFormParams* params, TDistForm* window,
                             TDeviceProbe* probe, TDetection* detection)
    : Line(line), Rs(rs), Params(params), Window(window), Probe(probe), Detection(detection), Tick(new QTimer(this)) {
    Tick->setInterval(TickMs);
    connect(Tick, &QTimer::timeout, this, &TDeviceFollow::Step);
}

TDeviceFollow::~TDeviceFollow() = default;

void TDeviceFollow::Start() {
    // Built-in UARTs do not come and go, and telling one from a placeholder would open its node.
    const TEnumSources sources = *Window->EnumSources;
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

void TDeviceFollow::Cancel() { Line->Cancel(TAskOwner::Follower); }

void TDeviceFollow::PortAdded(const QString& entry) {
    Rs->Log(QStringLiteral("port added ") + entry);
    ShowPorts();
    if (!Rs->Follow || Line->IsDeviceOk())
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
    Line->PortGone(name);
}

void TDeviceFollow::ShowPorts() {
    QMap<int, QString> descriptions;
    for (const QString& entry : Ports->Ports())
        if (const int number = ComNumber(EntryName(entry)); number > 0)
            descriptions.insert(number, entry.section(QLatin1Char('='), 1));
    Params->ShowPortDescriptions(descriptions);
    if (Window->isVisible())
        Window->BtEnumRSClick();
}

// One ask at a time; it waits for the line as any ask does.
void TDeviceFollow::Step() {
    if (ProgramClosing)
        return;
    if (Detection->Running()) {
        Stop();
        return;
    }
    if (!Probing.isEmpty())
        return;
    if (Candidates.isEmpty() || Line->IsDeviceOk() || !Rs->Follow) {
        Stop();
        return;
    }
    // Until a probe or a browser's exchange has told, it is not known whether the configured device answers.
    const bool untried = !Line->IsDeviceTold() && Rs->CommRS->Enabled();
    if (!untried && MayOpen(Candidates.first()))
        ProbeNext();
}

// Permissions on a new node are set a moment after it appears.
bool TDeviceFollow::MayOpen(const TCandidate& candidate) const {
    const QByteArray node = QFile::encodeName(DeviceNodeFor(EntryName(candidate.Entry)));
    return SerialSys().Access(node.constData(), R_OK | W_OK) == 0 || candidate.Since.elapsed() >= AccessWaitMs;
}

// The RS\\COM of every other bridge's settings file; a file without one is set to COM1.
bool TDeviceFollow::OtherBridgesPort(const QString& name) const {
    const QFileInfo own(SettingsFilePath());
    const QStringList patterns{ProgramBase + QStringLiteral(".conf"), ProgramBase + QStringLiteral("-*.conf")};
    const int number = ComNumber(name);
    for (const QFileInfo& file : own.dir().entryInfoList(patterns, QDir::Files)) {
        if (file.absoluteFilePath() == own.absoluteFilePath())
            continue;
        const QSettings other(file.absoluteFilePath(), QSettings::IniFormat);
        const QString com = QString(key::RsCom).replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (ParseInteger(other.value(com, SettingOf(key::RsCom).Default).toString()) == number)
            return true;
    }
    return false;
}

// A first try keeps the port open after a silence: many boards restart when their port opens,
// and miss a probe that arrives meanwhile.
void TDeviceFollow::ProbeNext() {
    const TCandidate next = Candidates.takeFirst();
    const QString name = EntryName(next.Entry);
    if (OtherBridgesPort(name)) {
        Rs->Log(name + QStringLiteral(" is another bridge's port, not probed"));
        return;
    }
    Probing = next.Entry;
    SecondTry = next.SecondTry;
    From = Configured();
    TAsk ask;
    ask.Owner = TAskOwner::Follower;
    ask.Port = name;
    ask.KeepOpen = !SecondTry;
    ask.Done = [this](const TProbeOutcome& outcome) { Concluded(outcome); };
    Line->Ask(std::move(ask));
}

void TDeviceFollow::Concluded(const TProbeOutcome& outcome) {
    const QString entry = std::exchange(Probing, QString());
    // A save starts the follower afresh from the new settings; Start ends it.
    if (outcome.Outcome == TOutcome::Cancelled) {
        if (Detection->Running())
            return;
        TCandidate again{entry, {}, SecondTry};
        again.Since.start();
        Candidates.prepend(again);
        return;
    }
    if (EntryName(entry) == From)
        return;
    const TProbeReading reading = ReadOutcome(outcome);
    if (reading.Result == prTimeOut && !SecondTry) {
        TCandidate again{entry, {}, true};
        again.Since.start();
        Candidates.prepend(again);
        return;
    }
    const QString identity = IdentityOf(reading);
    if (SameDevice(identity, reading.Result)) {
        Adopt(entry, identity);
        return;
    }
    if (reading.Result >= prFoundId)
        Rs->Log(EntryName(entry) + QStringLiteral(" answers as another device, not followed"));
}

// With no identity recorded yet (a first plug), any device that answers "200 OK" is taken.
bool TDeviceFollow::SameDevice(const QString& identity, uint8_t result) const {
    if (Rs->DetectIdentity.isEmpty())
        return result >= prFoundId;
    return result == prFoundDevice && identity == Rs->DetectIdentity;
}

// Stored as a detection pass stores the port it found: only the detection record.
void TDeviceFollow::Adopt(const QString& entry, const QString& identity) {
    // Before the port is stored: a port chosen once is one the device can move from.
    const bool hadPort = !From.isEmpty() && (Params->Saved > 0 || Rs->DetectCOM > 0);
    if (!Rs->AdoptPort(entry, identity))
        return;
    Candidates.clear();
    const QString name = EntryName(entry);
    const QString how = hadPort ? QStringLiteral(" (the device moved from ") + From + QLatin1Char(')')
                                : QStringLiteral(" (the device was found on a port that appeared)");
    Window->AddLogLine(FirstLine(Probe->StatusText) + how.toUtf8(), true);
    if (OnMoved)
        OnMoved(name, From);
}

QString TDeviceFollow::Configured() const { return Rs->ConfiguredPort(); }

void TDeviceFollow::Stop() {
    Candidates.clear();
    Probing.clear();
    Tick->stop();
}
