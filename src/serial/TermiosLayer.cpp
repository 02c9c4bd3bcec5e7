#include "serial/TermiosLayer.h"

#include <asm/termbits.h>
#include <cerrno>
#include <linux/serial.h>

#include "serial/SerialSys.h"

namespace {
struct TRate {
    uint32_t Baud;
    tcflag_t Constant;
};

constexpr TRate Rates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

void SetSpeed(termios2& attr, uint32_t baud) {
    tcflag_t constant = BOTHER;
    for (const TRate& rate : Rates)
        if (rate.Baud == baud)
            constant = rate.Constant;
    attr.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    attr.c_cflag |= constant;
    attr.c_ispeed = baud;
    attr.c_ospeed = baud;
}

uint32_t Speed(const termios2& attr) {
    const tcflag_t constant = attr.c_cflag & CBAUD;
    if (constant == BOTHER)
        return attr.c_ospeed;
    for (const TRate& rate : Rates)
        if (rate.Constant == constant)
            return rate.Baud;
    return attr.c_ospeed;
}

tcflag_t SizeFlag(uint8_t byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

uint8_t ByteSize(const termios2& attr) {
    switch (attr.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t ParityFlags(uint8_t parity) {
    switch (parity) {
    case dcb::ODDPARITY: return PARENB | PARODD;
    case dcb::EVENPARITY: return PARENB;
    case dcb::MARKPARITY: return PARENB | CMSPAR | PARODD;
    case dcb::SPACEPARITY: return PARENB | CMSPAR;
    default: return 0;
    }
}

uint8_t Parity(const termios2& attr) {
    if (!(attr.c_cflag & PARENB))
        return dcb::NOPARITY;
    const bool odd = attr.c_cflag & PARODD;
    if (attr.c_cflag & CMSPAR)
        return odd ? dcb::MARKPARITY : dcb::SPACEPARITY;
    return odd ? dcb::ODDPARITY : dcb::EVENPARITY;
}

void SetFlag(tcflag_t& flags, tcflag_t flag, bool on) { flags = on ? (flags | flag) : (flags & ~flag); }

// RS-485 direction control exists only on some drivers; elsewhere the request is kept in the record.
void ApplyRs485(int fd, bool toggle) {
    serial_rs485 config{};
    if (SerialSys().GetRs485(fd, config) != 0)
        return;
    const bool enabled = config.flags & SER_RS485_ENABLED;
    if (enabled == toggle)
        return;
    config.flags = toggle ? (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) : 0;
    SerialSys().SetRs485(fd, config);
}
} // namespace

uint32_t CharacterNanos(const TDCB& record) {
    const uint64_t parityBits = record.Parity == dcb::NOPARITY ? 0 : 1;
    const uint64_t stopHalfBits = record.StopBits == dcb::ONESTOPBIT ? 2 : record.StopBits == dcb::ONE5STOPBITS ? 3 : 4;
    const uint64_t halfBits = 2 * (1 + record.ByteSize + parityBits) + stopHalfBits;
    const uint64_t baud = record.BaudRate == 0 ? 1 : record.BaudRate;
    return static_cast<uint32_t>(halfBits * 500'000'000ull / baud);
}

int GetCommState(int fd, TDCB& record) {
    termios2 attr{};
    if (SerialSys().GetAttr(fd, attr) != 0)
        return errno;
    record.BaudRate = Speed(attr);
    record.ByteSize = ByteSize(attr);
    record.Parity = Parity(attr);
    if (!(attr.c_cflag & CSTOPB))
        record.StopBits = dcb::ONESTOPBIT;
    else if (record.StopBits == dcb::ONESTOPBIT)
        record.StopBits = dcb::TWOSTOPBITS;
    const bool rtsCts = attr.c_cflag & CRTSCTS;
    record.Flags = rtsCts ? (record.Flags | dcb::fOutxCtsFlow) : (record.Flags & ~dcb::fOutxCtsFlow);
    if (rtsCts && dcb::RtsControl(record) != dcb::RTS_CONTROL_TOGGLE)
        dcb::SetRtsControl(record, dcb::RTS_CONTROL_HANDSHAKE);
    else if (!rtsCts && dcb::RtsControl(record) == dcb::RTS_CONTROL_HANDSHAKE)
        dcb::SetRtsControl(record, dcb::RTS_CONTROL_ENABLE);
    record.Flags = (attr.c_iflag & IXON) ? (record.Flags | dcb::fOutX) : (record.Flags & ~dcb::fOutX);
    record.Flags = (attr.c_iflag & IXOFF) ? (record.Flags | dcb::fInX) : (record.Flags & ~dcb::fInX);
    record.Flags = (attr.c_iflag & INPCK) ? (record.Flags | dcb::fParity) : (record.Flags & ~dcb::fParity);
    record.XonChar = static_cast<char>(attr.c_cc[VSTART]);
    record.XoffChar = static_cast<char>(attr.c_cc[VSTOP]);
    return 0;
}

int SetCommState(int fd, const TDCB& record) {
    if (record.ByteSize < 5 || record.ByteSize > 8 || record.Parity > dcb::SPACEPARITY ||
        record.StopBits > dcb::TWOSTOPBITS || record.BaudRate == 0)
        return EINVAL;
    termios2 attr{};
    if (SerialSys().GetAttr(fd, attr) != 0)
        return errno;
    SetSpeed(attr, record.BaudRate);
    attr.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    attr.c_cflag |= SizeFlag(record.ByteSize) | ParityFlags(record.Parity) | CREAD | CLOCAL;
    SetFlag(attr.c_cflag, CSTOPB, record.StopBits != dcb::ONESTOPBIT);
    SetFlag(attr.c_cflag, CRTSCTS,
            (record.Flags & dcb::fOutxCtsFlow) || dcb::RtsControl(record) == dcb::RTS_CONTROL_HANDSHAKE);
    SetFlag(attr.c_iflag, IXON, record.Flags & dcb::fOutX);
    SetFlag(attr.c_iflag, IXOFF, record.Flags & dcb::fInX);
    SetFlag(attr.c_iflag, INPCK, record.Flags & dcb::fParity);
    attr.c_cc[VSTART] = static_cast<cc_t>(record.XonChar);
    attr.c_cc[VSTOP] = static_cast<cc_t>(record.XoffChar);
    if (SerialSys().SetAttr(fd, attr) != 0)
        return errno;
    ApplyRs485(fd, dcb::RtsControl(record) == dcb::RTS_CONTROL_TOGGLE);
    return 0;
}

int MakeRaw(int fd) {
    termios2 attr{};
    if (SerialSys().GetAttr(fd, attr) != 0)
        return errno;
    attr.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    attr.c_oflag &= ~OPOST;
    attr.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    attr.c_cflag |= CREAD | CLOCAL;
    attr.c_cc[VMIN] = 0;
    attr.c_cc[VTIME] = 0;
    return SerialSys().SetAttr(fd, attr) == 0 ? 0 : errno;
}

bool RequestLowLatency(int fd) {
    serial_struct info{};
    if (SerialSys().GetSerial(fd, info) != 0 || (info.flags & ASYNC_LOW_LATENCY))
        return false;
    info.flags |= ASYNC_LOW_LATENCY;
    return SerialSys().SetSerial(fd, info) == 0;
}

void EndLowLatency(int fd) {
    serial_struct info{};
    if (SerialSys().GetSerial(fd, info) != 0)
        return;
    info.flags &= ~ASYNC_LOW_LATENCY;
    SerialSys().SetSerial(fd, info);
}
