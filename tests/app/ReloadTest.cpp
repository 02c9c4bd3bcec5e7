// A reload of the settings file while the bridge runs: the exchange under way finishes whole on
// its port and its connection, those waiting when the server moves get an answer, bad numbers read
// as their defaults and are named, and the file is left as it was.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTcpServer>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "SimDevice.h"
#include "app/Reload.h"
#include "bridge/ServerSocket.h"
#include "journal/Journal.h"
#include "platform/Dialogs.h"
#include "platform/TickCount.h"
#include "serial/CommInt.h"
#include "serial/LineSettings.h"
#include "settings/UtilsRegistry.h"
#include "support/LinePeek.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
using namespace std::chrono_literals;

const QByteArray GetPage = "GET /page HTTP/1.1\r\nHost: localhost\r\n\r\n";
const QByteArray PageAnswer = TSimDevice::Answer("200 OK", "text/html", "<p>the page, long enough to come in two parts</p>");
const QByteArray UploadHead = "POST /upload HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n";
const QByteArray FirstChunk = "5\r\nhello\r\n";
const QByteArray LastChunk = "0\r\n\r\n";

QByteArray NotAvailable(const QByteArray& port) { return QByteArray(DeviceNotAvailableAnswer).replace('~', port); }

void WriteRaw(const QByteArray& text) {
    QFile file(SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QByteArray FileText() {
    QFile file(SettingsFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The program on COM1, where the test plays the device; COM2 is another port the test plays.
// Framing is on. The clock stands still, so that neither the idle probe nor a deadline falls due.
struct TReloading {
    TPty Device;
    TPty Other;
    uint32_t Now = 100000;
    quint16 Port = FreeTcpPort();
    TProgram Program{"ReloadTest"};
    TLine& Line = Program.Line();

    TReloading() {
        SetTickSource([this] { return Now; });
        MapPort(1, Device.SlavePath);
        MapPort(2, Other.SlavePath);
        QFile::remove(SettingsFilePath());
        SettingsWriteInteger("RS\\COM", 1);
        SettingsWriteInteger("Config\\Saved", 1);
        SettingsWriteInteger("TCP\\Port", Port);
        FreshDialogs();
        Program.Main().StartUp();
    }
    ~TReloading() {
        SetTickSource({});
        MapEveryPortNowhere();
    }
    TReloadReport Reload() { return Program.Main().ReloadSettings(); }
    // A client whose bytes the TCP side has read.
    int32_t Connect(TClient& client, const QByteArray& bytes) {
        const int before = Program.Tcp().LastClientId;
        EXPECT_TRUE(WaitUntil([&] { return Program.Tcp().LastClientId > before; }));
        const int32_t id = Program.Tcp().LastClientId;
        client.Send(bytes);
        EXPECT_TRUE(WaitUntil([&] {
            const TClientRecord* record = Program.Tcp().Clients.FindById(id);
            return record && record->Received >= bytes.size();
        }));
        return id;
    }
    static QByteArray Got(TPty& pty, qsizetype atLeast = 1, std::chrono::milliseconds wait = 300ms) {
        return pty.Read(static_cast<int>(atLeast), wait);
    }
    int Journaled(journal::TFixed fixed) const {
        int count = 0;
        for (const journal::TEntry& entry : Program.W.Journal->Entries())
            count += entry.Fixed == fixed ? 1 : 0;
        return count;
    }
};

// The line as the device's side of the pseudo-terminal sees it.
termios2 DeviceSees(const TPty& pty) {
    termios2 attr{};
    ioctl(pty.Master, TCGETS2, &attr);
    return attr;
}

bool Refused(quint16 port) {
    TClient client(port);
    return client.Socket.state() != QAbstractSocket::ConnectedState;
}
} // namespace

TEST(Reload, TheServerMovesWhileAnAnswerStreamsAndEveryoneWaitingIsAnswered) {
    TReloading bridge;
    TClient streaming(bridge.Port);
    streaming.Send(GetPage);
    ASSERT_EQ(TReloading::Got(bridge.Device, GetPage.size(), 2000ms), GetPage);
    bridge.Device.Write(PageAnswer.left(30));
    ASSERT_TRUE(WaitUntil([&] { return Peek(bridge.Line).State == dsRelayAnswer; }));
    TClient waiting(bridge.Port);
    bridge.Connect(waiting, GetPage);
    TClient half(bridge.Port);
    bridge.Connect(half, "GET /other HTTP/1.1\r\nHo");

    const quint16 moved = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", moved);
    TReloadReport report = bridge.Reload();
    EXPECT_TRUE(report.Done);
    EXPECT_EQ(report.Lines, (QStringList{QStringLiteral("TCP\\Port: %1 -> %2").arg(bridge.Port).arg(moved),
                                         "2 waiting client(s) answered 503 \"COM1 is not available\": the server moved",
                                         QStringLiteral("the server listens on every IPv4 address, port %1").arg(moved)}));
    EXPECT_EQ(waiting.ReadToClose(), NotAvailable("COM1"));
    EXPECT_EQ(half.ReadToClose(), NotAvailable("COM1"));
    EXPECT_EQ(bridge.Journaled(journal::TFixed::NotAvailable), 2);
    EXPECT_TRUE(Refused(bridge.Port));
    bridge.Device.Write(PageAnswer.mid(30));
    EXPECT_EQ(streaming.ReadToClose(), PageAnswer);
    EXPECT_EQ(bridge.Program.Main().BrowserURL, QStringLiteral("http:\\\\localhost:%1").arg(moved));

    ASSERT_TRUE(WaitUntil([&] { return bridge.Line.IsIdle(); }));
    TClient next(moved);
    next.Send(GetPage);
    EXPECT_EQ(TReloading::Got(bridge.Device, GetPage.size(), 2000ms), GetPage);
    bridge.Device.Write(PageAnswer);
    EXPECT_EQ(next.ReadToClose(), PageAnswer);

    // An address that is not this machine's: the server listens nowhere, and the report says so.
    SettingsWriteString("TCP\\Listen", "192.0.2.1");
    report = bridge.Reload();
    EXPECT_FALSE(report.Done);
    ASSERT_EQ(report.Lines.size(), 2);
    EXPECT_EQ(report.Lines[0], "TCP\\Listen: \"\" -> \"192.0.2.1\"");
    EXPECT_TRUE(report.Lines[1].startsWith(QStringLiteral("the server listens nowhere: cannot listen on 192.0.2.1 port %1: ")
                                               .arg(moved)))
        << report.Lines[1].toStdString();
    EXPECT_FALSE(bridge.Program.Tcp().ServerSocket1->Active());
    EXPECT_EQ(bridge.Program.LogLines().filter("TCP: Open Socket Error").size(), 1);
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
    SettingsWriteString("TCP\\Listen", "");
    report = bridge.Reload();
    EXPECT_TRUE(report.Done);
    EXPECT_EQ(report.Lines, (QStringList{"TCP\\Listen: \"192.0.2.1\" -> \"\"",
                                         QStringLiteral("the server listens on every IPv4 address, port %1").arg(moved)}));
    EXPECT_FALSE(Refused(moved));
}

// A port another program holds: once it is free, a reload with nothing changed listens on it.
TEST(Reload, AServerThatListensNowhereListensAgainAtTheNextReload) {
    TReloading bridge;
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::AnyIPv4, FreeTcpPort()));
    SettingsWriteInteger("TCP\\Port", other.serverPort());
    TReloadReport report = bridge.Reload();
    EXPECT_FALSE(report.Done);
    EXPECT_TRUE(report.Lines.last().startsWith("the server listens nowhere: cannot listen on ")) << report.Lines.last().toStdString();
    const quint16 port = other.serverPort();
    other.close();
    report = bridge.Reload();
    EXPECT_TRUE(report.Done);
    EXPECT_EQ(report.Lines, (QStringList{"nothing changed",
                                         QStringLiteral("the server listens on every IPv4 address, port %1").arg(port)}));
    EXPECT_FALSE(Refused(port));
}

TEST(Reload, ARequestUnderWayWhenThePortChangesGoesWholeToItsOwnPortAndTheNextToTheNewOne) {
    {
        TReloading bridge;
        TClient upload(bridge.Port);
        upload.Send(UploadHead + FirstChunk);
        ASSERT_EQ(TReloading::Got(bridge.Device, UploadHead.size() + FirstChunk.size(), 2000ms), UploadHead + FirstChunk);
        SettingsWriteInteger("RS\\COM", 2);
        const TReloadReport report = bridge.Reload();
        EXPECT_TRUE(report.Done);
        EXPECT_EQ(report.Lines,
                  (QStringList{"RS\\COM: COM1 -> COM2", "the exchange under way finishes on COM1; the next goes to COM2"}));
        EXPECT_EQ(bridge.Program.Rs().ConfiguredPort(), "COM2");
        upload.Send(LastChunk);
        EXPECT_EQ(TReloading::Got(bridge.Device, LastChunk.size(), 2000ms), LastChunk);
        bridge.Device.Write(PageAnswer);
        EXPECT_EQ(upload.ReadToClose(), PageAnswer);
        EXPECT_TRUE(TReloading::Got(bridge.Other).isEmpty());

        ASSERT_TRUE(WaitUntil([&] { return bridge.Line.IsIdle(); }));
        TClient next(bridge.Port);
        next.Send(GetPage);
        EXPECT_EQ(TReloading::Got(bridge.Other, GetPage.size(), 2000ms), GetPage);
        bridge.Other.Write(PageAnswer);
        EXPECT_EQ(next.ReadToClose(), PageAnswer);
        EXPECT_TRUE(TReloading::Got(bridge.Device).isEmpty());
    }
    // The old port fails under the rest of the request: the retry reopens that port, never the new one.
    TReloading bridge;
    TClient upload(bridge.Port);
    upload.Send(UploadHead + FirstChunk);
    ASSERT_EQ(TReloading::Got(bridge.Device, UploadHead.size() + FirstChunk.size(), 2000ms), UploadHead + FirstChunk);
    SettingsWriteInteger("RS\\COM", 2);
    bridge.Reload();
    // Gone for good: the freed pseudo-terminal's number may go to another test's device at once.
    MapPort(1, "/nonexistent/quellor-test/COM1");
    bridge.Device.CloseMaster();
    upload.Send(LastChunk);
    EXPECT_EQ(upload.ReadToClose(), NotAvailable("COM1"));
    EXPECT_TRUE(TReloading::Got(bridge.Other).isEmpty());
}

TEST(Reload, AnIdleLineMovesToTheNewPortAtOnce) {
    TReloading bridge;
    ASSERT_TRUE(bridge.Line.IsIdle());
    SettingsWriteInteger("RS\\COM", 2);
    TReloadReport report = bridge.Reload();
    EXPECT_EQ(report.Lines, (QStringList{"RS\\COM: COM1 -> COM2", "serial port reopened on COM2"}));
    EXPECT_EQ(bridge.Program.Rs().PortName(), "COM2");
    EXPECT_TRUE(bridge.Program.Rs().CommRS->Enabled());
    EXPECT_TRUE(WaitUntil([&] { return bridge.Program.Main().StatusPanels[0]->text() == "COM2"; }));
    EXPECT_TRUE(bridge.Program.Rs().IdentityOwed);

    SettingsWriteInteger("RS\\COM", 9);
    report = bridge.Reload();
    EXPECT_EQ(report.Lines, (QStringList{"RS\\COM: COM2 -> COM9",
                                         "COM9 did not open: /nonexistent/quellor-test/COM9 does not exist"}));
    EXPECT_TRUE(TReloading::Got(bridge.Other).isEmpty());

    // No port at all: none is written, whichever was open.
    SettingsWriteInteger("RS\\COM", 2);
    bridge.Reload();
    SettingsWriteInteger("RS\\COM", 0);
    report = bridge.Reload();
    EXPECT_EQ(report.Lines, (QStringList{"RS\\COM: COM2 -> none", "serial port closed: no port is configured"}));
    EXPECT_TRUE(bridge.Program.Rs().PortName().isEmpty());
    TClient client(bridge.Port);
    client.Send(GetPage);
    EXPECT_EQ(client.ReadToClose(), NotAvailable(""));
    EXPECT_TRUE(TReloading::Got(bridge.Other).isEmpty());
    EXPECT_TRUE(TReloading::Got(bridge.Device).isEmpty());
}

// A new line reopens the idle port at it, as a new port would; a bad value of the line is named
// and the port still opens, at the default for that value.
TEST(Reload, ANewLineReopensThePortAtItAndABadValueOfItIsNamed) {
    TReloading bridge;
    ASSERT_EQ(DeviceSees(bridge.Device).c_ospeed, 115200u);
    SettingsWriteInteger("RS\\Baud", 921600);
    SettingsWriteString("RS\\StopBits", "2");
    TReloadReport report = bridge.Reload();
    EXPECT_EQ(report.Lines, (QStringList{"RS\\Baud: 115200 -> 921600", "RS\\StopBits: 1 -> 2",
                                         "serial port reopened on COM1"}));
    EXPECT_EQ(DeviceSees(bridge.Device).c_ospeed, 921600u);
    EXPECT_TRUE(DeviceSees(bridge.Device).c_cflag & CSTOPB);

    SettingsWriteString("RS\\Baud", "fast");
    SettingsWriteString("RS\\BaudSearch", "1");
    report = bridge.Reload();
    EXPECT_EQ(report.Lines,
              (QStringList{"Settings: RS\\Baud holds \"fast\", not a number from 50 to 4000000; 115200 is used",
                           "RS\\Baud: 921600 -> 115200", "RS\\BaudSearch: 0 -> 1", "serial port reopened on COM1"}));
    EXPECT_EQ(DeviceSees(bridge.Device).c_ospeed, 115200u);
    EXPECT_TRUE(bridge.Program.Rs().CommRS->Enabled());
    // The search changes how Start looks, not the line: nothing to reopen.
    SettingsWriteString("RS\\Baud", "115200");
    SettingsWriteString("RS\\BaudSearch", "0");
    EXPECT_EQ(bridge.Reload().Lines, (QStringList{"RS\\BaudSearch: 1 -> 0"}));
}

// A line changed while an exchange is under way is applied by the next exchange, not only its rate.
TEST(Reload, ALineChangedDuringAnExchangeIsTheNextExchangesLine) {
    TReloading bridge;
    TClient first(bridge.Port);
    bridge.Line.OnClientData(bridge.Connect(first, GetPage));
    ASSERT_FALSE(TReloading::Got(bridge.Device).isEmpty());
    SettingsWriteString("RS\\StopBits", "2");
    SettingsWriteString("RS\\Flow", "rtscts");
    bridge.Reload();
    EXPECT_FALSE(DeviceSees(bridge.Device).c_cflag & CSTOPB);
    bridge.Device.Write(PageAnswer);
    EXPECT_EQ(first.ReadToClose(), PageAnswer);
    ASSERT_TRUE(WaitUntil([&] { return bridge.Line.IsIdle(); }));

    TClient next(bridge.Port);
    bridge.Line.OnClientData(bridge.Connect(next, GetPage));
    ASSERT_FALSE(TReloading::Got(bridge.Device).isEmpty());
    EXPECT_TRUE(DeviceSees(bridge.Device).c_cflag & CSTOPB);
    EXPECT_TRUE(DeviceSees(bridge.Device).c_cflag & CRTSCTS);
    EXPECT_EQ(LineText(bridge.Program.Rs().PortLine()), "115200 8N2 RTS/CTS");
    bridge.Device.Write(PageAnswer);
    EXPECT_EQ(next.ReadToClose(), PageAnswer);
}

// The record of whose device the port is cannot be written: that is logged, and the probe's
// exchange ends as any other, so the line serves the next browser.
TEST(Reload, AStoreThatFailsBehindAProbeIsLoggedAndLeavesTheLineFree) {
    TReloading bridge;
    ASSERT_TRUE(bridge.Program.Rs().IdentityOwed);
    {
        TBlockedConfigFolder blocked;
        bridge.Program.Probe().StartProbe(false);
        ASSERT_FALSE(TReloading::Got(bridge.Device).isEmpty());
        bridge.Device.Write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nboard7");
        ASSERT_TRUE(WaitUntil([&] { return bridge.Line.IsIdle(); }));
    }
    EXPECT_EQ(bridge.Program.LogLines().filter("the settings file was not written").size(), 1);
    EXPECT_EQ(bridge.Program.Rs().DetectIdentity, "board7");
    TClient client(bridge.Port);
    bridge.Line.OnClientData(bridge.Connect(client, GetPage));
    ASSERT_FALSE(TReloading::Got(bridge.Device).isEmpty());
    bridge.Device.Write(PageAnswer);
    EXPECT_EQ(client.ReadToClose(), PageAnswer);
}

TEST(Reload, BadNumbersReadAsTheirDefaultsEachNamedOnceAndTheFileIsLeftAsItWas) {
    TReloading bridge;
    SettingsWriteInteger("TCP\\Delay", 50);
    SettingsWriteInteger("TCP\\ReaderLimit", 30);
    EXPECT_EQ(bridge.Reload().Lines, (QStringList{"TCP\\Delay: 100 -> 50", "TCP\\ReaderLimit: 120 -> 30"}));
    EXPECT_EQ(bridge.Program.Tcp().ServerSocket1->ReaderLimitMs, 30000);

    WriteRaw("[RS]\nCOM=1\nFollow=x\n[TCP]\nPort=abc\nDelay=70000\nReaderLimit=45\nFraming=0\n[Journal]\nEntries=5\n");
    const QByteArray stored = FileText();
    const TReloadReport report = bridge.Reload();
    const QStringList named = report.Lines.filter("Settings: ");
    EXPECT_EQ(named, (QStringList{"Settings: TCP\\Port holds \"abc\", not a number from 1 to 65535; 24111 is used",
                                  "Settings: TCP\\Delay holds \"70000\", not a number from 0 to 60000; 100 is used",
                                  "Settings: RS\\Follow holds \"x\", not a number; 1 is used"}));
    for (const char* change : {"Journal\\Entries: 1000 -> 5", "TCP\\Framing: 1 -> 0", "TCP\\Delay: 50 -> 100",
                               "TCP\\ReaderLimit: 30 -> 45"})
        EXPECT_TRUE(report.Lines.contains(QLatin1String(change))) << change;
    EXPECT_TRUE(report.Lines.contains(QStringLiteral("TCP\\Port: %1 -> 24111").arg(bridge.Port)));
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
    EXPECT_EQ(FileText(), stored);

    EXPECT_EQ(bridge.Program.Tcp().Port, 24111);
    EXPECT_EQ(bridge.Program.Tcp().SendDelay, 100);
    EXPECT_FALSE(bridge.Program.Tcp().Framing);
    EXPECT_EQ(bridge.Program.Tcp().ReaderLimitS, 45);
    EXPECT_EQ(bridge.Program.Tcp().ServerSocket1->ReaderLimitMs, 45000);
    EXPECT_TRUE(bridge.Program.Rs().Follow);
    EXPECT_EQ(bridge.Program.W.Journal->EntriesBound(), 5);
    EXPECT_EQ(bridge.Program.Params().EditTCPPort->text(), "24111");
    EXPECT_EQ(bridge.Program.Params().EditTCPSendDelay->text(), "100");
    // Once the reload is over, every value reads as the file holds it again.
    EXPECT_EQ(SettingsReadString("TCP\\Port", ""), "abc");
}

// The start keeps its range check and its report, and names each bad number as a reload would.
TEST(Reload, TheStartNamesBadNumbersAsAReloadDoes) {
    TProgram program("ReloadStartTest");
    QFile::remove(SettingsFilePath());
    WriteRaw(QStringLiteral("[TCP]\nPort=%1\nDelay=soon\nReaderLimit=0\n").arg(FreeTcpPort()).toUtf8());
    TScriptedDialogs& dialogs = FreshDialogs();
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    EXPECT_EQ(dialogs.Texts, QStringList{"Range check error."});
    const QStringList named = program.LogLines().filter("Settings: ");
    ASSERT_EQ(named.size(), 2) << named.join('\n').toStdString();
    EXPECT_TRUE(named[0].endsWith("Settings: TCP\\Delay holds \"soon\", not a number from 0 to 60000; 100 is used"));
    EXPECT_TRUE(named[1].endsWith("Settings: TCP\\ReaderLimit holds \"0\", not a number from 1 to 3600; 120 is used"));
    EXPECT_EQ(program.Tcp().ReaderLimitS, 120);
}

TEST(Reload, RefusedWhileTheDialogHoldsChangesNotSavedAndOtherwiseSaysWhenNothingChanged) {
    TReloading bridge;
    TReloadReport report = bridge.Reload();
    EXPECT_TRUE(report.Done);
    EXPECT_EQ(report.Lines, QStringList{"nothing changed"});

    bridge.Program.Params().show();
    EXPECT_EQ(bridge.Reload().Lines, QStringList{"nothing changed"});
    bridge.Program.Params().EditTCPSendDelay->setText("250");
    SettingsWriteInteger("TCP\\Delay", 300);
    report = bridge.Reload();
    EXPECT_FALSE(report.Done);
    EXPECT_EQ(report.Lines, QStringList{"nothing reloaded: the Settings dialog holds changes not saved; save or "
                                        "cancel them first"});
    EXPECT_EQ(bridge.Program.Tcp().SendDelay, 100);
    EXPECT_EQ(bridge.Program.Params().EditTCPSendDelay->text(), "250");

    // Typed back as it was: nothing is left unsaved.
    bridge.Program.Params().EditTCPSendDelay->setText("100");
    report = bridge.Reload();
    EXPECT_TRUE(report.Done);
    EXPECT_EQ(report.Lines, QStringList{"TCP\\Delay: 100 -> 300"});
    EXPECT_EQ(bridge.Program.Params().EditTCPSendDelay->text(), "300");
    EXPECT_FALSE(bridge.Program.Params().Modified);
    bridge.Program.Params().hide();
}
