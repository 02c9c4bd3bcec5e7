#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdio>
#include <utility>

#include "settings/SettingsTable.h"

namespace {
constexpr int UsageError = 2;

// Letters and digits of ASCII only: the name becomes part of file names and of a unit name.
bool IsInstanceName(const QString& name) {
    static const QRegularExpression valid(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-]{1,32}")));
    return valid.match(name).hasMatch();
}

void Print(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

TCommandLine Done() {
    TCommandLine done;
    done.ExitStatus = 0;
    return done;
}

TCommandLine Refuse(const QString& error) {
    Print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(QCoreApplication::applicationName(), error));
    TCommandLine refused;
    refused.ExitStatus = UsageError;
    return refused;
}

// Qt's own options (-platform and the like) are not taken: the display comes from the environment.
struct TOptions {
    QCommandLineOption Help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help and exits.")};
    QCommandLineOption Version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Shows the program's version and exits.")};
    QCommandLineOption Instance{QStringLiteral("instance"), QStringLiteral("Runs the bridge NAME (A-Z a-z 0-9 - _, up to 32)."),
                                QStringLiteral("NAME")};
    QCommandLineOption Journal{QStringLiteral("journal"), QStringLiteral("Writes the running bridge's exchanges to FILE as HAR."),
                               QStringLiteral("FILE")};
    QCommandLineOption JournalSensitive{QStringLiteral("journal-sensitive"),
                                        QStringLiteral("With --journal: keeps cookies and credentials.")};
    QCommandLineOption Status{QStringLiteral("status"), QStringLiteral("Prints the running bridge's state.")};
    QCommandLineOption Json{QStringLiteral("json"), QStringLiteral("With --status: prints it as one JSON object.")};
    QCommandLineOption Check{QStringLiteral("check"), QStringLiteral("Has the running bridge probe its device.")};
    QCommandLineOption Detect{QStringLiteral("detect"), QStringLiteral("Has the running bridge find its device's port.")};
    QCommandLineOption Reload{QStringLiteral("reload"), QStringLiteral("Has the running bridge re-read its settings.")};
    const std::pair<const QCommandLineOption*, TVerb> Verbs[4] = {
        {&Status, TVerb::Status}, {&Check, TVerb::Check}, {&Detect, TVerb::Detect}, {&Reload, TVerb::Reload}};
};

// At most one request of the running bridge at a time, and --json only with --status.
std::optional<QString> ReadVerb(const QCommandLineParser& parser, const TOptions& options, TCommandLine& command) {
    QStringList given;
    for (const auto& [option, verb] : options.Verbs) {
        if (!parser.isSet(*option))
            continue;
        given << QStringLiteral("--") + option->names().constFirst();
        command.Verb = verb;
    }
    if (command.Journal)
        given.prepend(QStringLiteral("--journal"));
    if (given.size() > 1)
        return QStringLiteral("%1 and %2 cannot go together").arg(given[0], given[1]);
    command.Json = parser.isSet(options.Json);
    if (command.Json && command.Verb != TVerb::Status)
        return QStringLiteral("--json goes with --status");
    return std::nullopt;
}

TCommandLine Answer(const QCommandLineParser& parser, const TOptions& options) {
    if (parser.isSet(options.Help)) {
        Print(stdout, parser.helpText());
        return Done();
    }
    if (parser.isSet(options.Version)) {
        Print(stdout, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()));
        return Done();
    }
    if (!parser.positionalArguments().isEmpty())
        return Refuse(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const QStringList names = parser.values(options.Instance);
    if (names.size() > 1)
        return Refuse(QStringLiteral("--instance given more than once"));
    if (!names.isEmpty() && !IsInstanceName(names.first()))
        return Refuse(QStringLiteral("invalid instance name '%1': use 1 to 32 letters, digits, '-' or '_'").arg(names.first()));
    TCommandLine command;
    if (!names.isEmpty())
        command.Instance = names.first();
    const QStringList files = parser.values(options.Journal);
    if (files.size() > 1)
        return Refuse(QStringLiteral("--journal given more than once"));
    if (!files.isEmpty()) {
        if (files.first().isEmpty())
            return Refuse(QStringLiteral("--journal needs a file name, or '-' for standard output"));
        command.Journal = files.first();
    }
    command.JournalSensitive = parser.isSet(options.JournalSensitive);
    if (command.JournalSensitive && !command.Journal)
        return Refuse(QStringLiteral("--journal-sensitive goes with --journal FILE"));
    if (const std::optional<QString> error = ReadVerb(parser, options, command))
        return Refuse(*error);
    return command;
}
} // namespace

TCommandLine ReadCommandLine(int argc, char** argv) {
    if (argc <= 1)
        return {};
    // Only for the parser's decoding of the arguments; the program proper makes its own.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUELLOR_VERSION));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Gives a web browser the web pages of a device on a serial line. Without arguments it starts in\n"
        "the tray and serves the device at http://localhost:%1; without a display it runs headless\n"
        "and logs to standard error. Each --instance NAME is one more bridge, with settings of its own,\n"
        "for one more device on a TCP port of its own. --journal FILE asks the running bridge (or with\n"
        "--instance NAME that one) for its journal of exchanges and writes it as a HAR file, which\n"
        "browsers' network panels open; '-' writes it to standard output. The values of Cookie,\n"
        "Set-Cookie, Authorization and Proxy-Authorization are replaced unless --journal-sensitive is given.\n"
        "\n"
        "--status, --check, --detect and --reload ask the running bridge in the same way and print its answer.\n"
        "Exit status: 0 done; 1 no such bridge runs, or it did not answer; 2 a usage error; 3 the device did\n"
        "not answer (--check), no port answered (--detect), the settings were not applied (--reload).")
                                         .arg(DefaultNumber(key::TcpPort)));
    const TOptions options;
    parser.addOptions({options.Help, options.Version, options.Instance, options.Journal, options.JournalSensitive, options.Status,
                       options.Json, options.Check, options.Detect, options.Reload});
    if (!parser.parse(QCoreApplication::arguments()))
        return Refuse(parser.errorText());
    return Answer(parser, options);
}
