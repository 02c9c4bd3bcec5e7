// The port enumeration over sysfs trees built by the test.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "detect/EnumDevices.h"
#include "support/Pty.h"

namespace {
// A fake /sys, /dev and port map under one temporary folder.
class TFakeSystem {
public:
    TFakeSystem() {
        QDir().mkpath(Sys("class/tty"));
        QDir().mkpath(Dev());
        QDir().mkpath(Map());
    }
    QString Sys(const QString& path = {}) const { return Root.path() + "/sys/" + path; }
    QString Dev(const QString& name = {}) const { return Root.path() + "/dev/" + name; }
    QString Map(const QString& name = {}) const { return Root.path() + "/ports/" + name; }

    // A tty whose device folder is `device` (below sys/devices), with the given driver and attributes.
    void AddTty(const QString& name, const QString& device, const QString& driver,
                const QMap<QString, QString>& attributes = {}, const QString& ttyAttributes = {}) {
        const QString deviceDir = Sys("devices/" + device);
        const QString ttyDir = deviceDir + "/tty/" + name;
        QDir().mkpath(ttyDir);
        QFile::link(deviceDir, ttyDir + "/device");
        QDir().mkpath(Sys("bus/drivers/" + driver));
        QFile::link(Sys("bus/drivers/" + driver), deviceDir + "/driver");
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            Write(Sys("devices/" + it.key()), it.value());
        if (!ttyAttributes.isEmpty())
            Write(ttyDir + "/type", ttyAttributes);
        QFile::link(ttyDir, Sys("class/tty/" + name));
        Write(Dev(name), "");
    }
    void AddVirtual(const QString& name) {
        QDir().mkpath(Sys("devices/virtual/tty/" + name));
        QFile::link(Sys("devices/virtual/tty/" + name), Sys("class/tty/" + name));
    }
    static void Write(const QString& path, const QString& text) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(text.toUtf8() + "\n");
    }
    TEnumSources Sources() const {
        TEnumSources sources;
        sources.SysfsRoot = Root.path() + "/sys";
        sources.DevRoot = Root.path() + "/dev";
        sources.MapFolder = Map();
        sources.IsPlaceholder = [this](const QString& node) { return Placeholders.contains(node); };
        return sources;
    }

    QStringList Placeholders;
    QTemporaryDir Root;
};

void BuildTypicalMachine(TFakeSystem& system) {
    const QString usb = "pci0000:00/0000:00:14.0/usb1/";
    system.AddTty("ttyUSB0", usb + "1-1/1-1:1.0/ttyUSB0", "ftdi_sio",
                  {{usb + "1-1/product", "FT232R USB UART"}, {usb + "1-1/manufacturer", "FTDI"},
                   {usb + "1-1/idVendor", "0403"}});
    system.AddTty("ttyACM0", usb + "1-2/1-2:1.0", "cdc_acm",
                  {{usb + "1-2/product", "Arduino Uno"}, {usb + "1-2/idVendor", "2341"}});
    system.AddTty("ttyUSB1", usb + "1-3/1-3:1.0/ttyUSB1", "pl2303", {{usb + "1-3/idVendor", "067b"}});
    system.AddTty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "port", {}, "4");
    system.AddTty("ttyS1", "platform/serial8250/serial8250:0/serial8250:0.1", "port", {}, "0");
    system.Placeholders << system.Dev("ttyS1");
    system.AddVirtual("tty0");
    system.AddVirtual("ptmx");
}
} // namespace

TEST(PortEnumeration, TypicalMachineGivesItsRealPortsInOrder) {
    TFakeSystem system;
    BuildTypicalMachine(system);
    QFile::link(system.Dev("ttyACM0"), system.Map("COM5"));
    QFile::link("/nonexistent/adapter", system.Map("COM9"));
    const auto list = GetComPortList(system.Sources());
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (QStringList{
                         "COM1=16550A UART (" + system.Dev("ttyS0") + ")",
                         "COM5=USB Arduino Uno (" + system.Dev("ttyACM0") + ")",
                         "COM33=USB FT232R USB UART (" + system.Dev("ttyUSB0") + ")",
                         "COM34=USB pl2303 (" + system.Dev("ttyUSB1") + ")",
                     }));
}

TEST(PortEnumeration, MapEntryNamesAreUpperCasedAndMayPointOutsideSysfs) {
    TFakeSystem system;
    TFakeSystem::Write(system.Dev("simulated"), "");
    QFile::link(system.Dev("simulated"), system.Map("com7"));
    QFile::link(system.Dev("simulated"), system.Map("notaport"));
    const auto list = GetComPortList(system.Sources());
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, QStringList{"COM7=Mapped port (" + system.Dev("simulated") + ")"});
}

TEST(PortEnumeration, DescriptionMayHoldAnEqualsSign) {
    TFakeSystem system;
    const QString usb = "pci0000:00/usb1/";
    system.AddTty("ttyACM3", usb + "1-4/1-4:1.0", "cdc_acm",
                  {{usb + "1-4/product", "Widget=Pro"}, {usb + "1-4/1-4:1.0/interface", "Console"}});
    const auto list = GetComPortList(system.Sources());
    ASSERT_TRUE(list);
    ASSERT_EQ(list->size(), 1);
    EXPECT_EQ(list->first(), "COM68=USB Widget=Pro Console (" + system.Dev("ttyACM3") + ")");
    EXPECT_EQ(list->first().section('=', 0, 0), "COM68");
}

TEST(PortEnumeration, EmptySystemGivesAnEmptyListAndAnUnreadableOneNone) {
    TFakeSystem empty;
    const auto list = GetComPortList(empty.Sources());
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->isEmpty());
    TEnumSources missing = empty.Sources();
    missing.SysfsRoot = "/nonexistent/sys";
    EXPECT_EQ(GetComPortList(missing), nullptr);
}
