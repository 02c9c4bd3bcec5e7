#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <cstdio>

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

TCommandLine Refuse(const QString& error) {
    Print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(QCoreApplication::applicationName(), error));
    return {UsageError, {}};
}

// Qt's own options (-platform and the like) are not taken: the display comes from the environment.
struct TOptions {
    QCommandLineOption Help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help and exits.")};
    QCommandLineOption Version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Shows the program's version and exits.")};
    QCommandLineOption Instance{QStringLiteral("instance"), QStringLiteral("Runs the bridge NAME (A-Z a-z 0-9 - _, up to 32)."),
                                QStringLiteral("NAME")};
};

TCommandLine Answer(const QCommandLineParser& parser, const TOptions& options) {
    if (parser.isSet(options.Help)) {
        Print(stdout, parser.helpText());
        return {0, {}};
    }
    if (parser.isSet(options.Version)) {
        Print(stdout, QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()));
        return {0, {}};
    }
    if (!parser.positionalArguments().isEmpty())
        return Refuse(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const QStringList names = parser.values(options.Instance);
    if (names.isEmpty())
        return {};
    if (names.size() > 1)
        return Refuse(QStringLiteral("--instance given more than once"));
    if (!IsInstanceName(names.first()))
        return Refuse(QStringLiteral("invalid instance name '%1': use 1 to 32 letters, digits, '-' or '_'").arg(names.first()));
    return {std::nullopt, names.first()};
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
        "the tray and serves the device at http://localhost:24111; without a display it runs headless\n"
        "and logs to standard error. Each --instance NAME is one more bridge, with settings of its own,\n"
        "for one more device on a TCP port of its own."));
    const TOptions options;
    parser.addOptions({options.Help, options.Version, options.Instance});
    if (!parser.parse(QCoreApplication::arguments()))
        return Refuse(parser.errorText());
    return Answer(parser, options);
}
