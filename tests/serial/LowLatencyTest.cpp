// Low-latency mode is asked for at open where the driver has it, and given back at close.
#include <cerrno>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <vector>

#include "serial/CommInt.h"
#include "support/Pty.h"

namespace {
// A driver with the low-latency flag (pseudo-terminals have none): it keeps the flags it is
// given and records every change, or refuses with an error number.
class TLatencyDriver : public TSerialSys {
public:
    explicit TLatencyDriver(int flags, int getError = 0, int setError = 0)
        : Flags(flags), GetError(getError), SetError(setError) {
        SetSerialSys(this);
    }
    ~TLatencyDriver() override { SetSerialSys(nullptr); }
    int GetSerial(int, serial_struct& info) override {
        info.flags = Flags;
        return Refuse(GetError);
    }
    int SetSerial(int, const serial_struct& info) override {
        if (SetError)
            return Refuse(SetError);
        Flags = info.flags;
        Changes.push_back(Flags);
        return 0;
    }
    int Flags;
    std::vector<int> Changes;
    int GetError;
    int SetError;

private:
    static int Refuse(int error) {
        errno = error;
        return error ? -1 : 0;
    }
};

constexpr int Other = ASYNC_SKIP_TEST;
} // namespace

TEST(LowLatency, IsSwitchedOnAtOpenAndBackOffAtCloseUnlessItWasOnAlready) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    {
        TLatencyDriver driver(Other);
        comm.Open();
        EXPECT_EQ(driver.Flags, Other | ASYNC_LOW_LATENCY);
        comm.Close();
        EXPECT_EQ(driver.Flags, Other);
        EXPECT_EQ(driver.Changes.size(), 2u);
    }
    TLatencyDriver driver(ASYNC_LOW_LATENCY);
    comm.Open();
    comm.Close();
    EXPECT_TRUE(driver.Changes.empty());
    EXPECT_EQ(driver.Flags, ASYNC_LOW_LATENCY);
}

TEST(LowLatency, RefusalsAreNoErrorAndNothingIsRestored) {
    for (const int error : {ENOTTY, EINVAL, EPERM}) {
        TPty pty;
        TComm comm;
        comm.SetDeviceName(pty.SlavePath);
        {
            TLatencyDriver refusingAll(0, error, error);
            EXPECT_NO_THROW(comm.Open()) << error;
            EXPECT_TRUE(comm.Enabled());
            comm.Close();
            EXPECT_TRUE(refusingAll.Changes.empty());
        }
        TLatencyDriver refusingChange(0, 0, error);
        EXPECT_NO_THROW(comm.Open()) << error;
        refusingChange.SetError = 0;
        comm.Close();
        EXPECT_TRUE(refusingChange.Changes.empty()) << error;
    }
}
