// The device probe's classification, the candidate order and the detection pass.
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QLabel>
#include <QStatusBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "support/LinePeek.h"
#include "bridge/sv_Prot.h"
#include "platform/Dialogs.h"
#include "platform/ShellOpen.h"
#include "serial/CommInt.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "detect/EnumDevices.h"
#include "detect/FakeSystem.h"
#include "support/Program.h"
#include "support/Net.h"
#include "support/PlayedDevice.h"
#include "support/Pty.h"
#include "support/Running.h"

namespace {
// Classifies an answer that came in on COM3.
struct TProbe {
    TProgram Program{"ProbeTest"};
    QByteArray Report(const QByteArray& answer) {
        TProbeOutcome outcome;
        outcome.Port = "COM3";
        outcome.Outcome = answer.isEmpty() ? TOutcome::Silent : TOutcome::DeviceAnswer;
        outcome.Answer = answer;
        Program.Probe().Report(outcome);
        return Program.Probe().StatusText;
    }
};

QStringList Names(const QStringList& entries) {
    QStringList names;
    for (const QString& entry : entries)
        names << entry.section('=', 0, 0);
    return names;
}

// Simulated ports on COM1..COMn of the port map, and a program whose enumeration lists exactly them.
struct TPass {
    QTemporaryDir Sysfs;
    std::vector<std::unique_ptr<TSimDevice>> Devices;
    TProgram Program{"PassTest"};
    QStringList Opened;

    TPass(std::initializer_list<TSimDevice::TMode> modes, int configured) {
        int number = 0;
        for (TSimDevice::TMode mode : modes) {
            TSimDevice::TOptions options;
            options.Mode = mode;
            options.Link = PortMapFolder() + QStringLiteral("/COM%1").arg(++number);
            Devices.push_back(std::make_unique<TSimDevice>(options));
        }
        QFile::remove(SettingsFilePath());
        SettingsWriteInteger("RS\\COM", configured);
        SettingsWriteInteger("TCP\\Port", FreeTcpPort());
        QDir().mkpath(Sysfs.path() + "/class/tty");
        Program.Dist().EnumSources->SysfsRoot = Sysfs.path();
        Program.Dist().EnumSources->MapFolder = PortMapFolder();
        SetShellOpenHook([this](const QString& text) { Opened << text; });
        FreshDialogs();
        Program.Main().StartUp();
    }
    // The devices take their links with them: the map is reset after they are gone, so that no
    // later test reaches a fixed-range node.
    ~TPass() {
        SetShellOpenHook({});
        Devices.clear();
        MapEveryPortNowhere();
    }
    bool RunPass() {
        QTest::mouseClick(Program.Main().BitBtnDetect, Qt::LeftButton);
        return WaitUntil([&] { return Program.Detection().PassMode == 2; }, std::chrono::milliseconds(20000));
    }
    // The follow-up probe of the configured port after the pass.
    bool WaitForFollowUp() {
        return WaitUntil([&] { return Peek(Program.Line()).State == dsIdle && Program.Probe().ProbeResult >= 2; },
                         std::chrono::milliseconds(8000));
    }
};
} // namespace

TEST(ProbeRequest, IsTheTemplateWithItsTwoPlacesFilled) {
    EXPECT_EQ(ProbeRequest(), "GET /id.txt HTTP/1.1\r\nHost: localhost\r\nAccept: text/html, */*\r\n"
                              "User-Agent: Mozilla\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(ProbeRequest().size(), 110);
}

TEST(ProbeResult, AnswersAreClassifiedByWhatTheyHold) {
    TProbe probe;
    EXPECT_EQ(probe.Report("HTTP/1.1 200 OK\r\nServer: sim\r\n\r\nABC"), "COM3: Found Device\r\nABC");
    EXPECT_EQ(probe.Program.Probe().ProbeResult, 7);
    const QByteArray notFound = "HTTP/1.1 404 Not Found\r\n\r\n";
    EXPECT_EQ(probe.Report(notFound), "COM3: HTTP device\r\n" + notFound);
    EXPECT_EQ(probe.Program.Probe().ProbeResult, 5);
    EXPECT_EQ(probe.Report("HTTP/1.1 200 OK\r\n\r\n"), "COM3: Found Id\r\n");
    EXPECT_EQ(probe.Program.Probe().ProbeResult, 6);
    EXPECT_EQ(probe.Report("HTTP/1.1 200 OK\r\nno blank line"), "COM3: Found Id\r\nHTTP/1.1 200 OK\r\nno blank line");
    EXPECT_EQ(probe.Report("xHTTP/1.1 200 OK\r\n\r\nABC"), "COM3: Unknown device\r\nxHTTP/1.1 200 OK\r\n\r\nABC");
    EXPECT_EQ(probe.Program.Probe().ProbeResult, 4);
    EXPECT_EQ(probe.Report(""), "COM3: Time Out");

    QByteArray junk(150, 'j');
    junk[10] = '\0';
    const QByteArray shown = probe.Report(junk);
    EXPECT_EQ(probe.Program.Probe().ProbeResult, 4);
    EXPECT_EQ(shown, "COM3: Unknown device\r\n" + QByteArray(10, 'j') + "#0" + QByteArray(88, 'j'));
}

TEST(ProbeResult, AnUnchangedStatusIsLoggedOnceWithOneSeparator) {
    TProbe probe;
    probe.Report("HTTP/1.1 200 OK\r\n\r\nid");
    probe.Report("HTTP/1.1 200 OK\r\n\r\nid");
    QStringList lines = probe.Program.LogLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(" COM3: Found Device"));
    EXPECT_EQ(lines[1], "id");
    EXPECT_EQ(lines[2], " ----------------");
    probe.Report("");
    EXPECT_EQ(probe.Program.LogLines().size(), 5);
}

TEST(DetectionPass, CandidatesAreOrderedConfiguredFirstWhenSavedThenUsb) {
    TProgram program("OrderTest");
    TDetection& dist = program.Detection();
    // The port counts as configured once confirmed, not while it only stands picked in the dialog.
    const auto configure = [&](int number) {
        program.Params().ComboBox_PortRS->setCurrentIndex(number - 1);
        program.Rs().SaveSettings();
    };
    configure(5);
    const QStringList found{"COM1=16550A UART (/dev/ttyS0)", "COM4=USB Serial (/dev/ttyUSB0)", "COM5=usb Uno (/dev/ttyACM0)"};
    QStringList list = found;
    program.Params().Saved = 1;
    dist.ArrangePorts(list);
    EXPECT_EQ(Names(list), (QStringList{"COM5", "COM4", "COM1"}));
    list = found;
    program.Params().Saved = 0;
    dist.ArrangePorts(list);
    EXPECT_EQ(Names(list), (QStringList{"COM4", "COM5", "COM1"}));

    configure(7);
    list = found;
    dist.ArrangePorts(list);
    EXPECT_EQ(list.last(), "COM7=User settings (COM7)");
    EXPECT_EQ(list.size(), 4);

    list = QStringList{"COM7=Only one"};
    dist.ArrangePorts(list);
    EXPECT_EQ(list, QStringList{"COM7=Only one"});

    program.Params().Saved = 1;
    list = QStringList{"COM1=a", "COM7=first", "COM2=USB b", "COM7=second"};
    dist.ArrangePorts(list);
    EXPECT_EQ(Names(list).mid(0, 2), (QStringList{"COM7", "COM7"}));
    EXPECT_EQ(list.size(), 4);
}

TEST(DetectionPass, StopsAtTheFirstDeviceStoresItReopensItAndOpensTheBrowserOnce) {
    using M = TSimDevice::TMode;
    TPass pass({M::Garbage, M::NotFound, M::Device, M::Silent}, 1);
    ASSERT_TRUE(pass.RunPass());
    EXPECT_EQ(pass.Program.Detection().BestResult, 7);
    EXPECT_EQ(pass.Program.Params().ComboBox_PortRS->currentText(), "COM3");
    EXPECT_EQ(pass.Program.Rs().DetectCOM, 3);
    EXPECT_EQ(pass.Program.Rs().DetectName, "COM3");
    EXPECT_TRUE(pass.Program.Rs().DetectDescription.startsWith("Mapped port ("));
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 3);
    EXPECT_EQ(SettingsReadInteger("Config\\Saved", 0), 1);
    EXPECT_EQ(pass.Program.Rs().PortName(), "COM3");
    EXPECT_TRUE(pass.Program.Rs().CommRS->Enabled());
    EXPECT_TRUE(pass.Program.LogLines().filter("RS: Open COM4").isEmpty());
    ASSERT_TRUE(pass.WaitForFollowUp());
    EXPECT_TRUE(WaitUntil([&] { return !pass.Opened.isEmpty(); }));
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(pass.Opened, QStringList{"http:\\\\localhost:" + QString::number(pass.Program.Tcp().Port)});
    EXPECT_EQ(pass.Program.Main().OpenBrowserPending, 0);
}

TEST(DetectionPass, TheStoredDescriptionIsThatOfThePortProbedNotOfTheUartWhoseNumberTheMapTook) {
    using M = TSimDevice::TMode;
    TFakeSystem system;
    system.AddTty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "port", {}, "4");
    TPass pass({M::Device}, 9);
    TEnumSources& sources = *pass.Program.Dist().EnumSources;
    sources.SysfsRoot = system.Sources().SysfsRoot;
    sources.DevRoot = "/dev";
    sources.IsPlaceholder = [](const QString&) { return false; };
    ASSERT_TRUE(pass.RunPass());
    const QString simulated = QFileInfo(PortMapFolder() + "/COM1").canonicalFilePath();
    EXPECT_EQ(pass.Program.Detection().PortList.first(), "COM1=Mapped port (" + simulated + ")");
    EXPECT_EQ(pass.Program.Rs().DetectName, "COM1");
    EXPECT_EQ(SettingsReadString("RS\\Detect\\Description", {}), "Mapped port (" + simulated + ")");
}

TEST(DetectionPass, ATieKeepsTheEarlierPort) {
    using M = TSimDevice::TMode;
    TPass pass({M::NotFound, M::NotFound}, 9);
    ASSERT_TRUE(pass.RunPass());
    EXPECT_EQ(pass.Program.Detection().BestResult, 5);
    EXPECT_EQ(pass.Program.Detection().BestIndex, 1);
    EXPECT_EQ(pass.Program.Rs().DetectCOM, 1);
    EXPECT_FALSE(pass.Program.LogLines().filter("RS: COM9 Open Error!").isEmpty());
}

TEST(DetectionPass, APortThatAnotherBridgeHoldsIsSkippedWithItsLogLineAndStaysItsOwn) {
    using M = TSimDevice::TMode;
    TPass pass({M::NotFound, M::Device}, 9);
    TRunningProgram holder([] { SettingsWriteInteger("RS\\COM", 2); }, "holder");
    ASSERT_TRUE(holder.WaitForLog("RS: Open COM2"));
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\PassTest");
    ASSERT_TRUE(pass.RunPass());
    EXPECT_FALSE(pass.Program.LogLines().filter("RS: COM2 Open Error!").isEmpty());
    EXPECT_TRUE(pass.Program.LogLines().filter("COM2: Found Device").isEmpty());
    EXPECT_EQ(pass.Program.Rs().DetectName, "COM1");
    TClient client(holder.Port);
    client.Send("GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(client.ReadToClose().endsWith(TSimDevice::IdText()));
    EXPECT_FALSE(holder.Errors.contains("Open Error")) << holder.Errors.constData();
}

TEST(DetectionPass, FindingNothingChangesNoSettingAndOpensNoBrowser) {
    TPass pass({}, 9);
    ASSERT_TRUE(pass.RunPass());
    EXPECT_EQ(pass.Program.Detection().BestResult, 2);
    EXPECT_EQ(pass.Program.Detection().PortList, QStringList{"COM9=User settings (COM9)"});
    ASSERT_TRUE(pass.WaitForFollowUp());
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_EQ(SettingsReadInteger("Config\\Saved", 0), 0);
    EXPECT_EQ(pass.Program.Params().ComboBox_PortRS->currentText(), "COM9");
    EXPECT_TRUE(pass.Opened.isEmpty());
}

TEST(DetectionPass, AskedForWhileTheLineIsBusyTheProbeAndThePassWaitTheirTurnsAndTheProbeGoesFirst) {
    TProgram program("BusyPassTest");
    TLine& line = program.Line();
    TPlayedDevice played(program);
    TClient client(played.Port);
    played.Ask(client);
    program.Probe().StartProbe(true);
    program.Detection().StartDetection();
    EXPECT_EQ(program.Probe().ProbeResult, prProgress);
    ASSERT_EQ(Peek(line).Asks.size(), 2u);
    EXPECT_EQ(Peek(line).Asks.front().Owner, TAskOwner::CheckDevice);
    EXPECT_EQ(Peek(line).Asks.back().Owner, TAskOwner::Detection);
    // COM1 goes nowhere, then the device answers and frees the line: Check Device's probe failed
    // to be written, then the pass's, which ended.
    MapPort(1, "/nonexistent/quellor-test/COM1");
    played.Answer(client);
    EXPECT_TRUE(Peek(line).Asks.empty());
    EXPECT_EQ(program.Detection().PassMode, 2);
    EXPECT_EQ(program.Detection().BestResult, prComError);
    EXPECT_EQ(program.Probe().ProbeResult, prComError);
}

TEST(DetectionPass, APortWhoseProbeCannotBeWrittenIsLeftWithoutReopeningTheNextOne) {
    TPty device;
    MapPort(1, device.SlavePath);
    TProgram program("MoveOnPassTest");
    TDetection& pass = program.Detection();
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    device.Read(4096, std::chrono::milliseconds(100));
    const int opened = program.LogLines().filter("RS: Open COM1").size();
    pass.PortList = QStringList{"COM8=gone", "COM1=device"};
    pass.PassMode = 1;
    pass.PortIndex = 0;
    pass.NextPort();
    EXPECT_EQ(pass.PortIndex, 2);
    EXPECT_EQ(Peek(program.Line()).State, dsProbeWait);
    EXPECT_EQ(program.LogLines().filter("RS: Open COM1").size(), opened + 1);
    EXPECT_EQ(device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    MapPort(1, "/nonexistent/quellor-test/COM1");
}

TEST(IdleProbe, StatusTurnsRedWhenTheDeviceFallsSilentAndGreenWhenItAnswersAgain) {
    using M = TSimDevice::TMode;
    TPass pass({M::Device}, 1);
    TFrmMainRSServ& main = pass.Program.Main();
    const auto green = [&] { return main.statusBar()->palette().color(QPalette::Window) == QColor(0, 128, 0); };
    ASSERT_TRUE(WaitUntil([&] { return green(); }, std::chrono::milliseconds(6000)));
    EXPECT_EQ(main.TrayImageIndex, 1);
    EXPECT_TRUE(main.StaticTextDevice->text().startsWith("COM1: Found Device"));
    pass.Devices[0]->Vanish(std::chrono::milliseconds(4000));
    ASSERT_TRUE(WaitUntil([&] { return !green(); }, std::chrono::milliseconds(9000)));
    EXPECT_EQ(main.TrayImageIndex, 0);
    EXPECT_TRUE(WaitUntil([&] { return green(); }, std::chrono::milliseconds(12000)));
}
