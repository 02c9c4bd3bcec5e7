#include "app/Ask.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cstdio>

#include "app/CommandLine.h"
#include "app/Control.h"
#include "journal/Har.h"
#include "platform/SingleInstance.h"

namespace {
constexpr int Done = 0;
constexpr int NotAsked = 1;
constexpr int NotSo = 3;

// How long each step of an answer may take: a journal of 100000 entries takes a busy bridge tens
// of seconds to build, and an asker that gives up takes the build with it. The bridge sends a
// keep-alive byte every 2 s while it works on an answer, so a step of a check or a pass is short.
constexpr int JournalPatienceMs = 120000;
constexpr int StepPatienceMs = 10000;

// How long a verb waits for its whole answer: a check waits behind the exchange under way (a
// long download at a slow rate takes minutes), a pass tries every port in turn.
int WholePatienceMs(TVerb verb) {
    switch (verb) {
    case TVerb::Status: return 10000;
    case TVerb::Reload: return 30000;
    case TVerb::Check: return 300000;
    case TVerb::Detect: return 1800000;
    }
    return 10000;
}

void Print(FILE* stream, const QString& text) {
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

int Fail(const QString& text) {
    Print(stderr, QStringLiteral("quellor: %1\n").arg(text));
    return NotAsked;
}

QString BridgeName(const QString& instance) {
    return instance.isEmpty() ? QStringLiteral("the default bridge") : QStringLiteral("the bridge '%1'").arg(instance);
}

QString NotRunning(const QString& instance) {
    return QStringLiteral("%1 is not running; start it with 'quellor%2'.")
        .arg(BridgeName(instance), instance.isEmpty() ? QString() : QStringLiteral(" --instance ") + instance);
}

QString Text(const QJsonValue& value) {
    if (value.isNull() || value.isUndefined())
        return {};
    return value.isString() ? value.toString() : QString::number(value.toInteger());
}

// A text of several lines, such as the device's identity file, as one.
QString OneLine(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines.join(QStringLiteral(" / "));
}

// The window's status text in one line.
QString DeviceLine(const QJsonObject& status) {
    const QString reason = OneLine(status.value(QStringLiteral("reason")).toString());
    const QString state = status.value(QStringLiteral("device")).toString();
    return reason.isEmpty() ? state : QStringLiteral("%1 (%2)").arg(state, reason);
}

QString StatusLines(const QJsonObject& s) {
    const QString node = Text(s.value(QStringLiteral("node")));
    const QString listen = Text(s.value(QStringLiteral("listen")));
    const QString instance = Text(s.value(QStringLiteral("instance")));
    const QStringList lines{
        QStringLiteral("port: %1").arg((Text(s.value(QStringLiteral("port"))) + QLatin1Char(' ') + node).trimmed()),
        QStringLiteral("line settings: ") + Text(s.value(QStringLiteral("lineSettings"))),
        QStringLiteral("device: ") + DeviceLine(s),
        QStringLiteral("identity: ") + OneLine(Text(s.value(QStringLiteral("identity")))),
        QStringLiteral("line: ") + Text(s.value(QStringLiteral("line"))),
        QStringLiteral("waiting: ") + Text(s.value(QStringLiteral("waiting"))),
        QStringLiteral("served: ") + Text(s.value(QStringLiteral("served"))),
        QStringLiteral("last answer: %1 ms").arg(Text(s.value(QStringLiteral("lastAnswerMs")))),
        QStringLiteral("listen: ") + (listen.isEmpty() ? QStringLiteral("not listening")
                                                       : listen + QLatin1Char(':') + Text(s.value(QStringLiteral("tcpPort")))),
        QStringLiteral("url: ") + Text(s.value(QStringLiteral("url"))),
        QStringLiteral("instance: ") + (instance.isEmpty() ? QStringLiteral("(default)") : instance),
        QStringLiteral("version: ") + Text(s.value(QStringLiteral("version")))};
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray Request(TVerb verb) {
    switch (verb) {
    case TVerb::Status: return control::Status;
    case TVerb::Check: return control::Check;
    case TVerb::Detect: return control::Detect;
    case TVerb::Reload: return control::Reload;
    }
    return {};
}

// What the bridge said, printed; the exit status.
int Show(TVerb verb, bool json, const QByteArray& raw, const QJsonObject& answer) {
    switch (verb) {
    case TVerb::Status:
        Print(stdout, json ? QString::fromUtf8(raw) : StatusLines(answer));
        return Done;
    case TVerb::Check:
        Print(stdout, QStringLiteral("device: ") + DeviceLine(answer) + QLatin1Char('\n'));
        return answer.value(QStringLiteral("outcome")).toString() == QLatin1String("answered") ? Done : NotSo;
    case TVerb::Detect:
        if (answer.value(QStringLiteral("found")).isNull()) {
            Print(stdout, QStringLiteral("no port answered\n"));
            return NotSo;
        }
        Print(stdout, QStringLiteral("found %1, stored as the port in use\n").arg(answer.value(QStringLiteral("found")).toString()));
        return Done;
    case TVerb::Reload:
        for (const QJsonValue& line : answer.value(QStringLiteral("lines")).toArray())
            Print(stdout, line.toString() + QLatin1Char('\n'));
        return answer.value(QStringLiteral("done")).toBool() ? Done : NotSo;
    }
    return NotAsked;
}

int AskVerb(const TCommandLine& command) {
    const TVerb verb = *command.Verb;
    QByteArray last;
    // A pass's ports are printed as they are tried; the answer proper is the last line.
    const auto onLine = [verb, &last](const QByteArray& line) {
        if (verb == TVerb::Detect && !line.startsWith('{'))
            Print(stdout, QString::fromUtf8(line) + QLatin1Char('\n'));
        last = line;
    };
    const std::optional<QByteArray> answer =
        AskRunning(ControlSocketName(command.Instance), Request(verb), StepPatienceMs, onLine, WholePatienceMs(verb));
    if (!answer)
        return Fail(NotRunning(command.Instance));
    const QJsonDocument document = QJsonDocument::fromJson(last);
    if (!document.isObject())
        return Fail(QStringLiteral("%1 runs but gave no answer: it may be busy answering others, or be a version "
                                   "that does not know this request.").arg(BridgeName(command.Instance)));
    return Show(verb, command.Json, last + '\n', document.object());
}

int ExportJournal(const TCommandLine& command) {
    const QString bridge = BridgeName(command.Instance);
    const std::optional<QByteArray> answer =
        AskRunning(ControlSocketName(command.Instance), command.JournalSensitive ? control::SensitiveJournal : control::Journal,
                   JournalPatienceMs);
    if (!answer)
        return Fail(QStringLiteral("%1 is not running, so there is no journal to write; start it with 'quellor%2'.")
                        .arg(bridge, command.Instance.isEmpty() ? QString() : QStringLiteral(" --instance ") + command.Instance));
    if (!answer->startsWith('{'))
        return Fail(QStringLiteral("%1 runs but did not hand over its journal in time: it may be busy handing it "
                                   "to others, or be a version without one.").arg(bridge));
    if (const QString problem = journal::WriteHarFile(*command.Journal, *answer); !problem.isEmpty())
        return Fail(problem);
    return Done;
}
} // namespace

int AskRunningBridge(int argc, char** argv, const TCommandLine& command) {
    QCoreApplication app(argc, argv);
    if (const QString problem = RuntimeFolderProblem(); !problem.isEmpty())
        return Fail(QStringLiteral("cannot ask %1: %2").arg(BridgeName(command.Instance), problem));
    return command.Journal ? ExportJournal(command) : AskVerb(command);
}
