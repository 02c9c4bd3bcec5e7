#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct termios2;
struct serial_rs485;
struct serial_icounter_struct;
struct serial_struct;
struct epoll_event;

// The operating-system calls the serial component makes, behind one seam so that tests can
// make any of them fail. Each returns what the system call returns (-1 with errno set on failure).
class TSerialSys {
public:
    virtual ~TSerialSys() = default;
    virtual int Open(const char* path, int flags);
    virtual int Access(const char* path, int mode);
    virtual int Close(int fd);
    virtual int IsTty(int fd);
    virtual int Flock(int fd, int operation);
    virtual int SetExclusive(int fd);
    virtual int GetAttr(int fd, termios2& attr);
    virtual int SetAttr(int fd, const termios2& attr);
    virtual int GetRs485(int fd, serial_rs485& config);
    virtual int SetRs485(int fd, const serial_rs485& config);
    virtual int GetSerial(int fd, serial_struct& info);                // TIOCGSERIAL
    virtual int SetSerial(int fd, const serial_struct& info);          // TIOCSSERIAL
    virtual int ModemBits(int fd, unsigned long request, int bits);  // TIOCMBIS, TIOCMBIC
    virtual int GetModem(int fd, int& bits);                         // TIOCMGET
    virtual int GetCounters(int fd, serial_icounter_struct& counters);
    virtual int Flush(int fd, int queue);                            // TCIFLUSH, TCOFLUSH, TCIOFLUSH
    virtual int InputCount(int fd, int& count);                      // TIOCINQ
    virtual int OutputCount(int fd, int& count);                     // TIOCOUTQ
    virtual int TransmitterEmpty(int fd, bool& empty);               // TIOCSERGETLSR
    virtual ssize_t Read(int fd, void* buffer, size_t count);
    virtual ssize_t Write(int fd, const void* buffer, size_t count);
    virtual int Wait(int epoll, epoll_event* events, int max, int timeoutMs);  // epoll_wait
};

TSerialSys& SerialSys();
// Tests install their own; nullptr restores the real calls.
void SetSerialSys(TSerialSys* sys);
