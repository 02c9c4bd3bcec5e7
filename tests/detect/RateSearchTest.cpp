// Start's search for the rate a device answers at, on ports whose device does not answer at the
// configured one.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "detect/Detection.h"
#include "detect/EnumDevices.h"
#include "platform/ShellOpen.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/LinePeek.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
const QByteArray IdAnswer = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\nboard-042";
// What a UART makes of an answer sent at another rate than its own.
const QByteArray Garbled = "\xf0\x0f\xe6\x80\x98x\x1e\xfe\xf8";

// A device on a pty that answers each request at the rate its line is set to: at `baud` (0: at
// none) with its answer, its identity unless told otherwise, at any other with bytes that are no HTTP.
class TRateDevice {
public:
    explicit TRateDevice(uint32_t baud, const QByteArray& answer = IdAnswer)
        : Baud(baud), Answer(answer), Notifier(Pty.Master, QSocketNotifier::Read) {
        QObject::connect(&Notifier, &QSocketNotifier::activated, [this] { Serve(); });
    }
    uint32_t LineRate() const {
        termios2 attr{};
        ioctl(Pty.Master, TCGETS2, &attr);
        return attr.c_ospeed;
    }

    TPty Pty;
    uint32_t Baud;
    QByteArray Answer;
    // The rate of the line at each request.
    QList<uint32_t> Asked;

private:
    void Serve() {
        char buffer[4096];
        const ssize_t n = ::read(Pty.Master, buffer, sizeof buffer);
        if (n <= 0)
            return;
        Request.append(buffer, n);
        const qsizetype end = Request.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request.remove(0, end + 4);
        const uint32_t rate = LineRate();
        Asked << rate;
        Pty.Write(rate == Baud ? Answer : Garbled);
    }
    QByteArray Request;
    QSocketNotifier Notifier;
};

// A program whose enumeration lists the mapped ports alone: COM1 a device answering at one rate,
// and the devices given after it on COM2 on.
struct TSearch {
    QTemporaryDir Sysfs;
    TRateDevice Device;
    std::vector<std::unique_ptr<TRateDevice>> Others;
    TProgram Program{"RateSearchTest"};
    QStringList Tried;
    QList<qint64> TriedAt;
    QElapsedTimer Clock;

    TSearch(uint32_t deviceBaud, bool search, std::vector<std::unique_ptr<TRateDevice>> others = {})
        : Device(deviceBaud), Others(std::move(others)) {
        MapPort(1, Device.Pty.SlavePath);
        for (size_t i = 0; i < Others.size(); ++i)
            MapPort(static_cast<int>(i) + 2, Others[i]->Pty.SlavePath);
        QFile::remove(SettingsFilePath());
        SettingsWriteInteger("RS\\COM", 1);
        SettingsWriteInteger("TCP\\Port", FreeTcpPort());
        QDir().mkpath(Sysfs.path() + "/class/tty");
        Program.Dist().EnumSources->SysfsRoot = Sysfs.path();
        Program.Dist().EnumSources->MapFolder = PortMapFolder();
        SetShellOpenHook([](const QString&) {});
        FreshDialogs();
        Program.Main().StartUp();
        Program.Rs().LineSettings.BaudSearch = search;
        Program.Detection().OnTried = [this](const QString& entry, uint32_t baud, uint8_t result) {
            Tried << QStringLiteral("%1 %2: %3").arg(entry.section('=', 0, 0)).arg(baud).arg(result);
            TriedAt << Clock.elapsed();
        };
    }
    ~TSearch() {
        SetShellOpenHook({});
        MapEveryPortNowhere();
    }
    bool RunPass() {
        Device.Asked.clear();
        Clock.start();
        QTest::mouseClick(Program.Main().BitBtnDetect, Qt::LeftButton);
        return WaitUntil([&] { return Program.Detection().PassMode == 2; }, std::chrono::milliseconds(20000));
    }
    // The probe after the pass, answered.
    bool WaitForFollowUp() {
        const qsizetype asked = Device.Asked.size();
        return WaitUntil([&] { return Device.Asked.size() > asked && Peek(Program.Line()).State == dsIdle; },
                         std::chrono::milliseconds(8000));
    }
};
} // namespace

TEST(RateSearch, RatesAreTheConfiguredOneFirstThenTheCommonOnesMostLikelyFirstNoneTwice) {
    using R = QList<uint32_t>;
    EXPECT_EQ(TDetection::SearchRates(115200), (R{115200, 921600, 460800, 230400, 57600, 38400, 19200, 9600}));
    EXPECT_EQ(TDetection::SearchRates(57600), (R{57600, 115200, 921600, 460800, 230400, 38400, 19200, 9600}));
    EXPECT_EQ(TDetection::SearchRates(9600), (R{9600, 115200, 921600, 460800, 230400, 57600, 38400, 19200}));
    EXPECT_EQ(TDetection::SearchRates(250000), (R{250000, 115200, 921600, 460800, 230400, 57600, 38400, 19200, 9600}));
}

TEST(RateSearch, FindsTheRateTheDeviceAnswersAtAndStoresItWithThePort) {
    TSearch search(57600, true);
    ASSERT_TRUE(search.RunPass());
    EXPECT_EQ(search.Device.Asked, (QList<uint32_t>{115200, 921600, 460800, 230400, 57600}));
    EXPECT_EQ(search.Tried, (QStringList{"COM1 0: 4", "COM1 921600: 4", "COM1 460800: 4", "COM1 230400: 4",
                                         "COM1 57600: 7"}));
    const TDetection& pass = search.Program.Detection();
    EXPECT_EQ(pass.BestResult, 7);
    EXPECT_EQ(pass.BestBaud, 57600u);
    EXPECT_TRUE(pass.Stored.startsWith("COM1="));
    EXPECT_EQ(search.Program.Rs().LineSettings.Baud, 57600u);
    EXPECT_EQ(SettingsReadInteger("RS\\Baud", 0), 57600);
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 1);
    EXPECT_EQ(search.Program.Rs().DetectIdentity, "board-042");
    // Each rate tried is in the log, the way each port tried is.
    const QStringList log = search.Program.LogLines();
    EXPECT_EQ(log.filter("COM1 at 921600 baud: Unknown device").size(), 1);
    EXPECT_EQ(log.filter("COM1 at 230400 baud: Unknown device").size(), 1);
    EXPECT_EQ(log.filter("COM1 at 57600 baud: Found Device").size(), 1);
    // What follows the pass goes at the stored rate, which is now the line's own.
    ASSERT_TRUE(search.WaitForFollowUp());
    EXPECT_EQ(search.Program.Probe().StatusText.left(20), "COM1: Found Device\r\n");
    EXPECT_EQ(search.Device.LineRate(), 57600u);
    EXPECT_EQ(search.Device.Asked.last(), 57600u);
}

TEST(RateSearch, WithoutTheSearchTheDeviceOnlyEverSeesTheConfiguredRate) {
    TSearch search(57600, false);
    ASSERT_TRUE(search.RunPass());
    ASSERT_TRUE(search.WaitForFollowUp());
    EXPECT_FALSE(search.Device.Asked.isEmpty());
    for (uint32_t rate : search.Device.Asked)
        EXPECT_EQ(rate, 115200u);
    EXPECT_EQ(search.Tried, QStringList{"COM1 0: 4"});
    EXPECT_EQ(search.Program.Detection().BestResult, 4);
    EXPECT_EQ(SettingsReadInteger("RS\\Baud", -1), -1);
    EXPECT_EQ(search.Program.Rs().LineSettings.Baud, 115200u);
}

// Bytes that are no HTTP come at every rate; only an HTTP answer would tell the rate is right, so
// the port is kept at the configured rate as a pass without the search keeps it.
TEST(RateSearch, ADeviceThatAnswersNoHttpAtAnyRateKeepsTheConfiguredRate) {
    TSearch search(0, true);
    ASSERT_TRUE(search.RunPass());
    EXPECT_EQ(search.Device.Asked, (QList<uint32_t>{115200, 921600, 460800, 230400, 57600, 38400, 19200, 9600}));
    EXPECT_EQ(search.Program.Detection().BestResult, 4);
    EXPECT_EQ(search.Program.Detection().BestBaud, 0u);
    EXPECT_TRUE(search.Program.Detection().Stored.startsWith("COM1="));
    EXPECT_EQ(SettingsReadInteger("RS\\Baud", -1), -1);
    EXPECT_EQ(search.Program.Rs().LineSettings.Baud, 115200u);
    ASSERT_TRUE(search.WaitForFollowUp());
    EXPECT_EQ(search.Device.LineRate(), 115200u);
    EXPECT_EQ(search.Device.Asked.last(), 115200u);
}

// A device that spoke HTTP earlier on the line makes a framed answer wait for its status line,
// dropping bytes ahead of it until the watchdog; a try at another rate ends when the line is quiet.
TEST(RateSearch, ATryAtAnotherRateEndsWhenTheLineIsQuietNotAtTheWatchdog) {
    std::vector<std::unique_ptr<TRateDevice>> others;
    others.push_back(std::make_unique<TRateDevice>(57600));
    TSearch search(115200, true, std::move(others));
    search.Device.Answer = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    ASSERT_TRUE(search.RunPass());
    ASSERT_EQ(search.Tried, (QStringList{"COM1 0: 5", "COM2 0: 3", "COM2 921600: 4", "COM2 460800: 4",
                                         "COM2 230400: 4", "COM2 57600: 7"}));
    for (int i = 2; i < search.TriedAt.size(); ++i)
        EXPECT_LT(search.TriedAt[i] - search.TriedAt[i - 1], 1000) << search.Tried[i].toStdString();
    EXPECT_TRUE(search.Program.Detection().Stored.startsWith("COM2="));
    EXPECT_EQ(SettingsReadInteger("RS\\Baud", 0), 57600);
    EXPECT_EQ(search.Others[0]->Asked, (QList<uint32_t>{115200, 921600, 460800, 230400, 57600}));
}
