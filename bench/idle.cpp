// How often the program wakes while idle: context switches of all its threads and the CPU time it
// took over a span of idle: with a device that answers every probe, with it gone, and with one that
// never answers.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <optional>
#include <unistd.h>

#include "Quellor.h"
#include "Usage.h"

namespace {
const char* UsageText = "Usage: bench-idle [SECONDS]\n"
                        "  Runs the program idle for SECONDS (default 60) beside a device that answers every\n"
                        "  probe, then as long with the device gone, then beside one that never answers, and\n"
                        "  prints the wake-ups a second (voluntary and involuntary context switches of all its\n"
                        "  threads) and the CPU time of each span.\n";

struct TCounts {
    long long Switches = 0;
    long long CpuTicks = 0;
};

// The context switches of every thread, from /proc/PID/task/*/status, and the CPU time from /proc/PID/stat.
TCounts Count(qint64 pid) {
    TCounts counts;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks + "/" + task + "/status");
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                counts.Switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        counts.CpuTicks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    }
    return counts;
}

void Measure(const char* what, qint64 pid, int seconds) {
    const TCounts before = Count(pid);
    QThread::sleep(seconds);
    const TCounts after = Count(pid);
    const double ms = 1000.0 * static_cast<double>(after.CpuTicks - before.CpuTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::printf("%-34s %6.2f wake-ups/s  (%lld in %d s), CPU %.0f ms\n", what,
                static_cast<double>(after.Switches - before.Switches) / seconds, after.Switches - before.Switches, seconds, ms);
    std::fflush(stdout);
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers = NumbersOrUsage(argc, argv, UsageText, 1);
    const int seconds = numbers.empty() ? 60 : numbers[0];
    QCoreApplication app(argc, argv);
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    QFile::setPermissions(profile.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::optional<TSimDevice> device(std::in_place, Device(profile.path()));
    TQuellor quellor(profile.path(), FreePort());
    // The start-up and its first probes pass before the span is counted.
    QThread::sleep(4);
    Measure("idle, device answers every probe:", quellor.Pid(), seconds);
    // Gone as an unplugged adapter is: its COM1 link is left leading nowhere.
    device.reset();
    QThread::sleep(4);
    Measure("idle, device gone:", quellor.Pid(), seconds);
    TSimDevice::TOptions silent = Device(profile.path());
    silent.Mode = TSimDevice::TMode::Silent;
    device.emplace(silent);
    QThread::sleep(4);
    Measure("idle, device never answers:", quellor.Pid(), seconds);
    return 0;
}
