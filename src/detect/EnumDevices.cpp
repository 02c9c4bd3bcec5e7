#include "detect/EnumDevices.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
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

int ComNumber(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    const int number = match.hasMatch() ? match.captured(1).toInt() : 0;
    return number <= 255 ? number : 0;
}

// The 8250 driver's ports hang below its platform device (newer kernels put a serial-base
// "port" device in between).
bool Is8250Port(const TTtyDevice& device) {
    return device.Driver == QLatin1String("serial8250") || device.DeviceDir.contains(QLatin1String("/serial8250"));
}

struct TMapEntry {
    int Number;
    QString Target;  // resolved
};

// Port-map entries whose target exists.
QList<TMapEntry> MapEntries(const QString& folder) {
    QList<TMapEntry> entries;
    for (const QFileInfo& link : QDir(folder).entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        const int number = ComNumber(link.fileName());
        const QString target = link.canonicalFilePath();
        if (number > 0 && !target.isEmpty())
            entries << TMapEntry{number, target};
    }
    return entries;
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

std::unique_ptr<QStringList> GetComPortList(const TEnumSources& sources) {
    const auto devices = ListTtyDevices(sources.SysfsRoot, sources.DevRoot);
    if (!devices)
        return nullptr;
    const QList<TMapEntry> map = MapEntries(sources.MapFolder.isEmpty() ? PortMapFolder() : sources.MapFolder);
    std::map<int, QString> ports;
    QStringList mappedTargets;
    for (const TTtyDevice& device : *devices) {
        if (Is8250Port(device) && sources.IsPlaceholder(device.Node))
            continue;
        const QString node = QFileInfo(device.Node).canonicalFilePath().isEmpty()
                                 ? device.Node
                                 : QFileInfo(device.Node).canonicalFilePath();
        int number = 0;
        for (const TMapEntry& entry : map)
            if (entry.Target == node && number == 0)
                number = entry.Number;
        if (number)
            mappedTargets << node;
        else
            number = ComNumber(RangePortName(QStringLiteral("/dev/") + device.Name));
        if (number > 0 && !ports.count(number))
            ports[number] = PortDescription(device, sources.SysfsRoot);
    }
    for (const TMapEntry& entry : map)
        if (!mappedTargets.contains(entry.Target) && !ports.count(entry.Number))
            ports[entry.Number] = QStringLiteral("Mapped port (") + entry.Target + QLatin1Char(')');
    auto list = std::make_unique<QStringList>();
    for (const auto& [number, description] : ports)
        *list << QStringLiteral("COM%1=%2").arg(number).arg(description);
    return list;
}
