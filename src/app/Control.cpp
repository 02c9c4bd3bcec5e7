#include "app/Control.h"

#include <QJsonArray>
#include <QJsonDocument>

#include "app/Hub.h"
#include "app/StartUp.h"
#include "app/Sv_aMain.h"
#include "bridge/Line.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "detect/Detection.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "journal/HarExport.h"
#include "journal/Journal.h"

namespace {
QByteArray Line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

// "COM3=USB serial" as people read it: "COM3 (USB serial)".
QString Shown(const QString& entry) {
    const QString name = entry.section(QLatin1Char('='), 0, 0);
    const QString description = entry.section(QLatin1Char('='), 1);
    return description.isEmpty() ? name : QStringLiteral("%1 (%2)").arg(name, description);
}

// " at 57600 baud" for a try at a rate of the search; nothing at the configured one.
QString AtRate(uint32_t baud) { return baud == 0 ? QString() : QStringLiteral(" at %1 baud").arg(baud); }

QString OutcomeName(TOutcome outcome) {
    switch (outcome) {
    case TOutcome::DeviceAnswer: return QStringLiteral("answered");
    case TOutcome::Silent: return QStringLiteral("silent");
    case TOutcome::PortError: return QStringLiteral("port-error");
    // Cancelled: a probe ends in no other way.
    default: break;
    }
    return QStringLiteral("called off");
}

// Where the server listens as people write it; none while it does not.
QJsonValue Listening(const TTCPForm& tcp) {
    if (!tcp.ServerSocket1->Active())
        return QJsonValue::Null;
    return tcp.Listen.isEmpty() ? QStringLiteral("0.0.0.0") : tcp.Listen;
}

// Built off the GUI thread, so that the bridge goes on serving meanwhile; an asker that leaves
// takes its build with it.
void AnswerJournal(const journal::TJournal& journal, bool sensitive, QObject* asker, const TShowServer::TAnswer& answer) {
    journal::THarOptions options;
    options.Sensitive = sensitive;
    options.BodyBytes = journal.BodyBytesBound();
    options.Version = QStringLiteral(QUELLOR_VERSION);
    journal::CopyEntriesForExport(journal, asker, [options, asker, answer](QList<journal::TEntry> entries) {
        journal::BuildHarInBackground(std::move(entries), options, asker,
                                      [answer](const QByteArray& document) { answer(document); });
    });
}
} // namespace

QString ControlSocketName(const QString& instance) {
    const QString name = QLatin1String(MainWindowClass);
    return instance.isEmpty() ? name : name + QLatin1Char('-') + instance;
}

QString DeviceState(uint8_t probeResult) {
    if (probeResult >= prUnknown)
        return QStringLiteral("answers");
    if (probeResult == prTimeOut)
        return QStringLiteral("silent");
    if (probeResult == prComError)
        return QStringLiteral("port-error");
    return QStringLiteral("unknown");
}

TControl::TControl(TWindows& windows, const QString& instance) : Windows(windows), Instance(instance) {
    TDetection& detection = *Windows.Detection;
    detection.OnTrying = [this](const QString& entry, uint32_t baud) {
        TellPass(("trying " + Shown(entry) + AtRate(baud)).toUtf8() + '\n');
    };
    detection.OnTried = [this](const QString& entry, uint32_t baud, uint8_t result) {
        TellPass((entry.section(QLatin1Char('='), 0, 0) + AtRate(baud) + QStringLiteral(": ") + DeviceState(result))
                     .toUtf8() +
                 '\n');
    };
    detection.OnConcluded = [this] { PassConcluded(); };
}

// The pass or the check may end after this, while the windows are taken down.
TControl::~TControl() {
    Windows.Probe->ForgetCheckWaiters();
    TDetection& detection = *Windows.Detection;
    detection.OnTrying = nullptr;
    detection.OnTried = nullptr;
    detection.OnConcluded = nullptr;
}

// A status or a reload is answered at once; a check, a pass or a journal takes its time, so
// fewer of those wait at once.
// A status answer is small, and stays in its socket until the event loop writes it out; askers of
// a check or a pass share one ask of the line. A burst of them may take every asker's place; a
// journal is large and built for each asker, so few are.
void TControl::SetLimits(TShowServer& server) {
    server.MostAtOnce.insert(control::Status, server.MostAskers);
    server.MostAtOnce.insert(control::Check, server.MostAskers);
    server.MostAtOnce.insert(control::Detect, server.MostAskers);
    server.MostAtOnce.insert(control::Reload, 4);
}

void TControl::Answer(const QByteArray& request, QObject* asker, const TShowServer::TAnswer& answer) {
    if (request == control::Journal || request == control::SensitiveJournal)
        AnswerJournal(*Windows.Journal, request == control::SensitiveJournal, asker, answer);
    else if (request == control::Status)
        answer(Line(Status()));
    else if (request == control::Check)
        AnswerCheck(asker, answer);
    else if (request == control::Detect)
        AnswerDetect(asker, answer);
    else if (request == control::Reload)
        AnswerReload(answer);
    else
        answer({});
}

QJsonObject TControl::Status() const {
    const TRSForm& rs = *Windows.Rs;
    const TTCPForm& tcp = *Windows.Tcp;
    const TDeviceProbe& probe = *Windows.Probe;
    const TLine& line = *Windows.Line;
    const QString port = rs.PortName().isEmpty() ? rs.ConfiguredPort() : rs.PortName();
    return QJsonObject{
        {QStringLiteral("port"), port},
        {QStringLiteral("node"), rs.PortNode},
        {QStringLiteral("lineSettings"), LineText(rs.PortLine())},
        {QStringLiteral("device"), DeviceState(probe.ProbeResult)},
        {QStringLiteral("reason"), Windows.Main->DeviceStatus(true)},
        {QStringLiteral("identity"), probe.Identity},
        {QStringLiteral("line"), line.IsIdle() ? QStringLiteral("idle") : QStringLiteral("busy")},
        {QStringLiteral("waiting"), tcp.Clients.Count()},
        {QStringLiteral("served"), static_cast<qint64>(line.ServedCount())},
        {QStringLiteral("lastAnswerMs"), static_cast<qint64>(line.LastAnswerTime())},
        {QStringLiteral("listen"), Listening(tcp)},
        {QStringLiteral("tcpPort"), tcp.Port},
        {QStringLiteral("url"), Windows.Main->ShownURL()},
        {QStringLiteral("instance"), Instance},
        {QStringLiteral("version"), QStringLiteral(QUELLOR_VERSION)},
    };
}

// A check already waiting for the line answers for this one too, as Check Device's does. The
// asker waits before the check is asked: a port that fails to open ends it at once.
void TControl::AnswerCheck(QObject* asker, const TShowServer::TAnswer& answer) {
    std::erase_if(CheckAskers, [](const TAsker& waiting) { return waiting.Asker.isNull(); });
    CheckAskers.push_back({asker, answer});
    if (CheckAskers.size() == 1)
        Windows.Probe->AwaitCheck([this](const TProbeOutcome& outcome) {
            QJsonObject status = Status();
            status.insert(QStringLiteral("outcome"), OutcomeName(outcome.Outcome));
            for (const TAsker& waiting : std::exchange(CheckAskers, {}))
                waiting.Answer(Line(status));
        });
    Windows.Main->CheckDevice1Click();
}

// The asker is counted in before the pass starts: a pass over ports that all fail may end at once.
void TControl::AnswerDetect(QObject* asker, const TShowServer::TAnswer& answer) {
    std::erase_if(PassAskers, [](const TAsker& waiting) { return waiting.Asker.isNull(); });
    PassAskers.push_back({asker, answer});
    if (Windows.Detection->Running())
        TShowServer::Tell(asker, "joining the pass under way\n");
    else
        Windows.Main->DetectForScript();
}

TReloadReport TControl::Reload(const QByteArray& asker) {
    TDistForm& log = *Windows.Dist;
    log.AddLogLine(asker + ": the settings file is read again", true);
    const TReloadReport report = Windows.Main->ReloadSettings();
    for (const QString& line : report.Lines)
        log.AddLogLine(line.toUtf8(), true);
    return report;
}

void TControl::AnswerReload(const TShowServer::TAnswer& answer) {
    const TReloadReport report = Reload("--reload");
    answer(Line({{QStringLiteral("done"), report.Done}, {QStringLiteral("lines"), QJsonArray::fromStringList(report.Lines)}}));
}

void TControl::TellPass(const QByteArray& line) {
    for (const TAsker& asker : PassAskers)
        TShowServer::Tell(asker.Asker, line);
}

void TControl::PassConcluded() {
    const TDetection& detection = *Windows.Detection;
    QJsonObject end{{QStringLiteral("found"), QJsonValue::Null}};
    if (!detection.Stored.isEmpty())
        end = QJsonObject{{QStringLiteral("found"), detection.Stored.section(QLatin1Char('='), 0, 0)},
                          {QStringLiteral("description"), detection.Stored.section(QLatin1Char('='), 1)},
                          {QStringLiteral("identity"), detection.BestIdentity}};
    for (const TAsker& asker : std::exchange(PassAskers, {}))
        asker.Answer(Line(end));
}
