// The HAR export on a worker thread, its result handed back on the thread of its context.
#include "journal/HarExport.h"

#include <QPointer>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/HeapRelease.h"

namespace journal {
namespace {
// What the worker knows of whoever waits for its result. The worker posts to Receiver under the
// mutex, and the receiver clears it under the mutex as it goes, so that nothing is ever posted to
// an object that is gone; a call posted before is dropped with its receiver.
struct TLink {
    std::mutex Mutex;
    QObject* Receiver = nullptr;
    std::atomic<bool> Wanted{true};
};

// A child of the context, on its thread: gone with it, and done is destroyed on that thread.
template <typename T>
class TDelivery : public QObject {
public:
    TDelivery(QObject* context, std::function<void(T)> done, std::shared_ptr<TLink> link)
        : QObject(context), Done(std::move(done)), Link(std::move(link)) {
        Link->Receiver = this;
    }
    ~TDelivery() override {
        const std::lock_guard lock(Link->Mutex);
        Link->Receiver = nullptr;
        Link->Wanted = false;
    }
    std::function<void(T)> Done;

private:
    std::shared_ptr<TLink> Link;
};

template <typename T>
std::shared_ptr<TLink> Connect(QObject* context, std::function<void(T)> done) {
    auto link = std::make_shared<TLink>();
    new TDelivery<T>(context, std::move(done), link);
    return link;
}

template <typename T>
void Deliver(const std::shared_ptr<TLink>& link, T result) {
    const std::lock_guard lock(link->Mutex);
    auto* delivery = static_cast<TDelivery<T>*>(link->Receiver);
    if (!delivery)
        return;
    QMetaObject::invokeMethod(
        delivery,
        [delivery, result = std::move(result)]() mutable {
            const std::function<void(T)> done = std::move(delivery->Done);
            delivery->deleteLater();
            done(std::move(result));
        },
        Qt::QueuedConnection);
}
} // namespace

void CopyEntriesForExport(const TJournal& journal, QObject* context, std::function<void(QList<TEntry> entries)> done,
                          std::function<bool(const TEntry& entry)> keep) {
    if (!context)
        return;
    // Room for the exchanges that may come meanwhile too, so that the list need not grow.
    const qsizetype room = journal.Count() + journal.Count() / 8 + 64;
    const QPointer<const TJournal> source(&journal);
    const std::shared_ptr<TLink> link =
        Connect<QList<TEntry>>(context, [source, done = std::move(done), keep = std::move(keep)](QList<TEntry> entries) {
            if (!source)
                return;
            const int count = source->Count();
            if (entries.size() < count)
                entries.resize(count);
            TEntry* into = entries.data();
            qsizetype kept = 0;
            for (int row = 0; row < count; ++row)
                if (!keep || keep(source->At(row)))
                    into[kept++] = source->At(row);
            entries.resize(kept);
            done(std::move(entries));
        });
    QThreadPool::globalInstance()->start([link, room] {
        if (link->Wanted)
            Deliver(link, QList<TEntry>(room));
    });
}

void BuildHarInBackground(QList<TEntry> entries, THarOptions options, QObject* context,
                          std::function<void(QByteArray document)> done) {
    if (!context)
        return;
    const std::shared_ptr<TLink> link = Connect(context, std::move(done));
    QThreadPool::globalInstance()->start([link, entries = std::move(entries), options = std::move(options)] {
        const THeapTrimHold hold;
        QByteArray document = HarDocument(entries, options, [&link] { return !link->Wanted; });
        if (link->Wanted)
            Deliver(link, std::move(document));
    });
}

void SaveHarInBackground(QList<TEntry> entries, THarOptions options, QString path, QObject* context,
                         std::function<void(QString problem)> done) {
    const std::shared_ptr<TLink> link = context ? Connect(context, std::move(done)) : nullptr;
    QThreadPool::globalInstance()->start(
        [link, entries = std::move(entries), options = std::move(options), path = std::move(path)] {
            const THeapTrimHold hold;
            QString problem = WriteHarFile(path, HarDocument(entries, options));
            if (link)
                Deliver(link, std::move(problem));
        });
}

} // namespace journal
