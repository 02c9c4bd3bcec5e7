#include "detect/EnumDevices.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <map>

#include "serial/PortNames.h"

namespace {
// UART types as the serial core numbers them.
QString UartType(const QString& number) {
    static const std::map<QString, QString> names = {
        {QStringLiteral("1"), QStringLiteral("8250")},     {QStringLiteral("2"), QStringLiteral("16450")},
        {QStringLiteral("3"), QStringLiteral("16550")},    {QStringLiteral("4"), QStringLiteral("16550A")},
        {QStringLiteral("6"), QStringLiteral("16650")},    {QStringLiteral("7"), QStringLiteral("16650V2")},
        {QStringLiteral("8"), QStringLiteral("16750")},    {QStringLiteral("14"), QStringLiteral("16850")},
        {QStringLiteral("15"), QStringLiteral("RSA")},     {QStringLiteral("17"), QStringLiteral("XScale")},
        {QStringLiteral("32"), QStringLiteral("PL011")}};
    const auto found = names.find(number);
    return found == names.end() ? QString() : found->second;
}

// The 8250 driver's ports hang below its platform device (newer kernels put a serial-base
// "port" device in between).
bool Is8250Port(const TTtyDevice& device) {
    return device.Driver == QLatin1String("serial8250") || device.DeviceDir.contains(QLatin1String("/serial8250"));
}

// A node by the path it finally leads to, or as it is when it leads nowhere yet.
QString Canonical(const QString& node) {
    const QString canonical = QFileInfo(node).canonicalFilePath();
    return canonical.isEmpty() ? node : canonical;
}

// The ports that hardware stands behind, by their canonical nodes.
std::map<QString, TTtyDevice> HardwarePorts(const QList<TTtyDevice>& devices, const TEnumSources& sources) {
    std::map<QString, TTtyDevice> ports;
    for (const TTtyDevice& device : devices)
        if (!(Is8250Port(device) && sources.IsPlaceholder(device.Node)))
            ports.emplace(Canonical(device.Node), device);
    return ports;
}
} // namespace

QString PortDescription(const TTtyDevice& device, const QString& sysfsRoot) {
    const QString tail = QStringLiteral(" (") + device.Node + QLatin1Char(')');
    if (device.Usb) {
        const QString product = GetDevicePropertyText(device.DeviceDir, QStringLiteral("product"), sysfsRoot);
        const QString interface = GetDevicePropertyText(device.DeviceDir, QStringLiteral("interface"), sysfsRoot);
        QString text = product;
        if (!interface.isEmpty() && interface != product)
            text = text.isEmpty() ? interface : text + QLatin1Char(' ') + interface;
        if (text.isEmpty())
            text = GetDevicePropertyText(device.DeviceDir, QStringLiteral("manufacturer"), sysfsRoot);
        if (text.isEmpty())
            text = device.Driver;
        return (QStringLiteral("USB ") + text).trimmed() + tail;
    }
    const QString classEntry = sysfsRoot + QStringLiteral("/class/tty/") + device.Name;
    const QString uart = UartType(GetDevicePropertyText(classEntry, QStringLiteral("type"), sysfsRoot));
    if (!uart.isEmpty())
        return uart + QStringLiteral(" UART") + tail;
    return (device.Driver.isEmpty() ? device.Name : device.Driver) + tail;
}

// Every COMn is described by what opening it reaches. A port that a map entry points at is listed
// under its map entries only; a fixed-range number that a map entry takes (even a broken one) is
// the map's.
std::unique_ptr<QStringList> GetComPortList(const TEnumSources& sources) {
    const auto devices = ListTtyDevices(sources.SysfsRoot, sources.DevRoot);
    if (!devices)
        return nullptr;
    const QString mapFolder = sources.MapFolder.isEmpty() ? PortMapFolder() : sources.MapFolder;
    const std::map<QString, TTtyDevice> hardware = HardwarePorts(*devices, sources);
    struct TFound {
        int Number;
        QString Node;
        QString Description;
        bool Mapped;
    };
    QList<TFound> found;
    QSet<QString> pinned;
    for (int number = 1; number <= 255; ++number) {
        const TPortTarget target = ResolvePort(QStringLiteral("COM%1").arg(number), mapFolder, sources.DevRoot);
        const QString node = target.Mapped ? QFileInfo(target.Node).canonicalFilePath() : Canonical(target.Node);
        const auto tty = hardware.find(node);
        if (target.Mapped && !node.isEmpty())
            pinned << node;
        if (tty != hardware.end() && !node.isEmpty())
            found << TFound{number, node, PortDescription(tty->second, sources.SysfsRoot), target.Mapped};
        else if (target.Mapped && !node.isEmpty())
            found << TFound{number, node, QStringLiteral("Mapped port (") + node + QLatin1Char(')'), true};
    }
    auto list = std::make_unique<QStringList>();
    for (const TFound& port : found)
        if (port.Mapped || !pinned.contains(port.Node))
            *list << QStringLiteral("COM%1=%2").arg(port.Number).arg(port.Description);
    return list;
}
