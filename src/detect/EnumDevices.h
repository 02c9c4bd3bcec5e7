#pragma once
#include <QString>
#include <QStringList>
#include <memory>

#include "detect/MySetupAPI.h"

// Where the enumeration looks; tests build their own trees.
struct TEnumSources {
    QString SysfsRoot = QStringLiteral("/sys");
    QString DevRoot = QStringLiteral("/dev");
    QString MapFolder;  // empty: the user's port map
    TPlaceholderCheck IsPlaceholder = IsPlaceholder8250;
};

// Every serial port present, "COMn=description", ordered by port number; an empty list when
// there is none, no list when the system's list cannot be read.
std::unique_ptr<QStringList> GetComPortList(const TEnumSources& sources = {});
// The description of one port: what sysfs knows, "USB ..." for a USB-attached port, ending
// with the device node in parentheses.
QString PortDescription(const TTtyDevice& device, const QString& sysfsRoot);
