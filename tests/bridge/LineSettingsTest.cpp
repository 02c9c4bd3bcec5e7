// The serial side opens its port with the line of the settings, and shows that line.
#include <QLabel>
#include <asm/termbits.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "app/Control.h"
#include "serial/CommInt.h"
#include "serial/SerialSys.h"
#include "support/Hub.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
// A pty's master reads the settings of its slave, which the device side of a real line would see.
termios2 DeviceSees(const TPty& pty) {
    termios2 attr{};
    ioctl(pty.Master, TCGETS2, &attr);
    return attr;
}

// Takes each modem-line change as done, and keeps the DTR changes asked for.
class TModemSys : public TSerialSys {
public:
    TModemSys() { SetSerialSys(this); }
    ~TModemSys() override { SetSerialSys(nullptr); }
    int ModemBits(int, unsigned long request, int bits) override {
        if (bits & TIOCM_DTR)
            Dtr << (request == TIOCMBIS ? "raise" : "drop");
        return 0;
    }
    QStringList Dtr;
};

// Refuses any line at the given rate with the error, as a driver refuses a rate it cannot make.
class TRateRefusingSys : public TSerialSys {
public:
    TRateRefusingSys(uint32_t baud, int error) : Baud(baud), Error(error) { SetSerialSys(this); }
    ~TRateRefusingSys() override { SetSerialSys(nullptr); }
    int SetAttr(int fd, const termios2& attr) override {
        if (attr.c_ospeed == Baud) {
            errno = Error;
            return -1;
        }
        return TSerialSys::SetAttr(fd, attr);
    }
    uint32_t Baud;
    int Error;
};
} // namespace

TEST(LineSettings, ThePortOpensAtTheConfiguredRateFormatAndFlowControl) {
    TSides side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    TLineSettings& line = side.Rs.LineSettings;
    line.Baud = 921600;
    line.DataBits = 7;
    line.Parity = paEven;
    line.StopBits = sb20;
    line.RtsCts = true;
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    termios2 seen = DeviceSees(pty);
    EXPECT_EQ(seen.c_cflag & CBAUD, static_cast<tcflag_t>(B921600));
    EXPECT_TRUE(seen.c_cflag & CSTOPB);
    EXPECT_TRUE(seen.c_cflag & CRTSCTS);
    // A pty forces 8 data bits and no parity on its line: the record holds what was asked.
    const TDCB& record = side.Rs.CommRS->DCB();
    EXPECT_EQ(record.ByteSize, 7);
    EXPECT_EQ(record.Parity, dcb::EVENPARITY);
    EXPECT_EQ(record.StopBits, dcb::TWOSTOPBITS);
    EXPECT_TRUE(record.Flags & dcb::fOutxCtsFlow);
    EXPECT_EQ(side.Rs.OpenBaud, 921600u);

    line = TLineSettings();
    line.Baud = 250000;
    line.DataBits = 5;
    line.Parity = paOdd;
    line.StopBits = sb15;
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    seen = DeviceSees(pty);
    EXPECT_EQ(seen.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(seen.c_ospeed, 250000u);
    EXPECT_TRUE(seen.c_cflag & CSTOPB);
    EXPECT_FALSE(seen.c_cflag & CRTSCTS);
    EXPECT_EQ(side.Rs.CommRS->DCB().ByteSize, 5);
    EXPECT_EQ(side.Rs.CommRS->DCB().Parity, dcb::ODDPARITY);
    EXPECT_EQ(side.Rs.CommRS->DCB().StopBits, dcb::ONE5STOPBITS);
    EXPECT_FALSE(side.Rs.CommRS->DCB().Flags & dcb::fOutxCtsFlow);

    // A rate asked for one opening is that opening's alone.
    ASSERT_TRUE(side.Rs.OpenPort("COM4", 57600));
    EXPECT_EQ(DeviceSees(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B57600));
    EXPECT_EQ(side.Rs.OpenBaud, 57600u);
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    EXPECT_EQ(DeviceSees(pty).c_ospeed, 250000u);

    line = TLineSettings();
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    seen = DeviceSees(pty);
    EXPECT_EQ(seen.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    EXPECT_FALSE(seen.c_cflag & (CSTOPB | CRTSCTS));
    EXPECT_EQ(side.Rs.CommRS->DCB().ByteSize, 8);
    EXPECT_EQ(side.Rs.CommRS->DCB().Parity, dcb::NOPARITY);
    MapPort(4, "/nonexistent");
}

TEST(LineSettings, DtrIsRaisedAtOpenAndAfterAPurgeOnlyWhenTheSettingsSaySo) {
    TSides side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    {
        TModemSys sys;
        ASSERT_TRUE(side.Rs.OpenPort("COM4"));
        side.Rs.ResetOutput();
        EXPECT_EQ(sys.Dtr, (QStringList{"raise", "raise"}));
    }
    side.Rs.LineSettings.RaiseDtr = false;
    TModemSys sys;
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    side.Rs.ResetOutput();
    // A failed write purges and reopens the port: DTR is left alone there too.
    side.Rs.ClosePort();
    EXPECT_TRUE(side.Rs.WriteChunk("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(sys.Dtr.isEmpty()) << sys.Dtr.join(' ').toStdString();
    MapPort(4, "/nonexistent");
}

TEST(LineSettings, ARateThePortRefusesIsAnOpenFailureThatNamesTheRate) {
    TSides side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    side.Rs.LineSettings.Baud = 4000000;
    {
        TRateRefusingSys sys(4000000, EINVAL);
        EXPECT_FALSE(side.Rs.OpenPort("COM4"));
    }
    EXPECT_EQ(side.Rs.OpenFailure, "the port refused 4000000 baud");
    EXPECT_EQ(side.Log(), (QStringList{"RS: COM4 Open Error!",
                                       "RS: COM4 is " + pty.SlavePath +
                                           ", which opened but refused the line settings (4000000 baud)"}));
    // A failure of another kind keeps its own words.
    side.Dist.BtClearClick();
    {
        TRateRefusingSys sys(4000000, EIO);
        EXPECT_FALSE(side.Rs.OpenPort("COM4"));
    }
    EXPECT_EQ(side.Rs.OpenFailure, "line settings refused");
    EXPECT_TRUE(side.Log().value(1).endsWith("(Error updating DataControlBlock (Error: 5))"));
    side.Rs.LineSettings.Baud = 230400;
    EXPECT_TRUE(side.Rs.OpenPort("COM4"));
    EXPECT_TRUE(side.Rs.OpenFailure.isEmpty());
    MapPort(4, "/nonexistent");
}

TEST(LineSettings, ThePortPanelAndTheStatusAnswerShowTheLine) {
    TProgram program;
    TPty pty;
    MapPort(33, pty.SlavePath);
    TLineSettings& line = program.Rs().LineSettings;
    line.Baud = 921600;
    line.RtsCts = true;
    ASSERT_TRUE(program.Rs().OpenPort("COM33"));
    program.Main().UpdateStatus();
    EXPECT_EQ(program.Main().StatusPanels[0]->toolTip(), "The serial port in use: COM33 921600 8N1 RTS/CTS");
    TControl control(program.W, {});
    QJsonObject status = control.Status();
    EXPECT_EQ(status.value("lineSettings").toString(), "921600 8N1 RTS/CTS");
    EXPECT_EQ(status.value("port").toString(), "COM33");

    line = TLineSettings();
    line.DataBits = 7;
    line.Parity = paEven;
    ASSERT_TRUE(program.Rs().OpenPort("COM33", 57600));
    program.Main().UpdateStatus();
    EXPECT_EQ(program.Main().StatusPanels[0]->toolTip(), "The serial port in use: COM33 57600 7E1");
    EXPECT_EQ(control.Status().value("lineSettings").toString(), "57600 7E1");

    program.Rs().ForgetPort();
    program.Main().UpdateStatus();
    EXPECT_EQ(program.Main().StatusPanels[0]->toolTip(), "The serial port in use");
    MapPort(33, "/nonexistent");
}
