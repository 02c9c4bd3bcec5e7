#pragma once
// The journal's export as HAR 1.2, the format browsers export their network panels in: pure, so that
// the window, the headless `--journal` and the tests build the same document.
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

#include "journal/Journal.h"

namespace journal {

struct THarOptions {
    // Keep the values of Cookie, Set-Cookie, Authorization and Proxy-Authorization; by default
    // they are replaced, as browsers export.
    bool Sensitive = false;
    // Journal\BodyBytes at the time, for the comment on a body not kept whole.
    qsizetype BodyBytes = DefaultBodyBytes;
    // The creator's name and version.
    QString Creator = QStringLiteral("Quellor");
    QString Version;
};

// The replacement of a sensitive header value.
inline constexpr const char* SanitizedValue = "(removed; save with sensitive values to keep it)";

// The HAR document of the entries, in the order they started (connected; a probe: taken up), as
// the format prefers, entries that started together in the journal's order: timings
// blocked/send/wait/receive in milliseconds with dns, connect and ssl -1; url from the request's
// Host and target; the custom fields _outcome, _owner and _port; bodies that are not text in
// base64 with "encoding"; a body not kept whole has its size and a comment saying why.
QByteArray HarDocument(const QList<TEntry>& entries, const THarOptions& options);
// The same, given up between entries once stop says so (then empty), for a build nobody waits for any more.
QByteArray HarDocument(const QList<TEntry>& entries, const THarOptions& options, const std::function<bool()>& stop);

// Writes the document to path ("-": standard output), with mode 0600 from its creation on: a new
// file in the same folder, renamed over path. Empty when it went well, otherwise why not.
QString WriteHarFile(const QString& path, const QByteArray& document);

// The entry's URL as the export writes it: from the request's Host and target.
QString EntryUrl(const TEntry& entry);

} // namespace journal
