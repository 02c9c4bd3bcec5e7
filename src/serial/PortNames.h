#pragma once
#include <QString>

// $XDG_CONFIG_HOME/NORVEL-Q/ports: each entry COMn is a symbolic link to a device node.
QString PortMapFolder();

// Where a port name leads. The one resolution that opening a port, listing the ports and the
// detection pass share.
struct TPortTarget {
    QString Node;         // the path to open
    bool Mapped = false;  // Node is a port-map entry (a link, possibly broken)
};

// A name beginning with "/" as it is; COMn (1 to 255, any case) through the port map, whose entry
// for n wins (COMn, else the same name in another case), else the fixed ranges COM1-32 ttyS,
// COM33-64 ttyUSB, COM65-96 ttyACM, COM97-128 ttyAMA, COM129-160 rfcomm below devRoot; any other
// name below devRoot.
TPortTarget ResolvePort(const QString& deviceName, const QString& mapFolder = PortMapFolder(),
                        const QString& devRoot = QStringLiteral("/dev"));
// The device node a DeviceName opens.
QString DeviceNodeFor(const QString& deviceName, const QString& mapFolder = PortMapFolder());
// 1 to 255 for a name COMn in any case; 0 for any other.
int ComNumber(const QString& name);
