// Failures of the system calls, made through the component's seam.
#include <asm/termbits.h>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial/CommInt.h"
#include "support/Pty.h"

namespace {
// Fails the chosen call: its Nth use (1-based) or every use, with the given error number.
class TFailingSys : public TSerialSys {
public:
    enum TCall { SetAttrCall, OutputCountCall, ModemBitsCall, WriteCall, ReadCall };
    TFailingSys(TCall call, int error, int nth = 0) : Call(call), Error(error), Nth(nth) {}

    int SetAttr(int fd, const termios2& attr) override {
        return Fails(SetAttrCall) ? -1 : TSerialSys::SetAttr(fd, attr);
    }
    int OutputCount(int fd, int& count) override {
        return Fails(OutputCountCall) ? -1 : TSerialSys::OutputCount(fd, count);
    }
    int ModemBits(int fd, unsigned long request, int bits) override {
        return Fails(ModemBitsCall) ? -1 : TSerialSys::ModemBits(fd, request, bits);
    }
    ssize_t Write(int fd, const void* buffer, size_t count) override {
        return Fails(WriteCall) ? -1 : TSerialSys::Write(fd, buffer, count);
    }
    ssize_t Read(int fd, void* buffer, size_t count) override {
        return Fails(ReadCall) ? -1 : TSerialSys::Read(fd, buffer, count);
    }

private:
    bool Fails(TCall call) {
        if (call != Call || ++Seen < Nth || (Nth > 0 && Seen > Nth))
            return false;
        errno = Error;
        return true;
    }
    TCall Call;
    int Error;
    int Nth;
    int Seen = 0;
};

struct TSeam {
    explicit TSeam(TFailingSys* sys) { SetSerialSys(sys); }
    ~TSeam() { SetSerialSys(nullptr); }
};

// The error the action raised, if any.
std::optional<ECommError> RaisedBy(const std::function<void()>& action) {
    try {
        action();
    } catch (const ECommError& error) {
        return error;
    }
    return std::nullopt;
}

QString OpenError(TComm& comm, TFailingSys& sys) {
    TSeam seam(&sys);
    const auto error = RaisedBy([&] { comm.Open(); });
    return error ? error->Message.section(" (Error:", 0, 0) : QString();
}
} // namespace

TEST(SerialFailures, EachStepOfOpenReportsItsOwnErrorAndLeavesThePortOpen) {
    struct TCase {
        TFailingSys::TCall Call;
        int Nth;
        const char* Message;
    };
    // The terminal's attributes are set by the raw mode, the time-outs and the line settings, in this order.
    const TCase cases[] = {{TFailingSys::SetAttrCall, 2, "Error updating CommTimeouts"},
                           {TFailingSys::SetAttrCall, 3, "Error updating DataControlBlock"},
                           {TFailingSys::OutputCountCall, 0, "Error initializing Read/Write Buffers"}};
    for (const TCase& c : cases) {
        TPty pty;
        TComm comm;
        comm.SetDeviceName(pty.SlavePath);
        TFailingSys sys(c.Call, EIO, c.Nth);
        EXPECT_EQ(OpenError(comm, sys), c.Message);
        EXPECT_TRUE(comm.Enabled()) << c.Message;
        comm.Close();
        EXPECT_FALSE(comm.Enabled());
    }
}

TEST(SerialFailures, ModemLinesMissingIsNoErrorButOtherRefusalsAre) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.Open();
    {
        TFailingSys sys(TFailingSys::ModemBitsCall, ENOTTY);
        TSeam seam(&sys);
        EXPECT_NO_THROW(comm.SetDTR(true));
    }
    comm.Close();
    comm.Open();
    TFailingSys sys(TFailingSys::ModemBitsCall, EIO);
    TSeam seam(&sys);
    const auto error = RaisedBy([&] { comm.SetDTR(false); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Message, "EscapeCommFunction failure (Error: 5) \r\n" + pty.SlavePath);
    EXPECT_EQ(error->ErrorCode, EIO);
}

TEST(SerialFailures, TransfersThatCannotStartRaiseWithTheSystemError) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.Open();
    {
        TFailingSys sys(TFailingSys::WriteCall, EIO);
        TSeam seam(&sys);
        EXPECT_THROW(comm.Write("x", 1), ECommError);
    }
    {
        TFailingSys sys(TFailingSys::ReadCall, EIO);
        TSeam seam(&sys);
        char buffer[4];
        const auto error = RaisedBy([&] { comm.Read(buffer, 4); });
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->Message.startsWith("Read error (Error: 5) "));
    }
    EXPECT_TRUE(comm.Enabled());
    EXPECT_EQ(comm.Write("ok", 2), 2);
}
