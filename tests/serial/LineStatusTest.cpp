// When the watcher polls the line: line errors with input, modem lines while they have handlers,
// a hung-up port ever more calmly, and not at all while an open port is idle.
#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <mutex>
#include <sys/ioctl.h>
#include <vector>

#include "serial/CommInt.h"
#include "support/Pty.h"

namespace {
// A driver that counts line errors and reads modem lines as a UART's does (pseudo-terminals do
// neither), and records each time-out the watcher waits with.
class TUartDriver : public TSerialSys {
public:
    TUartDriver() { SetSerialSys(this); }
    ~TUartDriver() override { SetSerialSys(nullptr); }
    int GetCounters(int, serial_icounter_struct& counters) override {
        counters = {};
        counters.frame = Frames;
        return 0;
    }
    int GetModem(int, int& bits) override {
        bits = Modem;
        return 0;
    }
    int Wait(int epoll, epoll_event* events, int max, int timeoutMs) override {
        {
            std::lock_guard guard(Lock);
            Timeouts.push_back(timeoutMs);
        }
        if (timeoutMs >= 0 && FrameWhileWaiting.exchange(false))
            ++Frames;
        const bool hurried = timeoutMs > 0 && Hurried.fetch_sub(1) > 0;
        return TSerialSys::Wait(epoll, events, max, hurried ? 0 : timeoutMs);
    }
    std::vector<int> Waits() const {
        std::lock_guard guard(Lock);
        return Timeouts;
    }
    int LastWait() const {
        std::lock_guard guard(Lock);
        return Timeouts.empty() ? -2 : Timeouts.back();
    }

    std::atomic<int> Frames{0};
    std::atomic<int> Modem{0};
    // The next wait with a time-out counts a framing error meanwhile.
    std::atomic<bool> FrameWhileWaiting{false};
    // So many of the next waits with a time-out end at once, as if the time had passed.
    std::atomic<int> Hurried{0};

private:
    mutable std::mutex Lock;
    std::vector<int> Timeouts;
};

// The bridge's use: received bytes, transmit-empty and line errors handled, every event monitored.
struct TUartPort {
    TUartDriver Driver;
    TPty Pty;
    TComm Comm;
    QByteArray Received;
    std::vector<int> Errors;
    int TxEmpty = 0;

    TUartPort() {
        Comm.SetDeviceName(Pty.SlavePath);
        Comm.OnRxChar = [this](TCustomComm*, int count) {
            QByteArray block(count, '\0');
            Received += block.left(Comm.Read(block.data(), count));
        };
        Comm.OnTxEmpty = [this](TCustomComm*) { ++TxEmpty; };
        Comm.OnError = [this](TCustomComm*, int errors) { Errors.push_back(errors); };
    }
    bool Sleeping() { return WaitUntil([this] { return Driver.LastWait() == -1; }); }
};
} // namespace

TEST(LineStatus, AnIdlePortIsNotPolledBeforeOrAfterAWrite) {
    TUartPort port;
    port.Comm.Open();
    ASSERT_TRUE(WaitUntil([&] { return !port.Driver.Waits().empty(); }));
    const std::vector<int> waits = port.Driver.Waits();
    EXPECT_EQ(std::count(waits.begin(), waits.end(), -1), static_cast<long>(waits.size()));

    ASSERT_EQ(port.Comm.Write("ping", 4), 4);
    EXPECT_TRUE(WaitUntil([&] { return port.TxEmpty == 1; }));
    EXPECT_EQ(port.Pty.Read(4), "ping");
    EXPECT_TRUE(port.Sleeping());
}

TEST(LineStatus, ErrorsThatComeWithInputAreReportedAndThenTheWatcherSleeps) {
    TUartPort port;
    port.Comm.Open();
    // Counted as its byte arrived.
    ++port.Driver.Frames;
    port.Pty.Write("a");
    ASSERT_TRUE(WaitUntil([&] { return port.Received == "a" && !port.Errors.empty(); }));
    EXPECT_EQ(port.Errors, std::vector<int>{CE_FRAME});
    EXPECT_TRUE(port.Sleeping());

    // Counted a little after its byte arrived.
    port.Driver.FrameWhileWaiting = true;
    port.Pty.Write("b");
    EXPECT_TRUE(WaitUntil([&] { return port.Received == "ab" && port.Errors.size() == 2; }));
    EXPECT_EQ(port.Errors.back(), CE_FRAME);
    EXPECT_TRUE(port.Sleeping());
}

TEST(LineStatus, ModemLinesWithAHandlerAreStillPolled) {
    TUartPort port;
    int ctsChanges = 0;
    port.Comm.OnCts = [&](TCustomComm*) { ++ctsChanges; };
    port.Comm.Open();
    port.Driver.Modem = TIOCM_CTS;
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges == 1; }));
    port.Driver.Modem = 0;
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges == 2; }));
    EXPECT_NE(port.Driver.LastWait(), -1);
}

TEST(LineStatus, AHungUpPortIsLookedAtEverMoreCalmly) {
    TUartPort port;
    port.Comm.Open();
    ASSERT_TRUE(WaitUntil([&] { return !port.Driver.Waits().empty(); }));
    const size_t before = port.Driver.Waits().size();
    port.Driver.Hurried = 8;
    port.Pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return port.Driver.Waits().size() >= before + 9; }));
    const std::vector<int> waits = port.Driver.Waits();
    const std::vector<int> hungUp(waits.begin() + static_cast<long>(before), waits.end());
    EXPECT_GT(*std::min_element(hungUp.begin(), hungUp.end()), 0);
    EXPECT_TRUE(std::is_sorted(hungUp.begin(), hungUp.end()));
    EXPECT_GE(hungUp.back(), 2000);
    port.Comm.Close();
    EXPECT_FALSE(port.Comm.Enabled());
}
