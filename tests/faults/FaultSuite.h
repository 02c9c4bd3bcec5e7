#pragma once
// The fixture of the fault waves: the real program, headless, beside the simulated device.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <functional>
#include <optional>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "bridge/sv_TCP.h"
#include "faults/FaultClients.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "support/Pty.h"
#include "support/Running.h"

using namespace std::chrono_literals;

inline TSimDevice::TOptions OnCom1() {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    return options;
}

inline int OpenDescriptors(qint64 pid) { return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).count()) - 2; }

// What each descriptor is, for the failure message.
inline QByteArray DescriptorTargets(qint64 pid) {
    QByteArray targets;
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files))
        targets += fd.toUtf8() + "=" + QFile::symLinkTarget(folder + "/" + fd).toUtf8() + " ";
    return targets;
}

inline qint64 ResidentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Limits on how long a client waits are stretched for the sanitizers' slower program.
#ifdef QUELLOR_SANITIZE
constexpr int Slowdown = 3;
#else
constexpr int Slowdown = 1;
#endif

inline bool IsFixedAnswer(const QByteArray& got) {
    return got == DeviceNotRespondingAnswer || got == QByteArray(DeviceNotAvailableAnswer).replace("~", "COM1");
}

inline bool IsOwnAnswer(const TFaultClient& client) { return client.Got == TSimDevice::PatternAnswer(client.Size); }

struct TFaultSuite : ::testing::Test {
    // A wave may put another device in its place before it starts the program.
    std::optional<TSimDevice> Device{std::in_place, OnCom1()};
    std::optional<TRunningProgram> Program;
    int BaseDescriptors = 0;
    qint64 BaseResident = 0;
    QByteArray BaseTargets;

    qint64 Pid() const { return Program->Process.processId(); }

    // Starts the program, with more settings if given, and takes its baseline after a first wave.
    void Start(const std::function<void()>& configure = {}) {
        Program.emplace([&] {
            SettingsWriteInteger("TCP\\Delay", 30);
            if (configure)
                configure();
        });
        WarmUp();
    }
    // The same beside a device that answers at the wire's speed, so that an answer holds the line.
    void StartPaced() {
        TSimDevice::TOptions options = OnCom1();
        options.Paced = true;
        Device.emplace(options);
        Start();
    }

    // Whatever the wave did, the program stops in order.
    void TearDown() override {
        if (!Program || Program->Process.state() != QProcess::Running)
            return;
        Program->Process.terminate();
        ASSERT_TRUE(Program->Process.waitForFinished(20000));
        Program->Errors += Program->Process.readAllStandardError();
        EXPECT_EQ(Program->Process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(Program->Process.exitCode(), 0) << Program->Errors.right(4000).constData();
        EXPECT_FALSE(Program->Errors.contains("Sanitizer")) << Program->Errors.right(4000).constData();
    }

    void ExpectAliveAndClean(const char* wave) {
        Program->WaitForLog("\n", 10);
        EXPECT_EQ(Program->Process.state(), QProcess::Running) << wave;
        EXPECT_FALSE(Program->Errors.contains("Sanitizer")) << wave << Program->Errors.right(4000).constData();
        EXPECT_FALSE(Program->Errors.contains("runtime error")) << wave << Program->Errors.right(4000).constData();
    }

    void ExpectBackAtBaseline(const char* wave) {
        EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors(Pid()) <= BaseDescriptors; }, 10s))
            << wave << ": " << OpenDescriptors(Pid()) << " descriptors, " << BaseDescriptors << " before: " << DescriptorTargets(Pid()).constData() << "\nbefore: " << BaseTargets.constData();
#ifndef QUELLOR_SANITIZE
        EXPECT_LE(ResidentKiB(Pid()), BaseResident + 8 * 1024) << wave << ": resident KiB, " << BaseResident << " before";
#endif
    }

    void WarmUp() {
        TWave wave(1);
        wave.Add(TAct::Normal, 8, 200ms);
        wave.Run(Program->Port, 60s);
        for (const TFaultClient& client : wave.Clients)
            ASSERT_TRUE(IsOwnAnswer(client)) << client.Size << ", got " << client.Got.size() << " bytes after "
                                             << client.Took.count() << " ms: " << client.Got.left(200).constData()
                                             << "\nlog: " << Program->Errors.right(2000).constData();
        ASSERT_TRUE(WaitUntil([&] { return OpenDescriptors(Pid()) > 0; }));
        QThread::msleep(300);
        BaseDescriptors = OpenDescriptors(Pid());
        BaseResident = ResidentKiB(Pid());
        BaseTargets = DescriptorTargets(Pid());
    }
};

inline void ExpectNormalClientsServed(const TWave& wave, const std::function<bool(const TFaultClient&)>& acceptable) {
    for (const TFaultClient& client : wave.Clients) {
        EXPECT_FALSE(client.TimedOut) << static_cast<int>(client.Act) << " size " << client.Size;
        if (client.Act == TAct::Normal) {
            EXPECT_TRUE(acceptable(client)) << "size " << client.Size << ", got " << client.Got.size() << " bytes: "
                                            << client.Got.left(120).constData();
        }
    }
}

