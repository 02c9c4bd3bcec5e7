// The Information window's log and buttons.
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTextCursor>
#include <gtest/gtest.h>

#include "app/Hub.h"
#include "detect/EnumDevices.h"
#include "journal/JournalView.h"
#include "platform/Dialogs.h"
#include "support/Program.h"
#include "support/Pty.h"

TEST(InformationLog, KeepsAtMost201LinesTrimmingBeforeEachAppend) {
    TProgram program;
    TDistForm& dist = program.Dist();
    for (int i = 1; i <= 200; ++i)
        dist.AddLogLine(QByteArray::number(i), false);
    EXPECT_EQ(program.LogLines().size(), 200);
    dist.AddLogLine("201", false);
    EXPECT_EQ(program.LogLines().size(), 201);
    dist.AddLogLine("202", false);
    const QStringList lines = program.LogLines();
    EXPECT_EQ(lines.size(), 201);
    EXPECT_EQ(lines.first(), " 2");
    EXPECT_EQ(lines.last(), " 202");
    EXPECT_EQ(dist.Memo1->textCursor().position(), dist.Memo1->document()->characterCount() - 1);
}

TEST(InformationLog, LinesCarryAStampAndABlankAndShowNulAsHashZero) {
    TProgram program;
    TDistForm& dist = program.Dist();
    dist.AddLogLine(QByteArray("RS: a\0b", 7), true);
    dist.AddLogLine("COM3: Found Device\r\nbody", true);
    dist.AddLogLine("", false);
    const QStringList lines = program.LogLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].endsWith(" RS: a#0b"));
    EXPECT_FALSE(lines[0].startsWith(" "));
    EXPECT_TRUE(lines[0].contains(QDate::currentDate().toString("yyyy")) ||
                lines[0].contains(QDate::currentDate().toString("yy")));
    EXPECT_TRUE(lines[1].endsWith(" COM3: Found Device"));
    EXPECT_EQ(lines[2], "body");
    EXPECT_EQ(lines[3], " ");
}

TEST(InformationLog, ReentryIsRefusedAndClosingSilencesTheLog) {
    TProgram program;
    TDistForm& dist = program.Dist();
    TScriptedDialogs& dialogs = FreshDialogs();
    dist.LogBusy = true;
    dist.AddLogLine("dropped", true);
    EXPECT_EQ(dialogs.Texts, QStringList{"Error (1)"});
    EXPECT_TRUE(program.LogLines().isEmpty());
    dist.LogBusy = false;
    ProgramClosing = true;
    dist.AddLogLine("late", true);
    EXPECT_TRUE(program.LogLines().isEmpty());
    ProgramClosing = false;
}

TEST(InformationWindow, AvailablePortsListsThePortsBetweenBlankLines) {
    TProgram program;
    TDistForm& dist = program.Dist();
    QTemporaryDir root;
    QDir().mkpath(root.path() + "/sys/class/tty");
    dist.EnumSources->SysfsRoot = root.path() + "/sys";
    dist.EnumSources->MapFolder = root.path() + "/ports";
    dist.BtEnumRSClick();
    EXPECT_EQ(program.LogLines(), (QStringList{" ", " "}));

    QDir().mkpath(root.path() + "/ports");
    QFile::link("/dev/null", root.path() + "/ports/COM3");
    dist.BtEnumRSClick();
    EXPECT_EQ(program.LogLines(), (QStringList{" ", " ", " ", "COM3=Mapped port (/dev/null)", " "}));

    dist.BtClearClick();
    EXPECT_TRUE(program.LogLines().isEmpty());
    dist.EnumSources->SysfsRoot = "/nonexistent";
    dist.BtEnumRSClick();
    EXPECT_EQ(program.LogLines(), QStringList{" "});
}

TEST(InformationWindow, TheLogAndTheExchangesBesideItFollowTheWindowSize) {
    TProgram program;
    TDistForm& dist = program.Dist();
    dist.show();
    dist.resize(1000, 500);
    QCoreApplication::processEvents();
    EXPECT_EQ(dist.SplitLog->geometry(), QRect(8, 64, 1000 - 16, 500 - 72));
    EXPECT_EQ(dist.Memo1->parentWidget(), static_cast<QWidget*>(dist.SplitLog));
    EXPECT_EQ(dist.Memo1->geometry().left(), 0);
    EXPECT_EQ(dist.Memo1->height(), 500 - 72);
    ASSERT_NE(dist.Exchanges, nullptr);
    EXPECT_GT(dist.Exchanges->geometry().left(), dist.Memo1->geometry().right());
    EXPECT_EQ(dist.Exchanges->height(), 500 - 72);
}
