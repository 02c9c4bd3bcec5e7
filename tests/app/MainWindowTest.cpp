#include <QAccessible>
#include <QAction>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <optional>

#include "app/Hub.h"
#include "bridge/ServerSocket.h"
#include "support/LinePeek.h"
#include "platform/Dialogs.h"
#include "platform/ShellOpen.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "serial/CommInt.h"
#include "settings/UtilsRegistry.h"
#include "support/PlayedDevice.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
QStringList Panels(TFrmMainRSServ& main) {
    QStringList texts;
    for (QLabel* panel : main.StatusPanels)
        texts << panel->text();
    return texts;
}

// The device answers a browser 42 ms, on the test clock, after the last byte of its answer came.
void AnswerABrowser42MsAfterTheLastByte(TProgram& program, std::optional<TPlayedDevice>& played) {
    uint32_t now = 1000;
    SetTickSource([&] { return now; });
    played.emplace(program);
    {
        TClient client(played->Port);
        played->Ask(client);
        played->AnswerAfter(client, now, 42);
    }
    SetTickSource({});
}
} // namespace

TEST(MainWindow, FirstStatusShowsNoClientsNoAnswerAndARedBar) {
    TProgram program;
    program.Main().UpdateStatus();
    EXPECT_EQ(Panels(program.Main()), (QStringList{"Com2", "Id:0", "c:0/0", "t:0"}));
    EXPECT_EQ(program.Main().statusBar()->palette().color(QPalette::Window), QColor(255, 0, 0));
    EXPECT_EQ(program.Main().TrayImageIndex, 0);

    std::optional<TPlayedDevice> played;
    AnswerABrowser42MsAfterTheLastByte(program, played);
    program.Main().UpdateStatus();
    EXPECT_EQ(Panels(program.Main())[3], "t:42");
    EXPECT_EQ(program.Main().statusBar()->palette().color(QPalette::Window), QColor(0, 128, 0));
    EXPECT_EQ(program.Main().TrayImageIndex, 1);
}

TEST(MainWindow, NoToTheCloseQuestionKeepsEverythingRunning) {
    TProgram program;
    TScriptedDialogs& dialogs = FreshDialogs();
    dialogs.Answers = {TBoxAnswer::No};
    program.Main().show();
    EXPECT_FALSE(program.Main().close());
    EXPECT_EQ(dialogs.Texts, QStringList{"Do you want to close the program?"});
    EXPECT_FALSE(ProgramClosing);
    EXPECT_FALSE(CommShutdown);
    EXPECT_TRUE(program.Main().isVisible());
}

TEST(MainWindow, YesSetsTheClosingFlagsAndDropsMessagesStillQueued) {
    // The line last had work at 7; a client's data handled makes it 5000.
    uint32_t now = 7;
    SetTickSource([&] { return now; });
    {
        TProgram control;
        control.Line().OnClientData(5);
        Peek(control.Line()).TimerCheck->stop();
        now = 5000;
        PostWinMessage(&control.Main(), WM_SV_TCP_READ, 5);
        QCoreApplication::processEvents();
        EXPECT_EQ(Peek(control.Line()).IdleSince, 5000u);
    }
    TProgram program;
    FreshDialogs().Answers = {TBoxAnswer::Yes};
    now = 7;
    program.Line().OnClientData(5);
    Peek(program.Line()).TimerCheck->stop();
    now = 5000;
    PostWinMessage(&program.Main(), WM_SV_TCP_READ, 5);
    EXPECT_TRUE(program.Main().FormCloseQuery());
    EXPECT_TRUE(ProgramClosing);
    EXPECT_TRUE(CommShutdown);
    QCoreApplication::processEvents();
    EXPECT_EQ(Peek(program.Line()).IdleSince, 7u);
    SetTickSource({});
}

TEST(MainWindow, TwoTransmitEmptyNoticesBeforeTheTimerTicksGiveOneContinue) {
    TProgram program;
    int ticks = 0;
    QObject::connect(program.Main().Timer2, &QTimer::timeout, [&] { ++ticks; });
    PostWinMessage(&program.Main(), WM_SV_RS_TXEMPTY, 1);
    PostWinMessage(&program.Main(), WM_SV_RS_TXEMPTY, 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(WaitUntil([&] { return !program.Main().Timer2->isActive(); }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(ticks, 1);
}

TEST(MainWindow, BrowserAddressIsBuiltAtStartUpAndAfterASave) {
    TProgram program;
    const quint16 first = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", first);
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    EXPECT_EQ(program.Main().BrowserURL, QStringLiteral("http:\\\\localhost:%1").arg(first));

    const quint16 second = FreeTcpPort();
    program.Params().EditTCPPort->setText(QString::number(second));
    EXPECT_EQ(program.Main().BrowserURL, QStringLiteral("http:\\\\localhost:%1").arg(first));
    FreshDialogs();
    program.Params().BtSaveClick();
    QCoreApplication::processEvents();
    EXPECT_EQ(program.Main().BrowserURL, QStringLiteral("http:\\\\localhost:%1").arg(second));
}

TEST(MainWindow, PanelsFollowTheWindowSize) {
    TProgram program;
    program.Main().show();
    program.Main().resize(500, 420);
    QCoreApplication::processEvents();
    const QFrame* frame = program.Main().PanelFrm;
    EXPECT_EQ(program.Main().PanelBt->geometry(), QRect(8, 8, frame->width() - 16, 89));
    EXPECT_EQ(program.Main().BitBtnDetect->width(), frame->width() - 32);
    EXPECT_EQ(program.Main().PanelTxt->geometry(), QRect(8, 89 + 16, frame->width() - 16, frame->height() - 89 - 24));
}

TEST(MainWindow, ShowRequestMakesTheHiddenWindowVisible) {
    TProgram program;
    ASSERT_FALSE(program.Main().isVisible());
    PostWinMessage(&program.Main(), WM_SV_SHOW, 1, 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(program.Main().isVisible());
    program.Main().N6Click();
    EXPECT_FALSE(program.Main().isVisible());
    program.Main().TrayIconDoubleClick();
    EXPECT_TRUE(program.Main().isVisible());
}

TEST(MainWindow, ProbeResultOpensTheBrowserOnlyWhenMarkedAndAnswered) {
    TProgram program;
    QStringList opened;
    SetShellOpenHook([&](const QString& text) { opened << text; });
    program.Main().BuildURL();
    program.Probe().StatusText = "COM3: Found Id\r\n";
    program.Probe().ProbeResult = 6;
    SendWinMessage(&program.Main(), WM_SV_DIST_STATE);
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_EQ(program.Main().StaticTextDevice->text(), "COM3: Found Id\n");

    program.Main().OpenBrowserPending = 1;
    program.Probe().ProbeResult = 3;
    SendWinMessage(&program.Main(), WM_SV_DIST_STATE);
    EXPECT_EQ(program.Main().OpenBrowserPending, 0);
    EXPECT_TRUE(opened.isEmpty());

    program.Main().OpenBrowserPending = 1;
    program.Probe().ProbeResult = 7;
    SendWinMessage(&program.Main(), WM_SV_DIST_STATE);
    SendWinMessage(&program.Main(), WM_SV_DIST_STATE);
    EXPECT_EQ(opened, QStringList{"http:\\\\localhost:24111"});
    SetShellOpenHook({});
}

TEST(MainWindow, ANamedBridgeShowsItsNameAndKeepsItsSettingsBesideTheDefaultOnes) {
    {
        TProgram standard("NameTest");
        EXPECT_EQ(standard.Main().windowTitle(), "Quellor");
        EXPECT_EQ(standard.Main().TrayIcon1->toolTip(), "");
        EXPECT_TRUE(SettingsFilePath().endsWith("/NORVEL-Q/NameTest.conf"));
    }
    TProgram named("NameTest", "bench1");
    EXPECT_EQ(named.Main().windowTitle(), "Quellor (bench1)");
    EXPECT_EQ(named.Main().TrayIcon1->toolTip(), "Quellor (bench1)");
    EXPECT_TRUE(SettingsFilePath().endsWith("/NORVEL-Q/NameTest-bench1.conf"));
    named.Probe().StatusText = "COM1: COM Error";
    named.Main().UpdateStatus();
    EXPECT_EQ(named.Main().TrayIcon1->toolTip(), "Quellor (bench1)\nCOM1: COM Error");
    named.Probe().StatusText.clear();
    named.Main().UpdateStatus();
    EXPECT_EQ(named.Main().TrayIcon1->toolTip(), "Quellor (bench1)");
}

namespace {
QString AccessibleName(QObject* control) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(control);
    return face ? face->text(QAccessible::Name) : QString();
}
} // namespace

// The address, where Start sent the browser, and both after a save moved the server.
TEST(MainWindow, TheAddressIsALinkBelowTheStatusInTheTrayTipAndInBothMenusAndStartSaysWhereItWent) {
    TProgram program;
    TFrmMainRSServ& main = program.Main();
    QStringList opened;
    SetShellOpenHook([&](const QString& text) { opened << text; });
    const quint16 first = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", first);
    main.StartUp();
    Peek(program.Line()).TimerCheck->stop();
    const QString shown = QStringLiteral("http://localhost:%1").arg(first);
    EXPECT_TRUE(main.LabelBrowserURL->text().contains(">" + shown + "</a>"));
    EXPECT_TRUE(main.TrayIcon1->toolTip().endsWith("\n" + shown));
    emit main.LabelBrowserURL->linkActivated(shown);
    main.findChild<QAction*>("OpenBrowser1")->trigger();
    main.PopupMenu1->findChild<QAction*>("N8")->trigger();
    EXPECT_EQ(opened, QStringList(3, QStringLiteral("http:\\\\localhost:%1").arg(first)));

    // Beside the existing layout, which keeps its width; Tab goes from Start to the link.
    main.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(main.width(), 325);
    const QRect link = main.LabelBrowserURL->geometry();
    EXPECT_EQ(main.LabelBrowserURL->parentWidget(), main.PanelTxt);
    EXPECT_LT(main.StaticTextDevice->geometry().bottom(), link.top());
    EXPECT_TRUE(main.PanelTxt->rect().contains(link));
    EXPECT_LE(main.LabelBrowserURL->sizeHint().width(), link.width());
    EXPECT_LE(main.LabelBrowserURL->sizeHint().height(), link.height());
    QWidget* next = main.BitBtnDetect->nextInFocusChain();
    while (!(next->focusPolicy() & Qt::TabFocus))
        next = next->nextInFocusChain();
    EXPECT_EQ(next, main.LabelBrowserURL);

    program.Probe().StatusText = "COM1: Found Device\r\nid";
    program.Probe().ProbeResult = prFoundDevice;
    main.OpenBrowserPending = 1;
    SendWinMessage(&main, WM_SV_DIST_STATE);
    SendWinMessage(&main, WM_SV_DIST_STATE);
    EXPECT_EQ(main.StaticTextDevice->text(), "COM1: Found Device\nid\nBrowser opened at " + shown);
    EXPECT_EQ(opened.size(), 4);

    const quint16 second = FreeTcpPort();
    program.Params().EditTCPPort->setText(QString::number(second));
    FreshDialogs();
    program.Params().BtSaveClick();
    QCoreApplication::processEvents();
    Peek(program.Line()).TimerCheck->stop();
    const QString moved = QStringLiteral("http://localhost:%1").arg(second);
    EXPECT_TRUE(main.LabelBrowserURL->text().contains(">" + moved + "</a>"));
    EXPECT_TRUE(main.TrayIcon1->toolTip().endsWith("\n" + moved));
    EXPECT_TRUE(main.StaticTextDevice->text().endsWith("Browser opened at " + moved));
    // COM1 goes nowhere: the check's result comes at once, without the note.
    main.CheckDevice1Click();
    EXPECT_TRUE(main.StaticTextDevice->text().startsWith("COM1: COM Error"));
    EXPECT_FALSE(main.StaticTextDevice->text().contains("Browser opened"));
    SetShellOpenHook({});
}

TEST(MainWindow, ACheckDeviceCalledOffShowsTheLastResultAgain) {
    TProgram program;
    TFrmMainRSServ& main = program.Main();
    TPlayedDevice played(program);
    TLine& line = program.Line();
    program.Probe().StatusText = "COM1: Time Out";
    program.Probe().ProbeResult = prTimeOut;
    SendWinMessage(&main, WM_SV_DIST_STATE);
    TClient client(played.Port);
    played.Ask(client);
    main.CheckDevice1Click();
    EXPECT_EQ(main.StaticTextDevice->text(), "Check..");
    line.CancelAll();
    EXPECT_EQ(main.StaticTextDevice->text(), "COM1: Time Out");
    played.Answer(client);
    EXPECT_TRUE(line.IsIdle());
}

TEST(MainWindow, StatusPanelsSayWhatTheyCountAndEveryControlHasAName) {
    TProgram program;
    TFrmMainRSServ& main = program.Main();
    std::optional<TPlayedDevice> played;
    AnswerABrowser42MsAfterTheLastByte(program, played);
    ASSERT_TRUE(WaitUntil([&] { return program.Tcp().ServerSocket1->ActiveConnections() == 0; }));
    main.UpdateStatus();
    EXPECT_EQ(main.StatusPanels[2]->toolTip(), "Connections open / clients waiting");
    EXPECT_EQ(AccessibleName(main.StatusPanels[2]), "Connections open / clients waiting: 0 / 0");
    EXPECT_EQ(AccessibleName(main.StatusPanels[3]), "Last answer time: 42 ms");
    // Qt's own inner controls (the menu bar's extension button) aside.
    for (QWidget* control : main.findChildren<QWidget*>())
        if ((qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control)) &&
            !control->objectName().startsWith("qt_")) {
            EXPECT_FALSE(AccessibleName(control).isEmpty()) << control->objectName().toStdString();
        }
}

TEST(MainWindow, EveryMenuHasALetterOfItsOwnAndF10OpensTheFirst) {
    TProgram program;
    TFrmMainRSServ& main = program.Main();
    const auto letters = [](const QList<QAction*>& actions) {
        QList<QKeySequence> keys;
        for (const QAction* action : actions) {
            if (action->isSeparator())
                continue;
            const QKeySequence key = QKeySequence::mnemonic(action->text());
            EXPECT_FALSE(key.isEmpty()) << action->text().toStdString();
            EXPECT_FALSE(keys.contains(key)) << action->text().toStdString();
            keys << key;
        }
        return keys;
    };
    const QList<QAction*> bar = main.menuBar()->actions();
    EXPECT_EQ(letters(bar).value(0), QKeySequence(Qt::ALT | Qt::Key_A));
    letters(bar[0]->menu()->actions());
    letters(main.PopupMenu1->actions());

    main.show();
    main.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    QTest::keyClick(&main, Qt::Key_F10);
    QCoreApplication::processEvents();
    EXPECT_EQ(main.menuBar()->activeAction(), bar[0]);
    EXPECT_TRUE(bar[0]->menu()->isVisible());
    bar[0]->menu()->hide();
    QCoreApplication::processEvents();
    QTest::keyClick(&main, Qt::Key_A, Qt::AltModifier);
    QCoreApplication::processEvents();
    EXPECT_TRUE(bar[0]->menu()->isVisible());
    bar[0]->menu()->hide();
}
