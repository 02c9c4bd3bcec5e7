#pragma once
#include <cstdint>
#include <mutex>

enum TWaitResult { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };

constexpr uint32_t INFINITE = 0xFFFFFFFF;

// One pollable descriptor that can be waited for.
class THandleObject {
public:
    virtual ~THandleObject();
    THandleObject(const THandleObject&) = delete;
    THandleObject& operator=(const THandleObject&) = delete;

    // milliseconds; INFINITE waits without limit.
    TWaitResult WaitFor(uint32_t milliseconds);
    int Handle() const { return Fd; }

    int32_t LastError = 0;

protected:
    explicit THandleObject(int fd) : Fd(fd) {}
    int Fd;
};

class TEvent : public THandleObject {
public:
    void SetEvent();
    void ResetEvent();

protected:
    using THandleObject::THandleObject;
};

// An unnamed manual-reset event, created non-signalled, on an eventfd so that a thread can
// wait for it together with other descriptors.
class TSimpleEvent : public TEvent {
public:
    TSimpleEvent();
};

class TCriticalSection {
public:
    void Enter() { Mutex.lock(); }
    void Leave() { Mutex.unlock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }
    // For std::lock_guard.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex Mutex;
};
