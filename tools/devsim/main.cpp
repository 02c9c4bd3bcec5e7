// quellor-devsim: simulated HTTP devices on pseudo-terminals, for trying Quellor without hardware.
//   quellor-devsim [--port MODE[:LINK]]... [--late MS] [--pieces N] [--pause MS] [--paced]
//                  [--baud N] [--only-at-baud N] [--vanish-every SECONDS] [--tcp PORT]
// MODE is device, silent, garbage (answers that are not HTTP) or notfound (404 for everything).
// LINK is a symbolic link made to the port, for example a port-map entry
// ~/.config/NORVEL-Q/ports/COM1; it is left leading nowhere when the simulator ends. --tcp also serves the first device's pages directly on
// 127.0.0.1:PORT, one thread a connection, as a floor to measure the bridge against.
// --paced paces its answers at 115200 baud 8N1; --baud N paces what it writes and what it reads at
// N baud 8N1 (N/10 bytes a second), as a wire would. --only-at-baud N serves only while the program
// on the other side has set the line to N baud and answers bytes that are not HTTP at any other
// rate; it writes a line for each request, with the rate, on standard error.
// Runs until interrupted.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

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

bool ParseRate(const char* text, uint32_t& rate) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || value == 0 || value > 100000000)
        return false;
    rate = static_cast<uint32_t>(value);
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: quellor-devsim [--port MODE[:LINK]]... [--late MS] [--pieces N] [--pause MS] "
                         "[--paced] [--baud N] [--only-at-baud N] [--vanish-every SECONDS] [--tcp PORT]\n"
                         "  MODE: device, silent, garbage, notfound\n");
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
        else if (arg == "--baud" && hasValue) {
            if (!ParseRate(argv[++i], common.Baud))
                return Usage();
        } else if (arg == "--only-at-baud" && hasValue) {
            if (!ParseRate(argv[++i], common.AnswerBaud))
                return Usage();
            common.LogRequests = true;
        } else if (arg == "--vanish-every" && hasValue)
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
        devices.front()->ServeOverTcp(tcpPort);
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
