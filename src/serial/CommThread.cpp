#include "serial/CommThread.h"

#include <asm/termbits.h>
#include <algorithm>
#include <cerrno>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/SyncQueue.h"
#include "serial/SerialSys.h"

extern std::atomic<bool> CommShutdown;

namespace {
// A port that hung up is looked at again after this, then half as often each time, down to once
// every HungUpRecheckMaxMs: an adapter that is gone costs next to nothing until it is closed.
constexpr int HungUpRecheckMs = 250;
constexpr int HungUpRecheckMaxMs = 4000;
// Line status is read this often while it is polled.
constexpr int LineStatusPollMs = 20;
// Line errors and breaks are counted as their bytes arrive; the counters are read with each input
// and polled this long after the last, for those the driver counts a little later.
constexpr auto InputErrorWatch = std::chrono::milliseconds(200);
// Transmit-empty is looked for again once the bytes still queued have had the time they take at
// the line's rate, and at least this often: the last of them leave through the UART's own buffer.
constexpr int TransmitPollMs = 1;
constexpr uint32_t ModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
constexpr uint32_t ErrorEvents = EV_ERR | EV_BREAK;

bool Unsupported(int error) { return error == ENOTTY || error == EINVAL; }
} // namespace

TCommEventThread::TCommEventThread(int handle, uint32_t mask, uint32_t polled)
    : Handle(handle), Mask(mask), Polled(mask & polled & (ModemEvents | ErrorEvents)),
      Poller(::epoll_create1(EPOLL_CLOEXEC)), RecheckMs(HungUpRecheckMs) {
    for (int fd : {WakeEvent.Handle(), WriteEvent.Handle()}) {
        epoll_event entry{EPOLLIN, {.fd = fd}};
        ::epoll_ctl(Poller, EPOLL_CTL_ADD, fd, &entry);
    }
    WatchPort(true);
    LineEvents();
}

TCommEventThread::~TCommEventThread() {
    Stop();
    Join();
    ::close(Poller);
}

void TCommEventThread::Start() { Thread = std::thread(&TCommEventThread::Execute, this); }

void TCommEventThread::Stop() {
    Terminated = true;
    WakeEvent.SetEvent();
}

void TCommEventThread::NoteWrite() { WriteEvent.SetEvent(); }

void TCommEventThread::Join() {
    if (Thread.joinable())
        Thread.join();
}

void TCommEventThread::Execute() {
    try {
        Loop();
    } catch (...) {
        // A handler raised: the watcher ends and the port stays open without events.
    }
    if (!CommShutdown)
        SerialSys().Flush(Handle, TCIOFLUSH);
    Ended = true;
    TSyncQueue::Instance().Wake();
}

void TCommEventThread::Loop() {
    while (!Terminated) {
        const uint32_t mask = WaitForEvent();
        if (Terminated)
            break;
        if (mask == 0)
            continue;
        EventMaskValue = mask;
        TSyncQueue::Instance().Synchronize([this] { DoSignal(); });
    }
}

void TCommEventThread::DoSignal() {
    if (!CommShutdown && OnSignal)
        OnSignal(this, EventMaskValue);
}

void TCommEventThread::WatchPort(bool watch) {
    if (watch == PortWatched)
        return;
    epoll_event entry{EPOLLIN | EPOLLET, {.fd = Handle}};
    if (::epoll_ctl(Poller, watch ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, Handle, &entry) == 0 || !watch)
        PortWatched = watch;
    if (!watch)
        RecheckMs = HungUpRecheckMs;
}

int TCommEventThread::WaitTimeout() const {
    int timeout = -1;
    const auto atMost = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
    if (!PortWatched)
        atMost(RecheckMs);
    if (TxPending && (Mask & EV_TXEMPTY))
        atMost(std::max<int>(TransmitPollMs, static_cast<int>(int64_t(QueuedOut) * CharacterNanos / 1'000'000)));
    if (PortWatched && PollsLineStatus())
        atMost(LineStatusPollMs);
    return timeout;
}

// Modem lines change on their own, so they are polled while they have handlers; errors come with input.
bool TCommEventThread::PollsLineStatus() const {
    if ((Polled & ModemEvents) && CanReadModem)
        return true;
    return (Polled & ErrorEvents) && CanCount && std::chrono::steady_clock::now() < ErrorWatchEnd;
}

uint32_t TCommEventThread::WaitForEvent() {
    epoll_event ready[4];
    const int count = SerialSys().Wait(Poller, ready, 4, WaitTimeout());
    uint32_t mask = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = ready[i].data.fd;
        if (fd == WriteEvent.Handle()) {
            WriteEvent.ResetEvent();
            TxPending = true;
        } else if (fd == Handle) {
            if (ready[i].events & EPOLLIN) {
                mask |= EV_RXCHAR;
                ErrorWatchEnd = std::chrono::steady_clock::now() + InputErrorWatch;
            }
            // The adapter is gone: stop waiting on it, so that it costs nothing until it is closed.
            if (ready[i].events & (EPOLLHUP | EPOLLERR))
                WatchPort(false);
        }
    }
    if (!PortWatched && count == 0)
        RecheckPort();
    if (TxPending && TransmitDone()) {
        TxPending = false;
        mask |= EV_TXEMPTY;
    }
    return (mask | LineEvents()) & Mask;
}

void TCommEventThread::RecheckPort() {
    pollfd entry{Handle, POLLIN, 0};
    if (::poll(&entry, 1, 0) >= 0 && !(entry.revents & (POLLHUP | POLLERR | POLLNVAL)))
        WatchPort(true);
    if (!PortWatched)
        RecheckMs = std::min(2 * RecheckMs, HungUpRecheckMaxMs);
}

bool TCommEventThread::TransmitDone() {
    int queued = 0;
    QueuedOut = 0;
    if (SerialSys().OutputCount(Handle, queued) == 0 && queued > 0) {
        QueuedOut = queued;
        return false;
    }
    bool empty = true;
    if (CanReadTransmitter && SerialSys().TransmitterEmpty(Handle, empty) != 0) {
        CanReadTransmitter = !Unsupported(errno);
        empty = true;
    }
    return empty;
}

uint32_t TCommEventThread::LineEvents() {
    uint32_t mask = 0;
    serial_icounter_struct now{};
    if (CanCount && SerialSys().GetCounters(Handle, now) == 0) {
        const int counters[5] = {now.buf_overrun, now.overrun, now.parity, now.frame, now.brk};
        for (int i = 0; i < 4; ++i)
            if (counters[i] != Counters[i])
                mask |= EV_ERR;
        if (counters[4] != Counters[4])
            mask |= EV_BREAK;
        for (int i = 0; i < 5; ++i)
            Counters[i] = counters[i];
    } else if (CanCount) {
        CanCount = !Unsupported(errno);
    }
    int modem = 0;
    if (CanReadModem && SerialSys().GetModem(Handle, modem) == 0) {
        const int changed = modem ^ LastModem;
        if (changed & TIOCM_CTS) mask |= EV_CTS;
        if (changed & TIOCM_DSR) mask |= EV_DSR;
        if (changed & TIOCM_RNG) mask |= EV_RING;
        if (changed & TIOCM_CD) mask |= EV_RLSD;
        LastModem = modem;
    } else if (CanReadModem) {
        CanReadModem = !Unsupported(errno);
    }
    return mask;
}
