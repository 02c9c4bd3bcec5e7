#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "serial/CommObjs.h"

// Event-mask bits reported by the watcher.
constexpr uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
                   EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100;

// The watcher thread of an open port: waits for line events and hands each delivery to the
// GUI thread, waiting there until its handlers have returned.
class TCommEventThread {
public:
    // mask: the EV_ bits to report; polled: those of its line-error and modem bits worth polling the
    // line for (the ones with a handler). An idle line is not polled for the others.
    TCommEventThread(int handle, uint32_t mask, uint32_t polled);
    ~TCommEventThread();

    void Start();
    void Stop();
    // Tells the watcher that bytes were written, so that it reports transmit-empty.
    void NoteWrite();
    // The time one character takes at the line's rate, told whenever the line is set.
    void SetCharacterTime(uint32_t nanos) { CharacterNanos = nanos; }
    bool Finished() const { return Ended; }
    void Join();

    std::function<void(TCommEventThread*, uint32_t)> OnSignal;

private:
    void Execute();
    void Loop();
    uint32_t WaitForEvent();
    int WaitTimeout() const;
    bool PollsLineStatus() const;
    void RecheckPort();
    bool TransmitDone();
    uint32_t LineEvents();
    void DoSignal();
    void WatchPort(bool watch);

    int Handle;
    uint32_t Mask;
    uint32_t Polled;
    TSimpleEvent WakeEvent;
    TSimpleEvent WriteEvent;
    int Poller = -1;
    uint32_t EventMaskValue = 0;
    std::atomic<bool> Terminated{false};
    std::atomic<bool> Ended{false};
    std::atomic<bool> TxPending{false};
    std::atomic<uint32_t> CharacterNanos{0};
    // Bytes the driver still held at the last look for transmit-empty.
    int QueuedOut = 0;
    bool PortWatched = false;
    int RecheckMs;
    std::chrono::steady_clock::time_point ErrorWatchEnd;
    bool CanCount = true;
    bool CanReadModem = true;
    bool CanReadTransmitter = true;
    int LastModem = 0;
    int Counters[5] = {};
    std::thread Thread;
};

