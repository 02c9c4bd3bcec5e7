// The export on a worker thread: the result comes back on the context's thread, or not at all
// once the context is gone; a save writes the file whoever still waits for it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <memory>
#include <sys/stat.h>

#include "journal/HarExport.h"
#include "support/Pty.h"

using namespace journal;

namespace {
void Exchanges(TJournal& journal, int from, int count) {
    for (int i = from; i < from + count; ++i) {
        journal.Accepted(i, "127.0.0.1");
        journal.HeadRead(i, "GET /index.html HTTP/1.1\r\nHost: localhost\r\nCookie: a=SECRET\r\n\r\n");
        journal.FixedAnswer(i, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\nDevice is not responding.");
    }
}

QList<TEntry> SomeEntries(int count) {
    TJournal journal;
    Exchanges(journal, 1, count);
    return journal.Entries();
}

// Runs what the workers posted, after they finished.
void Settle() {
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST(HarExport, TheDocumentComesBackOnTheContextsThreadAsHarDocumentBuildsIt) {
    const QList<TEntry> entries = SomeEntries(200);
    THarOptions options;
    options.Sensitive = true;
    QObject context;
    std::vector<QByteArray> documents;
    QThread* thread = nullptr;
    BuildHarInBackground(entries, options, &context, [&](QByteArray document) {
        thread = QThread::currentThread();
        documents.push_back(std::move(document));
    });
    EXPECT_TRUE(documents.empty()) << "handed back before the call returned";
    ASSERT_TRUE(WaitUntil([&] { return !documents.empty(); }));
    Settle();
    ASSERT_EQ(documents.size(), 1u);
    EXPECT_EQ(documents[0], HarDocument(entries, options));
    EXPECT_TRUE(documents[0].contains("SECRET"));
    EXPECT_EQ(thread, QThread::currentThread());
    EXPECT_TRUE(context.children().isEmpty()) << "the build left something behind on its context";
}

// Gone while the build runs, or gone with the result already posted to it: either way nothing
// is handed to it, and nothing of it is touched after.
TEST(HarExport, AContextThatIsGoneGetsNoDocument) {
    int handed = 0;
    auto early = std::make_unique<QObject>();
    BuildHarInBackground(SomeEntries(3000), {}, early.get(), [&](QByteArray) { ++handed; });
    early.reset();
    auto late = std::make_unique<QObject>();
    BuildHarInBackground(SomeEntries(10), {}, late.get(), [&](QByteArray) { ++handed; });
    QThreadPool::globalInstance()->waitForDone();
    late.reset();
    Settle();
    EXPECT_EQ(handed, 0);

    QObject alive;
    BuildHarInBackground(SomeEntries(10), {}, &alive, [&](QByteArray document) { handed += !document.isEmpty(); });
    BuildHarInBackground(SomeEntries(10), {}, nullptr, [&](QByteArray) { ++handed; });
    ASSERT_TRUE(WaitUntil([&] { return handed == 1; }));
    Settle();
    EXPECT_EQ(handed, 1);
}

TEST(HarExport, ASaveWritesThePrivateFileAndTellsWhatWentWrong) {
    QTemporaryDir folder;
    const QList<TEntry> entries = SomeEntries(50);
    QObject context;
    std::vector<QString> problems(2, QStringLiteral("(not told)"));
    int told = 0;
    const QString path = folder.filePath("journal.har");
    const QString names[] = {path, folder.filePath("missing/journal.har")};
    for (size_t at = 0; at < 2; ++at)
        SaveHarInBackground(entries, {}, names[at], &context, [&, at](QString problem) {
            problems[at] = problem;
            ++told;
        });
    ASSERT_TRUE(WaitUntil([&] { return told == 2; }));
    EXPECT_TRUE(problems[0].isEmpty()) << problems[0].toStdString();
    EXPECT_TRUE(problems[1].contains("missing")) << problems[1].toStdString();
    EXPECT_EQ(ReadFile(path), HarDocument(entries, {}));
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    // The file was asked for: it is written even when nobody is left to be told.
    const QString orphan = folder.filePath("orphan.har");
    auto gone = std::make_unique<QObject>();
    SaveHarInBackground(entries, {}, orphan, gone.get(), [&](QString) { ++told; });
    gone.reset();
    Settle();
    EXPECT_EQ(told, 2);
    EXPECT_EQ(ReadFile(orphan), HarDocument(entries, {}));
}

// The copy is of the journal as it is when the room comes back: exchanges that came meanwhile,
// more than the room was made for, are in it, and entries dropped meanwhile are not.
TEST(HarExport, EntriesCopiedForAnExportAreTheJournalsWhenTheCopyIsMade) {
    TJournal journal;
    journal.SetBounds(MaxEntries, DefaultBodyBytes);
    Exchanges(journal, 1, 10);
    QObject context;
    std::vector<QList<TEntry>> copies;
    const auto keep = [&](QList<TEntry> entries) { copies.push_back(std::move(entries)); };
    CopyEntriesForExport(journal, &context, keep);
    Exchanges(journal, 11, 500);
    ASSERT_TRUE(WaitUntil([&] { return copies.size() == 1; }));
    CopyEntriesForExport(journal, &context, keep);
    journal.SetBounds(100, DefaultBodyBytes);
    ASSERT_TRUE(WaitUntil([&] { return copies.size() == 2; }));
    ASSERT_EQ(copies[0].size(), 510);
    EXPECT_EQ(copies[0].first().Serial, 1u);
    EXPECT_EQ(copies[0].last().Serial, 510u);
    ASSERT_EQ(copies[1].size(), 100);
    EXPECT_EQ(copies[1].first().Serial, 411u);
    EXPECT_EQ(HarDocument(copies[1], {}), HarDocument(journal.Entries(), {}));

    auto gone = std::make_unique<TJournal>();
    Exchanges(*gone, 1, 10);
    CopyEntriesForExport(*gone, &context, keep);
    gone.reset();
    Settle();
    EXPECT_EQ(copies.size(), 2u) << "a copy of a journal that is gone";
}
