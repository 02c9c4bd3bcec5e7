// Relay figures, on one simulated device per phase, measured side by side in one run:
//  1. request to complete answer through Quellor with framing on, with framing off (less its send
//     delay), and relayed by socat between a TCP port and the pty, median and 99th percentile;
//  2. a 1 MiB answer paced at the wire speed of 115200 baud (11520 bytes/s): when its first and its
//     last byte reach the client, streamed (framing on) and collected (framing off);
//  3. the time for 20 clients that connect at once until all are answered, framing on and off, and
//     for 200 clients while two loops keep both cores busy;
//  4. a page of 10 resources fetched over six parallel connections the way a browser does, through
//     Quellor framing on and off, and from the same device served directly over TCP (the floor);
//  5. what the journal of exchanges costs: request to answer with the journal on and off, two
//     programs side by side taking turns, and the 200-client burst with it on and off in turns.
// Usage: bench-relay [runs] [paced-bytes]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "SimDevice.h"
#include "Quellor.h"
#include "Usage.h"

namespace {

struct TTimes {
    double FirstByte = -1, LastByte = -1;  // milliseconds after the request was sent; -1 when not reached
};

// Sends the request and reads until the answer is complete by its Content-Length.
TTimes TimedExchange(quint16 port, const QByteArray& request, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return {};
    socket.write(request);
    QByteArray answer;
    TTimes times;
    while (timer.elapsed() < timeoutMs) {
        socket.waitForReadyRead(50);
        answer += socket.readAll();
        if (times.FirstByte < 0 && !answer.isEmpty())
            times.FirstByte = static_cast<double>(timer.nsecsElapsed()) / 1e6;
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        const qsizetype length = HeaderValue(answer.left(end), "Content-Length").toLongLong();
        if (answer.size() >= end + 4 + length) {
            times.LastByte = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            break;
        }
    }
    return times;
}

double Exchange(quint16 port, const QByteArray& request) { return TimedExchange(port, request).LastByte; }

struct TFigures {
    double Median = 0, P99 = 0;
};

TFigures Percentiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)]};
}

std::vector<double> Repeat(quint16 port, int runs, double less) {
    std::vector<double> times;
    const QByteArray request = "GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
    for (int i = 0; i < runs; ++i) {
        const double ms = Exchange(port, request);
        if (ms >= 0)
            times.push_back(ms - less);
        // The bridge serves one exchange at a time and closes; let the line settle between runs.
        QThread::msleep(5);
    }
    return times;
}

const QList<QByteArray> PageResources = {"/index.html", "/img/1.bmp", "/img/2.bmp", "/img/3.bmp", "/img/4.bmp",
                                         "/id.txt", "/bin/all256", "/bin/pattern?size=3000", "/bin/pattern?size=5000",
                                         "/bin/pattern?size=8000"};

// Milliseconds until all ten resources are in, six at a time, each on its own connection.
double FetchPage(quint16 port) {
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<QByteArray> answers;
    qsizetype next = 0;
    int complete = 0;
    const auto open = [&] {
        sockets.push_back(std::make_unique<QTcpSocket>());
        answers.emplace_back();
        sockets.back()->connectToHost(QHostAddress::LocalHost, port);
        sockets.back()->write("GET " + PageResources[next++] + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    };
    while (next < 6)
        open();
    while (complete < PageResources.size() && timer.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (!sockets[i])
                continue;
            answers[i] += sockets[i]->readAll();
            if (sockets[i]->state() != QAbstractSocket::UnconnectedState)
                continue;
            sockets[i].reset();
            ++complete;
            if (next < PageResources.size())
                open();
        }
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

TFigures PageFigures(quint16 port, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i)
        times.push_back(FetchPage(port));
    return Percentiles(times);
}

void PageLoads(const QString& profile, int runs) {
    for (const bool framing : {true, false}) {
        TSimDevice device(Device(profile));
        const quint16 port = FreePort();
        TQuellor quellor(profile, port, framing);
        const TFigures figures = PageFigures(port, runs);
        std::printf("page of 10 resources, 6 connections, framing %s: median %7.1f ms  p99 %7.1f ms\n",
                    framing ? "on " : "off", figures.Median, figures.P99);
    }
    // Served directly, the device lives until the program ends.
    static TSimDevice direct(TSimDevice::TOptions{});
    const quint16 port = FreePort();
    direct.ServeOverTcp(port);
    const TFigures figures = PageFigures(port, runs);
    std::printf("page of 10 resources, 6 connections, direct over TCP: median %7.1f ms  p99 %7.1f ms\n", figures.Median,
                figures.P99);
}

// A large answer at the wire speed: when its first and its last byte reach the client.
void PacedAnswer(const QString& profile, int bytes, bool framing) {
    TSimDevice device(Device(profile, true));
    const quint16 port = FreePort();
    TQuellor quellor(profile, port, framing);
    const QByteArray request = "GET /bin/pattern?size=" + QByteArray::number(bytes) + " HTTP/1.1\r\n\r\n";
    const TTimes times = TimedExchange(port, request, bytes / TSimDevice::WireBytesPerSecond * 1000 + 30000);
    const double rate = bytes / (times.LastByte / 1000.0);
    std::printf("paced answer of %d bytes, framing %s: first byte %8.1f ms, last byte %6.1f s = %.1f %% of the wire rate\n",
                bytes, framing ? "on (streamed)  " : "off (collected)", times.FirstByte, times.LastByte / 1000, 100.0 * rate / TSimDevice::WireBytesPerSecond);
}

// Clients that connect at once, until each is answered; with both cores kept busy if asked.
// Returns the milliseconds until all were answered.
double QueuedClients(const QString& profile, bool framing, int count = 20, bool busy = false, bool journal = true,
                     bool quiet = false) {
    TSimDevice device(Device(profile));
    const quint16 port = FreePort();
    TQuellor quellor(profile, port, framing, journal);
    TBusyCores cores(busy ? 2 : 0);
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    for (auto& client : clients) {
        client->waitForConnected(30000);
        client->write("GET /id.txt HTTP/1.1\r\n\r\n");
        client->flush();
    }
    int answered = 0;
    for (auto& client : clients) {
        while (client->state() == QAbstractSocket::ConnectedState && client->waitForReadyRead(30000)) {
        }
        answered += client->readAll().contains("200 OK");
    }
    const double ms = static_cast<double>(timer.elapsed());
    if (!quiet)
        std::printf("%d clients at once%s, framing %s: %d answered in %.0f ms\n", count, busy ? " (both cores busy)" : "",
                    framing ? "on " : "off", answered, ms);
    else if (answered != count)
        std::printf("  (only %d of %d clients answered)\n", answered, count);
    return ms;
}

double Median(std::vector<double> values) { return Percentiles(std::move(values)).Median; }

// The journal's cost: two programs, one with the journal and one without, each on its own device,
// take turns exchange by exchange so that the machine's moods fall on both alike, in three rounds
// of fresh programs started in turns; then the burst of 200 clients on busy cores, with the
// journal and without by turns.
void JournalCost(const QString& profile, int runs) {
    QTemporaryDir second;
    QDir().mkpath(second.path() + "/NORVEL-Q/ports");
    QDir().mkpath(second.path() + "/run");
    QFile::setPermissions(second.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    std::vector<double> on, off;
    const QByteArray request = "GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n";
    for (int round = 0; round < 3; ++round) {
        TSimDevice deviceOn(Device(profile));
        TSimDevice deviceOff(Device(second.path()));
        const quint16 portOn = FreePort(), portOff = FreePort();
        std::optional<TQuellor> withJournal, withoutJournal;
        for (const bool journal : {round % 2 == 0, round % 2 != 0}) {
            if (journal)
                withJournal.emplace(profile, portOn, true, true);
            else
                withoutJournal.emplace(second.path(), portOff, true, false);
        }
        for (int i = 0; i < runs; ++i) {
            for (const bool journal : {i % 2 == 0, i % 2 != 0}) {
                const double ms = Exchange(journal ? portOn : portOff, request);
                if (ms >= 0)
                    (journal ? on : off).push_back(ms);
                QThread::msleep(5);
            }
        }
    }
    const TFigures figuresOn = Percentiles(on), figuresOff = Percentiles(off);
    std::printf("the journal's cost, request to complete answer, framing on, 3 x %d runs each, in turns:\n", runs);
    std::printf("  journal on  (1000 entries)                median %7.2f ms  p99 %7.2f ms\n", figuresOn.Median, figuresOn.P99);
    std::printf("  journal off                               median %7.2f ms  p99 %7.2f ms\n", figuresOff.Median, figuresOff.P99);
    std::printf("  on against off: median %+.1f %%\n", 100.0 * (figuresOn.Median / figuresOff.Median - 1));
    std::vector<double> burstOn, burstOff;
    for (int i = 0; i < 5; ++i)
        for (const bool journal : {i % 2 == 0, i % 2 != 0})
            (journal ? burstOn : burstOff).push_back(QueuedClients(profile, true, 200, true, journal, true));
    const double medianOn = Median(burstOn), medianOff = Median(burstOff);
    std::printf("  200 clients at once (both cores busy), 5 bursts each: journal on %.0f ms, off %.0f ms (median), "
                "on against off %+.1f %%\n",
                medianOn, medianOff, 100.0 * (medianOn / medianOff - 1));
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers = NumbersOrUsage(
        argc, argv,
        "Usage: bench-relay [RUNS] [PACED-BYTES]\n"
        "Prints relay figures through the real program and a simulated device: request to answer\n"
        "over RUNS runs (default 200), framing on and off and through socat; an answer of\n"
        "PACED-BYTES (default 1048576) paced at the wire rate; clients that connect at once; a page\n"
        "of 10 resources over six connections; what the journal of exchanges costs, on against off.\n"
        "Takes minutes.\n",
        2);
    QCoreApplication app(argc, argv);
    const int runs = numbers.size() > 0 ? numbers[0] : 200;
    const int pacedBytes = numbers.size() > 1 ? numbers[1] : 1 << 20;
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    QFile::setPermissions(profile.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    TFigures viaFramed, viaQuiet, viaSocat;
    {
        TSimDevice device(Device(profile.path()));
        const quint16 port = FreePort();
        TQuellor quellor(profile.path(), port);
        viaFramed = Percentiles(Repeat(port, runs, 0));
    }
    {
        TSimDevice device(Device(profile.path()));
        const quint16 port = FreePort();
        TQuellor quellor(profile.path(), port, false);
        viaQuiet = Percentiles(Repeat(port, runs, SendDelayMs));
    }
    {
        TSimDevice device(Device(profile.path()));
        const quint16 port = FreePort();
        QProcess socat;
        EndWithStarter(socat);
        // Each connection gets its own socat child on the pty; -t keeps a finished one from lingering
        // on the line and reading the next answer.
        socat.start("socat", {"-t", "0.001", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                              QStringLiteral("FILE:%1,raw,echo=0").arg(device.SlavePath())});
        if (socat.waitForStarted()) {
            QThread::msleep(300);
            viaSocat = Percentiles(Repeat(port, runs, 0));
            socat.terminate();
            socat.waitForFinished();
        } else {
            std::printf("socat not found: its column stays 0\n");
        }
    }
    std::printf("request to complete answer, %d runs:\n", runs);
    std::printf("  Quellor, framing on                       median %7.2f ms  p99 %7.2f ms\n", viaFramed.Median, viaFramed.P99);
    std::printf("  Quellor, framing off, less its %3d ms delay median %7.2f ms  p99 %7.2f ms\n", SendDelayMs, viaQuiet.Median,
                viaQuiet.P99);
    std::printf("  socat                                     median %7.2f ms  p99 %7.2f ms\n", viaSocat.Median, viaSocat.P99);

    for (const bool framing : {true, false})
        PacedAnswer(profile.path(), pacedBytes, framing);
    for (const bool framing : {true, false})
        QueuedClients(profile.path(), framing);
    QueuedClients(profile.path(), true, 200, true);
    PageLoads(profile.path(), std::max(5, runs / 10));
    JournalCost(profile.path(), runs);
    return 0;
}
