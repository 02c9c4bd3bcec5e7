#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace {
constexpr int UsageError = 2;

void Print(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}
} // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
    if (argc <= 1)
        return std::nullopt;
    // Only for the parser's decoding of the arguments; the program proper makes its own.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUELLOR_VERSION));
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Gives a web browser the web pages of a device on a serial line. Without arguments it starts in\n"
        "the tray and serves the device at http://localhost:24111; without a display it runs headless\n"
        "and logs to standard error."));
    // Qt's own options (-platform and the like) are not taken: the display comes from the environment.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version and exits."));
    parser.addOption(help);
    parser.addOption(version);
    const QString name = QCoreApplication::applicationName();
    if (!parser.parse(QCoreApplication::arguments())) {
        Print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(name, parser.errorText()));
        return UsageError;
    }
    if (parser.isSet(help)) {
        Print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(version)) {
        Print(stdout, QStringLiteral("%1 %2\n").arg(name, QCoreApplication::applicationVersion()));
        return 0;
    }
    Print(stderr, QStringLiteral("%1: unexpected argument '%2'\nTry '%1 --help'.\n").arg(name, parser.positionalArguments().value(0)));
    return UsageError;
}
