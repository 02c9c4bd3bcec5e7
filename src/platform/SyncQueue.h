#pragma once
#include <QObject>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

// Hands calls from other threads to the GUI thread. The caller blocks until its call has run
// there; an exception raised by the call is carried back and raised again in the caller.
class TSyncQueue : public QObject {
public:
    // Needs the application object to exist.
    static TSyncQueue& Instance();

    void Synchronize(const std::function<void()>& call);
    // GUI thread: runs the waiting calls, first waiting up to waitMs for one to arrive or for
    // Wake. Returns true when it ran at least one call.
    bool CheckSynchronize(int waitMs = 0);
    // Ends a waiting CheckSynchronize early (a thread that is being waited for has ended).
    void Wake();
    // How many calls wait for the GUI thread.
    size_t Waiting();

protected:
    bool event(QEvent* event) override;

private:
    struct TCall {
        const std::function<void()>* Call;
        std::exception_ptr Error;
        bool Done = false;
    };

    TSyncQueue() = default;

    std::mutex Mutex;
    std::condition_variable Arrived;
    std::condition_variable Finished;
    std::deque<TCall*> Calls;
    unsigned Wakeups = 0;
};
