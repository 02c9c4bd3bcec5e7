#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/Hub.h"
#include "support/LinePeek.h"
#include "platform/Dialogs.h"
#include "platform/ShellOpen.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "serial/CommInt.h"
#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
QStringList Panels(TFrmMainRSServ& main) {
    QStringList texts;
    for (QLabel* panel : main.StatusPanels)
        texts << panel->text();
    return texts;
}
} // namespace

TEST(MainWindow, FirstStatusShowsNoClientsNoAnswerAndARedBar) {
    TProgram program;
    program.Main().UpdateStatus();
    EXPECT_EQ(Panels(program.Main()), (QStringList{"Com2", "Id:0", "c:0/0", "t:0"}));
    EXPECT_EQ(program.Main().statusBar()->palette().color(QPalette::Window), QColor(255, 0, 0));
    EXPECT_EQ(program.Main().TrayImageIndex, 0);

    Peek(program.Line()).DeviceOk = true;
    Peek(program.Line()).AnswerTime = 42;
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
    SetTickSource([] { return 5000u; });
    {
        TProgram control;
        Peek(control.Line()).IdleSince = 7;
        PostWinMessage(&control.Main(), WM_SV_TCP_READ, 5);
        QCoreApplication::processEvents();
        EXPECT_EQ(Peek(control.Line()).IdleSince, 5000u);
    }
    TProgram program;
    FreshDialogs().Answers = {TBoxAnswer::Yes};
    Peek(program.Line()).IdleSince = 7;
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
