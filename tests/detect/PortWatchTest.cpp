// Ports that come and go, over sysfs trees and a port map built by the test.
#include <QFile>
#include <gtest/gtest.h>

#include "detect/FakeSystem.h"
#include "detect/PortWatch.h"
#include "support/Pty.h"

namespace {
const QString Usb = "pci0000:00/0000:00:14.0/usb1/";

struct TWatched {
    TFakeSystem System;
    TPortWatch Watch{[this] { return GetComPortList(System.Sources()); }, System.Map()};
    QStringList Added;
    QStringList Removed;
    TWatched() {
        Watch.OnAdded = [this](const QString& entry) { Added << entry; };
        Watch.OnRemoved = [this](const QString& name) { Removed << name; };
    }
    void PlugArduino(const QString& name) {
        System.AddTty(name, Usb + "1-2/1-2:1.0", "cdc_acm", {{Usb + "1-2/product", "Arduino Uno"}});
    }
};
} // namespace

TEST(PortWatch, AnAdapterPluggedInAndOutIsReportedOnceEach) {
    TWatched w;
    w.System.AddTty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "port", {}, "4");
    w.Watch.Start();
    EXPECT_EQ(w.Watch.Ports(), QStringList{"COM1=16550A UART (" + w.System.Dev("ttyS0") + ")"});
    w.PlugArduino("ttyACM0");
    w.Watch.Rescan();
    w.Watch.Rescan();
    EXPECT_EQ(w.Added, QStringList{"COM65=USB Arduino Uno (" + w.System.Dev("ttyACM0") + ")"});
    EXPECT_TRUE(w.Removed.isEmpty());
    QFile::remove(w.System.Sys("class/tty/ttyACM0"));
    w.PlugArduino("ttyACM1");
    w.Watch.Rescan();
    EXPECT_EQ(w.Removed, QStringList{"COM65"});
    EXPECT_EQ(w.Added.last(), "COM66=USB Arduino Uno (" + w.System.Dev("ttyACM1") + ")");
    // While the system's list cannot be read, nothing is taken as gone.
    QDir(w.System.Sys("class")).rename("tty", "hidden");
    w.Watch.Rescan();
    EXPECT_EQ(w.Removed.size(), 1);
    EXPECT_EQ(w.Watch.Ports().size(), 2);
}

TEST(PortWatch, TheMapFolderWakesItWithoutAKernelEvent) {
    TWatched w;
    w.Watch.Start();
    TFakeSystem::Write(w.System.Dev("first"), "");
    TFakeSystem::Write(w.System.Dev("second"), "");
    QFile::link(w.System.Dev("first"), w.System.Map("COM7"));
    ASSERT_TRUE(WaitUntil([&] { return !w.Added.isEmpty(); }, std::chrono::milliseconds(1500)));
    EXPECT_EQ(w.Added, QStringList{"COM7=Mapped port (" + w.System.Dev("first") + ")"});
    // A link pointed elsewhere is a port that went and another that came under the same name.
    QFile::remove(w.System.Map("COM7"));
    QFile::link(w.System.Dev("second"), w.System.Map("COM7"));
    ASSERT_TRUE(WaitUntil([&] { return w.Added.size() == 2; }, std::chrono::milliseconds(1500)));
    EXPECT_EQ(w.Removed, QStringList{"COM7"});
    EXPECT_EQ(w.Added.last(), "COM7=Mapped port (" + w.System.Dev("second") + ")");
    QFile::remove(w.System.Dev("second"));
    w.Watch.Rescan();
    EXPECT_EQ(w.Removed, (QStringList{"COM7", "COM7"}));
}

TEST(PortWatch, OnlyKernelEventsOfTtysWakeIt) {
    const auto event = [](const auto& text) { return QByteArray(text, sizeof text - 1); };
    EXPECT_TRUE(IsTtyEvent(event("add@/devices/pci0000:00/usb1/1-2/1-2:1.0/tty/ttyACM0\0ACTION=add\0"
                                 "SUBSYSTEM=tty\0DEVNAME=ttyACM0\0")));
    EXPECT_FALSE(IsTtyEvent(event("add@/devices/pci0000:00/usb1/1-2\0ACTION=add\0SUBSYSTEM=usb\0")));
    EXPECT_FALSE(IsTtyEvent(event("change@/x\0SUBSYSTEM=tty_ldisc\0")));
}
