#pragma once
#include <cstdint>

// The line settings record, with the fields and flag layout of the Win32 DCB. The component
// amends it by the rules of its line-settings update; this layer carries it to and from the
// terminal. What termios cannot express (XonLim/XoffLim, DSR sensitivity, continue on XOFF,
// the error and null flags, EofChar/EvtChar) stays in the record.
struct TDCB {
    uint32_t DCBlength = sizeof(TDCB);
    uint32_t BaudRate = 9600;
    uint32_t Flags = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 17;
    char XoffChar = 19;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};

namespace dcb {
constexpr uint32_t fBinary = 0x0001;
constexpr uint32_t fParity = 0x0002;
constexpr uint32_t fOutxCtsFlow = 0x0004;
constexpr uint32_t fOutxDsrFlow = 0x0008;
constexpr uint32_t fDtrControlShift = 4;  // two bits
constexpr uint32_t fDsrSensitivity = 0x0040;
constexpr uint32_t fTXContinueOnXoff = 0x0080;
constexpr uint32_t fOutX = 0x0100;
constexpr uint32_t fInX = 0x0200;
constexpr uint32_t fErrorChar = 0x0400;
constexpr uint32_t fNull = 0x0800;
constexpr uint32_t fRtsControlShift = 12;  // two bits
constexpr uint32_t fAbortOnError = 0x4000;
// The flow-control flags and the upper bit of both line-control fields.
constexpr uint32_t FlowControlMask = 0x232C;

constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                   RTS_CONTROL_TOGGLE = 3;
constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

inline uint32_t DtrControl(const TDCB& d) { return (d.Flags >> fDtrControlShift) & 3; }
inline uint32_t RtsControl(const TDCB& d) { return (d.Flags >> fRtsControlShift) & 3; }
inline void SetRtsControl(TDCB& d, uint32_t mode) {
    d.Flags = (d.Flags & ~(3u << fRtsControlShift)) | (mode << fRtsControlShift);
}
} // namespace dcb

// The nanoseconds one character takes on the line at the record's rate: its start bit, data bits,
// parity bit and stop bits.
uint32_t CharacterNanos(const TDCB& record);

// Reads the terminal's settings into the fields termios expresses; the rest of the record is
// left as it is. Returns 0, or the error number of the call that failed.
int GetCommState(int fd, TDCB& record);
// Applies the record to the terminal: speed (any rate, through BOTHER), character size,
// parity (mark and space through CMSPAR), stop bits, RTS/CTS, XON/XOFF, parity checking, and
// RS-485 direction control where the driver has it. Returns 0 or the error number.
int SetCommState(int fd, const TDCB& record);
// Puts a freshly opened terminal into raw mode for binary transfer; returns 0 or the error number.
int MakeRaw(int fd);
// Asks the driver for low-latency mode (ASYNC_LOW_LATENCY), which makes USB adapters hand on
// received bytes at once instead of on their latency timer. True when this call switched it on,
// so that the caller restores it at close; drivers without the mode, or refusing it, give false.
bool RequestLowLatency(int fd);
void EndLowLatency(int fd);
