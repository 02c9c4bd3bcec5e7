// A device that comes back on another port is found there again, without Start.
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QSystemTrayIcon>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "support/LinePeek.h"
#include "bridge/Line.h"
#include "detect/EnumDevices.h"
#include "platform/ShellOpen.h"
#include "serial/PortNames.h"
#include "serial/SerialSys.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
using namespace std::chrono_literals;

std::unique_ptr<TSimDevice> DeviceOn(int number) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + QStringLiteral("/COM%1").arg(number);
    return std::make_unique<TSimDevice>(options);
}

// The program started on COM1, where the device answers; the ports are those of the map.
struct TFollow {
    QTemporaryDir Sysfs;
    std::unique_ptr<TSimDevice> Old = DeviceOn(1);
    std::unique_ptr<TSimDevice> New;
    quint16 Port = FreeTcpPort();
    TProgram Program{"FollowTest"};
    QStringList Opened;

    explicit TFollow(bool follow = true, bool saved = true) {
        QFile::remove(SettingsFilePath());
        SettingsWriteInteger("RS\\COM", 1);
        SettingsWriteInteger("Config\\Saved", saved ? 1 : 0);
        SettingsWriteInteger("TCP\\Port", Port);
        if (!follow)
            SettingsWriteInteger("RS\\Follow", 0);
        QDir().mkpath(Sysfs.path() + "/class/tty");
        Program.Dist().EnumSources->SysfsRoot = Sysfs.path();
        SetShellOpenHook([this](const QString& text) { Opened << text; });
        FreshDialogs();
        Program.Main().StartUp();
        Program.Probe().StartProbe(false);
        EXPECT_TRUE(WaitUntil([&] { return Peek(Program.Line()).DeviceOk; }));
    }
    ~TFollow() {
        SetShellOpenHook({});
        Old.reset();
        New.reset();
        MapEveryPortNowhere();
    }
    // The adapter is pulled out, and plugged in again where it gets the next number.
    void Move() {
        Old.reset();
        MapPort(1, "/nonexistent/quellor-test/COM1");
        New = DeviceOn(2);
    }
    QString NewNode() const { return QFileInfo(New->SlavePath()).canonicalFilePath(); }
    int Configured() const { return Program.W.Params->ComboBox_PortRS->currentIndex() + 1; }
    bool Logged(const QString& text) const { return !Program.LogLines().filter(text).isEmpty(); }
};

// Access to every node is refused until the test allows it, as before udev has set a new node's group.
class TLateAccess : public TSerialSys {
public:
    TLateAccess() { SetSerialSys(this); }
    ~TLateAccess() override { SetSerialSys(nullptr); }
    int Access(const char* path, int mode) override {
        errno = EACCES;
        return Allowed ? TSerialSys::Access(path, mode) : -1;
    }
    bool Allowed = false;
};
} // namespace

TEST(Follow, ADeviceThatMovedIsProbedStoredAndServedThereWithoutStart) {
    TFollow follow;
    follow.Move();
    ASSERT_TRUE(WaitUntil([&] { return follow.Configured() == 2; }, 5000ms));
    EXPECT_TRUE(follow.Logged("RS: port removed COM1"));
    EXPECT_TRUE(follow.Logged("RS: port added COM2=Mapped port (" + follow.NewNode() + ")"));
    EXPECT_TRUE(follow.Logged(" COM2: Found Device (the device moved from COM1)"));
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 2);
    EXPECT_EQ(SettingsReadInteger("RS\\Detect\\COM", 0), 2);
    EXPECT_EQ(SettingsReadString("RS\\Detect\\Description", {}), "Mapped port (" + follow.NewNode() + ")");
    EXPECT_EQ(follow.Program.Detection().PassMode, 0);
    EXPECT_EQ(follow.Program.Rs().PortName(), "COM2");

    TClient client(follow.Port);
    client.Send("GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(client.ReadToClose().endsWith(TSimDevice::IdText()));
    EXPECT_TRUE(follow.Opened.isEmpty());
    emit follow.Program.Main().TrayIcon1->messageClicked();
    EXPECT_EQ(follow.Opened, QStringList{"http:\\\\localhost:" + QString::number(follow.Port)});
}

TEST(Follow, ABoardThatMissesTheFirstProbeWhileItStartsIsAskedAgainOnTheOpenPort) {
    TFollow follow;
    TPty board;
    follow.Old.reset();
    MapPort(1, "/nonexistent/quellor-test/COM1");
    MapPort(2, board.SlavePath);
    EXPECT_EQ(board.Read(110, 3000ms), ProbeRequest());
    EXPECT_EQ(board.Read(110, 5000ms), ProbeRequest());
    board.Write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(TSimDevice::IdText().size()) + "\r\n\r\n" +
                TSimDevice::IdText());
    ASSERT_TRUE(WaitUntil([&] { return follow.Configured() == 2; }));
    EXPECT_EQ(follow.Program.LogLines().filter("RS: Open COM2").size(), 1);
}

// Also the first time the device is plugged in, before any port was chosen.
TEST(Follow, ANewNodeIsOpenedOnlyOnceItMayBe) {
    TFollow follow(true, false);
    TLateAccess access;
    follow.Move();
    ASSERT_TRUE(WaitUntil([&] { return follow.Logged("RS: port added COM2"); }));
    WaitUntil([] { return false; }, 1000ms);
    EXPECT_EQ(follow.Configured(), 1);
    EXPECT_FALSE(follow.Logged("COM2 Open Error!"));
    EXPECT_FALSE(follow.Logged("RS: Open COM2"));
    access.Allowed = true;
    EXPECT_TRUE(WaitUntil([&] { return follow.Configured() == 2; }, 2000ms));
    EXPECT_TRUE(follow.Logged(" COM2: Found Device (the device was found on a port that appeared)"));
    EXPECT_EQ(SettingsReadInteger("Config\\Saved", 0), 1);
}

TEST(Follow, WithFollowOffPortsAreOnlyLoggedAndListed) {
    TFollow follow(false);
    TFormParams& params = follow.Program.Params();
    follow.Program.Dist().show();
    EXPECT_EQ(params.ComboBox_PortRS->itemData(0, Qt::ToolTipRole).toString(),
              "Mapped port (" + QFileInfo(PortMapFolder() + "/COM1").canonicalFilePath() + ")");
    EXPECT_TRUE(params.ComboBox_PortRS->toolTip().endsWith("\n" + params.ComboBox_PortRS->itemData(0, Qt::ToolTipRole).toString()));
    follow.Move();
    ASSERT_TRUE(WaitUntil([&] { return follow.Logged("RS: port added COM2"); }));
    WaitUntil([] { return false; }, 1500ms);
    EXPECT_EQ(follow.Configured(), 1);
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 1);
    EXPECT_FALSE(follow.Logged("RS: Open COM2"));
    EXPECT_TRUE(follow.Program.LogLines().contains("COM2=Mapped port (" + follow.NewNode() + ")"));
    EXPECT_TRUE(params.ComboBox_PortRS->itemData(0, Qt::ToolTipRole).isNull());
    EXPECT_EQ(params.ComboBox_PortRS->itemData(1, Qt::ToolTipRole).toString(), "Mapped port (" + follow.NewNode() + ")");
    EXPECT_EQ(params.ComboBox_PortRS->itemText(1), "COM2");
    follow.Program.Dist().hide();
}

// The first good probe of COM1 recorded whose device it is; another device on a new port is not it.
TEST(Follow, OnlyTheSameDeviceIsFollowedAndAnotherBridgesPortIsNeverAsked) {
    TFollow follow;
    ASSERT_TRUE(WaitUntil([&] { return !SettingsReadString("RS\\Detect\\Identity", {}).isEmpty(); }));
    EXPECT_EQ(SettingsReadString("RS\\Detect\\Identity", {}), QString::fromUtf8(TSimDevice::IdText()));
    QSettings other(QFileInfo(SettingsFilePath()).dir().filePath("FollowTest-b.conf"), QSettings::IniFormat);
    other.setValue("RS/COM", "3");
    other.sync();
    follow.Old.reset();
    MapPort(1, "/nonexistent/quellor-test/COM1");
    TPty stranger;
    MapPort(2, stranger.SlavePath);
    EXPECT_EQ(stranger.Read(110, 5000ms), ProbeRequest());
    stranger.Write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nother");
    ASSERT_TRUE(WaitUntil([&] { return follow.Logged("RS: COM2 answers as another device, not followed"); }));
    follow.New = DeviceOn(3);
    ASSERT_TRUE(WaitUntil([&] { return follow.Logged("RS: COM3 is another bridge's port, not probed"); }, 3000ms));
    EXPECT_FALSE(follow.Logged("RS: Open COM3"));
    follow.Program.Params().EditTCPPort->setText("31999");
    QFile::remove(other.fileName());
    auto twin = DeviceOn(4);
    ASSERT_TRUE(WaitUntil([&] { return follow.Configured() == 4; }, 6000ms));
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 4);
    // What stands unconfirmed in the settings dialog is not stored with the port.
    EXPECT_EQ(SettingsReadInteger("TCP\\Port", 0), follow.Port);
    EXPECT_EQ(follow.Program.Rs().PortName(), "COM4");
    MapPort(2, "/nonexistent/quellor-test/COM2");
}

TEST(Follow, StartCancelsTheFollowersProbeAndItsPassRunsWhole) {
    TFollow follow;
    follow.Old.reset();
    MapPort(1, "/nonexistent/quellor-test/COM1");
    TPty board;
    MapPort(2, board.SlavePath);
    EXPECT_EQ(board.Read(110, 5000ms), ProbeRequest());
    follow.Program.Main().BitBtnDetectClick();
    EXPECT_FALSE(follow.Program.Line().HasAsks(TAskOwner::Follower));
    const QByteArray answer = "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(TSimDevice::IdText().size()) +
                              "\r\n\r\n" + TSimDevice::IdText();
    board.Write(answer);
    // The cancelled probe's answer is nobody's: the pass asks COM2 itself.
    EXPECT_EQ(board.Read(110, 5000ms), ProbeRequest());
    EXPECT_NE(follow.Program.Detection().PassMode, 2);
    board.Write(answer);
    ASSERT_TRUE(WaitUntil([&] { return follow.Program.Detection().PassMode == 2; }, 15000ms));
    EXPECT_FALSE(follow.Logged("the device moved"));
    EXPECT_EQ(follow.Configured(), 2);
    EXPECT_EQ(follow.Program.Detection().BestResult, prFoundDevice);
    MapPort(2, "/nonexistent/quellor-test/COM2");
}

// Browsers that keep the line busy leave no room for the idle probe; a browser's exchange that
// found the configured device silent tells as much, and the follower looks elsewhere.
TEST(Follow, ADeviceFoundSilentByABrowserIsLookedForElsewhereWithoutAnIdleProbe) {
    QTemporaryDir sysfs;
    QDir().mkpath(sysfs.path() + "/class/tty");
    TPty silent;
    MapPort(1, silent.SlavePath);
    const quint16 port = FreeTcpPort();
    TProgram program("FollowTest");
    QFile::remove(SettingsFilePath());
    SettingsWriteInteger("RS\\COM", 1);
    SettingsWriteInteger("Config\\Saved", 1);
    SettingsWriteInteger("TCP\\Port", port);
    SettingsWriteInteger("TCP\\Framing", 0);
    SettingsWriteString("TCP\\AllowedHosts", "*");
    SettingsWriteString("RS\\Detect\\Identity", QString::fromUtf8(TSimDevice::IdText()));
    program.Dist().EnumSources->SysfsRoot = sysfs.path();
    FreshDialogs();
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    TClient client(port);
    ASSERT_TRUE(WaitUntil([&] { return program.Tcp().LastClientId > 0; }));
    client.Send("GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Peek(program.Line()).State != dsIdle; }));
    Peek(program.Line()).TimerEnd->stop();
    for (int tick = 0; tick < 3; ++tick)
        program.Line().TimerEndTimer();
    EXPECT_EQ(client.ReadToClose(), DeviceNotRespondingAnswer);
    EXPECT_EQ(program.Probe().ProbeResult, prNone);
    auto moved = DeviceOn(2);
    EXPECT_TRUE(WaitUntil([&] { return program.Params().ComboBox_PortRS->currentIndex() == 1; }, 5000ms));
    moved.reset();
    MapEveryPortNowhere();
}
