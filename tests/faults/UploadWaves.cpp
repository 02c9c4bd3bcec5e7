// Waves against uploads: a client that floods and leaves sends the device nothing, and an upload
// the device ignores costs what an ignored GET costs.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>

#include "faults/FaultSuite.h"

namespace {
bool IsUpload(const QByteArray& requestLine) { return requestLine.startsWith("POST /upload"); }
} // namespace

// While a paced answer holds the line for 15 s, a client declares a body of 300 MiB, pours what
// the system takes and leaves. Its bytes and its close are still in the system's buffers, unread,
// when its turn comes: none of them reaches the device, and the clients behind it are served.
TEST_F(TFaultSuite, AClientThatFloodsAndLeavesSendsTheDeviceNothing) {
    StartPaced();
    TWave wave(90);
    wave.AddOne(TAct::Normal, 0ms, 170000);
    for (int i = 0; i < 2; ++i) {
        TFaultClient& flood = wave.AddOne(TAct::Pour, std::chrono::milliseconds(300 + 200 * i), 0);
        flood.DeclaredBody = qint64(300) << 20;
        flood.Stay = 100ms;
    }
    wave.AddOne(TAct::Normal, 1500ms, 2345);
    wave.AddOne(TAct::Normal, 1600ms, 3456);
    wave.Run(Program->Port, 90s);
    ExpectNormalClientsServed(wave, IsOwnAnswer);
    EXPECT_TRUE(Program->WaitForLog("left before its request was whole", 5000));
    const QList<QByteArray> served = Device->Requests();
    EXPECT_EQ(std::count_if(served.begin(), served.end(), IsUpload), 0) << "a departed client's request reached the device";
    EXPECT_EQ(Device->CutRequests(), 0) << "bytes of a departed client's request reached the device";
    ExpectAliveAndClean("flood and leave");
    ExpectBackAtBaseline("flood and leave");
}

// Uploads that each send most of a body the waiting room may hold, and pause, fill the room with
// requests none of which is whole: the first in line still finishes its own, and every upload and
// a GET behind them get their answers.
TEST_F(TFaultSuite, UploadsThatPauseWhileTheyFillTheWaitingRoomAreAllServed) {
    Start();
    TWave wave(92);
    for (int i = 0; i < 40; ++i) {
        TFaultClient& upload = wave.AddOne(TAct::Pause, std::chrono::milliseconds(10 * i), 1000000);
        upload.FirstPart = 900000;
        upload.Hold = 2000ms;
    }
    wave.AddOne(TAct::Normal, 1000ms, 4321);
    wave.Run(Program->Port, 150s);
    for (const TFaultClient& client : wave.Clients) {
        if (client.Act == TAct::Normal)
            EXPECT_TRUE(IsOwnAnswer(client)) << client.Got.left(160).constData();
        else
            EXPECT_TRUE(client.Got.startsWith("HTTP/1.1 200 OK") && client.Got.contains("received 1000000 bytes"))
                << client.Got.left(160).constData();
    }
    ExpectAliveAndClean("paused uploads");
    ExpectBackAtBaseline("paused uploads");
}

// Uploads of 1 KiB to 1 MiB, one of them chunked, that the device never answers each get "Device
// is not responding" 3 s after their last byte went out, as an ignored GET does, and the client
// behind each waits no longer than behind the ignored GET. Writing 1 MiB to the terminal takes a
// moment of its own.
TEST_F(TFaultSuite, AnUploadTheDeviceIgnoresCostsWhatAnIgnoredGetCosts) {
    Start();
    std::chrono::milliseconds at{0};
    TWave wave(91);
    wave.AddOne(TAct::Normal, at, 1111).Ignored = true;
    wave.AddOne(TAct::Normal, at + 500ms, 2222);
    for (const int size : {1 << 10, 5 << 10, 100 << 10, 1 << 20, -(100 << 10)}) {
        at += 14s;
        TFaultClient& upload = wave.AddOne(TAct::Upload, at, std::abs(size));
        upload.Ignored = true;
        upload.Chunked = size < 0;
        wave.AddOne(TAct::Normal, at + 500ms, 3000 + std::abs(size) % 997);
    }
    wave.Run(Program->Port, 120s);
    const auto& get = wave.Clients[0];
    EXPECT_EQ(get.Got, DeviceNotRespondingAnswer);
    for (size_t i = 0; i < wave.Clients.size(); i += 2) {
        const TFaultClient& ignored = wave.Clients[i];
        const TFaultClient& behind = wave.Clients[i + 1];
        EXPECT_EQ(ignored.Got, DeviceNotRespondingAnswer) << ignored.Size << ": " << ignored.Got.left(160).constData();
        EXPECT_LT(ignored.Took, get.Took + 4s * Slowdown) << ignored.Size << " bytes ignored";
        EXPECT_TRUE(IsOwnAnswer(behind)) << behind.Size << ": " << behind.Got.left(160).constData();
        EXPECT_LT(behind.Took, wave.Clients[1].Took + 4s * Slowdown) << "behind " << ignored.Size << " bytes ignored";
    }
    EXPECT_TRUE(Program->WaitForLog("no answer", 1000));
    ExpectAliveAndClean("ignored uploads");
    ExpectBackAtBaseline("ignored uploads");
}
