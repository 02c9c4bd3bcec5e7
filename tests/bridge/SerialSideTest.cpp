// The receive queue and the serial side of the bridge, against pseudo-terminals.
#include <QComboBox>
#include <QCoreApplication>
#include <QThread>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "bridge/sv_Prot.h"
#include "support/LinePeek.h"
#include "platform/Dialogs.h"
#include "serial/CommInt.h"
#include "support/Hub.h"
#include "support/PlayedDevice.h"
#include "support/Pty.h"

namespace {
struct TSerialSide : TSides {
    TsvProt Queue;
    TSerialSide() {
        Rs.ReceiveQueue = &Queue;
        Rs.SetChannel(1);
        FreshDialogs();
    }
    // Chosen in the settings and confirmed there.
    void Select(int number) {
        Params.ComboBox_PortRS->setCurrentIndex(number - 1);
        Rs.SaveSettings();
    }
    // The line, started on COMn where the test plays the device, has seen it answer; the log
    // starts empty after.
    void DeviceAnswersOn(int number, TPty& device) {
        MapPort(number, device.SlavePath);
        Select(number);
        Tcp.Port = FreeTcpPort();
        Line.Attach(&Tcp, &Rs, {});
        Line.Init();
        MakeDeviceAnswer(Line, device);
        Peek(Line).TimerCheck->stop();
        Dist.BtClearClick();
    }
};
} // namespace

TEST(ReceiveQueue, BlocksComeOutInOrderAndEmptyOnesAreDropped) {
    TsvProt queue;
    QByteArray piece = "left over";
    EXPECT_EQ(queue.TakeChunk(piece), 0);
    EXPECT_TRUE(piece.isEmpty());
    EXPECT_TRUE(queue.PutChunk("one"));
    EXPECT_TRUE(queue.PutChunk(""));
    EXPECT_TRUE(queue.PutChunk("two"));
    EXPECT_TRUE(queue.PutChunk("three"));
    EXPECT_TRUE(queue.PutChunk(""));
    EXPECT_EQ(queue.TakeChunk(piece), 3);
    EXPECT_EQ(piece, "one");
    EXPECT_EQ(queue.TakeChunk(piece), 3);
    EXPECT_EQ(piece, "two");
    EXPECT_EQ(queue.TakeChunk(piece), 5);
    EXPECT_EQ(piece, "three");
    EXPECT_EQ(queue.TakeChunk(piece), 0);
    EXPECT_TRUE(piece.isEmpty());
    QByteArray out;
    queue.PassThrough("same", out);
    EXPECT_EQ(out, "same");
}

TEST(SerialSide, OpensTheConfiguredPortAt115200EightNoneOneWithDtr) {
    TSerialSide side;
    EXPECT_EQ(side.Rs.PortName(), "Com2");
    TPty pty;
    MapPort(4, pty.SlavePath);
    side.Select(4);
    ASSERT_TRUE(side.Rs.OpenConfiguredPort());
    termios2 line{};
    ioctl(side.Rs.CommRS->Handle(), TCGETS2, &line);
    EXPECT_EQ(line.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(line.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_FALSE(line.c_iflag & (IXON | IXOFF));
    EXPECT_EQ(side.Rs.CommRS->ReadBufSize(), 16384);
    EXPECT_EQ(side.Rs.CommRS->WriteTimeout(), 2000);
    EXPECT_EQ(side.Rs.PortName(), "COM4");
    EXPECT_EQ(side.Log(), QStringList{"RS: Open COM4"});
}

TEST(SerialSide, PortThatDoesNotExistIsLoggedAndLeftClosedUnderItsNewName) {
    TSerialSide side;
    TPty device;
    side.DeviceAnswersOn(4, device);
    EXPECT_FALSE(side.Rs.OpenPort("COM9"));
    EXPECT_EQ(side.Log(), (QStringList{"RS: COM9 Open Error!", "RS: COM9 is /nonexistent/quellor-test/COM9, which "
                                                                "does not exist (is the device plugged in?)"}));
    EXPECT_EQ(side.Rs.OpenFailure, "/nonexistent/quellor-test/COM9 does not exist");
    EXPECT_FALSE(side.Rs.CommRS->Enabled());
    EXPECT_EQ(side.Rs.PortName(), "COM9");
    EXPECT_FALSE(Peek(side.Line).DeviceOk);
}

TEST(SerialSide, NoSelectedPortOpensNothingAndTheSaveHandlerWarns) {
    TSerialSide side;
    side.Params.ComboBox_PortRS->setCurrentIndex(-1);
    EXPECT_FALSE(side.Rs.OpenConfiguredPort());
    EXPECT_TRUE(side.Log().isEmpty());
    side.Rs.OpenSelectedPortOrWarn();
    EXPECT_EQ(ScriptedDialogs().Texts, QStringList{"Error oppening COM port!"});
}

TEST(SerialSide, WritingWhileClosedLogsReopensOnceAndTriesAgain) {
    TSerialSide side;
    TPty pty;
    side.DeviceAnswersOn(4, pty);
    side.Rs.OpenPort("COM4");
    side.Rs.ClosePort();
    side.Dist.BtClearClick();
    EXPECT_TRUE(side.Rs.WriteChunk("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(side.Log(), (QStringList{"RS: COM4 Tx Error!", "RS: Open COM4"}));
    EXPECT_FALSE(Peek(side.Line).DeviceOk);
    EXPECT_EQ(pty.Read(18), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(side.Rs.ReopenCount, 0);
}

TEST(SerialSide, ARunOfFailingWritesReopensOnlyOnceUntilAnOpen) {
    TSerialSide side;
    side.Rs.OpenPort("COM9");
    side.Dist.BtClearClick();
    EXPECT_FALSE(side.Rs.WriteChunk("a"));
    EXPECT_EQ(side.Log().filter(" Error!"), (QStringList{"RS: COM9 Tx Error!", "RS: COM9 Open Error!", "RS: COM9 Tx Error!"}));
    EXPECT_EQ(side.Log().size(), 4);
    // Each step's lines alone: the log shows lines that repeat those before it once.
    side.Dist.BtClearClick();
    EXPECT_FALSE(side.Rs.WriteChunk("b"));
    EXPECT_EQ(side.Log(), QStringList{"RS: COM9 Tx Error!"});
    EXPECT_FALSE(side.Rs.WriteOnce(""));
    EXPECT_EQ(side.Log().size(), 1);
    side.Dist.BtClearClick();
    side.Rs.OpenPort("COM9");
    EXPECT_EQ(side.Log().size(), 2);
    side.Dist.BtClearClick();
    EXPECT_FALSE(side.Rs.WriteChunk("c"));
    EXPECT_EQ(side.Log().filter(" Error!"), (QStringList{"RS: COM9 Tx Error!", "RS: COM9 Open Error!", "RS: COM9 Tx Error!"}));
    EXPECT_EQ(side.Log().size(), 4);
}

TEST(SerialSide, BlocksFromTheDeviceAreQueuedWithOneMessageEach) {
    TSerialSide side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    side.Rs.OpenPort("COM4");
    pty.Write("HTTP/1.1 200 OK\r\n");
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_RS_RXCHAR) == 1; }));
    pty.Write("\r\nbody");
    ASSERT_TRUE(WaitUntil([&] { return side.Hub.Count(WM_SV_RS_RXCHAR) == 2; }));
    EXPECT_EQ(side.Hub.Messages.last().second, 1);
    QByteArray piece;
    QByteArray all;
    while (side.Queue.TakeChunk(piece) > 0)
        all += piece;
    EXPECT_EQ(all, "HTTP/1.1 200 OK\r\n\r\nbody");
}

TEST(SerialSide, ShortReadPurgesTheInputAndQueuesNothing) {
    TSerialSide side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    side.Rs.OpenPort("COM4");
    side.Rs.CommRS->OnRxChar = nullptr;
    pty.Write("abc");
    QThread::msleep(50);
    side.Rs.CommRSRxChar(side.Rs.CommRS, 10);
    QByteArray piece;
    EXPECT_EQ(side.Queue.TakeChunk(piece), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(side.Hub.Count(WM_SV_RS_RXCHAR), 0);
    char rest[8];
    EXPECT_EQ(side.Rs.CommRS->Read(rest, 8), 0);
    EXPECT_FALSE(side.Rs.Receiving);
}

TEST(SerialSide, ReenteredReceiveHandlerIsRefusedAndLineErrorsAreLogged) {
    TSerialSide side;
    side.Rs.Receiving = true;
    side.Rs.CommRSRxChar(side.Rs.CommRS, 1);
    EXPECT_EQ(ScriptedDialogs().Texts, QStringList{"Error (2)"});
    side.Rs.Receiving = false;
    side.Rs.CommRSError(side.Rs.CommRS, CE_FRAME);
    EXPECT_EQ(side.Log(), QStringList{"RS: Com2 Error!"});
    side.Rs.CommRSTxEmpty(side.Rs.CommRS);
    QCoreApplication::processEvents();
    EXPECT_EQ(side.Hub.Count(WM_SV_RS_TXEMPTY), 1);
}

namespace {
// Takes the first `accept` bytes written, then nothing more until the port is opened again.
class TStallingSys : public TSerialSys {
public:
    explicit TStallingSys(int accept) : Left(accept) {}
    int Open(const char* path, int flags) override {
        Left = -1;
        return TSerialSys::Open(path, flags);
    }
    ssize_t Write(int fd, const void* buffer, size_t count) override {
        if (Left == 0) {
            errno = EAGAIN;
            return -1;
        }
        const size_t take = Left < 0 ? count : std::min<size_t>(count, static_cast<size_t>(Left));
        const ssize_t n = TSerialSys::Write(fd, buffer, take);
        if (n > 0 && Left > 0)
            Left -= static_cast<int>(n);
        return n;
    }
    // Everything taken has left the port.
    int OutputCount(int, int& count) override {
        count = 0;
        return 0;
    }
    int Left;
};
} // namespace

TEST(SerialSide, AChunkThatTimedOutPartWayIsFinishedAfterTheReopenWithoutRepeatingItsStart) {
    TSerialSide side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    side.Select(4);
    ASSERT_TRUE(side.Rs.OpenConfiguredPort());
    side.Rs.CommRS->SetWriteTimeout(100);
    QByteArray block(2048, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7 + i / 256);
    TStallingSys sys(1000);
    SetSerialSys(&sys);
    const bool written = side.Rs.WriteChunk(block);
    SetSerialSys(nullptr);
    EXPECT_TRUE(written);
    EXPECT_EQ(pty.Read(2048), block);
    EXPECT_EQ(pty.Read(1, std::chrono::milliseconds(100)), "");
    EXPECT_EQ(side.Log().filter("RS: COM4 Tx Error!").size(), 1);
}
