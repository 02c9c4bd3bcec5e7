// Named bridges through the real program: each runs beside the others with its own settings and
// device, and a port another bridge holds fails to open like any busy port.
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Running.h"

namespace {
std::unique_ptr<TSimDevice> DeviceOn(int com) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + QStringLiteral("/COM%1").arg(com);
    return std::make_unique<TSimDevice>(options);
}

std::function<void()> OnCom(int com) {
    return [com] { SettingsWriteInteger("RS\\COM", com); };
}

QByteArray Upload(quint16 port, const QByteArray& body) {
    TClient client(port);
    client.Send("POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + QByteArray::number(body.size()) +
                "\r\n\r\n" + body);
    return client.ReadToClose();
}
} // namespace

TEST(NamedInstances, TwoNamedBridgesAndTheDefaultOneEachServeTheirOwnDevice) {
    const auto first = DeviceOn(1), second = DeviceOn(2), third = DeviceOn(3);
    TRunningProgram standard;
    TRunningProgram bench1(OnCom(2), "bench1");
    TRunningProgram bench2(OnCom(3), "bench2");
    const std::pair<TRunningProgram*, TSimDevice*> bridges[] = {
        {&standard, first.get()}, {&bench1, second.get()}, {&bench2, third.get()}};
    for (const auto& [program, device] : bridges) {
        const QByteArray body = "to the bridge on port " + QByteArray::number(program->Port);
        EXPECT_TRUE(Upload(program->Port, body).contains("received " + QByteArray::number(body.size()) + " bytes"))
            << program->Errors.constData();
        EXPECT_EQ(device->LastUpload(), body);
    }
    for (TRunningProgram* program : {&standard, &bench1, &bench2})
        EXPECT_EQ(program->Process.state(), QProcess::Running);
}

TEST(NamedInstances, ATcpPortOrADeviceAnotherBridgeHoldsFailsToOpenAndIsLogged) {
    const auto device = DeviceOn(1);
    TRunningProgram holder({}, "holder");
    ASSERT_TRUE(holder.WaitForLog("RS: Open COM1"));
    const quint16 port = holder.Port;
    TRunningProgram late([port] { SettingsWriteInteger("TCP\\Port", port); }, "late", "TCP: ");
    EXPECT_TRUE(late.WaitForLog("TCP: Open Socket Error\n"));
    EXPECT_TRUE(late.WaitForLog("TCP: cannot listen on ")) << late.Errors.constData();
    EXPECT_TRUE(late.WaitForLog("RS: COM1 Open Error!"));
    EXPECT_EQ(late.Process.state(), QProcess::Running);
    const QByteArray body = "still the holder's";
    EXPECT_TRUE(Upload(port, body).contains("received"));
    EXPECT_EQ(device->LastUpload(), body);
}
