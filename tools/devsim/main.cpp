// quellor-devsim: simulated HTTP devices on pseudo-terminals, for trying Quellor without hardware.
//   quellor-devsim [--port MODE[:LINK]]... [--late MS] [--pieces N] [--pause MS] [--paced]
//                  [--vanish-every SECONDS] [--tcp PORT]
// MODE is device, silent, garbage (answers that are not HTTP) or notfound (404 for everything).
// LINK is a symbolic link made to the port, for example a port-map entry
// ~/.config/NORVEL-Q/ports/COM1. --tcp also serves the first device's pages directly on
// 127.0.0.1:PORT, one thread a connection, as a floor to measure the bridge against.
// Runs until interrupted.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SimDevice.h"

namespace {
std::atomic<bool> Stop{false};

void OnSignal(int) { Stop = true; }

bool ParseMode(const QString& name, TSimDevice::TMode& mode) {
    if (name == "device")
        mode = TSimDevice::TMode::Device;
    else if (name == "silent")
        mode = TSimDevice::TMode::Silent;
    else if (name == "garbage")
        mode = TSimDevice::TMode::Garbage;
    else if (name == "notfound")
        mode = TSimDevice::TMode::NotFound;
    else
        return false;
    return true;
}

void ServeConnection(TSimDevice& device, int fd) {
    QByteArray got;
    char buffer[65536];
    for (;;) {
        const qsizetype end = got.indexOf("\r\n\r\n");
        const qsizetype length = end < 0 ? 0 : HeaderValue(got.left(end), "Content-Length").toLongLong();
        if (end >= 0 && got.size() >= end + 4 + length) {
            const QByteArray answer = device.AnswerTo(got.left(end + 4), got.mid(end + 4, length));
            for (qsizetype done = 0; done < answer.size();) {
                const ssize_t n = ::send(fd, answer.constData() + done, static_cast<size_t>(answer.size() - done), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += n;
            }
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
}

void ServeTcp(TSimDevice& device, int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        std::perror("quellor-devsim: --tcp");
        return;
    }
    std::thread([&device, listener] {
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0)
                std::thread(ServeConnection, std::ref(device), fd).detach();
        }
    }).detach();
}

int Usage() {
    std::fprintf(stderr, "usage: quellor-devsim [--port MODE[:LINK]]... [--late MS] [--pieces N] [--pause MS] "
                         "[--paced] [--vanish-every SECONDS] [--tcp PORT]\n  MODE: device, silent, garbage, notfound\n");
    return 2;
}
} // namespace

int main(int argc, char** argv) {
    QStringList ports;
    TSimDevice::TOptions common;
    int vanishEvery = 0;
    int tcpPort = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        const bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue)
            ports << QString::fromLocal8Bit(argv[++i]);
        else if (arg == "--late" && hasValue)
            common.Late = std::chrono::milliseconds(std::atoi(argv[++i]));
        else if (arg == "--pieces" && hasValue)
            common.Pieces = std::atoi(argv[++i]);
        else if (arg == "--pause" && hasValue)
            common.PiecePause = std::chrono::milliseconds(std::atoi(argv[++i]));
        else if (arg == "--paced")
            common.Paced = true;
        else if (arg == "--vanish-every" && hasValue)
            vanishEvery = std::atoi(argv[++i]);
        else if (arg == "--tcp" && hasValue)
            tcpPort = std::atoi(argv[++i]);
        else
            return Usage();
    }
    if (ports.isEmpty())
        ports << "device";
    std::vector<std::unique_ptr<TSimDevice>> devices;
    for (const QString& port : ports) {
        TSimDevice::TOptions options = common;
        if (!ParseMode(port.section(':', 0, 0), options.Mode))
            return Usage();
        options.Link = port.section(':', 1);
        devices.push_back(std::make_unique<TSimDevice>(options));
        std::printf("%s: %s%s\n", qPrintable(port.section(':', 0, 0)), qPrintable(devices.back()->SlavePath()),
                    options.Link.isEmpty() ? "" : qPrintable(" -> " + options.Link));
    }
    if (tcpPort > 0)
        ServeTcp(*devices.front(), tcpPort);
    std::fflush(stdout);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    for (int tick = 1; !Stop; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (vanishEvery > 0 && tick % (vanishEvery * 10) == 0)
            for (auto& device : devices)
                device->Vanish(std::chrono::seconds(2));
    }
    return 0;
}
