// The port enumeration over sysfs trees built by the test.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include "detect/EnumDevices.h"
#include "detect/FakeSystem.h"
#include "serial/PortNames.h"
#include "support/Pty.h"

namespace {
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

// The node that opening each listed port reaches must be the one its description names.
void ExpectListAgreesWithOpening(const QStringList& list, const TFakeSystem& system) {
    for (const QString& entry : list) {
        const QString name = entry.section('=', 0, 0);
        const QString node = ResolvePort(name, system.Map(), system.Dev()).Node;
        const QString named = entry.section('(', -1).chopped(1);
        EXPECT_EQ(QFileInfo(node).canonicalFilePath(), QFileInfo(named).canonicalFilePath()) << entry.toStdString();
    }
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
    ExpectListAgreesWithOpening(*list, system);
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

TEST(PortEnumeration, AMapEntryWinsItsNumberAndAPortItPointsAtIsListedUnderItsEntriesOnly) {
    TFakeSystem system;
    BuildTypicalMachine(system);
    TFakeSystem::Write(system.Dev("simulated"), "");
    QFile::link(system.Dev("simulated"), system.Map("COM1"));
    QFile::link(system.Dev("ttyS0"), system.Map("COM3"));
    QFile::link(system.Dev("ttyUSB0"), system.Map("COM5"));
    QFile::link(system.Dev("ttyUSB0"), system.Map("COM6"));
    QFile::link("/nonexistent/adapter", system.Map("COM34"));
    const auto list = GetComPortList(system.Sources());
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (QStringList{
                         "COM1=Mapped port (" + system.Dev("simulated") + ")",
                         "COM3=16550A UART (" + system.Dev("ttyS0") + ")",
                         "COM5=USB FT232R USB UART (" + system.Dev("ttyUSB0") + ")",
                         "COM6=USB FT232R USB UART (" + system.Dev("ttyUSB0") + ")",
                         "COM65=USB Arduino Uno (" + system.Dev("ttyACM0") + ")",
                     }));
    ExpectListAgreesWithOpening(*list, system);
    // The broken entry keeps its number: opening COM34 does not fall back to ttyUSB1.
    const TPortTarget broken = ResolvePort("COM34", system.Map(), system.Dev());
    EXPECT_TRUE(broken.Mapped);
    EXPECT_EQ(QDir::cleanPath(broken.Node), QDir::cleanPath(system.Map("COM34")));
}

TEST(PortEnumeration, AMapEntryInAnotherCaseIsTheOneOpeningUses) {
    TFakeSystem system;
    BuildTypicalMachine(system);
    QFile::link(system.Dev("ttyACM0"), system.Map("com1"));
    const auto list = GetComPortList(system.Sources());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->first(), "COM1=USB Arduino Uno (" + system.Dev("ttyACM0") + ")");
    ExpectListAgreesWithOpening(*list, system);
}
