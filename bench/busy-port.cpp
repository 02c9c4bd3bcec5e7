// How long browsers wait for their answer when the configured port does not open: on a port that
// another program holds, beside a process with many descriptors, against a port that is missing.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "Quellor.h"
#include "Usage.h"

namespace {
// The milliseconds until every one of `count` clients connecting at once got its answer.
qint64 AnswerAll(quint16 port, int count) {
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    for (auto& client : clients) {
        client->waitForConnected(5000);
        client->write("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        client->flush();
    }
    for (auto& client : clients)
        while (client->state() != QAbstractSocket::UnconnectedState && clock.elapsed() < 120000)
            client->waitForDisconnected(100);
    return clock.elapsed();
}

qint64 Run(bool busy, int count) {
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    QFile::setPermissions(profile.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    int master = -1, slave = -1;
    char name[256] = {};
    ::openpty(&master, &slave, name, nullptr, nullptr);
    ::flock(slave, LOCK_EX);
    QFile::link(busy ? QString::fromLocal8Bit(name) : QStringLiteral("/nonexistent/quellor-bench/COM1"),
                profile.path() + "/NORVEL-Q/ports/COM1");
    const quint16 port = FreePort();
    qint64 took = 0;
    {
        TQuellor quellor(profile.path(), port);
        took = AnswerAll(port, count);
    }
    ::close(slave);
    ::close(master);
    return took;
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers = NumbersOrUsage(
        argc, argv,
        "Usage: bench-busy-port [CLIENTS] [DESCRIPTORS]\n"
        "Times CLIENTS browsers at once answered on a port another program holds, beside DESCRIPTORS open\n"
        "descriptors (default 100 and 4000), against a port that does not exist.\n",
        2);
    QCoreApplication app(argc, argv);
    const int count = numbers.size() > 0 ? numbers[0] : 100;
    const int descriptors = numbers.size() > 1 ? numbers[1] : 4000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    // A browser beside the program holds thousands of descriptors, each looked at by a walk.
    std::vector<int> held;
    for (int i = 0; i < descriptors; ++i)
        if (const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0)
            held.push_back(fd);
    const qint64 missing = Run(false, count);
    const qint64 busy = Run(true, count);
    std::printf("%d clients at once, port missing: all answered in %lld ms; port held by another program "
                "(beside %zu descriptors): %lld ms (%.1fx)\n",
                count, static_cast<long long>(missing), held.size(), static_cast<long long>(busy),
                missing > 0 ? double(busy) / double(missing) : 0.0);
    for (const int fd : held)
        ::close(fd);
    return 0;
}
