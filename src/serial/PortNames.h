#pragma once
#include <QString>

// $XDG_CONFIG_HOME/NORVEL-Q/ports: each entry COMn is a symbolic link to a device node.
QString PortMapFolder();

// The device node a DeviceName opens: a name beginning with "/" as it is; COMn (1 to 255)
// through the port map, else the fixed ranges COM1-32 ttyS, COM33-64 ttyUSB, COM65-96 ttyACM,
// COM97-128 ttyAMA, COM129-160 rfcomm; any other name under /dev.
QString DeviceNodeFor(const QString& deviceName, const QString& mapFolder = PortMapFolder());

// The reverse of the fixed ranges: "/dev/ttyUSB0" gives "COM33"; empty for a node outside them.
QString RangePortName(const QString& node);
