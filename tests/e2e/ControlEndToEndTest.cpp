// A running bridge asked by scripts: its status, a check of the device, a detection pass and a
// reload of its settings, each through the real program's local socket.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QHostAddress>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"
#include "support/Running.h"

namespace {
struct TRun {
    int Status = -1;
    QByteArray Out, Errors;
};

TRun Quellor(const QStringList& arguments, int timeoutMs = 30000) {
    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    process.start(QStringLiteral(QUELLOR_BINARY), arguments);
    process.waitForFinished(timeoutMs);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QJsonObject StatusOf(const QStringList& instance = {}) {
    const TRun run = Quellor(instance + QStringList{"--status", "--json"});
    EXPECT_EQ(run.Status, 0) << run.Errors.constData();
    return QJsonDocument::fromJson(run.Out).object();
}

QByteArray Get(quint16 port, const QByteArray& target) {
    TClient client(port);
    client.Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return client.ReadToClose();
}

// Every file under the folder, for a look at what a run wrote.
QStringList FilesUnder(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}
} // namespace

TEST(ControlEndToEnd, TheStatusTellsThePortTheDeviceAndTheExchangesServed) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    TSimDevice device(options);
    TRunningProgram program;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(Get(program.Port, "/index.html").startsWith("HTTP/1.1 200 OK"));
    ASSERT_TRUE(WaitUntil([] { return StatusOf().value("device").toString() == "answers"; }, std::chrono::seconds(10)));

    const QJsonObject status = StatusOf();
    for (const char* key : {"port", "node", "device", "reason", "identity", "line", "waiting", "served", "lastAnswerMs",
                            "listen", "tcpPort", "url", "instance", "version"})
        EXPECT_TRUE(status.contains(key)) << key;
    EXPECT_EQ(status.value("port").toString(), "COM1");
    EXPECT_EQ(status.value("node").toString(), QFileInfo(device.SlavePath()).canonicalFilePath());
    EXPECT_EQ(status.value("served").toInt(), 3);
    EXPECT_EQ(status.value("waiting").toInt(), 0);
    EXPECT_EQ(status.value("listen").toString(), "0.0.0.0");
    EXPECT_EQ(status.value("tcpPort").toInt(), program.Port);
    EXPECT_EQ(status.value("url").toString(), QStringLiteral("http://localhost:%1").arg(program.Port));
    EXPECT_EQ(status.value("instance").toString(), "");
    EXPECT_EQ(status.value("version").toString(), QUELLOR_VERSION);
    EXPECT_FALSE(status.value("identity").toString().isEmpty());
    EXPECT_TRUE(status.value("reason").toString().startsWith("COM1: ")) << status.value("reason").toString().toStdString();

    const TRun text = Quellor({"--status"});
    EXPECT_EQ(text.Status, 0);
    const QList<QByteArray> lines = text.Out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 12) << text.Out.constData();
    EXPECT_EQ(lines[0], "port: COM1 " + status.value("node").toString().toUtf8());
    EXPECT_EQ(lines[1], "line settings: 115200 8N1");
    EXPECT_TRUE(lines[2].startsWith("device: answers (COM1: ")) << lines[2].constData();
    EXPECT_EQ(lines[6], "served: 3");
    EXPECT_EQ(lines[8], QStringLiteral("listen: 0.0.0.0:%1").arg(program.Port).toUtf8());
    EXPECT_EQ(lines[10], "instance: (default)");
}

TEST(ControlEndToEnd, ACheckWaitsForItsOwnProbeAndSaysWhetherTheDeviceAnswered) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    auto device = std::make_unique<TSimDevice>(options);
    TRunningProgram program;
    const TRun present = Quellor({"--check"});
    EXPECT_EQ(present.Status, 0) << present.Errors.constData();
    EXPECT_TRUE(present.Out.startsWith("device: answers (COM1: Found Device")) << present.Out.constData();

    device.reset();
    const TRun gone = Quellor({"--check"});
    EXPECT_EQ(gone.Status, 3) << gone.Out.constData();
    EXPECT_TRUE(gone.Out.startsWith("device: port-error") || gone.Out.startsWith("device: silent")) << gone.Out.constData();
}

TEST(ControlEndToEnd, WithoutARunningBridgeEachVerbExitsOneAndWritesNothing) {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QStringList before = FilesUnder(config);
    for (const QStringList& verb : {QStringList{"--status"}, QStringList{"--status", "--json"}, QStringList{"--check"},
                                    QStringList{"--detect"}, QStringList{"--reload"}, QStringList{"--instance", "lab", "--status"}}) {
        const TRun run = Quellor(verb);
        EXPECT_EQ(run.Status, 1) << verb.join(' ').toStdString();
        EXPECT_TRUE(run.Out.isEmpty());
        EXPECT_TRUE(run.Errors.contains("is not running; start it with 'quellor")) << run.Errors.constData();
    }
    EXPECT_EQ(FilesUnder(config), before);
}

TEST(ControlEndToEnd, ANamedBridgeAnswersForItselfBesideTheDefaultOne) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    TSimDevice device(options);
    TRunningProgram standard;
    TRunningProgram named({}, "lab");
    const QJsonObject own = StatusOf({"--instance", "lab"});
    EXPECT_EQ(own.value("instance").toString(), "lab");
    EXPECT_EQ(own.value("tcpPort").toInt(), named.Port);
    const QJsonObject other = StatusOf();
    EXPECT_EQ(other.value("instance").toString(), "");
    EXPECT_EQ(other.value("tcpPort").toInt(), standard.Port);
    EXPECT_EQ(Quellor({"--instance", "bench", "--status"}).Status, 1);
}

TEST(ControlEndToEnd, UsageErrorsExitTwo) {
    for (const QStringList& wrong : {QStringList{"--status", "--check"}, QStringList{"--json"}, QStringList{"--check", "--json"},
                                     QStringList{"--reload", "--journal", "-"}, QStringList{"--detect", "now"}}) {
        const TRun run = Quellor(wrong);
        EXPECT_EQ(run.Status, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(run.Errors.contains("Try 'quellor --help'.")) << run.Errors.constData();
    }
}

namespace {
// A launcher that runs the program where /sys/class/tty is empty, so that a detection pass lists
// only the mapped ports and never opens the machine's own UARTs; none where no namespace can be made.
QStringList WithoutTheMachinesPorts() {
    const QString script = QStringLiteral("mount -t tmpfs tmpfs /sys/class/tty && exec \"$0\" \"$@\"");
    for (const QStringList& unshare : {QStringList{"unshare", "--mount", "--propagation", "private"},
                                       QStringList{"unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"}}) {
        QProcess probe;
        probe.start(unshare.first(), unshare.mid(1) + QStringList{"sh", "-c", script, "ls", "/sys/class/tty"});
        if (probe.waitForFinished(5000) && probe.exitCode() == 0 && probe.readAllStandardOutput().trimmed().isEmpty())
            return unshare + QStringList{"sh", "-c", script};
    }
    return {};
}

// The browser the program would open leaves a mark.
struct TBrowserMark {
    QTemporaryDir Folder;
    QString Mark = Folder.filePath("opened");
    TBrowserMark() {
        const QString opener = Folder.filePath("open.sh");
        QFile file(opener);
        file.open(QIODevice::WriteOnly);
        file.write("#!/bin/sh\necho \"$1\" >> '" + Mark.toUtf8() + "'\n");
        file.close();
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        qputenv("QUELLOR_OPEN_COMMAND", opener.toUtf8());
    }
    ~TBrowserMark() { qunsetenv("QUELLOR_OPEN_COMMAND"); }
};
} // namespace

// Two askers at once share one pass; the port found is stored, and no browser opens.
TEST(ControlEndToEnd, DetectFindsTheDeviceOnAnotherPortStoresItAndOpensNoBrowser) {
    const QStringList launcher = WithoutTheMachinesPorts();
    if (launcher.isEmpty())
        GTEST_SKIP() << "no mount namespace can be made here, and a pass must not open the machine's own ports";
    TSimDevice::TOptions garbage;
    garbage.Mode = TSimDevice::TMode::Garbage;
    garbage.Link = PortMapFolder() + "/COM3";
    TSimDevice other(garbage);
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM7";
    // Long enough for the second asker to come while the pass is under way.
    options.ProbeLate = std::chrono::milliseconds(1500);
    TSimDevice device(options);
    TBrowserMark browser;
    TRunningProgram program([] { MapPort(1, "/nonexistent/quellor-port"); }, {}, "TCP: Listen", launcher);

    QProcess first;
    first.setProcessEnvironment(ProgramEnvironment());
    first.start(QStringLiteral(QUELLOR_BINARY), {"--detect"});
    ASSERT_TRUE(program.WaitForLog("COM3=Mapped port"));
    const TRun run = Quellor({"--detect"});
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(run.Status, 0) << run.Out.constData() << run.Errors.constData();
    EXPECT_EQ(first.exitCode(), 0);
    const QByteArray joined = first.readAllStandardOutput();
    for (const QByteArray& out : {run.Out, joined}) {
        EXPECT_TRUE(out.contains("COM7: answers\n")) << out.constData();
        EXPECT_TRUE(out.endsWith("found COM7, stored as the port in use\n")) << out.constData();
    }
    EXPECT_TRUE(joined.startsWith("trying COM3 (Mapped port (")) << joined.constData();
    EXPECT_TRUE(run.Out.startsWith("joining the pass under way\n")) << run.Out.constData();
    program.WaitForLog("COM7: Found Device");
    EXPECT_EQ(program.Errors.count("COM3=Mapped port"), 1) << "the pass ran twice:\n" << program.Errors.constData();
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\quellor");
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 7);
    EXPECT_EQ(StatusOf().value("port").toString(), "COM7");
    EXPECT_FALSE(QFile::exists(browser.Mark));
}

TEST(ControlEndToEnd, DetectWhereNoPortAnswersExitsThree) {
    const QStringList launcher = WithoutTheMachinesPorts();
    if (launcher.isEmpty())
        GTEST_SKIP() << "no mount namespace can be made here, and a pass must not open the machine's own ports";
    TRunningProgram program([] { MapPort(1, "/nonexistent/quellor-port"); }, {}, "TCP: Listen", launcher);
    const TRun run = Quellor({"--detect"});
    EXPECT_EQ(run.Status, 3) << run.Out.constData() << run.Errors.constData();
    EXPECT_TRUE(run.Out.contains("trying COM1")) << run.Out.constData();
    EXPECT_TRUE(run.Out.endsWith("no port answered\n")) << run.Out.constData();
}

// A device that answers only at 57600 baud, and garbage at every other rate, is found by the
// search and stored with its rate; without the search it never sees another rate than the line's.
TEST(ControlEndToEnd, DetectWithTheRateSearchFindsTheDevicesRateAndStoresItWithThePort) {
    const QStringList launcher = WithoutTheMachinesPorts();
    if (launcher.isEmpty())
        GTEST_SKIP() << "no mount namespace can be made here, and a pass must not open the machine's own ports";
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM5";
    options.AnswerBaud = 57600;
    for (const bool search : {false, true}) {
        TSimDevice device(options);
        TRunningProgram program(
            [search] {
                MapPort(1, "/nonexistent/quellor-port");
                SettingsWriteInteger("RS\\BaudSearch", search ? 1 : 0);
            },
            {}, "TCP: Listen", launcher);
        const TRun run = Quellor({"--detect"}, 60000);
        SettingsSetLocation("SOFTWARE", "NORVEL-Q\\quellor");
        if (!search) {
            EXPECT_FALSE(run.Out.contains(" baud")) << run.Out.constData();
            EXPECT_FALSE(device.SeenRates().isEmpty());
            for (const uint32_t rate : device.SeenRates())
                EXPECT_EQ(rate, 115200u);
            EXPECT_EQ(SettingsReadString("RS\\Baud", "115200"), "115200");
            continue;
        }
        EXPECT_EQ(run.Status, 0) << run.Out.constData() << run.Errors.constData();
        EXPECT_TRUE(run.Out.contains("at 57600 baud")) << run.Out.constData();
        EXPECT_TRUE(run.Out.endsWith("found COM5, stored as the port in use\n")) << run.Out.constData();
        EXPECT_EQ(device.SeenRates().first(), 115200u);
        EXPECT_TRUE(device.SeenRates().contains(57600u));
        EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 5);
        EXPECT_EQ(SettingsReadInteger("RS\\Baud", 0), 57600);
        EXPECT_EQ(StatusOf().value("lineSettings").toString(), "57600 8N1");
        EXPECT_TRUE(Get(program.Port, "/id.txt").startsWith("HTTP/1.1 200 OK"));
    }
}

namespace {
QByteArray SettingsFileBytes() {
    QFile file(SettingsFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Refused(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return !socket.waitForConnected(2000);
}
} // namespace

// The server moves to the new TCP port while an answer streams: that answer arrives whole, a
// client waiting behind it gets the fixed answer, the old port is closed and the new one serves.
TEST(ControlEndToEnd, AReloadMovesTheServerWhileAnAnswerStreamsWithoutCuttingIt) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    options.Paced = true;
    TSimDevice device(options);
    TRunningProgram program;
    const QByteArray request = "GET /bin/pattern?size=40000 HTTP/1.1\r\nHost: localhost\r\n\r\n";
    TClient streaming(program.Port);
    streaming.Send(request);
    ASSERT_TRUE(WaitUntil([&] { return streaming.Socket.bytesAvailable() > 0 || streaming.Socket.waitForReadyRead(20); },
                          std::chrono::seconds(10)));
    TClient waiting(program.Port);
    waiting.Send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(WaitUntil([] { return StatusOf().value("waiting").toInt() >= 2; }, std::chrono::seconds(5)));

    const quint16 moved = FreeTcpPort();
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\quellor");
    SettingsWriteInteger("TCP\\Port", moved);
    const TRun reload = Quellor({"--reload"});
    EXPECT_EQ(reload.Status, 0) << reload.Out.constData() << reload.Errors.constData();
    EXPECT_TRUE(reload.Out.contains("TCP\\Port")) << reload.Out.constData();

    EXPECT_TRUE(waiting.ReadToClose().startsWith("HTTP/1.1 503"));
    const QByteArray answer = streaming.ReadToClose();
    EXPECT_EQ(answer, device.AnswerTo(request.first(request.indexOf("\r\n\r\n") + 4), {}));
    EXPECT_TRUE(Refused(program.Port));
    EXPECT_TRUE(Get(moved, "/index.html").startsWith("HTTP/1.1 200 OK"));
    EXPECT_EQ(StatusOf().value("tcpPort").toInt(), moved);
}

// SIGHUP reloads as --reload does; values that are no numbers or out of range are read as their
// defaults, one log line naming each, and the file stays as it was.
TEST(ControlEndToEnd, SighupReloadsAndBadValuesReadAsDefaultsWithALineEach) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    TSimDevice device(options);
    TRunningProgram program;
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\quellor");
    SettingsWriteString("TCP\\Delay", "soon");
    SettingsWriteInteger("TCP\\ReaderLimit", 99999);
    const QByteArray before = SettingsFileBytes();
    ::kill(static_cast<pid_t>(program.Process.processId()), SIGHUP);
    EXPECT_TRUE(program.WaitForLog("TCP\\Delay")) << program.Errors.constData();
    EXPECT_TRUE(program.WaitForLog("TCP\\ReaderLimit")) << program.Errors.constData();
    EXPECT_EQ(program.Errors.count("TCP\\Delay holds"), 1) << program.Errors.constData();
    EXPECT_EQ(program.Process.state(), QProcess::Running);
    EXPECT_TRUE(Get(program.Port, "/index.html").startsWith("HTTP/1.1 200 OK"));

    const TRun again = Quellor({"--reload"});
    EXPECT_EQ(again.Status, 0) << again.Errors.constData();
    EXPECT_TRUE(again.Out.contains("TCP\\Delay")) << again.Out.constData();
    EXPECT_EQ(SettingsFileBytes(), before);
}
