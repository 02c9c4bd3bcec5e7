#pragma once
// The HAR export off the GUI thread: a journal of many entries takes seconds to build, and the
// bridge goes on serving meanwhile. The caller copies the entries (their bytes are shared, so that
// is cheap: CopyEntriesForExport makes it cheaper still); the copy is built, written and freed on a
// worker of the global thread pool, which the application waits for as it ends.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

#include "journal/Har.h"
#include "journal/Journal.h"

namespace journal {

// Each is called on context's thread.

// Copies the journal's entries for an export and hands them to done on context's thread, unless
// context or the journal is gone first. Copying shares the entries' bytes and is quick; making
// room for tens of thousands of entries is not (a page fault for each 4 KiB, tens of ms), so the
// room is made on a worker and only the copy runs on this thread.
// With keep, only the entries it keeps are copied.
void CopyEntriesForExport(const TJournal& journal, QObject* context, std::function<void(QList<TEntry> entries)> done,
                          std::function<bool(const TEntry& entry)> keep = {});

// Builds the document of entries on a worker thread; done runs on context's thread with it. Once
// context is gone the build stops and done never runs.
void BuildHarInBackground(QList<TEntry> entries, THarOptions options, QObject* context,
                          std::function<void(QByteArray document)> done);

// Builds and writes it (WriteHarFile) on a worker thread; done runs on context's thread with the
// problem, empty when it went well. The file is written even once context is gone; only done is dropped.
void SaveHarInBackground(QList<TEntry> entries, THarOptions options, QString path, QObject* context,
                         std::function<void(QString problem)> done);

} // namespace journal
