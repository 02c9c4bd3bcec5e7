// Start and a settings save that come while the line is busy: each ask still gets only its own
// answer, nothing is written to a port nobody chose, and the idle probe keeps its pace.
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "bridge/sv_RS.h"
#include "detect/EnumDevices.h"
#include "platform/Dialogs.h"
#include "platform/ShellOpen.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/LinePeek.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
using namespace std::chrono_literals;

const QByteArray DeviceId = TSimDevice::IdText();
const QByteArray OtherId = "another device\r\n";
const QByteArray DeviceAnswer = TSimDevice::Answer("200 OK", "text/plain", DeviceId);
const QByteArray OtherAnswer = TSimDevice::Answer("200 OK", "text/plain", OtherId);
const QByteArray GetPage = "GET /page HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray PageAnswer = TSimDevice::Answer("200 OK", "text/html", "<p>the page</p>");

// Holds back the notices of bytes read from the port, as the event queue does while a message
// posted before them is handled; Release posts one again, as it would then arrive.
class TRxGate : public QObject {
public:
    int Held = 0;
    bool Closed = true;
    void Release(QObject* hub) {
        Closed = false;
        PostWinMessage(hub, WM_SV_RS_RXCHAR, 1);
        QCoreApplication::processEvents();
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (!Closed || event->type() != TWinMessage::EventType() ||
            static_cast<TWinMessage*>(event)->Msg != WM_SV_RS_RXCHAR)
            return false;
        ++Held;
        return true;
    }
};

// The program on COM1, where the test plays the device; COM2 is another port the test plays too.
// The clock stands still unless the test moves it, so the idle probe falls due only when asked.
struct TBusy {
    TPty Device;
    TPty Other;
    QTemporaryDir Sysfs;
    uint32_t Now = 100000;
    quint16 Port = FreeTcpPort();
    TProgram Program{"BusyTest"};
    TLine& Line = Program.Line();

    explicit TBusy(bool saved = true) {
        SetTickSource([this] { return Now; });
        SetShellOpenHook([](const QString&) {});
        MapPort(1, Device.SlavePath);
        MapPort(2, Other.SlavePath);
        QFile::remove(SettingsFilePath());
        SettingsWriteInteger("RS\\COM", 1);
        SettingsWriteInteger("Config\\Saved", saved ? 1 : 0);
        SettingsWriteInteger("TCP\\Port", Port);
        QDir().mkpath(Sysfs.path() + "/class/tty");
        Program.Dist().EnumSources->SysfsRoot = Sysfs.path();
        Program.Dist().EnumSources->MapFolder = PortMapFolder();
        FreshDialogs();
        Program.Main().StartUp();
    }
    ~TBusy() {
        SetTickSource({});
        SetShellOpenHook({});
        MapEveryPortNowhere();
    }
    // The moment the idle probe is due, as its timer would find it; the timer must be armed.
    void IdleProbeFallsDue() {
        ASSERT_TRUE(Peek(Line).TimerCheck->isActive()) << "the idle line sleeps with nothing to wake it";
        Now = Peek(Line).IdleSince + 3000;
        Line.TimerCheckTimer();
    }
    // What reached a port the test plays, waiting a little for it.
    static QByteArray Got(TPty& pty, int atLeast = 1, std::chrono::milliseconds wait = 300ms) {
        return pty.Read(atLeast, wait);
    }
    // Settings as the dialog's OK confirms them, handled once the hub takes the message.
    void SaveOn(int com) {
        Program.Params().ComboBox_PortRS->setCurrentIndex(com - 1);
        Program.Params().BtOKClick();
        QCoreApplication::sendPostedEvents(&Program.Main(), TWinMessage::EventType());
        ASSERT_EQ(Program.Rs().PortName(), QStringLiteral("COM%1").arg(com));
    }
    // The device answers; the port has read the answer, but its notice waits behind the save.
    void SaveWhileAnswerHeld(TRxGate& gate, int com) {
        Program.Main().installEventFilter(&gate);
        Device.Write(DeviceAnswer);
        ASSERT_TRUE(WaitUntil([&] { return gate.Held > 0; }));
        SaveOn(com);
    }
    bool Logged(const QString& text) const { return !Program.LogLines().filter(text).isEmpty(); }
};
} // namespace

// The port reads what the device sent before the save while the save is handled; the line must
// not take those bytes for the new port's answer, whoever asks it next.
TEST(BusyLine, AnAnswerReadBeforeASaveTellsNothingOfThePortChosenInIt) {
    {
        TBusy busy;
        busy.Program.Probe().StartProbe(false);
        ASSERT_EQ(busy.Device.Read(110), ProbeRequest());
        TRxGate gate;
        busy.SaveWhileAnswerHeld(gate, 2);
        gate.Release(&busy.Program.Main());
        QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
        EXPECT_FALSE(busy.Line.IsDeviceOk()) << "COM1's answer made COM2 look answered";
        busy.IdleProbeFallsDue();
        EXPECT_EQ(TBusy::Got(busy.Other, 110), ProbeRequest());
        busy.Other.Write(OtherAnswer);
        EXPECT_TRUE(WaitUntil([&] { return busy.Program.Probe().ProbeResult == prFoundDevice; }));
        EXPECT_EQ(busy.Program.Probe().StatusText, "COM2: Found Device\r\n" + OtherId);
        EXPECT_TRUE(TBusy::Got(busy.Device).isEmpty());
    }
    // During a pass the cancelled pass's own follow-up probe goes out before the old bytes are read.
    TBusy busy;
    busy.Program.Detection().StartDetection();
    ASSERT_EQ(busy.Device.Read(110), ProbeRequest());
    TRxGate gate;
    busy.SaveWhileAnswerHeld(gate, 2);
    ASSERT_TRUE(WaitUntil([&] { return busy.Program.Detection().PassMode == 2; }));
    EXPECT_EQ(TBusy::Got(busy.Other, 110, 2000ms), ProbeRequest());
    gate.Release(&busy.Program.Main());
    QCoreApplication::processEvents(QEventLoop::AllEvents, 300);
    EXPECT_NE(busy.Program.Probe().ProbeResult, prFoundDevice) << busy.Program.Probe().StatusText.constData();
    EXPECT_EQ(SettingsReadString("RS\\Detect\\Identity", {}), "");
    EXPECT_EQ(busy.Program.Rs().DetectIdentity, "");
    busy.Other.Write(OtherAnswer);
    EXPECT_TRUE(WaitUntil([&] { return busy.Program.Probe().StatusText == "COM2: Found Device\r\n" + OtherId; }));
    EXPECT_EQ(SettingsReadString("RS\\Detect\\Identity", {}), QString::fromUtf8(OtherId));
    EXPECT_EQ(busy.Program.Detection().BestResult, 0);
}

// The dialog is not modal: while a port stands picked in it and unconfirmed, probes and browsers
// stay on the port that was saved; Cancel leaves it so, and OK moves them.
TEST(BusyLine, APortPickedButNotConfirmedInTheOpenDialogGetsNothing) {
    TBusy busy;
    busy.Program.Params().show();
    busy.Program.Params().ComboBox_PortRS->setCurrentIndex(1);
    busy.IdleProbeFallsDue();
    EXPECT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
    busy.Device.Write(DeviceAnswer);
    EXPECT_TRUE(WaitUntil([&] { return busy.Program.Probe().ProbeResult == prFoundDevice; }));
    EXPECT_TRUE(busy.Program.Probe().StatusText.startsWith("COM1: Found Device"));

    TClient client(busy.Port);
    client.Send(GetPage);
    EXPECT_EQ(TBusy::Got(busy.Device, static_cast<int>(GetPage.size()), 2000ms), GetPage);
    busy.Device.Write(PageAnswer);
    EXPECT_EQ(client.ReadToClose(), PageAnswer);
    EXPECT_TRUE(TBusy::Got(busy.Other).isEmpty()) << "COM2 was only picked, never confirmed";
    EXPECT_FALSE(busy.Logged("RS: Open COM2"));

    busy.Program.Params().BtCancelClick();
    EXPECT_EQ(busy.Program.Params().ComboBox_PortRS->currentIndex(), 0);
    busy.SaveOn(2);
    busy.IdleProbeFallsDue();
    EXPECT_EQ(TBusy::Got(busy.Other, 110), ProbeRequest());
    EXPECT_TRUE(TBusy::Got(busy.Device).isEmpty());
}

// A save that ends a probe, a relayed exchange, or comes a moment before the probe is due leaves
// the idle line armed: the probe comes 3 s after the line last had work, on the saved port.
TEST(BusyLine, TheIdleProbeKeepsItsPaceAfterASaveWhateverTheLineWasDoing) {
    TBusy busy;
    // In the middle of a probe.
    busy.IdleProbeFallsDue();
    ASSERT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
    busy.Program.Params().EditTCPSendDelay->setText("50");
    busy.SaveOn(1);
    EXPECT_EQ(Peek(busy.Line).State, dsIdle);
    busy.IdleProbeFallsDue();
    EXPECT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
    busy.Device.Write(DeviceAnswer);
    ASSERT_TRUE(WaitUntil([&] { return busy.Line.IsDeviceOk() && busy.Line.IsIdle(); }));

    // In the middle of a relayed answer: the browser's connection goes with the server, and it
    // got nothing but the start of its own answer.
    TClient client(busy.Port);
    client.Send(GetPage);
    ASSERT_EQ(TBusy::Got(busy.Device, static_cast<int>(GetPage.size()), 2000ms), GetPage);
    busy.Device.Write(PageAnswer.left(30));
    ASSERT_TRUE(WaitUntil([&] { return Peek(busy.Line).State == dsRelayAnswer; }));
    const quint16 next = FreeTcpPort();
    busy.Program.Params().EditTCPPort->setText(QString::number(next));
    busy.SaveOn(1);
    EXPECT_TRUE(PageAnswer.startsWith(client.ReadToClose(2000ms)));
    // The rest of the answer comes to an idle line and is nobody's.
    busy.Device.Write(PageAnswer.mid(30));
    ASSERT_TRUE(WaitUntil([&] { return Peek(busy.Line).State == dsRelayAnswer; }));
    ASSERT_TRUE(WaitUntil([&] { return busy.Line.IsIdle(); }));
    busy.IdleProbeFallsDue();
    EXPECT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
    busy.Device.Write(DeviceAnswer);
    ASSERT_TRUE(WaitUntil([&] { return busy.Line.IsIdle() && busy.Program.Probe().ProbeResult == prFoundDevice; }));

    // A moment before the probe is due, moving to COM2: the probe goes there, and only there.
    busy.Now = Peek(busy.Line).IdleSince + 2990;
    busy.SaveOn(2);
    busy.IdleProbeFallsDue();
    EXPECT_EQ(TBusy::Got(busy.Other, 110), ProbeRequest());
    EXPECT_TRUE(TBusy::Got(busy.Device).isEmpty());
    EXPECT_EQ(busy.Program.Tcp().Port, next);
    TClient late(next);
    late.Send(GetPage);
    busy.Other.Write(OtherAnswer);
    EXPECT_EQ(TBusy::Got(busy.Other, static_cast<int>(GetPage.size()), 2000ms), GetPage);
    busy.Other.Write(PageAnswer);
    EXPECT_EQ(late.ReadToClose(), PageAnswer);
}

// Start while the idle probe is out waits for it and runs one pass however often it is pressed;
// Start while a browser's answer is coming lets that browser have its own answer whole, and a
// browser that comes during the pass is written only to the port the pass leaves configured.
TEST(BusyLine, StartWaitsForTheProbeOrBrowserUnderWayAndRunsOnePass) {
    {
        TBusy busy;
        busy.IdleProbeFallsDue();
        ASSERT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
        busy.Program.Main().BitBtnDetectClick();
        busy.Program.Main().BitBtnDetectClick();
        EXPECT_EQ(Peek(busy.Line).Asks.size(), 1u);
        busy.Device.Write(DeviceAnswer);
        // The pass's probe of COM1, the configured port, after the idle probe's answer.
        EXPECT_EQ(TBusy::Got(busy.Device, 110, 2000ms), ProbeRequest());
        busy.Device.Write(DeviceAnswer);
        ASSERT_TRUE(WaitUntil([&] { return busy.Program.Detection().PassMode == 2; }));
        EXPECT_EQ(busy.Program.Detection().BestResult, prFoundDevice);
        // The follow-up probe, and nothing for COM2: the pass stopped at the device.
        EXPECT_EQ(TBusy::Got(busy.Device, 110, 2000ms), ProbeRequest());
        busy.Device.Write(DeviceAnswer);
        ASSERT_TRUE(WaitUntil([&] { return busy.Line.IsIdle() && busy.Program.Probe().ProbeResult == prFoundDevice; }));
        EXPECT_TRUE(TBusy::Got(busy.Other).isEmpty());
        EXPECT_TRUE(busy.Line.IsDeviceOk());
        EXPECT_TRUE(Peek(busy.Line).TimerCheck->isActive());
    }
    TBusy busy(false);
    TClient first(busy.Port);
    first.Send(GetPage);
    ASSERT_EQ(TBusy::Got(busy.Device, static_cast<int>(GetPage.size()), 2000ms), GetPage);
    busy.Device.Write(PageAnswer.left(25));
    ASSERT_TRUE(WaitUntil([&] { return Peek(busy.Line).State == dsRelayAnswer; }));
    busy.Program.Main().BitBtnDetectClick();
    busy.Device.Write(PageAnswer.mid(25));
    EXPECT_EQ(first.ReadToClose(), PageAnswer);
    // The pass: COM1 answers as a web server without the identity, so COM2 is asked too.
    EXPECT_EQ(TBusy::Got(busy.Device, 110, 2000ms), ProbeRequest());
    TClient second(busy.Port);
    second.Send(GetPage);
    ASSERT_TRUE(WaitUntil([&] { return busy.Program.Tcp().FirstWaiting() > 0; }));
    busy.Device.Write(TSimDevice::Answer("404 Not Found", "text/plain", "no\r\n"));
    EXPECT_EQ(TBusy::Got(busy.Other, 110, 2000ms), ProbeRequest());
    busy.Other.Write(TSimDevice::Answer("404 Not Found", "text/plain", "no\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return busy.Program.Detection().PassMode == 2; }));
    EXPECT_EQ(busy.Program.Params().ComboBox_PortRS->currentIndex(), 0) << "a tie keeps the earlier port";
    // The browser that waited through the pass goes to COM1, then the follow-up probe.
    const QByteArray written = TBusy::Got(busy.Device, static_cast<int>(GetPage.size()), 2000ms);
    ASSERT_EQ(written, GetPage);
    busy.Device.Write(PageAnswer);
    EXPECT_EQ(second.ReadToClose(), PageAnswer);
    EXPECT_EQ(TBusy::Got(busy.Device, 110, 2000ms), ProbeRequest());
    EXPECT_TRUE(TBusy::Got(busy.Other).isEmpty());
}

// The configured port's adapter goes while the pass asks it: that step failed, and the pass goes
// on to the other ports, where the device may now be.
TEST(BusyLine, APortThatGoesWhileThePassAsksItEndsThatStepAloneAndThePassGoesOn) {
    TBusy busy;
    busy.Program.Main().BitBtnDetectClick();
    ASSERT_EQ(TBusy::Got(busy.Device, 110), ProbeRequest());
    busy.Line.PortGone("COM1");
    EXPECT_EQ(TBusy::Got(busy.Other, 110, 2000ms), ProbeRequest());
    EXPECT_EQ(busy.Program.Detection().PassMode, 1);
    busy.Other.Write(DeviceAnswer);
    ASSERT_TRUE(WaitUntil([&] { return busy.Program.Detection().PassMode == 2; }));
    EXPECT_EQ(busy.Program.Detection().BestResult, prFoundDevice);
    EXPECT_EQ(busy.Program.Rs().ConfiguredPort(), "COM2");
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 2);
    EXPECT_TRUE(busy.Logged("COM1: COM Error"));
}
