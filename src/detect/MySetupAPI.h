#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// What the system knows of one tty: read from sysfs (/sys/class/tty/<name>).
struct TTtyDevice {
    QString Name;        // ttyUSB0
    QString Node;        // /dev/ttyUSB0
    QString DeviceDir;   // the resolved device folder
    QString Driver;      // ftdi_sio, cdc_acm, serial8250, ...
    bool Usb = false;
};

// true when the node is one of the 8250 driver's placeholder ports (no UART behind it).
using TPlaceholderCheck = std::function<bool(const QString& node)>;

// The ttys below sysfsRoot/class/tty that stand for hardware (virtual ones, ptys and consoles,
// left out), in name order; none when that folder cannot be read.
std::optional<QList<TTtyDevice>> ListTtyDevices(const QString& sysfsRoot, const QString& devRoot);
// One attribute of a device folder or of the first folder above it that has it; empty when none.
QString GetDevicePropertyText(const QString& deviceDir, const QString& property, const QString& sysfsRoot);
// TIOCGSERIAL on the node fails or reports PORT_UNKNOWN.
bool IsPlaceholder8250(const QString& node);
