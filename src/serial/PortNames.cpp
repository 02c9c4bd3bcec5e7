#include "serial/PortNames.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace {
struct TRange {
    const char* Prefix;
    int First;
};

constexpr TRange Ranges[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}, {"ttyAMA", 97}, {"rfcomm", 129}};
constexpr int RangeSize = 32;

// The map's entry for the number: COMn, else the first name in another case; empty when none.
QString MapEntry(int number, const QString& mapFolder) {
    const QString exact = QStringLiteral("COM") + QString::number(number);
    if (QFileInfo(mapFolder + QLatin1Char('/') + exact).isSymLink())
        return mapFolder + QLatin1Char('/') + exact;
    const QStringList names = QDir(mapFolder).entryList({exact}, QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        if (QFileInfo(mapFolder + QLatin1Char('/') + name).isSymLink())
            return mapFolder + QLatin1Char('/') + name;
    return {};
}
} // namespace

int ComNumber(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,2})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return 0;
    const int number = match.captured(1).toInt();
    return number <= 255 ? number : 0;
}

QString PortMapFolder() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/NORVEL-Q/ports");
}

TPortTarget ResolvePort(const QString& deviceName, const QString& mapFolder, const QString& devRoot) {
    if (deviceName.startsWith(QLatin1Char('/')))
        return {deviceName};
    const int number = ComNumber(deviceName);
    if (number == 0)
        return {devRoot + QLatin1Char('/') + deviceName};
    if (const QString mapped = MapEntry(number, mapFolder); !mapped.isEmpty())
        return {mapped, true};
    for (const TRange& range : Ranges)
        if (number >= range.First && number < range.First + RangeSize)
            return {devRoot + QLatin1Char('/') + QLatin1String(range.Prefix) + QString::number(number - range.First)};
    return {mapFolder + QStringLiteral("/COM") + QString::number(number), true};
}

QString DeviceNodeFor(const QString& deviceName, const QString& mapFolder) {
    return ResolvePort(deviceName, mapFolder).Node;
}
