#include "support/PlayedDevice.h"

#include <gtest/gtest.h>

#include "settings/UtilsRegistry.h"
#include "support/LinePeek.h"

namespace {
const QByteArray Framed = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nid";
const QByteArray Unbounded = "HTTP/1.1 200 OK\r\n\r\nid";
} // namespace

void MakeDeviceAnswer(TLine& line, TPty& device) {
    ASSERT_TRUE(line.IsIdle());
    line.Ask(TAsk{});
    ASSERT_EQ(device.Read(static_cast<int>(ProbeRequest().size())), ProbeRequest());
    device.Write(Framed);
    // Where no main window hands the line the port's notices, the test does.
    ASSERT_TRUE(WaitUntil([&] {
        line.OnSerialData();
        return line.IsDeviceOk();
    }));
    ASSERT_TRUE(WaitUntil([&] { return line.IsIdle(); }));
}

const QByteArray TPlayedDevice::Request = "GET /page HTTP/1.1\r\nHost: localhost\r\n\r\n";

TPlayedDevice::TPlayedDevice(TProgram& program) : Port(FreeTcpPort()), Program(program) {
    MapPort(1, Device.SlavePath);
    SettingsWriteInteger("RS\\COM", 1);
    SettingsWriteInteger("TCP\\Port", Port);
    SettingsWriteInteger("TCP\\Framing", 1);
    SettingsWriteString("TCP\\AllowedHosts", QString());
    FreshDialogs();
    Program.Main().StartUp();
    Peek(Program.Line()).TimerCheck->stop();
}

TPlayedDevice::~TPlayedDevice() { MapPort(1, "/nonexistent/quellor-test/COM1"); }

void TPlayedDevice::Ask(TClient& client) {
    client.Send(Request);
    ASSERT_EQ(Device.Read(static_cast<int>(Request.size())), Request);
    ASSERT_NE(Program.Line().ClientOnLine(), 0);
}

void TPlayedDevice::Answer(TClient& client) {
    Device.Write(Framed);
    EXPECT_EQ(client.ReadToClose(), Framed);
}

void TPlayedDevice::AnswerAfter(TClient& client, uint32_t& now, uint32_t ms) {
    TLine& line = Program.Line();
    Device.Write(Unbounded);
    ASSERT_TRUE(WaitUntil([&] {
        const TExchange& exchange = Peek(line).Exchange;
        return exchange.Handed + exchange.Answer.size() == Unbounded.size();
    }));
    Peek(line).TimerEnd->stop();
    now += ms;
    line.TimerEndTimer();
    EXPECT_EQ(client.ReadToClose(), Unbounded);
}
