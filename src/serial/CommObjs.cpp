#include "serial/CommObjs.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

THandleObject::~THandleObject() {
    if (Fd >= 0)
        ::close(Fd);
}

TWaitResult THandleObject::WaitFor(uint32_t milliseconds) {
    if (Fd < 0) {
        LastError = EBADF;
        return wrError;
    }
    pollfd entry{Fd, POLLIN, 0};
    const int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<uint32_t>(milliseconds, INT32_MAX));
    int result;
    do
        result = ::poll(&entry, 1, timeout);
    while (result < 0 && errno == EINTR);
    if (result < 0) {
        LastError = errno;
        return wrError;
    }
    if (result == 0)
        return wrTimeout;
    return (entry.revents & POLLIN) ? wrSignaled : wrError;
}

void TEvent::SetEvent() {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(Fd, &one, sizeof one);
}

void TEvent::ResetEvent() {
    uint64_t count;
    [[maybe_unused]] const auto taken = ::read(Fd, &count, sizeof count);
}

TSimpleEvent::TSimpleEvent() : TEvent(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
