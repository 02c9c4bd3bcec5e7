// Desktop notifications when the configured device stops answering and answers again.
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>
#include <optional>

#include "app/DeviceNotice.h"
#include "support/LinePeek.h"
#include "platform/ShellOpen.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/PlayedDevice.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
constexpr qint64 Minute = TDeviceNotice::QuietMs;

// A decider on a clock the test moves, and what it told.
struct TNotices {
    qint64 Now = 5000;
    QStringList Told;
    TDeviceNotice Notice{[this] { return Now; }, [this](const QString& text, bool) { Told << text; }};
};
} // namespace

TEST(DeviceNotice, OneForEachChangeAtMostOneAMinuteForEachPortAndTheStateAfterTheMinuteCounts) {
    TNotices n;
    n.Notice.Observe("COM1", true, {});
    n.Notice.Observe("COM3", true, {});
    EXPECT_TRUE(n.Told.isEmpty()) << "the state first seen is no change";
    n.Notice.Observe("COM1", false, "COM1 does not exist");
    n.Notice.Observe("COM1", false, "no answer in 3 s");
    n.Notice.Observe("COM3", false, "no answer in 3 s");
    EXPECT_EQ(n.Told, (QStringList{"The device on COM1 stopped answering: COM1 does not exist",
                                   "The device on COM3 stopped answering: no answer in 3 s"}));
    // COM1 flaps within the minute and ends where it was told last: nothing more.
    for (int i = 0; i < 20; ++i) {
        n.Now += 1000;
        n.Notice.Observe("COM1", i % 2 == 0, {});
    }
    // COM3 comes back within the minute: told once the minute is over, not before.
    n.Notice.Observe("COM3", true, {});
    ASSERT_TRUE(n.Notice.NextDue());
    EXPECT_EQ(*n.Notice.NextDue(), Minute - 20000);
    n.Now += Minute - 20000 - 1;
    n.Notice.Tick();
    EXPECT_EQ(n.Told.size(), 2);
    n.Now += 1;
    n.Notice.Tick();
    EXPECT_EQ(n.Told.last(), "The device on COM3 answers again");
    EXPECT_FALSE(n.Notice.NextDue());
    // A minute after its notification COM1 is told at once.
    n.Notice.Observe("COM1", true, {});
    EXPECT_EQ(n.Told.last(), "The device on COM1 answers again");
    EXPECT_EQ(n.Told.size(), 4);
}

TEST(DeviceNotice, NoneWhileSwitchedOffNorLaterForWhatHappenedMeanwhile) {
    TNotices n;
    n.Notice.Observe("COM1", true, {});
    n.Notice.Observe("COM1", false, "COM1 does not exist");
    n.Notice.Observe("COM1", true, {});
    ASSERT_TRUE(n.Notice.NextDue());
    n.Notice.SetEnabled(false);
    EXPECT_FALSE(n.Notice.NextDue());
    n.Notice.Observe("COM1", false, "COM1 does not exist");
    n.Now += 2 * Minute;
    n.Notice.Tick();
    n.Notice.SetEnabled(true);
    n.Notice.Tick();
    n.Notice.Observe("COM1", false, "COM1 does not exist");
    EXPECT_EQ(n.Told, QStringList{"The device on COM1 stopped answering: COM1 does not exist"});
    n.Notice.Observe("COM1", true, {});
    EXPECT_EQ(n.Told.last(), "The device on COM1 answers again");
}

namespace {
// The main window with a tray, as on a desktop, its notifications recorded, on a clock the test moves.
struct TDesktop {
    uint32_t Now = 1000;
    bool Clock = [this] {
        SetTickSource([this] { return Now; });
        return true;
    }();
    TProgram Program;
    std::optional<TPlayedDevice> Played;
    QList<QPair<QString, QString>> Shown;

    TDesktop() {
        QFile::remove(SettingsFilePath());
        Played.emplace(Program);
        Program.Main().Notify = [this](const QString& title, const QString& text) { Shown.append({title, text}); };
        Program.Main().TrayIcon1->show();
    }
    ~TDesktop() {
        Program.Main().TrayIcon1->hide();
        SetTickSource({});
        QFile::remove(SettingsFilePath());
    }
    // A probe's result on the configured port: the line saw the device answer, or its port fail.
    void Probed(bool answers) {
        TLine& line = Program.Line();
        if (answers) {
            MakeDeviceAnswer(line, Played->Device);
            Peek(line).TimerCheck->stop();
        } else {
            line.PortFailed();
        }
        Program.Probe().ProbeResult = answers ? prFoundDevice : prComError;
        Program.Probe().StatusText = answers ? "COM1: Found Device\r\nid" : "COM1: COM Error";
        Program.Rs().OpenFailure = answers ? QString() : QStringLiteral("/nonexistent/COM1 does not exist");
        SendWinMessage(&Program.Main(), WM_SV_DIST_STATE);
    }
};
} // namespace

TEST(DeviceNotifications, TheTrayTellsOnceWhenTheConfiguredDeviceGoesAndOnceItsMinuteIsOverWhenItComesBack) {
    TDesktop desktop;
    TFrmMainRSServ& main = desktop.Program.Main();
    desktop.Probed(true);
    desktop.Probed(true);
    EXPECT_TRUE(desktop.Shown.isEmpty());
    desktop.Probed(false);
    desktop.Probed(false);
    ASSERT_EQ(desktop.Shown.size(), 1);
    EXPECT_EQ(desktop.Shown[0].first, "Quellor");
    EXPECT_EQ(desktop.Shown[0].second, "The device on COM1 stopped answering: /nonexistent/COM1 does not exist");
    // A click on it opens nothing; one on the notification that it answers opens its pages.
    QStringList opened;
    SetShellOpenHook([&](const QString& text) { opened << text; });
    emit main.TrayIcon1->messageClicked();
    EXPECT_TRUE(opened.isEmpty());
    desktop.Now += 3000;
    desktop.Probed(true);
    EXPECT_EQ(desktop.Shown.size(), 1);
    ASSERT_TRUE(main.TimerNotice->isActive());
    EXPECT_EQ(main.TimerNotice->interval(), Minute - 3000);
    desktop.Now += Minute - 3000;
    main.TimerNoticeTimer();
    ASSERT_EQ(desktop.Shown.size(), 2);
    EXPECT_EQ(desktop.Shown[1].second, "The device on COM1 answers again");
    EXPECT_FALSE(main.TimerNotice->isActive());
    emit main.TrayIcon1->messageClicked();
    EXPECT_EQ(opened.size(), 1);
    SetShellOpenHook({});
}

TEST(DeviceNotifications, NoneWhenSwitchedOffInTheSettingsWithoutATrayOrDuringAPass) {
    TDesktop desktop;
    TFrmMainRSServ& main = desktop.Program.Main();
    desktop.Probed(true);
    desktop.Program.Params().CheckBoxNotifications->setChecked(false);
    FreshDialogs();
    ASSERT_TRUE(desktop.Program.Params().BtSaveClick());
    QCoreApplication::processEvents();
    Peek(desktop.Program.Line()).TimerCheck->stop();
    desktop.Probed(false);
    desktop.Now += 2 * Minute;
    main.TimerNoticeTimer();
    EXPECT_TRUE(desktop.Shown.isEmpty());

    desktop.Program.Params().CheckBoxNotifications->setChecked(true);
    ASSERT_TRUE(desktop.Program.Params().BtSaveClick());
    QCoreApplication::processEvents();
    Peek(desktop.Program.Line()).TimerCheck->stop();
    main.TrayIcon1->hide();
    desktop.Probed(true);
    EXPECT_TRUE(desktop.Shown.isEmpty());

    main.TrayIcon1->show();
    desktop.Now += 2 * Minute;
    desktop.Program.Detection().PassMode = 1;
    desktop.Probed(false);
    EXPECT_TRUE(desktop.Shown.isEmpty());
    desktop.Program.Detection().PassMode = 2;
    desktop.Probed(false);
    EXPECT_EQ(desktop.Shown.size(), 1);
}
