#include "serial/SerialSys.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
TSerialSys RealSys;
TSerialSys* Current = &RealSys;
} // namespace

TSerialSys& SerialSys() { return *Current; }
void SetSerialSys(TSerialSys* sys) { Current = sys ? sys : &RealSys; }

int TSerialSys::Open(const char* path, int flags) { return ::open(path, flags); }
int TSerialSys::Access(const char* path, int mode) { return ::access(path, mode); }
int TSerialSys::Close(int fd) { return ::close(fd); }
int TSerialSys::IsTty(int fd) { return ::isatty(fd); }
int TSerialSys::Flock(int fd, int operation) { return ::flock(fd, operation); }
int TSerialSys::SetExclusive(int fd) { return ::ioctl(fd, TIOCEXCL); }
int TSerialSys::GetAttr(int fd, termios2& attr) { return ::ioctl(fd, TCGETS2, &attr); }
int TSerialSys::SetAttr(int fd, const termios2& attr) { return ::ioctl(fd, TCSETS2, &attr); }
int TSerialSys::GetRs485(int fd, serial_rs485& config) { return ::ioctl(fd, TIOCGRS485, &config); }
int TSerialSys::SetRs485(int fd, const serial_rs485& config) { return ::ioctl(fd, TIOCSRS485, &config); }
int TSerialSys::GetSerial(int fd, serial_struct& info) { return ::ioctl(fd, TIOCGSERIAL, &info); }
int TSerialSys::SetSerial(int fd, const serial_struct& info) { return ::ioctl(fd, TIOCSSERIAL, &info); }
int TSerialSys::ModemBits(int fd, unsigned long request, int bits) { return ::ioctl(fd, request, &bits); }
int TSerialSys::GetModem(int fd, int& bits) { return ::ioctl(fd, TIOCMGET, &bits); }
int TSerialSys::GetCounters(int fd, serial_icounter_struct& counters) { return ::ioctl(fd, TIOCGICOUNT, &counters); }
int TSerialSys::Flush(int fd, int queue) { return ::ioctl(fd, TCFLSH, queue); }
int TSerialSys::InputCount(int fd, int& count) { return ::ioctl(fd, TIOCINQ, &count); }
int TSerialSys::OutputCount(int fd, int& count) { return ::ioctl(fd, TIOCOUTQ, &count); }

int TSerialSys::TransmitterEmpty(int fd, bool& empty) {
    unsigned int lsr = 0;
    const int result = ::ioctl(fd, TIOCSERGETLSR, &lsr);
    empty = (lsr & TIOCSER_TEMT) != 0;
    return result;
}

ssize_t TSerialSys::Read(int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); }
ssize_t TSerialSys::Write(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); }

int TSerialSys::Wait(int epoll, epoll_event* events, int max, int timeoutMs) {
    return ::epoll_wait(epoll, events, max, timeoutMs);
}
