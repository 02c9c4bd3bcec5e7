// The serial component on real pseudo-terminals: settings, errors, transfers and events.
#include <QCoreApplication>
#include <QTemporaryFile>
#include <QThread>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "serial/CommInt.h"
#include "serial/PortNames.h"
#include "support/Pty.h"

namespace {
termios2 LineOf(const TComm& comm) {
    termios2 attr{};
    ioctl(comm.Handle(), TCGETS2, &attr);
    return attr;
}

QString ErrorText(const std::function<void()>& action, int32_t* code = nullptr) {
    try {
        action();
    } catch (const ECommError& error) {
        if (code)
            *code = error.ErrorCode;
        return error.Message;
    }
    return QString();
}

// Keeps the attributes last applied: a pty forces 8 data bits and no parity on its own line.
class TRecordingSys : public TSerialSys {
public:
    int SetAttr(int fd, const termios2& attr) override {
        Applied = attr;
        return TSerialSys::SetAttr(fd, attr);
    }
    termios2 Applied{};
};

struct TRecording {
    TRecordingSys Sys;
    TRecording() { SetSerialSys(&Sys); }
    ~TRecording() { SetSerialSys(nullptr); }
};

struct TOpenPort {
    TPty Pty;
    TComm Comm;
    explicit TOpenPort(const std::function<void(TComm&)>& setUp = {}) {
        Comm.SetDeviceName(Pty.SlavePath);
        if (setUp)
            setUp(Comm);
        Comm.Open();
    }
};
} // namespace

TEST(SerialComponent, FreshComponentHasTheDocumentedDefaults) {
    TComm comm;
    EXPECT_EQ(comm.DeviceName(), "Com2");
    EXPECT_EQ(comm.BaudRate(), br9600);
    EXPECT_EQ(comm.Databits(), da8);
    EXPECT_EQ(comm.Parity(), paNone);
    EXPECT_EQ(comm.Stopbits(), sb10);
    EXPECT_EQ(comm.FlowControl(), fcDefault);
    EXPECT_EQ(comm.Options(), 0);
    EXPECT_EQ(comm.MonitorEvents(), 511);
    EXPECT_EQ(comm.ReadTimeout(), 1000);
    EXPECT_EQ(comm.WriteTimeout(), 1000);
    EXPECT_EQ(comm.ReadBufSize(), 4096);
    EXPECT_EQ(comm.WriteBufSize(), 2048);
    EXPECT_FALSE(comm.Enabled());
    EXPECT_EQ(comm.EventChars().XonChar(), 17);
    EXPECT_EQ(comm.EventChars().XoffChar(), 19);
    EXPECT_EQ(BaudRateValue(br256000), 256000u);
    EXPECT_EQ(BaudRateValue(br230400), 230400u);
    EXPECT_LT(br256000, br230400);
}

TEST(PortNames, PathsAsTheyAreComNamesThroughTheMapOrTheFixedRanges) {
    const QString noMap = "/nonexistent/map";
    EXPECT_EQ(DeviceNodeFor("/dev/serial/by-id/x", noMap), "/dev/serial/by-id/x");
    EXPECT_EQ(DeviceNodeFor("COM1", noMap), "/dev/ttyS0");
    EXPECT_EQ(DeviceNodeFor("Com2", noMap), "/dev/ttyS1");
    EXPECT_EQ(DeviceNodeFor("COM33", noMap), "/dev/ttyUSB0");
    EXPECT_EQ(DeviceNodeFor("COM65", noMap), "/dev/ttyACM0");
    EXPECT_EQ(DeviceNodeFor("COM128", noMap), "/dev/ttyAMA31");
    EXPECT_EQ(DeviceNodeFor("COM160", noMap), "/dev/rfcomm31");
    EXPECT_EQ(DeviceNodeFor("COM161", noMap), "/nonexistent/map/COM161");
    TPty pty;
    MapPort(12, pty.SlavePath);
    EXPECT_EQ(DeviceNodeFor("COM12"), PortMapFolder() + "/COM12");
    EXPECT_EQ(DeviceNodeFor("COM96", noMap), "/dev/ttyACM31");
    EXPECT_EQ(ComNumber("com255"), 255);
    EXPECT_EQ(ComNumber("COM256"), 0);
    EXPECT_EQ(ComNumber("COM07"), 0);
}

TEST(SerialComponent, OpensByPathAndByMappedNameAndRefusesASecondOpen) {
    TOpenPort byPath;
    EXPECT_TRUE(byPath.Comm.Enabled());
    int32_t code = 0;
    EXPECT_EQ(ErrorText([&] { byPath.Comm.Open(); }, &code),
              "Port already assigned (open) (Error: -1) \r\n" + byPath.Pty.SlavePath);
    EXPECT_EQ(code, -1);
    EXPECT_TRUE(byPath.Comm.Enabled());

    TPty pty;
    MapPort(12, pty.SlavePath);
    TComm byName;
    byName.SetDeviceName("COM12");
    byName.Open();
    EXPECT_TRUE(byName.Enabled());
    byName.Close();
    EXPECT_FALSE(byName.Enabled());
}

TEST(SerialComponent, OpenFailuresNameTheErrorAndTheDevice) {
    TComm missing;
    missing.SetDeviceName("COM7");
    int32_t code = 0;
    EXPECT_EQ(ErrorText([&] { missing.Open(); }, &code), "Error accessing specified device (Error: 2) \r\nCOM7");
    EXPECT_EQ(code, 2);
    EXPECT_FALSE(missing.Enabled());

    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    TComm notTty;
    notTty.SetDeviceName(file.fileName());
    EXPECT_EQ(ErrorText([&] { notTty.Open(); }, &code),
              "Invalid device handle, access denied (Error: -1) \r\n" + file.fileName());
    EXPECT_FALSE(notTty.Enabled());

    TOpenPort holder;
    TComm second;
    second.SetDeviceName(holder.Pty.SlavePath);
    EXPECT_TRUE(ErrorText([&] { second.Open(); }, &code).startsWith("Error accessing specified device"));
    EXPECT_TRUE(code == EWOULDBLOCK || code == EBUSY) << code;
}

TEST(SerialComponent, SettersWhileOpenAreRefusedOrAppliedAtOnce) {
    TOpenPort port;
    TComm& comm = port.Comm;
    EXPECT_TRUE(ErrorText([&] { comm.SetDeviceName("COM9"); }).startsWith("Port already assigned (open)"));
    EXPECT_EQ(comm.DeviceName(), port.Pty.SlavePath);
    EXPECT_EQ(ErrorText([&] { comm.SetDeviceName(port.Pty.SlavePath); }), "");
    EXPECT_FALSE(ErrorText([&] { comm.SetReadBufSize(100); }).isEmpty());
    EXPECT_FALSE(ErrorText([&] { comm.SetWriteBufSize(100); }).isEmpty());
    EXPECT_FALSE(ErrorText([&] { comm.SetMonitorEvents(EventBit(evRxChar)); }).isEmpty());
    EXPECT_EQ(comm.ReadBufSize(), 4096);
    EXPECT_EQ(comm.MonitorEvents(), 511);

    comm.SetBaudRate(br115200);
    EXPECT_EQ(LineOf(comm).c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    comm.SetBaudRate(br256000);
    EXPECT_EQ(LineOf(comm).c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_EQ(LineOf(comm).c_ospeed, 256000u);
    {
        TRecording recording;
        comm.SetDatabits(da7);
        EXPECT_EQ(recording.Sys.Applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    }
    comm.SetStopbits(sb20);
    EXPECT_TRUE(LineOf(comm).c_cflag & CSTOPB);
    comm.SetFlowControl(fcCTS);
    EXPECT_TRUE(LineOf(comm).c_cflag & CRTSCTS);
    comm.SetFlowControl(fcSoftware);
    EXPECT_FALSE(LineOf(comm).c_cflag & CRTSCTS);
    EXPECT_TRUE(LineOf(comm).c_iflag & IXON);
    comm.EventChars().SetXonChar(0x11);
    EXPECT_EQ(LineOf(comm).c_cc[VSTART], 0x11);
    comm.EventChars().SetXoffChar(0x05);
    EXPECT_EQ(LineOf(comm).c_cc[VSTOP], 0x05);
}

TEST(SerialComponent, ParityDrivesTheParityCheckOption) {
    TOpenPort port;
    TComm& comm = port.Comm;
    TRecording recording;
    const auto parityBits = [&] { return recording.Sys.Applied.c_cflag & (PARENB | PARODD | CMSPAR); };
    comm.SetParity(paEven);
    EXPECT_TRUE(comm.Options() & OptionBit(coParityCheck));
    EXPECT_TRUE(comm.DCB().Flags & dcb::fParity);
    EXPECT_EQ(parityBits(), static_cast<tcflag_t>(PARENB));
    EXPECT_TRUE(recording.Sys.Applied.c_iflag & INPCK);
    comm.SetParity(paOdd);
    EXPECT_EQ(parityBits(), static_cast<tcflag_t>(PARENB | PARODD));
    comm.SetParity(paMark);
    EXPECT_EQ(parityBits(), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
    comm.SetParity(paSpace);
    EXPECT_EQ(parityBits(), static_cast<tcflag_t>(PARENB | CMSPAR));
    comm.SetParity(paNone);
    EXPECT_FALSE(comm.Options() & OptionBit(coParityCheck));
    EXPECT_FALSE(comm.DCB().Flags & dcb::fParity);
    EXPECT_EQ(parityBits(), 0u);
    EXPECT_FALSE(recording.Sys.Applied.c_iflag & INPCK);
}

TEST(LineSettingsRecord, FlowControlArithmeticOnTheRecord) {
    TCommEventChars chars(nullptr);
    const auto amend = [&](uint32_t flags, TFlowControl flow, TCommOptions options = 0, int readBuf = 16384) {
        TDCB record;
        record.Flags = flags;
        TCommOptions kept = options;
        TCustomComm::AmendDCB(record, br115200, paNone, sb10, da8, chars, readBuf, flow, kept);
        return record;
    };
    const uint32_t toggle = dcb::RTS_CONTROL_TOGGLE << dcb::fRtsControlShift;
    const uint32_t rtsHandshake = dcb::RTS_CONTROL_HANDSHAKE << dcb::fRtsControlShift;
    const uint32_t dtrHandshake = dcb::DTR_CONTROL_HANDSHAKE << dcb::fDtrControlShift;
    const uint32_t dtrEnable = dcb::DTR_CONTROL_ENABLE << dcb::fDtrControlShift;
    EXPECT_EQ(dcb::RtsControl(amend(toggle, fcNone)), dcb::RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb::RtsControl(amend(rtsHandshake, fcNone)), dcb::RTS_CONTROL_DISABLE);
    EXPECT_EQ(dcb::DtrControl(amend(dtrHandshake, fcNone)), dcb::DTR_CONTROL_DISABLE);
    EXPECT_EQ(dcb::DtrControl(amend(dtrEnable, fcNone)), dcb::DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb::RtsControl(amend(rtsHandshake, fcRS485)), dcb::RTS_CONTROL_TOGGLE);
    EXPECT_EQ(amend(0xFFFF & ~dcb::fBinary, fcNone).Flags & 0x232C, 0u);
    EXPECT_TRUE(amend(0, fcNone).Flags & dcb::fBinary);
    EXPECT_EQ(amend(0, fcCTSDTR).Flags & (dcb::fOutxCtsFlow | dcb::fOutxDsrFlow), dcb::fOutxCtsFlow | dcb::fOutxDsrFlow);
    EXPECT_EQ(amend(0, fcSoftware).Flags & (dcb::fOutX | dcb::fInX), dcb::fOutX | dcb::fInX);
    EXPECT_EQ(amend(0, fcDTR).Flags & (dcb::fOutxDsrFlow | dcb::fOutxCtsFlow), dcb::fOutxDsrFlow);

    const TDCB kept = amend(toggle | dcb::fOutX | dcb::fNull, fcDefault, OptionBit(coDsrSensitivity));
    EXPECT_EQ(dcb::RtsControl(kept), dcb::RTS_CONTROL_TOGGLE);
    EXPECT_TRUE(kept.Flags & dcb::fOutX);
    EXPECT_FALSE(kept.Flags & dcb::fBinary);
    EXPECT_FALSE(kept.Flags & dcb::fNull);
    EXPECT_TRUE(kept.Flags & dcb::fDsrSensitivity);

    const TDCB limits = amend(0, fcNone);
    EXPECT_EQ(limits.XonLim, 4096);
    EXPECT_EQ(limits.XoffLim, 4096);
    EXPECT_EQ(amend(0, fcNone, 0, 4096).XonLim, 1024);
    EXPECT_THROW(amend(0, fcNone, 0, 300000), EQuellorError);
}

TEST(SerialComponent, ClosedPortOperationsDoNothingAndShutdownQuietsTheComponent) {
    TComm closed;
    EXPECT_NO_THROW(closed.SetDTR(true));
    EXPECT_NO_THROW(closed.PurgeIn());
    EXPECT_NO_THROW(closed.PurgeOut());
    EXPECT_NO_THROW(closed.UpdateDataControlBlock());
    EXPECT_NO_THROW(closed.Close());
    EXPECT_NO_THROW(closed.SetBaudRate(br57600));

    TOpenPort port;
    CommShutdown = true;
    EXPECT_FALSE(port.Comm.Enabled());
    EXPECT_NO_THROW(port.Comm.Open());
    EXPECT_NO_THROW(port.Comm.CheckOpen());
    EXPECT_NE(port.Comm.Handle(), -1);
    port.Comm.Close();
    EXPECT_EQ(port.Comm.Handle(), -1);
    CommShutdown = false;

    TComm reopened;
    reopened.SetDeviceName(port.Pty.SlavePath);
    EXPECT_NO_THROW(reopened.Open());
}
