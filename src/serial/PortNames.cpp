#include "serial/PortNames.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
struct TRange {
    const char* Prefix;
    int First;
};

constexpr TRange Ranges[] = {{"/dev/ttyS", 1}, {"/dev/ttyUSB", 33}, {"/dev/ttyACM", 65}, {"/dev/ttyAMA", 97},
                             {"/dev/rfcomm", 129}};
constexpr int RangeSize = 32;

int ComNumber(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return 0;
    const int number = match.captured(1).toInt();
    return number <= 255 ? number : 0;
}
} // namespace

QString PortMapFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/NORVEL-Q/ports");
}

QString DeviceNodeFor(const QString& deviceName, const QString& mapFolder) {
    if (deviceName.startsWith(QLatin1Char('/')))
        return deviceName;
    const int number = ComNumber(deviceName);
    if (number == 0)
        return QStringLiteral("/dev/") + deviceName;
    const QString mapped = mapFolder + QStringLiteral("/COM") + QString::number(number);
    if (QFileInfo(mapped).isSymLink())
        return mapped;
    for (const TRange& range : Ranges)
        if (number >= range.First && number < range.First + RangeSize)
            return QLatin1String(range.Prefix) + QString::number(number - range.First);
    return mapped;
}

QString RangePortName(const QString& node) {
    for (const TRange& range : Ranges) {
        const QString prefix = QLatin1String(range.Prefix);
        if (!node.startsWith(prefix))
            continue;
        bool ok = false;
        const int index = node.mid(prefix.size()).toInt(&ok);
        if (ok && index >= 0 && index < RangeSize && QString::number(index) == node.mid(prefix.size()))
            return QStringLiteral("COM") + QString::number(range.First + index);
    }
    return {};
}
