// Serial component figures on a pseudo-terminal: bytes per second from the device side to the
// receive handler, and the time from a device write to the handler on the GUI thread.
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Usage.h"
#include "serial/CommInt.h"

namespace {
using Clock = std::chrono::steady_clock;

struct TPair {
    int Master = -1;
    QString Slave;
    TPair() {
        int slave = -1;
        char name[256] = {};
        openpty(&Master, &slave, name, nullptr, nullptr);
        termios raw{};
        tcgetattr(Master, &raw);
        cfmakeraw(&raw);
        tcsetattr(Master, TCSANOW, &raw);
        Slave = QString::fromLocal8Bit(name);
        close(slave);
    }
    ~TPair() { close(Master); }
};

void WriteAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else {
            pollfd entry{fd, POLLOUT, 0};
            poll(&entry, 1, 100);
        }
    }
}

void RunUntil(const std::function<bool()>& done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

double Throughput(TPair& pair, long long& received) {
    constexpr size_t Total = 8 << 20;
    std::vector<char> data(Total, 'x');
    received = 0;
    const auto start = Clock::now();
    std::thread writer([&] { WriteAll(pair.Master, data.data(), data.size()); });
    RunUntil([&] { return received >= static_cast<long long>(Total); });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    return static_cast<double>(Total) / seconds;
}
} // namespace

int main(int argc, char** argv) {
    NumbersOrUsage(argc, argv,
                   "Usage: bench-serial\n"
                   "Prints the serial component's throughput from the device side of a pseudo-terminal to\n"
                   "the receive handler, and the time from a device write to the handler (2000 runs).\n",
                   0);
    QCoreApplication app(argc, argv);
    TPair pair;
    TComm comm;
    comm.SetDeviceName(pair.Slave);
    comm.SetReadBufSize(16384);
    long long received = 0;
    Clock::time_point arrived;
    comm.OnRxChar = [&](TCustomComm*, int count) {
        arrived = Clock::now();
        std::vector<char> block(static_cast<size_t>(count));
        received += comm.Read(block.data(), count);
    };
    comm.Open();

    const double rate = Throughput(pair, received);
    std::printf("serial throughput, device to receive handler: %.1f MB/s (%.0f bytes/s)\n", rate / 1e6, rate);

    constexpr int Runs = 2000;
    std::vector<double> latencies;
    for (int i = 0; i < Runs; ++i) {
        received = 0;
        const auto sent = Clock::now();
        WriteAll(pair.Master, "x", 1);
        RunUntil([&] { return received >= 1; });
        latencies.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("latency, device write to handler on the GUI thread, %d runs: median %.0f us, p99 %.0f us\n", Runs,
                latencies[Runs / 2], latencies[Runs * 99 / 100]);
    comm.Close();
    return 0;
}
