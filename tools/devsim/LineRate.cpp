// Apart from SimDevice.cpp: the kernel's termios2 cannot share a unit with the C library's termios.
#include <asm/termbits.h>
#include <cstdint>
#include <sys/ioctl.h>

#include "SimDevice.h"

uint32_t LineRate(int master) {
    struct Rate {
        tcflag_t Constant;
        uint32_t Baud;
    };
    static constexpr Rate Rates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
        {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
        {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000}};
    // On a pseudo-terminal's master side the kernel answers with the slave's settings.
    termios2 attr{};
    if (::ioctl(master, TCGETS2, &attr) != 0)
        return 0;
    const tcflag_t constant = attr.c_cflag & CBAUD;
    if (constant == BOTHER)
        return attr.c_ospeed;
    for (const Rate& rate : Rates)
        if (rate.Constant == constant)
            return rate.Baud;
    return 0;
}
