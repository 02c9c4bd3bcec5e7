#include "detect/MySetupAPI.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
QString ReadAttribute(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine()).trimmed();
}
} // namespace

std::optional<QList<TTtyDevice>> ListTtyDevices(const QString& sysfsRoot, const QString& devRoot) {
    const QDir classDir(sysfsRoot + QStringLiteral("/class/tty"));
    if (!classDir.exists() || !QFileInfo(classDir.path()).isReadable())
        return std::nullopt;
    QList<TTtyDevice> devices;
    const QStringList names = classDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QString& name : names) {
        const QString entry = classDir.filePath(name);
        const QFileInfo deviceLink(entry + QStringLiteral("/device"));
        if (QFileInfo(entry).canonicalFilePath().contains(QLatin1String("/virtual/")) || !deviceLink.exists())
            continue;
        TTtyDevice device;
        device.Name = name;
        device.Node = devRoot + QLatin1Char('/') + name;
        device.DeviceDir = deviceLink.canonicalFilePath();
        device.Driver = QFileInfo(device.DeviceDir + QStringLiteral("/driver")).canonicalFilePath().section(QLatin1Char('/'), -1);
        device.Usb = device.DeviceDir.contains(QLatin1String("/usb"));
        devices << device;
    }
    return devices;
}

QString GetDevicePropertyText(const QString& deviceDir, const QString& property, const QString& sysfsRoot) {
    const QString top = QFileInfo(sysfsRoot).canonicalFilePath();
    for (QString dir = deviceDir; !dir.isEmpty() && dir != top && dir != QLatin1String("/");
         dir = QFileInfo(dir).path()) {
        if (QFileInfo::exists(dir + QLatin1Char('/') + property))
            return ReadAttribute(dir + QLatin1Char('/') + property);
    }
    return {};
}

bool IsPlaceholder8250(const QString& node) {
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    serial_struct info{};
    const bool placeholder = ::ioctl(fd, TIOCGSERIAL, &info) != 0 || info.type == PORT_UNKNOWN;
    ::close(fd);
    return placeholder;
}
