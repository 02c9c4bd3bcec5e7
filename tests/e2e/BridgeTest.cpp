// The real program, headless, between the simulated device on a pty and real browsers' connections.
#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <csignal>
#include <sys/inotify.h>
#include <unistd.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Running.h"

namespace {
TSimDevice::TOptions OnCom1(TSimDevice::TMode mode = TSimDevice::TMode::Device) {
    TSimDevice::TOptions options;
    options.Mode = mode;
    options.Link = PortMapFolder() + "/COM1";
    return options;
}

QByteArray Body(const QByteArray& answer) { return answer.mid(answer.indexOf("\r\n\r\n") + 4); }

QByteArray Get(quint16 port, const QByteArray& target) {
    TClient client(port);
    client.Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    return client.ReadToClose();
}
} // namespace

TEST(EndToEnd, PagesAndBinaryFilesComeBackByteForByte) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    const QByteArray page = Get(program.Port, "/index.html");
    EXPECT_TRUE(page.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(Body(page), TSimDevice::IndexPage());
    EXPECT_EQ(Body(Get(program.Port, "/bin/all256")), TSimDevice::AllByteValues());
    EXPECT_EQ(Body(Get(program.Port, "/img/3.bmp")), TSimDevice::Image(3));
}

TEST(EndToEnd, SixClientsAtOnceEachGetTheirOwnAnswer) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    std::vector<std::unique_ptr<TClient>> clients;
    for (int i = 1; i <= 6; ++i) {
        clients.push_back(std::make_unique<TClient>(program.Port));
        clients.back()->Send("GET /bin/pattern?size=" + QByteArray::number(i * 1500) + " HTTP/1.1\r\n\r\n");
    }
    for (int i = 1; i <= 6; ++i)
        EXPECT_EQ(Body(clients[i - 1]->ReadToClose(std::chrono::milliseconds(20000))), TSimDevice::Pattern(i * 1500)) << i;
}

TEST(EndToEnd, ASilentDeviceGetsTheNotRespondingAnswerAfterAboutThreeSeconds) {
    TSimDevice device(OnCom1(TSimDevice::TMode::Silent));
    TRunningProgram program;
    QElapsedTimer timer;
    timer.start();
    const QByteArray answer = Get(program.Port, "/id.txt");
    const qint64 elapsed = timer.elapsed();
    EXPECT_EQ(answer.size(), 207);
    EXPECT_TRUE(answer.contains("Device is not responding."));
    EXPECT_GE(elapsed, 2500);
    EXPECT_LE(elapsed, 7000);
}

TEST(EndToEnd, ADeviceThatVanishesMidAnswerIsServedAgainWhenItComesBack) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    ASSERT_EQ(Body(Get(program.Port, "/id.txt")), TSimDevice::IdText());
    device.VanishDuringNextAnswer(std::chrono::milliseconds(300));
    const QByteArray cut = Get(program.Port, "/bin/pattern?size=20000");
    EXPECT_LT(cut.size(), 20000);
    QByteArray again;
    QElapsedTimer timer;
    timer.start();
    while (Body(again) != TSimDevice::IdText() && timer.elapsed() < 15000)
        again = Get(program.Port, "/id.txt");
    program.WaitForLog("RS: Open COM1");
    EXPECT_EQ(Body(again), TSimDevice::IdText()) << program.Errors.constData();
}

// A port-map entry that went missing would send a running program to the real port of that number:
// the simulator replaces its entry in one step when it comes back and when it ends, never removes it.
TEST(EndToEnd, TheSimulatorNeverLeavesItsPortUnmapped) {
    const QString folder = PortMapFolder();
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, QFile::encodeName(folder).constData(), IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO), 0);
    int replaced = 0;
    const auto take = [&] {
        alignas(inotify_event) char events[4096];
        const ssize_t size = ::read(watch, events, sizeof events);
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            const QByteArray name(event->len ? event->name : "");
            EXPECT_FALSE(name == "COM1" && (event->mask & (IN_DELETE | IN_MOVED_FROM))) << "COM1 went missing";
            replaced += name == "COM1" && (event->mask & IN_MOVED_TO) ? 1 : 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    };
    {
        TSimDevice device(OnCom1());
        device.Vanish(std::chrono::milliseconds(50));
        EXPECT_TRUE(WaitUntil([&] {
            take();
            return replaced == 2;
        })) << "the device did not come back";
    }
    take();
    ::close(watch);
    EXPECT_EQ(replaced, 3);
    EXPECT_TRUE(QFileInfo(folder + "/COM1").symLinkTarget().startsWith("/nonexistent/"));
    EXPECT_EQ(QDir(folder).entryList(QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).filter(".new"), QStringList());
}

TEST(EndToEnd, AnUploadArrivesAtTheDeviceUnchanged) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    const QByteArray body = TSimDevice::Pattern(100000);
    TClient client(program.Port);
    client.Send("POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n" + body);
    const QByteArray answer = client.ReadToClose(std::chrono::milliseconds(20000));
    EXPECT_TRUE(answer.contains("received 100000 bytes")) << answer.constData();
    EXPECT_EQ(device.LastUpload(), body);
}

// The log tells the reload as it tells everything else: on standard error, once.
TEST(EndToEnd, SighupReloadsTheSettingsFileAndTheServerMovesToItsNewPort) {
    TSimDevice device(OnCom1());
    TRunningProgram program;
    const quint16 moved = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", moved);
    SettingsWriteString("TCP\\Delay", "soon");
    ASSERT_EQ(::kill(static_cast<pid_t>(program.Process.processId()), SIGHUP), 0);
    ASSERT_TRUE(program.WaitForLog(QStringLiteral("the server listens on every IPv4 address, port %1").arg(moved).toUtf8()))
        << program.Errors.constData();
    EXPECT_TRUE(program.Errors.contains("SIGHUP: the settings file is read again"));
    EXPECT_TRUE(program.Errors.contains(QStringLiteral("TCP\\Port: %1 -> %2").arg(program.Port).arg(moved).toUtf8()));
    EXPECT_EQ(program.Errors.count("Settings: TCP\\Delay holds \"soon\", not a number from 0 to 60000; 100 is used"), 1);
    EXPECT_TRUE(Get(moved, "/id.txt").startsWith("HTTP/1.1 200 OK\r\n"));
    TClient old(program.Port);
    EXPECT_NE(old.Socket.state(), QAbstractSocket::ConnectedState);
}
