#pragma once
#include <QString>
#include <cstdint>

#include "serial/CommInt.h"

// The line a bridge speaks to its device: what its settings file holds under RS\, read at start and
// on every save or reload. Every default is the line the bridge always spoke, 115200 8N1.
struct TLineSettings {
    uint32_t Baud = 115200;
    uint8_t DataBits = 8;
    TParity Parity = paNone;
    TStopbits StopBits = sb10;
    // RTS/CTS hardware flow control.
    bool RtsCts = false;
    // DTR is raised after each open; off: left as the port has it, for boards that restart when it rises.
    bool RaiseDtr = true;
    // Start also tries the other common rates on a port where the device does not answer.
    bool BaudSearch = false;

    bool operator==(const TLineSettings&) const = default;
};

// "921600 8N1 RTS/CTS": rate, data bits, parity letter, stop bits, flow control when on.
QString LineText(const TLineSettings& line);
