#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "platform/SyncQueue.h"
#include "support/Pty.h"

TEST(SyncQueue, CallFromAnotherThreadRunsOnTheGuiThreadWhileTheCallerWaits) {
    QThread* ranOn = nullptr;
    std::atomic<bool> returned{false};
    bool sawResultOnReturn = false;
    std::thread worker([&] {
        TSyncQueue::Instance().Synchronize([&] { ranOn = QThread::currentThread(); });
        sawResultOnReturn = ranOn != nullptr;
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, qApp->thread());
    EXPECT_TRUE(sawResultOnReturn);
}

TEST(SyncQueue, ExceptionOfTheCallIsRaisedAgainInTheCaller) {
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            TSyncQueue::Instance().Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error&) {
            caught = true;
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return caught.load(); }));
    worker.join();
}

TEST(SyncQueue, WaitingGuiThreadRunsHandedOverCallsWithoutItsEventLoop) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        TSyncQueue::Instance().Synchronize([] {});
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    bool ran = false;
    while (!ran && timer.elapsed() < 3000)
        ran = TSyncQueue::Instance().CheckSynchronize(100);
    EXPECT_TRUE(ran);
    worker.join();
    EXPECT_TRUE(done);
    QCoreApplication::processEvents();
}

TEST(SyncQueue, WakeEndsAWaitEarly) {
    std::thread waker([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        TSyncQueue::Instance().Wake();
    });
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(TSyncQueue::Instance().CheckSynchronize(10000));
    EXPECT_LT(timer.elapsed(), 9000);
    waker.join();
}
