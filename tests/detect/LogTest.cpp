// The Information window's log and buttons.
#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTextCursor>
#include <gtest/gtest.h>
#include <random>

#include "app/Hub.h"
#include "detect/EnumDevices.h"
#include "journal/JournalView.h"
#include "platform/Dialogs.h"
#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
// The log's lines without their time stamps, which the window's locale writes.
QStringList Unstamped(const TProgram& program) {
    QStringList lines;
    for (const QString& line : program.LogLines())
        lines << (line.contains(" RS: ") ? line.mid(line.indexOf(" RS: ") + 1) : line);
    return lines;
}

// "  (the last 3 lines repeated 40 times)", as the copy on standard error words it.
QString Count(int group, int repeats) {
    const QString lines = group == 1 ? QStringLiteral("line") : QStringLiteral("%1 lines").arg(group);
    return QStringLiteral("  (the last %1 repeated %2 time%3)").arg(lines).arg(repeats).arg(repeats == 1 ? "" : "s");
}
} // namespace

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
    EXPECT_EQ(dist.Memo1->textCursor().position(), dist.Memo1->document()->lastBlock().position());
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

TEST(InformationLog, AHundredIdenticalLinesAreOneLineAndACountUpdatedInPlace) {
    TProgram program;
    TDistForm& dist = program.Dist();
    dist.AddLogLine("RS: COM1 Open", true);
    for (int i = 1; i <= 100; ++i) {
        dist.AddLogLine("RS: COM1 Tx Error!", true);
        const QStringList lines = Unstamped(program);
        ASSERT_EQ(lines.size(), i == 1 ? 2 : 3) << i;
        if (i > 1) {
            EXPECT_EQ(lines[2], Count(1, i - 1));
        }
    }
    EXPECT_EQ(Unstamped(program), (QStringList{"RS: COM1 Open", "RS: COM1 Tx Error!", Count(1, 99)}));
    // The first line that breaks the run is shown at once; a new run begins afresh.
    dist.AddLogLine("RS: COM1 Open", true);
    dist.AddLogLine("RS: COM1 Tx Error!", true);
    EXPECT_EQ(Unstamped(program), (QStringList{"RS: COM1 Open", "RS: COM1 Tx Error!", Count(1, 99), "RS: COM1 Open",
                                               "RS: COM1 Tx Error!"}));
    EXPECT_EQ(dist.Memo1->textCursor().position(), dist.Memo1->document()->lastBlock().position());
}

TEST(InformationLog, AGroupOfThreeThatRepeatsIsShownOnceAndAHalfRoundIsNotLost) {
    TProgram program;
    TDistForm& dist = program.Dist();
    // The serial side's lines while the device is unplugged, twice for every probe.
    const auto probe = [&] {
        for (int twice = 0; twice < 2; ++twice) {
            dist.AddLogLine("RS: COM1 Tx Error!", true);
            dist.AddLogLine("RS: COM1 Open Error!", true);
            dist.AddLogLine("RS: COM1 is /dev/ttyS0, which does not exist\r\n(is the device plugged in?)", true);
        }
    };
    for (int i = 0; i < 600; ++i)
        probe();
    const QStringList group{"RS: COM1 Tx Error!", "RS: COM1 Open Error!", "RS: COM1 is /dev/ttyS0, which does not exist",
                            "(is the device plugged in?)"};
    EXPECT_EQ(Unstamped(program), (group + QStringList{Count(3, 1199)}));
    // Part of a round is shown while it comes, and stays when the round breaks.
    dist.AddLogLine("RS: COM1 Tx Error!", true);
    dist.AddLogLine("RS: COM1 Open Error!", true);
    EXPECT_EQ(Unstamped(program), (group + QStringList{Count(3, 1199), "RS: COM1 Tx Error!", "RS: COM1 Open Error!"}));
    dist.AddLogLine("RS: Open COM1", true);
    EXPECT_EQ(Unstamped(program), (group + QStringList{Count(3, 1199), "RS: COM1 Tx Error!", "RS: COM1 Open Error!",
                                                       "RS: Open COM1"}));
}

TEST(InformationLog, ClearLogAndTheListOfPortsEndARun) {
    TProgram program;
    TDistForm& dist = program.Dist();
    for (int i = 0; i < 3; ++i)
        dist.AddLogLine("RS: COM1 Tx Error!", false);
    EXPECT_EQ(program.LogLines(), (QStringList{" RS: COM1 Tx Error!", Count(1, 2)}));
    dist.BtClearClick();
    dist.AddLogLine("RS: COM1 Tx Error!", false);
    EXPECT_EQ(program.LogLines(), QStringList{" RS: COM1 Tx Error!"});
    dist.AddLogLine("RS: COM1 Tx Error!", false);
    dist.AppendMemoLines({"COM3=Mapped port (/dev/null)", "COM3=Mapped port (/dev/null)"});
    dist.AddLogLine("RS: COM1 Tx Error!", false);
    EXPECT_EQ(program.LogLines(), (QStringList{" RS: COM1 Tx Error!", Count(1, 1), "COM3=Mapped port (/dev/null)",
                                               "COM3=Mapped port (/dev/null)", " RS: COM1 Tx Error!"}));
}

TEST(InformationLog, NewLinesNeitherScrollSidewaysNorTakeAReaderWhoScrolledUpAway) {
    TProgram program;
    TDistForm& dist = program.Dist();
    dist.resize(900, 500);
    dist.show();
    QCoreApplication::processEvents();
    QScrollBar* across = dist.Memo1->horizontalScrollBar();
    QScrollBar* down = dist.Memo1->verticalScrollBar();
    dist.AddLogLine("RS: " + QByteArray(3000, 'x'), true);
    dist.AddLogLine("short", true);
    QCoreApplication::processEvents();
    ASSERT_GT(across->maximum(), 0);
    EXPECT_EQ(across->value(), 0);
    dist.AddLogLine("RS: " + QByteArray(4000, 'y'), true);
    EXPECT_EQ(across->value(), 0);
    EXPECT_EQ(dist.Memo1->textCursor().position(), dist.Memo1->document()->lastBlock().position());
    across->setValue(120);
    dist.AddLogLine("RS: " + QByteArray(5000, 'z'), true);
    EXPECT_EQ(across->value(), 120);

    for (int i = 0; i < 250; ++i)
        dist.AddLogLine("line " + QByteArray::number(i), false);
    QCoreApplication::processEvents();
    EXPECT_EQ(down->value(), down->maximum());
    // A window made smaller moves the end without an append: the log still follows it.
    dist.resize(900, 300);
    QCoreApplication::processEvents();
    dist.AddLogLine("after the resize", false);
    QCoreApplication::processEvents();
    EXPECT_EQ(down->value(), down->maximum());
    EXPECT_EQ(dist.Memo1->cursorForPosition(QPoint(2, dist.Memo1->viewport()->height() - 4)).block().text(), " after the resize");
    down->setValue(20);
    const QString read = dist.Memo1->cursorForPosition(QPoint(2, 2)).block().text();
    const int caret = dist.Memo1->textCursor().blockNumber();
    for (int i = 0; i < 5; ++i)
        dist.AddLogLine("later " + QByteArray::number(i), false);
    QCoreApplication::processEvents();
    EXPECT_EQ(dist.Memo1->cursorForPosition(QPoint(2, 2)).block().text(), read);
    EXPECT_LT(down->value(), down->maximum());
    EXPECT_LE(dist.Memo1->textCursor().blockNumber(), caret);
    // Back at the bottom, the log follows again.
    down->setValue(down->maximum());
    dist.AddLogLine("last", false);
    QCoreApplication::processEvents();
    EXPECT_EQ(down->value(), down->maximum());
    EXPECT_EQ(dist.Memo1->textCursor().block().text(), " last");
}

TEST(InformationWindow, TheDefaultSizeShowsEveryColumnOfTheExchangesWithinTheScreen) {
    TProgram program;
    TDistForm& dist = program.Dist();
    const QSize view = dist.Exchanges->sizeHint();
    dist.PlaceDefault(QSize(1920, 1080));
    EXPECT_GE(dist.width(), 1280);
    EXPECT_GE(dist.height(), 640);
    const QList<int> sizes = dist.SplitLog->sizes();
    EXPECT_GE(sizes[1], view.width());
    EXPECT_NEAR(sizes[0] * 100.0 / (sizes[0] + sizes[1]), 30, 5);
    EXPECT_GE(dist.SplitLog->height(), view.height());

    dist.PlaceDefault(QSize(1024, 560));
    EXPECT_LE(dist.width(), 1024);
    EXPECT_LE(dist.height(), 560);
    EXPECT_EQ(dist.SplitLog->geometry(), QRect(8, 64, dist.width() - 16, dist.height() - 72));
}

TEST(InformationWindow, AtItsLeastSizeNothingOverlaps) {
    TProgram program;
    TDistForm& dist = program.Dist();
    dist.show();
    dist.resize(1, 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(dist.size(), dist.minimumSize());
    EXPECT_EQ(dist.BtClear->geometry(), QRect(216, 16, 113, 25));
    EXPECT_LE(dist.BtClear->geometry().right(), dist.width() - 8);
    EXPECT_GT(dist.SplitLog->geometry().top(), dist.BtClear->geometry().bottom());
    for (QWidget* pane : {static_cast<QWidget*>(dist.Memo1), static_cast<QWidget*>(dist.Exchanges)}) {
        EXPECT_GE(pane->width(), pane->minimumSizeHint().width()) << pane->objectName().toStdString();
        EXPECT_GE(pane->height(), pane->minimumSizeHint().height()) << pane->objectName().toStdString();
    }
    EXPECT_LE(dist.Exchanges->geometry().right(), dist.SplitLog->width() - 1);
}

TEST(InformationWindow, TheSplitterKeepsItsPlaceAcrossRunsAndABadPlaceIsIgnored) {
    QFile::remove(SettingsFilePath());
    int placed = 0;
    int fresh = 0;
    {
        TProgram program;
        TDistForm& dist = program.Dist();
        fresh = dist.SplitLog->sizes()[0];
        dist.show();
        const int inside = dist.SplitLog->width() - dist.SplitLog->handleWidth();
        dist.SplitLog->setSizes({fresh + 60, inside - fresh - 60});
        placed = dist.SplitLog->sizes()[0];
        ASSERT_NE(placed, fresh);
        emit dist.SplitLog->splitterMoved(placed, 1);
        EXPECT_TRUE(dist.TimerSplit->isActive());
        dist.hide();
        EXPECT_EQ(SettingsReadInteger(key::InformationSplit, 0), placed);
    }
    {
        TProgram program;
        EXPECT_EQ(program.Dist().SplitLog->sizes()[0], placed);
        QSplitter* split = program.Dist().SplitLog;
        split->setSizes({placed - 30, split->width() - split->handleWidth() - placed + 30});
        program.Dist().StoreSplit();
        EXPECT_EQ(SettingsReadInteger(key::InformationSplit, 0), placed - 30);
    }
    for (const char* bad : {"wide", "-40", "0", "100000"}) {
        SettingsWriteString(key::InformationSplit, bad);
        TProgram program;
        EXPECT_EQ(program.Dist().SplitLog->sizes()[0], fresh) << bad;
    }
    QFile::remove(SettingsFilePath());
}

// Lines that alternate in patterns of every length, with texts of two lines among them: the log
// collapses what repeats, and what it shows, with each count read back as its repeats, is every
// line that came, in order.
TEST(InformationLog, PatternsOfRepeatsLoseNoLine) {
    const QStringList texts{"RS: a", "RS: b", "RS: c\r\n(d)", "RS: e", "RS: f"};
    std::mt19937 random(4711);
    static const QRegularExpression countLine(QStringLiteral("^  \\(the last (?:(\\d+) )?lines? repeated (\\d+) times?\\)$"));
    for (int round = 0; round < 40; ++round) {
        TProgram program;
        TDistForm& dist = program.Dist();
        QStringList sent;
        while (sent.size() < 90) {
            QStringList group;
            const int size = 1 + static_cast<int>(random() % 5);
            for (int i = 0; i < size; ++i)
                group << texts[static_cast<int>(random() % texts.size())];
            const int times = 1 + static_cast<int>(random() % 4);
            const int cut = static_cast<int>(random() % (size + 1));
            for (int time = 0; time < times; ++time)
                for (int i = 0; i < (time == times - 1 ? cut : size); ++i)
                    sent << group[i];
        }
        for (const QString& text : sent)
            dist.AddLogLine(text.toUtf8(), false);
        QStringList shown;
        QStringList read;
        for (const QString& block : program.LogLines()) {
            if (const QRegularExpressionMatch count = countLine.match(block); count.hasMatch()) {
                const int size = count.captured(1).isEmpty() ? 1 : count.captured(1).toInt();
                ASSERT_LE(size, shown.size()) << round;
                const QStringList group = shown.mid(shown.size() - size);
                for (int time = 0; time < count.captured(2).toInt(); ++time)
                    read << group;
            } else if (block.startsWith(QLatin1Char('(')) && !shown.isEmpty()) {
                shown.last() += QStringLiteral("\r\n") + block;
                read.last() = shown.last();
            } else {
                shown << block.mid(1);
                read << shown.last();
            }
        }
        ASSERT_EQ(read, sent) << round << "\n" << program.LogLines().join(QLatin1Char('\n')).toStdString();
    }
}
