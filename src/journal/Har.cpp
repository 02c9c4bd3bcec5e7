// The journal as HAR 1.2.
#include "journal/Har.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace journal {
namespace {
struct TField {
    QByteArray Name;
    QByteArray Value;
};

// The head's first line (empty lines ahead skipped) and its fields.
struct THead {
    QByteArray Line;
    QList<TField> Fields;
    bool Whole = false;
};

// A name is read up to its first byte that a field name may not hold: "Cookie\0" is a cookie to a
// device that stops there.
bool IsSensitive(const QByteArray& name) {
    qsizetype length = 0;
    while (length < name.size() && (std::isalnum(static_cast<unsigned char>(name[length])) ||
                                    QByteArrayView("!#$%&'*+-.^_`|~").contains(name[length])))
        ++length;
    for (const char* sensitive : {"Cookie", "Set-Cookie", "Authorization", "Proxy-Authorization"})
        if (name.first(length).compare(sensitive, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// An indented line that reads as a credential field when trimmed, as a device that trims may read it.
bool IndentedCredential(const QByteArray& line) {
    const qsizetype colon = line.indexOf(':');
    return colon > 0 && IsSensitive(line.first(colon).trimmed());
}

// Read as loosely as any device might: a bare CR ends a line too, and a line that begins with a
// blank continues the field before it, so that no value hides from the sanitizing in a line of its
// own, unless it reads as a credential field itself.
THead ReadHead(const QByteArray& bytes) {
    THead head;
    head.Whole = bytes.endsWith("\r\n\r\n");
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    QByteArray text = end < 0 ? bytes : bytes.first(end);
    text.replace("\r\n", "\n").replace('\r', '\n');
    bool first = true;
    for (const QByteArray& line : text.split('\n')) {
        if (first) {
            if (line.isEmpty())
                continue;
            head.Line = line;
            first = false;
            continue;
        }
        if (line.isEmpty())
            break;
        if ((line.startsWith(' ') || line.startsWith('\t')) && !head.Fields.isEmpty() && !IndentedCredential(line)) {
            head.Fields.last().Value += ' ' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        head.Fields.append({line.first(colon).trimmed(), line.sliced(colon + 1).trimmed()});
    }
    return head;
}

QByteArray FieldValue(const THead& head, const char* name) {
    for (const TField& field : head.Fields)
        if (field.Name.compare(name, Qt::CaseInsensitive) == 0)
            return field.Value;
    return {};
}

// Bytes that come from the wire, as JSON text: each byte that is not UTF-8 stands for itself.
QString WireText(const QByteArray& bytes) {
    const QString text = QString::fromUtf8(bytes);
    return text.toUtf8() == bytes ? text : QString::fromLatin1(bytes);
}

QJsonArray Headers(const THead& head, bool sensitive) {
    QJsonArray headers;
    for (const TField& field : head.Fields) {
        const bool hide = !sensitive && IsSensitive(field.Name);
        headers.append(QJsonObject{{QStringLiteral("name"), WireText(field.Name)},
                                   {QStringLiteral("value"), hide ? QString::fromLatin1(SanitizedValue) : WireText(field.Value)}});
    }
    return headers;
}

// A pair without "=" is a value with no name, as browsers read it: a bare token is the secret and
// must not show as a name.
QJsonObject Cookie(const QByteArray& pair, bool sensitive) {
    const qsizetype equals = pair.indexOf('=');
    const QByteArray name = equals < 0 ? QByteArray() : pair.first(equals).trimmed();
    const QByteArray value = (equals < 0 ? pair : pair.sliced(equals + 1)).trimmed();
    return {{QStringLiteral("name"), WireText(name)},
            {QStringLiteral("value"), sensitive ? WireText(value) : QString::fromLatin1(SanitizedValue)}};
}

QJsonArray RequestCookies(const THead& head, bool sensitive) {
    QJsonArray cookies;
    for (const TField& field : head.Fields)
        if (field.Name.compare("Cookie", Qt::CaseInsensitive) == 0)
            for (const QByteArray& pair : field.Value.split(';'))
                if (!pair.trimmed().isEmpty())
                    cookies.append(Cookie(pair, sensitive));
    return cookies;
}

QJsonArray ResponseCookies(const THead& head, bool sensitive) {
    QJsonArray cookies;
    for (const TField& field : head.Fields)
        if (field.Name.compare("Set-Cookie", Qt::CaseInsensitive) == 0)
            cookies.append(Cookie(field.Value.split(';').first(), sensitive));
    return cookies;
}

// A body goes as text when it is UTF-8 without NUL bytes and its type is text or not given.
bool IsText(const QByteArray& body, const QByteArray& mimeType) {
    const QByteArray type = mimeType.split(';').first().trimmed().toLower();
    const bool textType = type.isEmpty() || type.startsWith("text/") || type.endsWith("+json") || type.endsWith("+xml") ||
                          type == "application/json" || type == "application/xml" || type == "application/javascript" ||
                          type == "application/x-www-form-urlencoded" || type == "application/ecmascript";
    return textType && !body.contains('\0') && QString::fromUtf8(body).toUtf8() == body;
}

// Bytes of a target that may not stand in a URL as they are.
QString UrlPart(const QByteArray& bytes) {
    QByteArray url;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' || c == '{' ||
            c == '|' || c == '}')
            url += '%' + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
        else
            url += c;
    }
    return QString::fromLatin1(url);
}

QString Url(const TEntry& entry, const THead& head) {
    const QByteArray target = entry.Target();
    if (target.startsWith("http://") || target.startsWith("https://"))
        return UrlPart(target);
    QByteArray host = FieldValue(head, "Host");
    if (host.isEmpty())
        host = "localhost";
    const QByteArray path = target.startsWith('/') ? target : "/" + target;
    return QStringLiteral("http://") + UrlPart(host) + UrlPart(path);
}

QJsonArray QueryString(const QByteArray& target) {
    QJsonArray query;
    const qsizetype mark = target.indexOf('?');
    if (mark < 0)
        return query;
    QByteArray rest = target.sliced(mark + 1);
    if (const qsizetype hash = rest.indexOf('#'); hash >= 0)
        rest.truncate(hash);
    for (const QByteArray& pair : rest.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = equals < 0 ? pair : pair.first(equals);
        const QByteArray value = equals < 0 ? QByteArray() : pair.sliced(equals + 1);
        query.append(QJsonObject{{QStringLiteral("name"), WireText(QByteArray::fromPercentEncoding(name))},
                                 {QStringLiteral("value"), WireText(QByteArray::fromPercentEncoding(value))}});
    }
    return query;
}

// "HTTP/1.1" of a request line or a status line; empty when none.
QString Version(const QByteArray& version) {
    return version.startsWith("HTTP/") ? QString::fromLatin1(version) : QString();
}

double Ms(int64_t microseconds) { return static_cast<double>(microseconds) / 1000.0; }

QString OutcomeKey(TOutcome outcome) {
    switch (outcome) {
    case TOutcome::UnderWay: return QStringLiteral("under-way");
    case TOutcome::DeviceAnswer: return QStringLiteral("device-answer");
    case TOutcome::FixedAnswer: return QStringLiteral("fixed-answer");
    case TOutcome::Refused: return QStringLiteral("refused");
    case TOutcome::ClientLeft: return QStringLiteral("client-left");
    case TOutcome::Cut: return QStringLiteral("cut");
    case TOutcome::DroppedUnfinished: return QStringLiteral("dropped-unfinished");
    case TOutcome::Silent: return QStringLiteral("silent");
    case TOutcome::PortError: return QStringLiteral("port-error");
    case TOutcome::Cancelled: return QStringLiteral("cancelled");
    }
    return {};
}

QString OwnerKey(TOwner owner) {
    switch (owner) {
    case TOwner::Client: return QStringLiteral("client");
    case TOwner::IdleProbe: return QStringLiteral("idle-probe");
    case TOwner::CheckDevice: return QStringLiteral("check-device");
    case TOwner::Recheck: return QStringLiteral("recheck");
    case TOwner::Detection: return QStringLiteral("detection");
    case TOwner::Follower: return QStringLiteral("follower");
    }
    return {};
}

QJsonObject Request(const TEntry& entry, const THarOptions& options) {
    const THead head = ReadHead(entry.RequestHead);
    const QList<QByteArray> words = head.Line.split(' ');
    const QByteArray method = entry.Method();
    QJsonObject request{
        {QStringLiteral("method"), method.isEmpty() ? QStringLiteral("UNKNOWN") : QString::fromLatin1(method)},
        {QStringLiteral("url"), Url(entry, head)},
        {QStringLiteral("httpVersion"), method.isEmpty() ? QString() : Version(words.last())},
        {QStringLiteral("cookies"), RequestCookies(head, options.Sensitive)},
        {QStringLiteral("headers"), Headers(head, options.Sensitive)},
        {QStringLiteral("queryString"), QueryString(entry.Target())},
        {QStringLiteral("headersSize"), head.Whole ? entry.RequestHead.size() : -1},
        {QStringLiteral("bodySize"), head.Whole ? entry.RequestSize - entry.RequestHead.size() : -1},
    };
    if (entry.RequestBody.Size > 0) {
        const QByteArray type = FieldValue(head, "Content-Type");
        QJsonObject post{{QStringLiteral("mimeType"), QString::fromLatin1(type)}};
        const QByteArray& kept = entry.RequestBody.Kept;
        if (IsText(kept, type)) {
            post.insert(QStringLiteral("text"), QString::fromUtf8(kept));
        } else {
            post.insert(QStringLiteral("text"), QString::fromLatin1(kept.toBase64()));
            post.insert(QStringLiteral("encoding"), QStringLiteral("base64"));
        }
        if (const QString comment = KeptComment(entry.RequestBody, options.BodyBytes); !comment.isEmpty())
            post.insert(QStringLiteral("comment"), comment);
        request.insert(QStringLiteral("postData"), post);
    }
    return request;
}

QJsonObject Response(const TEntry& entry, const THarOptions& options) {
    const THead head = ReadHead(entry.AnswerHead);
    const int status = entry.Status();
    const QByteArray type = FieldValue(head, "Content-Type");
    QJsonObject content{{QStringLiteral("size"), entry.AnswerBody.Size},
                        {QStringLiteral("mimeType"), type.isEmpty() ? QStringLiteral("x-unknown") : QString::fromLatin1(type)}};
    const QByteArray& kept = entry.AnswerBody.Kept;
    if (!kept.isEmpty()) {
        if (IsText(kept, type)) {
            content.insert(QStringLiteral("text"), QString::fromUtf8(kept));
        } else {
            content.insert(QStringLiteral("text"), QString::fromLatin1(kept.toBase64()));
            content.insert(QStringLiteral("encoding"), QStringLiteral("base64"));
        }
    }
    if (const QString comment = KeptComment(entry.AnswerBody, options.BodyBytes); !comment.isEmpty())
        content.insert(QStringLiteral("comment"), comment);
    const bool answered = status != 0;
    return {
        {QStringLiteral("status"), status},
        {QStringLiteral("statusText"), answered ? WireText(head.Line.mid(13)) : QString()},
        {QStringLiteral("httpVersion"), answered ? Version(head.Line.left(8)) : QString()},
        {QStringLiteral("cookies"), ResponseCookies(head, options.Sensitive)},
        {QStringLiteral("headers"), Headers(head, options.Sensitive)},
        {QStringLiteral("content"), content},
        {QStringLiteral("redirectURL"), WireText(FieldValue(head, "Location"))},
        {QStringLiteral("headersSize"), head.Whole ? entry.AnswerHead.size() : -1},
        {QStringLiteral("bodySize"), head.Whole ? entry.AnswerSize - entry.AnswerHead.size() : (entry.AnswerSize > 0 ? -1 : 0)},
    };
}

QJsonObject Entry(const TEntry& entry, const THarOptions& options) {
    const TEntry::TPhases phases = entry.Phases();
    const QJsonObject timings{
        {QStringLiteral("blocked"), Ms(phases.Blocked)}, {QStringLiteral("dns"), -1}, {QStringLiteral("connect"), -1},
        {QStringLiteral("send"), Ms(phases.Send)},       {QStringLiteral("wait"), Ms(phases.Wait)},
        {QStringLiteral("receive"), Ms(phases.Receive)}, {QStringLiteral("ssl"), -1},
    };
    QJsonObject har{
        {QStringLiteral("startedDateTime"), entry.Started.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("time"), Ms(phases.Total())},
        {QStringLiteral("request"), Request(entry, options)},
        {QStringLiteral("response"), Response(entry, options)},
        {QStringLiteral("cache"), QJsonObject()},
        {QStringLiteral("timings"), timings},
        {QStringLiteral("_outcome"), OutcomeKey(entry.Outcome)},
        {QStringLiteral("_outcomeText"), OutcomeName(entry)},
        {QStringLiteral("_owner"), OwnerKey(entry.Owner)},
        {QStringLiteral("_port"), entry.Node.isEmpty() ? entry.Port : entry.Port + QStringLiteral(" (") + entry.Node + QLatin1Char(')')},
    };
    if (!entry.Identity.isEmpty())
        har.insert(QStringLiteral("_identity"), entry.Identity);
    if (entry.Client != 0) {
        har.insert(QStringLiteral("connection"), QString::number(entry.Client));
        if (!entry.Address.isEmpty())
            har.insert(QStringLiteral("_clientAddress"), entry.Address);
    }
    if (entry.Outcome == TOutcome::ClientLeft)
        har.insert(QStringLiteral("_clientHadBytes"), entry.LeftHadBytes);
    return har;
}

QString SystemError(const QString& what, const QString& path) {
    return QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

bool WriteAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
} // namespace

QByteArray HarDocument(const QList<TEntry>& entries, const THarOptions& options) {
    return HarDocument(entries, options, [] { return false; });
}

QByteArray HarDocument(const QList<TEntry>& entries, const THarOptions& options, const std::function<bool()>& stop) {
    // The ring is in the order heads were read; a client that connected earlier may have sent its head later.
    std::vector<const TEntry*> order;
    order.reserve(static_cast<size_t>(entries.size()));
    for (const TEntry& entry : entries)
        order.push_back(&entry);
    const auto started = [](const TEntry* entry) { return entry->Connected != Never ? entry->Connected : entry->TakenUp; };
    std::stable_sort(order.begin(), order.end(), [&](const TEntry* a, const TEntry* b) {
        return std::pair(started(a), a->Serial) < std::pair(started(b), b->Serial);
    });
    QJsonArray list;
    for (const TEntry* entry : order) {
        if (stop())
            return {};
        list.append(Entry(*entry, options));
    }
    if (stop())
        return {};
    const QJsonObject log{
        {QStringLiteral("version"), QStringLiteral("1.2")},
        {QStringLiteral("creator"), QJsonObject{{QStringLiteral("name"), options.Creator},
                                                {QStringLiteral("version"), options.Version}}},
        {QStringLiteral("entries"), list},
    };
    return QJsonDocument(QJsonObject{{QStringLiteral("log"), log}}).toJson(QJsonDocument::Indented);
}

namespace {
QString WriteInto(const QString& path, const QByteArray& document) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return SystemError(QStringLiteral("cannot open"), path);
    const bool written = WriteAll(fd, document);
    const int error = errno;
    ::close(fd);
    errno = error;
    return written ? QString() : SystemError(QStringLiteral("cannot write"), path);
}
} // namespace

QString WriteHarFile(const QString& path, const QByteArray& document) {
    if (path == QLatin1String("-")) {
        if (!WriteAll(STDOUT_FILENO, document))
            return SystemError(QStringLiteral("cannot write"), QStringLiteral("to standard output"));
        return {};
    }
    const QFileInfo named(path);
    if (named.isDir())
        return QStringLiteral("cannot write %1: it is a folder").arg(path);
    // A device, a pipe or a terminal is written into, never replaced by a file.
    if (named.exists() && !named.isFile())
        return WriteInto(path, document);
    // A symbolic link stays; the file it leads to is the one written.
    const QFileInfo info(named.isFile() ? named.canonicalFilePath() : named.isSymLink() ? named.symLinkTarget() : path);
    // mkostemp creates the file with mode 0600, whatever the umask; the rename puts it in place whole.
    QByteArray name = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return SystemError(QStringLiteral("cannot create a file in"), info.absolutePath());
    const bool written = WriteAll(fd, document) && ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(name.constData());
        errno = error;
        return SystemError(QStringLiteral("cannot write"), path);
    }
    if (::rename(name.constData(), QFile::encodeName(info.absoluteFilePath()).constData()) != 0) {
        const QString problem = SystemError(QStringLiteral("cannot write"), path);
        ::unlink(name.constData());
        return problem;
    }
    return {};
}

} // namespace journal

namespace journal {
QString EntryUrl(const TEntry& entry) { return Url(entry, ReadHead(entry.RequestHead)); }
} // namespace journal
