// The installed program's command line: help and version answer, an instance needs a proper name,
// anything else is refused, and the manual page describes the options --help lists.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include "support/Running.h"

namespace {
struct TRun {
    int Status = -1;
    QByteArray Out, Errors;
};

QByteArray BadName(const QString& name) {
    return "quellor: invalid instance name '" + name.toUtf8() +
           "': use 1 to 32 letters, digits, '-' or '_'\nTry 'quellor --help'.\n";
}

TRun RunQuellorWith(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(QUELLOR_BINARY), arguments);
    process.waitForFinished(10000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}
} // namespace

TEST(CommandLine, HelpAndVersionAnswerAndExitWithoutStartingTheBridge) {
    for (const QString& option : {QString("--help"), QString("-h")}) {
        const TRun help = RunQuellorWith({option});
        EXPECT_EQ(help.Status, 0);
        EXPECT_TRUE(help.Out.contains("Usage: ")) << help.Out.constData();
        EXPECT_TRUE(help.Out.contains("-v, --version"));
        EXPECT_EQ(help.Errors, "") << "the bridge started";
    }
    const TRun version = RunQuellorWith({"--version"});
    EXPECT_EQ(version.Status, 0);
    EXPECT_EQ(version.Out, "quellor " QUELLOR_VERSION "\n");
}

TEST(CommandLine, UnknownOptionsAndArgumentsAreAClearErrorWithStatusTwo) {
    const std::pair<QStringList, QByteArray> cases[] = {
        {{"--bogus"}, "quellor: Unknown option 'bogus'.\nTry 'quellor --help'.\n"},
        {{"-platform", "offscreen"}, "quellor: Unknown option 'platform'.\nTry 'quellor --help'.\n"},
        {{"page.html"}, "quellor: unexpected argument 'page.html'\nTry 'quellor --help'.\n"},
        {{"--help", "--bogus"}, "quellor: Unknown option 'bogus'.\nTry 'quellor --help'.\n"},
        {{"--instance"}, "quellor: Missing value after '--instance'.\nTry 'quellor --help'.\n"},
        {{"--instance", "bench 1"}, BadName("bench 1")},
        {{"--instance="}, BadName("")},
        {{"--instance", "../bench"}, BadName("../bench")},
        {{"--instance", "b\u00e4nk"}, BadName("b\u00e4nk")},
        {{"--instance", "bench1\n"}, BadName("bench1\n")},
        {{"--instance", QString(33, 'a')}, BadName(QString(33, 'a'))},
        {{"--instance", "a", "--instance", "b"}, "quellor: --instance given more than once\nTry 'quellor --help'.\n"},
        {{"--instance", "bench1", "page.html"}, "quellor: unexpected argument 'page.html'\nTry 'quellor --help'.\n"},
        {{"--journal"}, "quellor: Missing value after '--journal'.\nTry 'quellor --help'.\n"},
        {{"--journal", ""}, "quellor: --journal needs a file name, or '-' for standard output\nTry 'quellor --help'.\n"},
        {{"--journal-sensitive"}, "quellor: --journal-sensitive goes with --journal FILE\nTry 'quellor --help'.\n"},
        {{"--journal", "a.har", "--journal", "b.har"}, "quellor: --journal given more than once\nTry 'quellor --help'.\n"},
    };
    for (const auto& [arguments, error] : cases) {
        const TRun run = RunQuellorWith(arguments);
        EXPECT_EQ(run.Status, 2) << arguments.join(' ').toStdString();
        EXPECT_EQ(run.Errors, error);
        EXPECT_EQ(run.Out, "");
    }
}

TEST(CommandLine, TheManualPageDescribesExactlyTheOptionsHelpLists) {
    QFile file(QStringLiteral(QUELLOR_MAN_PAGE));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString man = QString::fromUtf8(file.readAll());
    static const QRegularExpression optionLine(QStringLiteral("^  (?:-(\\w), )?--([\\w-]+)(?: <(\\w+)>)? +(.+)$"),
                                               QRegularExpression::MultilineOption);
    int options = 0;
    for (const QRegularExpressionMatch& match : optionLine.globalMatch(QString::fromUtf8(RunQuellorWith({"--help"}).Out))) {
        ++options;
        QString entry;
        if (!match.captured(1).isEmpty())
            entry = QStringLiteral(".BR \\-%1 \", \" \\-\\-%2\n%3\n").arg(match.captured(1), match.captured(2), match.captured(4));
        else if (!match.captured(3).isEmpty())
            entry = QStringLiteral(".BI \\-\\-%1 \" %2\"\n%3\n").arg(match.captured(2), match.captured(3), match.captured(4));
        else
            entry = QStringLiteral(".B \\-\\-%1\n%2\n").arg(match.captured(2), match.captured(4));
        EXPECT_TRUE(man.contains(entry)) << entry.toStdString();
    }
    EXPECT_EQ(options, 10);
    const QString section = man.section(QStringLiteral(".SH OPTIONS"), 1).section(QStringLiteral(".SH "), 0, 0);
    EXPECT_EQ(section.count(QStringLiteral(".BR ")) + section.count(QStringLiteral(".BI ")) + section.count(QStringLiteral(".B ")),
              options);
}

TEST(CommandLine, AHeadlessStartPrintsNoPlatformNoise) {
    TRunningProgram program;
    EXPECT_TRUE(program.WaitForLog("RS: ", 5000));
    EXPECT_FALSE(program.Errors.contains("propagateSizeHints")) << program.Errors.constData();
}
