// Memory while clients send more than the line takes: many clients post bodies at once while one
// more pours a body of 1 GiB; prints the program's resident memory idle and at its peak, and how
// many uploads were answered in what time.
// Usage: bench-flood [clients] [body-bytes]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Quellor.h"
#include "Usage.h"

namespace {
qint64 ResidentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

struct TSender {
    int Fd = -1;
    QByteArray Rest;
    QByteArray Got;
    bool Done = false;
};

int Connect(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

QByteArray Post(qint64 length) {
    return "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

// Sends what the socket takes and reads what came; false once the server closed.
bool Step(TSender& sender) {
    if (!sender.Rest.isEmpty()) {
        const ssize_t n = ::send(sender.Fd, sender.Rest.constData(), static_cast<size_t>(sender.Rest.size()), MSG_NOSIGNAL);
        sender.Rest.remove(0, std::max<ssize_t>(n, 0));
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(sender.Fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            sender.Got.append(buffer, n);
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers = NumbersOrUsage(
        argc, argv,
        "Usage: bench-flood [CLIENTS] [BODY-BYTES]\n"
        "CLIENTS (default 200) post BODY-BYTES each (default 1048576) at once while one more pours a\n"
        "body of 1 GiB; prints the program's resident memory idle and at its peak, and how many\n"
        "uploads were answered in what time. Takes minutes.\n",
        2);
    QCoreApplication app(argc, argv);
    const int count = numbers.size() > 0 ? numbers[0] : 200;
    const int bodyBytes = numbers.size() > 1 ? numbers[1] : 1 << 20;
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    QFile::setPermissions(profile.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TSimDevice device(Device(profile.path()));
    const quint16 port = FreePort();
    TQuellor quellor(profile.path(), port);
    const qint64 idle = ResidentKiB(quellor.Pid());

    std::vector<TSender> senders(static_cast<size_t>(count) + 1);
    const QByteArray body(bodyBytes, 'u');
    for (TSender& sender : senders) {
        sender.Fd = Connect(port);
        sender.Rest = Post(bodyBytes) + body;
    }
    TSender& pourer = senders.back();
    pourer.Rest = Post(qint64(1) << 30) + QByteArray(64 << 20, 'p');
    QElapsedTimer clock;
    clock.start();
    qint64 peak = idle;
    int answered = 0;
    while (answered < count && clock.elapsed() < 3600 * 1000) {
        for (TSender& sender : senders) {
            if (sender.Done)
                continue;
            if (&sender == &pourer && clock.elapsed() > 30000) {
                ::close(sender.Fd);
                sender.Done = true;
                continue;
            }
            if (!Step(sender)) {
                sender.Done = true;
                answered += sender.Got.contains("received " + QByteArray::number(bodyBytes) + " bytes");
                ::close(sender.Fd);
            }
        }
        peak = std::max(peak, ResidentKiB(quellor.Pid()));
        ::usleep(5000);
    }
    std::printf("%d clients posting %d bytes each and one pouring 1 GiB: %d answered in %.1f s; "
                "resident %.1f MiB idle, %.1f MiB at the peak (+%.1f MiB)\n",
                count, bodyBytes, answered, clock.elapsed() / 1000.0, idle / 1024.0, peak / 1024.0, (peak - idle) / 1024.0);
    return 0;
}
