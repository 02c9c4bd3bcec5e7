// What the exchanges view costs the GUI thread with a full journal: each new exchange while the
// window is shown (in time order and sorted by another column), a scroll, and a new filter text.
// Prints milliseconds; the cost of one exchange must not grow with the journal.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableView>
#include <cstdio>

#include "Usage.h"
#include "journal/JournalView.h"

using namespace journal;

namespace {
const QByteArray Get = "GET /img/1.bmp HTTP/1.1\r\nHost: localhost:24111\r\n\r\n";
const QByteArray Answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

struct TFeed {
    TJournal Journal;
    int64_t Us = 0;
    int32_t Client = 0;
    TFeed() { Journal.Clock = [this] { return Us; }; }
    void Exchange() {
        const int32_t client = ++Client;
        Journal.Accepted(client, "127.0.0.1");
        Journal.HeadRead(client, Get);
        const uint64_t id = Journal.TakenUp(client, "COM1", {}, {});
        Us += 2000;
        Journal.RequestWritten(id, Get);
        Us += 20000;
        Journal.AnswerArrived(id, Answer);
        Journal.AnswerEnded(id);
        Journal.LineFree(id);
        Journal.Closed(client, Answer.size());
        Us += 5000;
    }
};

double MsPerExchange(TFeed& feed, int count) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        feed.Exchange();
        QCoreApplication::processEvents();
    }
    return static_cast<double>(timer.nsecsElapsed()) / 1e6 / count;
}
} // namespace

int main(int argc, char** argv) {
    const std::vector<int> numbers =
        NumbersOrUsage(argc, argv, "Usage: bench-view [ENTRIES]   (default 100000: a full journal)\n", 1);
    const int entries = numbers.empty() ? 100000 : numbers[0];
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TFeed feed;
    feed.Journal.SetBounds(std::min(entries, MaxEntries), DefaultBodyBytes);
    TExchangesView view(&feed.Journal);
    view.resize(1000, 600);
    view.show();
    for (int i = 0; i < 1000; ++i)
        feed.Exchange();
    QCoreApplication::processEvents();
    const double small = MsPerExchange(feed, 500);
    while (feed.Journal.Count() < feed.Journal.EntriesBound())
        feed.Exchange();
    QCoreApplication::processEvents();
    std::printf("journal of %d entries, the window shown\n", feed.Journal.Count());
    std::printf("  a new exchange, time order, 1500 entries kept: %.3f ms\n", small);
    std::printf("  a new exchange, time order, the ring full:     %.3f ms\n", MsPerExchange(feed, 500));
    view.Table->sortByColumn(TExchangeModel::ColStatus, Qt::DescendingOrder);
    std::printf("  a new exchange, sorted by status:              %.3f ms\n", MsPerExchange(feed, 200));
    view.Table->sortByColumn(TExchangeModel::ColTime, Qt::AscendingOrder);
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100; ++i) {
        view.Table->verticalScrollBar()->setValue(i * 300);
        QCoreApplication::processEvents();
    }
    std::printf("  a scroll and its redraw:                       %.3f ms\n", static_cast<double>(timer.nsecsElapsed()) / 1e8);
    timer.restart();
    view.EditFilter->setText(QStringLiteral("bmp"));
    QCoreApplication::processEvents();
    std::printf("  a new filter text over every entry:            %.1f ms\n", static_cast<double>(timer.nsecsElapsed()) / 1e6);
    return 0;
}
