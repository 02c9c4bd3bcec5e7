// The line's rate beyond the fixed ones, and transmit-empty paced by it.
#include <QElapsedTimer>
#include <asm/termbits.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "serial/CommInt.h"
#include "support/Pty.h"

namespace {
termios2 SlaveLine(const TPty& pty) {
    termios2 attr{};
    ioctl(pty.Master, TCGETS2, &attr);
    return attr;
}

TDCB Record(uint32_t baud, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
    TDCB record;
    record.BaudRate = baud;
    record.ByteSize = byteSize;
    record.Parity = parity;
    record.StopBits = stopBits;
    return record;
}

// The driver's output queue drains at the line's rate from each write; every look at it is counted.
class TDrainingSys : public TSerialSys {
public:
    explicit TDrainingSys(uint32_t characterNanos) : CharacterNanos(characterNanos) {}
    ssize_t Write(int fd, const void* buffer, size_t count) override {
        const ssize_t n = TSerialSys::Write(fd, buffer, count);
        if (n > 0) {
            Written = static_cast<int>(n);
            Since.start();
        }
        return n;
    }
    int OutputCount(int, int& count) override {
        ++Looks;
        const auto sent = Since.isValid() ? static_cast<int>(Since.nsecsElapsed() / CharacterNanos) : 0;
        count = std::max(0, Written - sent);
        return 0;
    }
    uint32_t CharacterNanos;
    int Written = 0;
    QElapsedTimer Since;
    std::atomic<int> Looks{0};
};
} // namespace

TEST(LineRate, AnyRateInRangeReachesTheLineWhileTheFixedRatesKeepTheirWay) {
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.SetBaudRate(br57600);
    comm.Open();
    EXPECT_EQ(comm.BaudValue(), 57600u);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B57600));

    comm.SetBaudValue(250000);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(SlaveLine(pty).c_ospeed, 250000u);
    EXPECT_EQ(comm.DCB().BaudRate, 250000u);
    comm.SetBaudValue(921600);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B921600));
    // A rate set as a value wins over the fixed one until it is taken back.
    comm.SetBaudRate(br9600);
    EXPECT_EQ(comm.BaudValue(), 921600u);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B921600));
    comm.SetBaudValue(0);
    EXPECT_EQ(comm.BaudValue(), 9600u);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B9600));

    EXPECT_THROW(comm.SetBaudValue(49), EQuellorError);
    EXPECT_THROW(comm.SetBaudValue(4000001), EQuellorError);
    EXPECT_EQ(comm.BaudValue(), 9600u);
    comm.SetBaudValue(50);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B50));
    comm.SetBaudValue(4000000);
    EXPECT_EQ(SlaveLine(pty).c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(SlaveLine(pty).c_ospeed, 4000000u);
}

TEST(LineRate, ACharacterTakesItsStartDataParityAndStopBits) {
    EXPECT_EQ(CharacterNanos(Record(115200, 8, dcb::NOPARITY, dcb::ONESTOPBIT)), 86805u);
    EXPECT_EQ(CharacterNanos(Record(921600, 8, dcb::NOPARITY, dcb::ONESTOPBIT)), 10850u);
    EXPECT_EQ(CharacterNanos(Record(9600, 7, dcb::EVENPARITY, dcb::TWOSTOPBITS)), 1145833u);
    EXPECT_EQ(CharacterNanos(Record(50, 5, dcb::NOPARITY, dcb::ONE5STOPBITS)), 150000000u);
}

// At 1200 baud 8N1 60 bytes take 500 ms: looked for each millisecond, the queue would be read
// hundreds of times.
TEST(LineRate, TransmitEmptyIsLookedForWhenTheQueuedBytesHaveHadTheirTime) {
    TDrainingSys sys(CharacterNanos(Record(1200, 8, dcb::NOPARITY, dcb::ONESTOPBIT)));
    TPty pty;
    TComm comm;
    comm.SetDeviceName(pty.SlavePath);
    comm.SetBaudValue(1200);
    bool empty = false;
    comm.OnTxEmpty = [&](TCustomComm*) { empty = true; };
    comm.Open();
    SetSerialSys(&sys);
    QElapsedTimer took;
    took.start();
    comm.Write(QByteArray(60, 'x').constData(), 60);
    const bool reported = WaitUntil([&] { return empty; }, std::chrono::milliseconds(3000));
    const qint64 ms = took.elapsed();
    const int looks = sys.Looks;
    SetSerialSys(nullptr);
    ASSERT_TRUE(reported);
    EXPECT_GE(ms, 490);
    EXPECT_LT(ms, 700);
    EXPECT_LT(looks, 20);
    EXPECT_EQ(pty.Read(60), QByteArray(60, 'x'));
}
