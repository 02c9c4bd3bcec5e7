// Writes through the real program: only the device's own pages may post to it, through whichever
// loopback address the browser used.
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Net.h"
#include "support/Running.h"

namespace {
QByteArray Post(quint16 port, const QHostAddress& address, const QByteArray& host, const QByteArray& origin,
                const QByteArray& body) {
    TClient client(port, address);
    client.Send("POST /upload HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
                "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    return client.ReadToClose();
}

TSimDevice::TOptions DeviceOnCom1() {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    return options;
}
} // namespace

TEST(EndToEnd, PostsFromPagesOnForeignAddressesAreRefusedAndTheDevicesOwnPagesPost) {
    TSimDevice device(DeviceOnCom1());
    TRunningProgram program([] { SettingsWriteString("TCP\\Listen", "localhost"); });
    const QByteArray port = ":" + QByteArray::number(program.Port);
    const QHostAddress v4(QHostAddress::LocalHost), v6(QHostAddress::LocalHostIPv6);
    for (const QByteArray origin : {"http://203.0.113.5", "http://[2001:db8::1]", "http://192.168.1.77:8080"}) {
        const QByteArray answer = Post(program.Port, v4, "localhost" + port, origin, "from afar");
        EXPECT_TRUE(answer.startsWith("HTTP/1.1 403 Forbidden\r\n")) << answer.constData();
        EXPECT_TRUE(program.WaitForLog("TCP: refused a request from pages of " + origin)) << origin.constData();
    }
    EXPECT_EQ(device.LastUpload(), "");
    for (const auto& [address, host] : {std::pair(v4, QByteArray("localhost")), std::pair(v4, QByteArray("127.0.0.1")),
                                        std::pair(v6, QByteArray("[::1]"))}) {
        const QByteArray body = "posted through " + host;
        const QByteArray answer = Post(program.Port, address, host + port, "http://" + host + port, body);
        EXPECT_TRUE(answer.contains("received " + QByteArray::number(body.size()) + " bytes")) << answer.constData();
        EXPECT_EQ(device.LastUpload(), body);
    }
}
