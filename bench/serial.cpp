// Serial figures on pseudo-terminals: bytes per second from the device side to the receive handler,
// the time from a device write to the handler on the GUI thread, and, through the real program to a
// device paced as a wire at each rate, a download and an upload as a multiple of their wire time.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
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

#include "Quellor.h"
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

const char* const UsageText =
    "Usage: bench-serial [--rates BAUD,...] [--download-bytes N] [--upload-bytes N] [--runs N]\n"
    "Prints the serial component's throughput from the device side of a pseudo-terminal to\n"
    "the receive handler, and the time from a device write to the handler (2000 runs). Then, for\n"
    "each rate (default 115200,921600,3000000), the program's line set to it and a device that\n"
    "writes and reads at that rate 8N1: a download (default 1048576 bytes) and an upload (default\n"
    "262144 bytes) through the program, as a multiple of the time the wire needs for the bytes of\n"
    "the exchange (bytes * 10 / baud), the median of RUNS (default 1) each, beside its goal.\n";

struct TArguments {
    std::vector<uint32_t> Rates{115200, 921600, 3000000};
    int DownloadBytes = 1 << 20;
    int UploadBytes = 256 << 10;
    int Runs = 1;
};

[[noreturn]] void Refuse(const char* program, const char* argument) {
    std::fprintf(stderr, "%s: unknown argument '%s'\n", program, argument);
    std::fputs(UsageText, stderr);
    std::exit(2);
}

bool Positive(const QString& text, long long most, long long& value) {
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok && value > 0 && value <= most;
}

// A benchmark runs for minutes and must not start on an argument it does not know.
TArguments Parse(int argc, char** argv) {
    TArguments arguments;
    for (int i = 1; i < argc; ++i) {
        const QString name = QString::fromLocal8Bit(argv[i]);
        if (name == "--help" || name == "-h") {
            std::fputs(UsageText, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc)
            Refuse(argv[0], argv[i]);
        const QString value = QString::fromLocal8Bit(argv[++i]);
        long long number = 0;
        if (name == "--rates") {
            arguments.Rates.clear();
            for (const QString& rate : value.split(','))
                if (Positive(rate, 100000000, number))
                    arguments.Rates.push_back(static_cast<uint32_t>(number));
                else
                    Refuse(argv[0], argv[i]);
        } else if (name == "--download-bytes" && Positive(value, 1 << 30, number)) {
            arguments.DownloadBytes = static_cast<int>(number);
        } else if (name == "--upload-bytes" && Positive(value, 1 << 30, number)) {
            arguments.UploadBytes = static_cast<int>(number);
        } else if (name == "--runs" && Positive(value, 1000, number)) {
            arguments.Runs = static_cast<int>(number);
        } else {
            Refuse(argv[0], argv[i - 1]);
        }
    }
    return arguments;
}

struct TExchange {
    double Seconds = -1;  // from the first byte of the request written to the last of the answer; -1 when unanswered
    qint64 WireBytes = 0;  // request and answer
    QByteArray Body;       // of the answer
};

TExchange Exchange(quint16 port, const QByteArray& request, double limitSeconds) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return {};
    QElapsedTimer timer;
    timer.start();
    socket.write(request);
    QByteArray answer;
    while (timer.elapsed() < limitSeconds * 1000) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(20);
        else
            socket.waitForReadyRead(20);
        answer += socket.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        const qsizetype length = HeaderValue(answer.left(end), "Content-Length").toLongLong();
        if (answer.size() >= end + 4 + length)
            return {static_cast<double>(timer.nsecsElapsed()) / 1e9, request.size() + answer.size(), answer.mid(end + 4)};
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            break;
    }
    return {};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// One line: the median of the runs as a multiple of the wire time, beside the goal (0: none).
void Report(const char* what, int bytes, uint32_t baud, const std::vector<double>& ratios, double goal) {
    const double ratio = Median(ratios);
    std::printf("  %-8s %8d bytes at %7u baud: ", what, bytes, baud);
    if (ratio < 0) {
        std::printf("not answered whole\n");
        return;
    }
    std::printf("%.4fx the wire time", ratio);
    if (goal > 0)
        std::printf("  (goal <= %.2fx: %s)", goal, ratio <= goal ? "met" : "MISSED");
    std::printf("\n");
}

double DownloadGoal(uint32_t baud) { return baud == 921600 ? 1.02 : baud == 3000000 ? 1.05 : 0; }
double UploadGoal(uint32_t baud) { return baud == 921600 || baud == 3000000 ? 1.05 : 0; }

void OverTheWire(const TArguments& arguments) {
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    std::printf("through the program, as a multiple of the wire time (bytes * 10 / baud), median of %d:\n", arguments.Runs);
    for (const uint32_t baud : arguments.Rates) {
        TSimDevice::TOptions options = Device(profile.path());
        options.Baud = baud;
        TSimDevice device(options);
        const quint16 port = FreePort();
        TQuellor quellor(profile.path(), port, true, true, 1000, baud);
        const auto wireSeconds = [baud](qint64 bytes) { return static_cast<double>(bytes) * 10 / baud; };
        const auto limit = [&](qint64 bytes) { return wireSeconds(bytes) * 3 + 30; };

        const QByteArray get = "GET /bin/pattern?size=" + QByteArray::number(arguments.DownloadBytes) +
                               " HTTP/1.1\r\nHost: localhost\r\n\r\n";
        const QByteArray body = TSimDevice::Pattern(arguments.UploadBytes);
        const QByteArray post = "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        std::vector<double> downloads, uploads;
        for (int run = 0; run < arguments.Runs; ++run) {
            const TExchange got = Exchange(port, get, limit(arguments.DownloadBytes));
            if (got.Seconds >= 0 && got.Body == TSimDevice::Pattern(arguments.DownloadBytes))
                downloads.push_back(got.Seconds / wireSeconds(got.WireBytes));
            QThread::msleep(50);
            const TExchange sent = Exchange(port, post, limit(arguments.UploadBytes));
            if (sent.Seconds >= 0 && device.LastUpload() == body)
                uploads.push_back(sent.Seconds / wireSeconds(sent.WireBytes));
            QThread::msleep(50);
        }
        const QList<uint32_t> seen = device.SeenRates();
        std::printf("%u baud (the program set its line to %u baud):\n", baud, seen.isEmpty() ? 0 : seen.last());
        Report("download", arguments.DownloadBytes, baud, downloads, DownloadGoal(baud));
        Report("upload", arguments.UploadBytes, baud, uploads, UploadGoal(baud));
        std::fflush(stdout);
    }
}
} // namespace

int main(int argc, char** argv) {
    const TArguments arguments = Parse(argc, argv);
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
    std::fflush(stdout);

    OverTheWire(arguments);
    return 0;
}
