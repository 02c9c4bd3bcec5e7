#include "platform/SyncQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <chrono>

namespace {
QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}
} // namespace

TSyncQueue& TSyncQueue::Instance() {
    // Whichever thread asks first, the queue belongs to the application's (GUI) thread.
    static TSyncQueue* queue = [] {
        auto* created = new TSyncQueue;
        if (QCoreApplication::instance())
            created->moveToThread(QCoreApplication::instance()->thread());
        return created;
    }();
    return *queue;
}

void TSyncQueue::Synchronize(const std::function<void()>& call) {
    if (QThread::currentThread() == thread()) {
        call();
        return;
    }
    TCall pending{&call, nullptr};
    std::unique_lock lock(Mutex);
    Calls.push_back(&pending);
    // Woken with the lock free, so that the GUI thread does not wake only to wait for it.
    lock.unlock();
    Arrived.notify_all();
    QCoreApplication::postEvent(this, new QEvent(WakeEventType()));
    lock.lock();
    Finished.wait(lock, [&] { return pending.Done; });
    if (pending.Error)
        std::rethrow_exception(pending.Error);
}

bool TSyncQueue::CheckSynchronize(int waitMs) {
    std::deque<TCall*> ready;
    {
        std::unique_lock lock(Mutex);
        if (Calls.empty() && waitMs > 0) {
            const unsigned seen = Wakeups;
            Arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                             [&] { return !Calls.empty() || Wakeups != seen; });
        }
        ready.swap(Calls);
    }
    for (TCall* pending : ready) {
        try {
            (*pending->Call)();
        } catch (...) {
            pending->Error = std::current_exception();
        }
        {
            std::lock_guard lock(Mutex);
            pending->Done = true;
        }
        Finished.notify_all();
    }
    return !ready.empty();
}

void TSyncQueue::Wake() {
    std::lock_guard lock(Mutex);
    ++Wakeups;
    Arrived.notify_all();
}

bool TSyncQueue::event(QEvent* event) {
    if (event->type() != WakeEventType())
        return QObject::event(event);
    CheckSynchronize();
    return true;
}

size_t TSyncQueue::Waiting() {
    const std::lock_guard lock(Mutex);
    return Calls.size();
}
