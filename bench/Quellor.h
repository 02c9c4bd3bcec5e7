#pragma once
// The real program and its simulated device, side by side in a private profile, for the benchmarks.
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include "Children.h"
#include "SimDevice.h"

constexpr int SendDelayMs = 100;

inline quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The environment of the program in a private profile, also for a second copy that asks it.
inline QProcessEnvironment ProfileEnvironment(const QString& profile) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", profile);
    environment.insert("XDG_RUNTIME_DIR", profile + "/run");
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    return environment;
}

// The real program in a private profile whose COM1 is the device.
class TQuellor {
public:
    // With the journal of exchanges keeping this many entries (its default bound), or switched off;
    // the line at the rate given, or at the program's default with 0.
    TQuellor(const QString& profile, quint16 port, bool framing = true, bool journal = true, int entries = 1000,
             uint32_t baud = 0) {
        QSettings settings(profile + "/NORVEL-Q/quellor.conf", QSettings::IniFormat);
        settings.setValue("Journal/Entries", journal ? QString::number(entries) : "0");
        settings.setValue("RS/COM", "1");
        if (baud != 0)
            settings.setValue("RS/Baud", QString::number(baud));
        else
            settings.remove("RS/Baud");
        settings.setValue("TCP/Port", QString::number(port));
        settings.setValue("TCP/Delay", QString::number(SendDelayMs));
        settings.setValue("TCP/Framing", framing ? "1" : "0");
        settings.sync();
        Process.setProcessEnvironment(ProfileEnvironment(profile));
        EndWithStarter(Process);
        Process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        Process.setStandardErrorFile(QProcess::nullDevice());
        Process.start(QUELLOR_BINARY, {});
        Process.waitForStarted();
        QTcpSocket probe;
        for (int i = 0; i < 100; ++i) {
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100))
                break;
            QThread::msleep(50);
        }
        probe.abort();
        // Let the start-up probe of the device pass, so that it does not share the first runs.
        QThread::msleep(300);
    }
    ~TQuellor() {
        Process.terminate();
        Process.waitForFinished(5000);
    }

    qint64 Pid() const { return Process.processId(); }

private:
    QProcess Process;
};

inline TSimDevice::TOptions Device(const QString& profile, bool paced = false) {
    TSimDevice::TOptions options;
    options.Link = profile + "/NORVEL-Q/ports/COM1";
    options.Paced = paced;
    return options;
}
