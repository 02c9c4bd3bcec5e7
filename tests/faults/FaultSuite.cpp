// The real program, headless, between the simulated device and waves of clients that misbehave
// in every way a browser or a network can: each normal client must still get its own whole
// answer, the program must survive every wave (the sanitizer build aborts it on any memory fault),
// and its descriptors and memory must come back to where they were.
#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "bridge/sv_TCP.h"
#include "faults/FaultClients.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Pty.h"
#include "support/Running.h"

namespace {
using namespace std::chrono_literals;

TSimDevice::TOptions OnCom1() {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    return options;
}

int OpenDescriptors(qint64 pid) { return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).count()) - 2; }

// What each descriptor is, for the failure message.
QByteArray DescriptorTargets(qint64 pid) {
    QByteArray targets;
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files))
        targets += fd.toUtf8() + "=" + QFile::symLinkTarget(folder + "/" + fd).toUtf8() + " ";
    return targets;
}

qint64 ResidentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool IsFixedAnswer(const QByteArray& got) {
    return got == DeviceNotRespondingAnswer || got == QByteArray(DeviceNotAvailableAnswer).replace("~", "COM1");
}

bool IsOwnAnswer(const TFaultClient& client) { return client.Got == TSimDevice::PatternAnswer(client.Size); }

struct TFaultSuite : ::testing::Test {
    TSimDevice Device{OnCom1()};
    TRunningProgram Program{[] { SettingsWriteInteger("TCP\\Delay", 30); }};
    int BaseDescriptors = 0;
    qint64 BaseResident = 0;
    QByteArray BaseTargets;

    qint64 Pid() const { return Program.Process.processId(); }

    void ExpectAliveAndClean(const char* wave) {
        Program.WaitForLog("\n", 10);
        EXPECT_EQ(Program.Process.state(), QProcess::Running) << wave;
        EXPECT_FALSE(Program.Errors.contains("Sanitizer")) << wave << Program.Errors.right(4000).constData();
        EXPECT_FALSE(Program.Errors.contains("runtime error")) << wave << Program.Errors.right(4000).constData();
    }

    void ExpectBackAtBaseline(const char* wave) {
        EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(Pid()) <= BaseDescriptors; }, 10s))
            << wave << ": " << OpenDescriptors(Pid()) << " descriptors, " << BaseDescriptors << " before: " << DescriptorTargets(Pid()).constData() << "\nbefore: " << BaseTargets.constData();
#ifndef QUELLOR_SANITIZE
        EXPECT_LE(ResidentKiB(Pid()), BaseResident + 16 * 1024) << wave << ": resident KiB, " << BaseResident << " before";
#endif
    }

    void WarmUp() {
        TWave wave(1);
        wave.Add(TAct::Normal, 8, 200ms);
        wave.Run(Program.Port, 60s);
        for (const TFaultClient& client : wave.Clients)
            ASSERT_TRUE(IsOwnAnswer(client)) << client.Size;
        ASSERT_TRUE(WaitUntil([&] { return OpenDescriptors(Pid()) > 0; }));
        QThread::msleep(300);
        BaseDescriptors = OpenDescriptors(Pid());
        BaseResident = ResidentKiB(Pid());
        BaseTargets = DescriptorTargets(Pid());
    }
};

void ExpectNormalClientsServed(const TWave& wave, const std::function<bool(const TFaultClient&)>& acceptable) {
    for (const TFaultClient& client : wave.Clients) {
        EXPECT_FALSE(client.TimedOut) << static_cast<int>(client.Act) << " size " << client.Size;
        if (client.Act == TAct::Normal) {
            EXPECT_TRUE(acceptable(client)) << "size " << client.Size << ", got " << client.Got.size() << " bytes: "
                                            << client.Got.left(120).constData();
        }
    }
}
} // namespace

TEST_F(TFaultSuite, ClientsThatMisbehaveInEveryWayNeitherHarmTheProgramNorTheOtherClients) {
    WarmUp();

    TWave disconnects(11);
    disconnects.Add(TAct::Normal, 12, 2000ms);
    for (TAct act : {TAct::CloseBefore, TAct::ResetBefore, TAct::CloseAfter, TAct::ResetAfter})
        disconnects.Add(act, 4, 2000ms);
    for (TAct act : {TAct::CloseDuring, TAct::ResetDuring})
        disconnects.Add(act, 4, 2000ms, 500000, 3000000);
    disconnects.Run(Program.Port, 120s);
    ExpectNormalClientsServed(disconnects, IsOwnAnswer);
    ExpectAliveAndClean("disconnects");
    ExpectBackAtBaseline("disconnects");

    // The reset lands just before, at, or just after the moment the answer is handed over.
    TWave sweep(15);
    sweep.AddSweep(TAct::ResetBefore, 400, 50ms, 28ms, 20us);
    sweep.Run(Program.Port, 60s);
    ExpectAliveAndClean("sweep");
    ExpectBackAtBaseline("sweep");

    TWave idlers(12);
    idlers.Add(TAct::Normal, 10, 3000ms);
    idlers.Add(TAct::Silent, 10, 3000ms);
    idlers.Add(TAct::Half, 3, 3000ms);
    idlers.Run(Program.Port, 120s);
    ExpectNormalClientsServed(idlers, IsOwnAnswer);
    for (const TFaultClient& client : idlers.Clients)
        if (client.Act == TAct::Half) {
            EXPECT_EQ(client.Got, RequestIncompleteAnswer);
        }
    ExpectAliveAndClean("idlers");
    ExpectBackAtBaseline("idlers");

    TWave storm(13);
    storm.Add(TAct::Normal, 150, 100ms, 200, 4000);
    for (TAct act : {TAct::CloseBefore, TAct::ResetBefore, TAct::CloseAfter, TAct::ResetAfter, TAct::ResetDuring})
        storm.Add(act, 10, 100ms, 200, 60000);
    storm.Run(Program.Port, 150s);
    ExpectNormalClientsServed(storm, IsOwnAnswer);
    ExpectAliveAndClean("storm");
    ExpectBackAtBaseline("storm");

    TWave vanish(14);
    vanish.Add(TAct::Normal, 16, 3000ms, 20000, 200000);
    vanish.Add(TAct::ResetDuring, 4, 3000ms, 20000, 200000);
    Device.VanishDuringNextAnswer(500ms);
    vanish.Run(Program.Port, 120s);
    ExpectNormalClientsServed(vanish, [](const TFaultClient& c) {
        return IsOwnAnswer(c) || IsFixedAnswer(c.Got) || TSimDevice::PatternAnswer(c.Size).startsWith(c.Got);
    });
    ExpectAliveAndClean("vanish");
    ASSERT_TRUE(Program.WaitForLog("RS: Open COM1"));
    ExpectBackAtBaseline("vanish");

    Program.Process.terminate();
    ASSERT_TRUE(Program.Process.waitForFinished(20000));
    Program.Errors += Program.Process.readAllStandardError();
    EXPECT_EQ(Program.Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(Program.Process.exitCode(), 0) << Program.Errors.right(4000).constData();
    EXPECT_FALSE(Program.Errors.contains("Sanitizer")) << Program.Errors.right(4000).constData();
}
