// What exporting the journal costs the browsers the bridge serves meanwhile:
//  1. in this process, a journal of N entries: how long an export holds the GUI thread, built on
//     it, built on a worker from a copy made with Entries(), or with CopyEntriesForExport;
//  2. the real program with Journal\Entries=100000 beside the simulated device (unpaced), its
//     journal filled with N exchanges: the latency of browser GETs with no export, and during
//     `quellor --journal` exports, with each export's duration and size.
// Usage: bench-export [N] [EXPORTS]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <functional>
#include <cstdio>
#include <memory>
#include <vector>

#include "Quellor.h"
#include "SimDevice.h"
#include "Usage.h"
#include "platform/HeapRelease.h"
#include "journal/Har.h"
#include "journal/HarExport.h"
#include "journal/Journal.h"

namespace {
const QByteArray IdRequest = "GET /id.txt HTTP/1.1\r\nHost: localhost:24111\r\n\r\n";
const QByteArray PageRequest = "GET /index.html HTTP/1.1\r\nHost: localhost:24111\r\nUser-Agent: bench-export\r\n"
                               "Accept: text/html,application/xhtml+xml\r\nAccept-Language: en\r\n\r\n";

double Ms(const QElapsedTimer& timer) { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }

// Milliseconds from connecting until the answer is whole by its Content-Length; -1 when it was not.
double Get(quint16 port, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return -1;
    socket.write(IdRequest);
    QByteArray answer;
    while (timer.elapsed() < timeoutMs) {
        socket.waitForReadyRead(20);
        answer += socket.readAll();
        const qsizetype end = answer.indexOf("\r\n\r\n");
        if (end >= 0 && answer.size() >= end + 4 + HeaderValue(answer.left(end), "Content-Length").toLongLong())
            return Ms(timer);
        if (socket.state() != QAbstractSocket::ConnectedState)
            break;
    }
    return -1;
}

struct TFigures {
    double Median = 0, P99 = 0, Most = 0;
    size_t Count = 0;
};

TFigures Figures(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    if (values.empty())
        return {};
    return {values[values.size() / 2], values[std::min(values.size() - 1, values.size() * 99 / 100)], values.back(),
            values.size()};
}

void PrintLatency(const char* what, const TFigures& figures) {
    std::printf("  %-34s %5zu GETs  median %7.2f ms  p99 %8.2f ms  max %8.2f ms\n", what, figures.Count, figures.Median,
                figures.P99, figures.Most);
}

// A journal of `count` page loads as the bridge tells them, with heads and a body like the device's.
void Fill(journal::TJournal& journal, int count) {
    const QByteArray answer = TSimDevice::Answer("200 OK", "text/html", TSimDevice::IndexPage());
    for (int i = 1; i <= count; ++i) {
        journal.Accepted(i, QStringLiteral("127.0.0.1"));
        journal.HeadRead(i, PageRequest);
        const uint64_t id = journal.TakenUp(i, QStringLiteral("COM1"), QStringLiteral("/dev/pts/9"), QStringLiteral("devsim"));
        journal.RequestWritten(id, PageRequest);
        journal.AnswerArrived(id, answer);
        journal.AnswerEnded(id);
        journal.LineFree(id);
        journal.Closed(i, answer.size());
    }
}

// The longest this thread went without a turn of its event loop from start until finished was
// called, and how long that took.
struct TStall {
    double Longest = 0, Took = 0;
};

TStall HeldWhile(const std::function<void(std::function<void()> finished)>& start) {
    QElapsedTimer clock;
    clock.start();
    bool over = false;
    start([&over] { over = true; });
    TStall stall;
    qint64 last = 0;
    while (true) {
        const qint64 now = clock.nsecsElapsed();
        stall.Longest = std::max(stall.Longest, static_cast<double>(now - last) / 1e6);
        last = now;
        if (over)
            break;
        QCoreApplication::processEvents();
        QThread::usleep(200);
    }
    stall.Took = Ms(clock);
    return stall;
}

void InProcess(int count) {
    journal::TJournal journal;
    journal.SetBounds(journal::MaxEntries, journal::DefaultBodyBytes);
    Fill(journal, count);
    QObject context;
    QByteArray document;
    const TStall copied = HeldWhile([&](std::function<void()> finished) {
        journal::BuildHarInBackground(journal.Entries(), {}, &context, [&, finished](QByteArray built) {
            document = std::move(built);
            finished();
        });
    });
    const TStall made = HeldWhile([&](std::function<void()> finished) {
        journal::CopyEntriesForExport(journal, &context, [&, finished](QList<journal::TEntry> entries) {
            journal::BuildHarInBackground(std::move(entries), {}, &context, [&, finished](QByteArray built) {
                document = std::move(built);
                finished();
            });
        });
    });
    QElapsedTimer timer;
    timer.start();
    document = journal::HarDocument(journal.Entries(), {});
    const double here = Ms(timer);
    std::printf("in this process, a journal of %d page loads, its HAR document %.1f MiB:\n", count,
                static_cast<double>(document.size()) / (1 << 20));
    std::printf("  built on this thread                               held it %7.1f ms\n", here);
    std::printf("  copied with Entries(), built on a worker           held it %7.1f ms at most, done in %.0f ms\n",
                copied.Longest, copied.Took);
    std::printf("  copied with CopyEntriesForExport, built on a worker held it %7.1f ms at most, done in %.0f ms\n",
                made.Longest, made.Took);
}

// Page loads over a few connections at once, until `count` were answered.
void Load(quint16 port, int count) {
    constexpr int InFlight = 8;
    std::vector<std::unique_ptr<QTcpSocket>> sockets(InFlight);
    int started = 0, answered = 0;
    const auto open = [&](std::unique_ptr<QTcpSocket>& socket) {
        socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port);
        socket->write(PageRequest);
        ++started;
    };
    for (auto& socket : sockets)
        open(socket);
    QElapsedTimer timer;
    timer.start();
    while (answered < count && timer.elapsed() < 600000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        for (auto& socket : sockets) {
            if (!socket)
                continue;
            socket->readAll();
            if (socket->state() != QAbstractSocket::UnconnectedState)
                continue;
            ++answered;
            socket.reset();
            if (started < count)
                open(socket);
        }
    }
    std::printf("  filled with %d page loads in %.1f s\n", answered, static_cast<double>(timer.elapsed()) / 1000);
}

void WithTheProgram(const QString& profile, int count, int exports) {
    TSimDevice device(Device(profile));
    const quint16 port = FreePort();
    TQuellor quellor(profile, port, true, true, journal::MaxEntries);
    std::printf("the program with Journal\\Entries=%d:\n", journal::MaxEntries);
    Load(port, count);
    QThread::msleep(500);

    std::vector<double> quiet;
    for (int i = 0; i < 200; ++i) {
        if (const double ms = Get(port); ms >= 0)
            quiet.push_back(ms);
        QThread::msleep(10);
    }
    std::vector<double> during;
    int failed = 0;
    // The slowest GET during an export: how long it took, and when it began into its export of how long.
    double slowest = -1, slowestAt = 0, slowestOf = 0;
    const QString path = profile + "/journal.har";
    for (int i = 0; i < exports; ++i) {
        QProcess exporter;
        exporter.setProcessEnvironment(ProfileEnvironment(profile));
        exporter.setProcessChannelMode(QProcess::ForwardedChannels);
        QElapsedTimer timer;
        timer.start();
        exporter.start(QUELLOR_BINARY, {"--journal", path});
        exporter.waitForStarted();
        double worst = -1, worstAt = 0;
        while (!exporter.waitForFinished(0) && timer.elapsed() < 120000) {
            const double at = Ms(timer);
            const double ms = Get(port);
            if (ms >= 0)
                during.push_back(ms);
            else
                ++failed;
            if (ms > worst)
                worst = ms, worstAt = at;
            QThread::msleep(10);
        }
        const double took = Ms(timer);
        if (worst > slowest)
            slowest = worst, slowestAt = worstAt, slowestOf = took;
        QFile file(path);
        const QByteArray har = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        std::printf("  export %d: exit %d, %.0f ms, %.1f MiB, %lld entries\n", i + 1,
                    exporter.exitStatus() == QProcess::NormalExit ? exporter.exitCode() : -1, took,
                    static_cast<double>(har.size()) / (1 << 20), static_cast<long long>(har.count("\"startedDateTime\"")));
        QFile::remove(path);
        QThread::msleep(300);
    }
    const TFigures before = Figures(quiet), meanwhile = Figures(during);
    std::printf("browser GETs of /id.txt, connect to whole answer:\n");
    PrintLatency("without an export", before);
    PrintLatency("during the exports", meanwhile);
    if (failed > 0)
        std::printf("  %d GETs during the exports got no whole answer\n", failed);
    std::printf("  the slowest GET during an export waited %.1f ms longer than the median one without; it began\n"
                "  %.0f ms into an export of %.0f ms\n",
                meanwhile.Most - before.Median, slowestAt, slowestOf);
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers = NumbersOrUsage(
        argc, argv,
        "Usage: bench-export [N] [EXPORTS]\n"
        "Prints what exporting the journal costs: how long building the HAR document of N entries\n"
        "(default 30000) holds the thread that asks for it, in this process; then the real program\n"
        "with Journal\\Entries=100000, its journal filled with N page loads from the simulated\n"
        "device, and the latency of browser GETs without an export and during EXPORTS (default 3)\n"
        "runs of 'quellor --journal', with each export's duration and size. Takes a few minutes.\n",
        2);
    QCoreApplication app(argc, argv);
    // As the program does, so that large blocks cost here what they cost there.
    ReturnLargeBuffersOnFree();
    const int count = numbers.size() > 0 ? numbers[0] : 30000;
    const int exports = numbers.size() > 1 ? numbers[1] : 3;
    InProcess(count);
    QTemporaryDir profile;
    QDir().mkpath(profile.path() + "/NORVEL-Q/ports");
    QDir().mkpath(profile.path() + "/run");
    QFile::setPermissions(profile.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    WithTheProgram(profile.path(), count, exports);
    return 0;
}
