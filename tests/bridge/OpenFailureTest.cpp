// A port that does not open says why, in the log, the main window and the tray.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "serial/CommInt.h"
#include "support/LinePeek.h"
#include "serial/OpenFailure.h"
#include "serial/SerialSys.h"
#include "support/Hub.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
const QString Readme = " (see \"When the port will not open\" in the README)";

// The line for COM65 = /dev/ttyACM0 that failed with the error, with what else is known.
QString Line(int error, const QString& group = {}, TOpenFacts::TMembership membership = TOpenFacts::NotMember,
             const QString& holder = {}, const QString& grabber = {}, const QString& setUpError = {}) {
    TOpenFacts facts;
    facts.Name = "COM65";
    facts.Node = "/dev/ttyACM0";
    facts.Error = error;
    facts.Group = group;
    facts.Membership = membership;
    facts.Holder = holder;
    facts.Grabber = grabber;
    facts.SetUpError = setUpError;
    return DescribeOpenFailure(facts).Line;
}

// Open refuses with an error number; every other call goes through.
class TRefusingOpen : public TSerialSys {
public:
    explicit TRefusingOpen(int error) : Error(error) { SetSerialSys(this); }
    ~TRefusingOpen() override { SetSerialSys(nullptr); }
    int Open(const char*, int) override {
        errno = Error;
        return -1;
    }
    int Error;
};

// The test's own descriptor on a node, locked as a program holding the port locks it.
struct THeldNode {
    explicit THeldNode(const QString& node) : Fd(::open(QFile::encodeName(node).constData(), O_RDWR | O_NOCTTY)) {
        ::flock(Fd, LOCK_EX);
    }
    ~THeldNode() { ::close(Fd); }
    int Fd;
};

QString OwnName() {
    QFile comm("/proc/self/comm");
    comm.open(QIODevice::ReadOnly);
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}
} // namespace

TEST(OpenFailure, EachReasonNamesTheNodeAndWhatHelps) {
    using F = TOpenFacts;
    EXPECT_EQ(Line(ENOENT), "COM65 is /dev/ttyACM0, which does not exist (is the device plugged in?)");
    EXPECT_EQ(Line(EACCES, "dialout"), "COM65 is /dev/ttyACM0, permission denied: add your user to the group dialout "
                                       "(sudo usermod -aG dialout $USER), then log in again");
    EXPECT_EQ(Line(EACCES, "uucp", F::MemberNotInSession),
              "COM65 is /dev/ttyACM0, permission denied: your user is in the group uucp, but this session began "
              "before that: log in again");
    // Joining root's group is no remedy; neither is joining a group one is in.
    EXPECT_EQ(Line(EPERM, "root"), "COM65 is /dev/ttyACM0, permission denied to your user" + Readme);
    EXPECT_EQ(Line(EACCES, "dialout", F::InSession), "COM65 is /dev/ttyACM0, permission denied to your user" + Readme);
    EXPECT_EQ(Line(EBUSY, {}, F::NotMember, "minicom (pid 42)", "ModemManager"),
              "COM65 is /dev/ttyACM0, which is in use by another program: minicom (pid 42)");
    EXPECT_EQ(Line(EWOULDBLOCK, {}, F::NotMember, {}, "brltty"),
              "COM65 is /dev/ttyACM0, which is in use by another program, perhaps brltty, which is running" + Readme);
    EXPECT_EQ(Line(EBUSY), "COM65 is /dev/ttyACM0, which is in use by another program" + Readme);
    EXPECT_EQ(Line(ENXIO), "COM65 is /dev/ttyACM0, which has no device behind it (is the device plugged in?)");
    EXPECT_EQ(Line(-1), "COM65 is /dev/ttyACM0, which is not a serial port");
    EXPECT_EQ(Line(EIO), "COM65 is /dev/ttyACM0, which cannot be opened: Input/output error");
    EXPECT_EQ(Line(EIO, {}, F::NotMember, {}, {}, "Error updating CommTimeouts (Error: 5)"),
              "COM65 is /dev/ttyACM0, which opened but refused the line settings (Error updating CommTimeouts "
              "(Error: 5))");
    TOpenFacts path;
    path.Name = path.Node = "/dev/ttyUSB3";
    path.Error = ENOENT;
    EXPECT_EQ(DescribeOpenFailure(path).Line, "/dev/ttyUSB3, which does not exist (is the device plugged in?)");
}

TEST(OpenFailure, AHolderOrAKnownGrabberIsFoundInTheProcessTable) {
    TPty pty;
    MapPort(12, pty.SlavePath);
    QTemporaryDir proc;
    const auto process = [&](const QString& pid, const QString& comm) {
        QDir().mkpath(proc.path() + "/" + pid + "/fd");
        QFile file(proc.path() + "/" + pid + "/comm");
        file.open(QIODevice::WriteOnly);
        file.write(comm.toUtf8() + "\n");
    };
    process("17", "ModemManager");
    process("300", "bash");
    QFile::link("/dev/null", proc.path() + "/300/fd/0");
    EXPECT_EQ(ExplainOpenFailure("COM12", EBUSY, {}, proc.path()).Line,
              "COM12 is " + pty.SlavePath + ", which is in use by another program, perhaps ModemManager, which is "
                                            "running" + Readme);
    process("4242", "minicom");
    QFile::link(pty.SlavePath, proc.path() + "/4242/fd/3");
    const TOpenFailure held = ExplainOpenFailure("COM12", EWOULDBLOCK, {}, proc.path());
    EXPECT_EQ(held.Line, "COM12 is " + pty.SlavePath + ", which is in use by another program: minicom (pid 4242)");
    EXPECT_EQ(held.Short, "in use by minicom (pid 4242)");
    MapPort(12, "/nonexistent/quellor-test/COM12");
}

// The process table is looked through once per failure: the explanation stands while the node
// and the process it names do, and is found afresh once either changes or the port opened.
TEST(OpenFailure, AnExplanationIsKeptUntilThePortOrItsHolderChanges) {
    TPty pty, other;
    MapPort(12, pty.SlavePath);
    QTemporaryDir proc;
    const auto process = [&](const QString& pid, const QString& comm, const QString& node) {
        QDir().mkpath(proc.path() + "/" + pid + "/fd");
        QFile file(proc.path() + "/" + pid + "/comm");
        file.open(QIODevice::WriteOnly);
        file.write(comm.toUtf8() + "\n");
        QFile::link(node, proc.path() + "/" + pid + "/fd/3");
    };
    const auto holder = [&] { return ExplainOpenFailure("COM12", EBUSY, {}, proc.path()).Short; };
    process("4242", "minicom", pty.SlavePath);
    EXPECT_EQ(holder(), "in use by minicom (pid 4242)");
    // Looking again would name the first holder in the table; the one named still runs.
    process("100", "screen", pty.SlavePath);
    EXPECT_EQ(holder(), "in use by minicom (pid 4242)");

    QDir(proc.path() + "/4242").removeRecursively();
    EXPECT_EQ(holder(), "in use by screen (pid 100)");

    process("200", "picocom", other.SlavePath);
    MapPort(12, other.SlavePath);
    EXPECT_EQ(holder(), "in use by picocom (pid 200)");

    process("150", "cu", other.SlavePath);
    EXPECT_EQ(holder(), "in use by picocom (pid 200)");
    {
        TComm comm;
        comm.SetDeviceName("COM12");
        comm.Open();
    }
    EXPECT_EQ(holder(), "in use by cu (pid 150)");
    MapPort(12, "/nonexistent/quellor-test/COM12");
}

TEST(OpenFailure, TheSerialSideLogsTheReasonAfterTheOpenError) {
    TSides side;
    TPty pty;
    MapPort(4, pty.SlavePath);
    {
        THeldNode held(pty.SlavePath);
        EXPECT_FALSE(side.Rs.OpenPort("COM4"));
    }
    const QString pid = QString::number(QCoreApplication::applicationPid());
    EXPECT_EQ(side.Log(), (QStringList{"RS: COM4 Open Error!", "RS: COM4 is " + pty.SlavePath +
                                                                   ", which is in use by another program: " +
                                                                   OwnName() + " (pid " + pid + ")"}));
    side.Dist.BtClearClick();
    {
        TRefusingOpen refusing(EACCES);
        EXPECT_FALSE(side.Rs.OpenPort("COM4"));
    }
    const QString group = QFileInfo(pty.SlavePath).group();
    ASSERT_EQ(side.Log().size(), 2);
    const QString line = side.Log()[1];
    EXPECT_TRUE(line.startsWith("RS: COM4 is " + pty.SlavePath + ", permission denied")) << line.toStdString();
    EXPECT_TRUE(line.contains("group " + group) || line.endsWith(Readme)) << line.toStdString();
    EXPECT_TRUE(side.Rs.OpenFailure.startsWith("permission denied"));
    ASSERT_TRUE(side.Rs.OpenPort("COM4"));
    EXPECT_TRUE(side.Rs.OpenFailure.isEmpty());
    MapPort(4, "/nonexistent/quellor-test/COM4");
}

TEST(OpenFailure, TheMainWindowAndTheTrayShowTheShortReason) {
    TProgram program("OpenFailureTest");
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    program.Probe().StartProbe(false);
    EXPECT_EQ(program.Probe().ProbeResult, 2);
    const QString reason = "/nonexistent/quellor-test/COM1 does not exist";
    EXPECT_EQ(program.Main().StaticTextDevice->text(), "COM1: COM Error\n" + reason);
    program.Main().UpdateStatus();
    EXPECT_EQ(program.Main().TrayIcon1->toolTip(), "Quellor\nCOM1: COM Error\n" + reason + "\nhttp://localhost:24111");
    EXPECT_EQ(program.LogLines().filter("which does not exist").size(), program.LogLines().filter("Open Error!").size());
}
