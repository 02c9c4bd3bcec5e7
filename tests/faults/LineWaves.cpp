// Waves against the line's one owner: whoever asks the line gets its own outcome, a port the
// program only probes carries nothing else, and a device that ignores or hangs costs little.
#include <algorithm>
#include <gtest/gtest.h>

#include "faults/FaultSuite.h"

namespace {
// Reads what the program wrote meanwhile, which only the event loop takes in.
bool HasLogLine(TRunningProgram& program, const QByteArray& text) { return program.WaitForLog(text, 1000); }

// How often the program has logged the text so far; what it wrote reaches the test only through
// the event loop.
qsizetype LogCount(TRunningProgram& program, const QByteArray& text) {
    WaitUntil([] { return false; }, std::chrono::milliseconds(300));
    program.Errors += program.Process.readAllStandardError();
    return program.Errors.count(text);
}

// Asks until a client gets its own answer again, after the device came back.
bool ServedAgain(uint16_t port, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (int size = 4321; std::chrono::steady_clock::now() < until; ++size) {
        TWave probe(static_cast<uint32_t>(size));
        probe.AddOne(TAct::Normal, 0ms, size);
        probe.Run(port, 5s);
        if (IsOwnAnswer(probe.Clients.front()))
            return true;
        WaitUntil([] { return false; }, 300ms);
    }
    return false;
}

// Waits until the program has logged the text more often than the given count.
bool LogsAgain(TRunningProgram& program, const QByteArray& text, qsizetype count, std::chrono::milliseconds limit) {
    return WaitUntil(
        [&] {
            program.Errors += program.Process.readAllStandardError();
            return program.Errors.count(text) > count;
        },
        limit);
}

// Normal clients that asked for patterns; the clients of the other kinds are checked by the wave.
void ExpectOwnOrFixed(const TWave& wave) {
    for (const TFaultClient& client : wave.Clients) {
        EXPECT_FALSE(client.TimedOut) << static_cast<int>(client.Act) << " size " << client.Size;
        if (client.Act == TAct::Normal) {
            EXPECT_TRUE(IsOwnAnswer(client) || IsFixedAnswer(client.Got))
                << "size " << client.Size << ", got " << client.Got.size() << " bytes: " << client.Got.left(160).constData();
            EXPECT_FALSE(client.Got.contains(TSimDevice::IdText())) << "a probe's answer reached a browser";
        }
    }
}
} // namespace

// The configured device is gone; another device, which answers slowly with 404, is plugged in and
// out on COM2. Whatever browsers send while the program probes it goes to COM1 or gets a fixed answer.
TEST_F(TFaultSuite, AFormPostNeverReachesADeviceTheProgramOnlyProbes) {
    Start();
    Device.reset();
    MapPort(1, QStringLiteral("/nonexistent/quellor-faults/COM1"));
    ASSERT_TRUE(Program->WaitForLog("RS: port removed COM1", 10000));
    for (int round = 0; round < 3; ++round) {
        TSimDevice::TOptions options;
        options.Mode = TSimDevice::TMode::NotFound;
        options.Late = 1500ms;
        options.Link = PortMapFolder() + "/COM2";
        auto stranger = std::make_unique<TSimDevice>(options);
        TWave wave(40 + round);
        for (int i = 0; i < 8; ++i)
            wave.AddOne(TAct::Upload, std::chrono::milliseconds(150 + 250 * i), 3000 + 10 * round + i);
        wave.Add(TAct::Normal, 6, 2500ms);
        wave.Run(Program->Port, 60s);
        for (const TFaultClient& client : wave.Clients) {
            EXPECT_FALSE(client.TimedOut);
            EXPECT_TRUE(IsFixedAnswer(client.Got)) << "round " << round << ": " << client.Got.left(160).constData();
        }
        const QList<QByteArray> asked = stranger->Requests();
        EXPECT_FALSE(asked.isEmpty()) << "the stranger was never probed";
        for (const QByteArray& line : asked)
            EXPECT_EQ(line, "GET /id.txt HTTP/1.1") << "round " << round;
        const qsizetype removed = LogCount(*Program, "RS: port removed COM2");
        stranger.reset();
        MapPort(2, QStringLiteral("/nonexistent/quellor-faults/COM2"));
        ASSERT_TRUE(LogsAgain(*Program, "RS: port removed COM2", removed, 10s));
    }
    EXPECT_TRUE(HasLogLine(*Program, "COM2: HTTP device"));
    EXPECT_FALSE(HasLogLine(*Program, "the device moved"));
    Device.emplace(OnCom1());
    ASSERT_TRUE(ServedAgain(Program->Port, 15s));
    TWave back(45);
    back.Add(TAct::Normal, 8, 500ms);
    back.Run(Program->Port, 30s);
    ExpectNormalClientsServed(back, IsOwnAnswer);
    ExpectAliveAndClean("strangers");
    ExpectBackAtBaseline("strangers");
}

// The device answers the idle probe after 3.5 s, when the probe has given up. In each round a
// client is served, the line stays idle until the idle probe goes out, a second client arrives
// while the probe waits (it gets the designed 503 when the probe gives up), and a third arrives
// after the give-up, before the late answer: that answer is drained, and the third client gets its own.
TEST_F(TFaultSuite, AProbeAnswerThatComesLateNeverReachesABrowser) {
    TSimDevice::TOptions options = OnCom1();
    options.ProbeLate = 3500ms;
    Device.emplace(options);
    Start();
    TWave wave(50);
    for (int round = 0; round < 3; ++round) {
        const auto at = std::chrono::milliseconds(9000 * round);
        wave.AddOne(TAct::Normal, at, 1000 + round);
        wave.AddOne(TAct::Normal, at + 4500ms, 2000 + round);
        wave.AddOne(TAct::Normal, at + 6300ms, 3000 + round);
    }
    wave.Run(Program->Port, 90s);
    ExpectOwnOrFixed(wave);
    for (size_t i = 0; i < wave.Clients.size(); i += 3) {
        EXPECT_TRUE(IsOwnAnswer(wave.Clients[i])) << wave.Clients[i].Size;
        EXPECT_TRUE(IsOwnAnswer(wave.Clients[i + 2])) << wave.Clients[i + 2].Size;
    }
    EXPECT_TRUE(HasLogLine(*Program, "that came after its client was answered"))
        << "no late probe answer was drained: " << Program->Errors.right(3000).constData();
    ExpectAliveAndClean("late probe");
    ExpectBackAtBaseline("late probe");
}

// A request the device ignores costs that request alone; seven clients behind a device that
// hangs are all told within about 15 s.
TEST_F(TFaultSuite, ADeviceThatIgnoresOrHangsCostsLittle) {
    Start();
    TWave ignored(60);
    ignored.AddOne(TAct::Normal, 0ms, 1111).Ignored = true;
    ignored.Add(TAct::Normal, 5, 1000ms, 2000, 9000);
    for (size_t i = 1; i < ignored.Clients.size(); ++i)
        ignored.Clients[i].StartAt += 3500ms;
    ignored.Run(Program->Port, 60s);
    EXPECT_EQ(ignored.Clients[0].Got, DeviceNotRespondingAnswer);
    for (size_t i = 1; i < ignored.Clients.size(); ++i)
        EXPECT_TRUE(IsOwnAnswer(ignored.Clients[i])) << "a client paid for a request the device ignored: "
                                                     << ignored.Clients[i].Got.left(120).constData();

    TWave hung(61);
    hung.AddOne(TAct::Normal, 0ms, 1222).LateMs = 20000;
    hung.Add(TAct::Normal, 7, 300ms, 2000, 9000);
    for (size_t i = 1; i < hung.Clients.size(); ++i)
        hung.Clients[i].StartAt += 100ms;
    const auto hungAt = std::chrono::steady_clock::now();
    hung.Run(Program->Port, 60s);
    for (const TFaultClient& client : hung.Clients) {
        EXPECT_EQ(client.Got, DeviceNotRespondingAnswer) << client.Size;
        EXPECT_LT(client.Took, 16s * Slowdown) << client.Size;
    }
    // The device wakes after 20 s and answers what it was sent meanwhile, one after another, later
    // than any settle limit; the line is its own again once that backlog has gone.
    WaitUntil([&] { return std::chrono::steady_clock::now() - hungAt > 24s; }, 30s);
    ASSERT_TRUE(ServedAgain(Program->Port, 15s));
    TWave after(62);
    after.Add(TAct::Normal, 6, 500ms);
    after.Run(Program->Port, 60s);
    ExpectNormalClientsServed(after, IsOwnAnswer);
    ExpectAliveAndClean("ignored and hung");
    ExpectBackAtBaseline("ignored and hung");
}

// A chunked upload, written as it comes, pauses for longer than the 3 s wait for an answer: only
// its own deadline runs while it is unfinished, and it reaches the device whole.
TEST_F(TFaultSuite, APauseInsideAChunkedUploadIsNotTakenForASilentDevice) {
    TSimDevice::TOptions options = OnCom1();
    options.QuietLimit = 10s;
    Device.emplace(options);
    Start();
    TWave wave(70);
    TFaultClient& upload = wave.AddOne(TAct::Pause, 0ms, 3000);
    upload.Chunked = true;
    upload.Hold = 4500ms;
    wave.Add(TAct::Normal, 6, 8000ms);
    wave.Run(Program->Port, 60s);
    const QByteArray body = InChunks(TSimDevice::Pattern(3000));
    const TFaultClient& paused = wave.Clients.front();
    EXPECT_TRUE(paused.Got.startsWith("HTTP/1.1 200 OK") && paused.Got.contains("received " + QByteArray::number(body.size()) + " bytes"))
        << paused.Got.left(200).constData();
    EXPECT_TRUE(Device->LastUpload() == body) << "the device did not get the body whole";
    ExpectNormalClientsServed(wave, IsOwnAnswer);
    ExpectAliveAndClean("paused upload");
    ExpectBackAtBaseline("paused upload");
}

// While a paced answer holds the line for 26 s, clients that send half of a 1 MiB body fill the
// waiting room and leave after 24 s: the small clients held back meanwhile wait their turn and get
// their answers, and not one byte of an unfinished request reaches the device.
TEST_F(TFaultSuite, HeldBackClientsWaitTheirTurnAndAbandonedRequestsNeverReachTheDevice) {
    StartPaced();
    TWave wave(80);
    wave.AddOne(TAct::Normal, 0ms, 300000);
    for (int i = 0; i < 3; ++i)
        wave.AddOne(TAct::Upload, std::chrono::milliseconds(200 + 10 * i), (1 << 20) - 100 - i);
    for (int i = 0; i < 66; ++i)
        wave.AddOne(TAct::Abandon, std::chrono::milliseconds(300 + 10 * i), (1 << 20) - 200 - i).Hold = 24s;
    for (int i = 0; i < 3; ++i)
        wave.AddOne(TAct::Normal, std::chrono::milliseconds(1500 + 100 * i), 3000 + i);
    wave.Run(Program->Port, 120s);
    int uploads = 0;
    for (const TFaultClient& client : wave.Clients) {
        EXPECT_FALSE(client.TimedOut) << static_cast<int>(client.Act) << " " << client.Size;
        if (client.Act == TAct::Upload) {
            ++uploads;
            EXPECT_TRUE(client.Got.contains("received " + QByteArray::number(client.Size) + " bytes"))
                << client.Got.left(200).constData();
        } else if (client.Act == TAct::Normal) {
            EXPECT_TRUE(IsOwnAnswer(client)) << client.Size << ": " << client.Got.left(160).constData();
        }
    }
    // The small clients came after the room was full and waited longer than a silent one may.
    for (const TFaultClient& client : wave.Clients)
        if (client.Act == TAct::Normal && client.Size < 10000) {
            EXPECT_GT(client.Took, 20s) << client.Size;
        }
    EXPECT_TRUE(HasLogLine(*Program, "left before its request was whole"));
    EXPECT_EQ(Device->CutRequests(), 0) << "a request that was never finished reached the device";
    const QList<QByteArray> served = Device->Requests();
    EXPECT_EQ(std::count_if(served.begin(), served.end(), [](const QByteArray& line) { return line.startsWith("POST /upload"); }),
              uploads);
    ExpectAliveAndClean("held back");
    ExpectBackAtBaseline("held back");
}
