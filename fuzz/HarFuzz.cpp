// libFuzzer target for the HAR export of the journal. The input is one exchange: a flags byte, three
// 16-bit little-endian lengths (each taken modulo what is left) cutting the rest into request head,
// request body and answer head, the answer body being what remains. The exchange goes into the
// document twice: as an entry built straight from the parts (how its bodies were kept chosen by the
// flags) and as the entry the journal makes of the same bytes. The document must parse back as
// JSON with request and response headers for each entry, a kept body must come back byte for byte,
// and the sanitized document must differ from the sensitive one exactly in the values of the
// credential headers and cookies, a cookie's name being the part of it before its "=".
#include <cstdint>
#include <cstdlib>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "journal/Har.h"
#include "journal/Journal.h"

namespace {
void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The export's rule: a name counts up to its first byte a field name may not hold.
bool IsCredential(const QString& name) {
    qsizetype length = 0;
    while (length < name.size() && name[length].unicode() < 0x80 &&
           (name[length].isLetterOrNumber() || QStringView(u"!#$%&'*+-.^_`|~").contains(name[length])))
        ++length;
    const QStringView word = QStringView(name).first(length);
    for (const char16_t* credential : {u"Cookie", u"Set-Cookie", u"Authorization", u"Proxy-Authorization"})
        if (word.compare(QStringView(credential), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool IsAscii(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// Whether text holds name followed by blanks and "=".
bool NamedWithEquals(const QString& text, const QString& name) {
    for (qsizetype at = text.indexOf(name); at >= 0; at = text.indexOf(name, at + 1)) {
        qsizetype end = at + name.size();
        while (end < text.size() && text[end].isSpace())
            ++end;
        if (end < text.size() && text[end] == QLatin1Char('='))
            return true;
    }
    return false;
}

QJsonArray Entries(const QByteArray& document) {
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    Check(error.error == QJsonParseError::NoError && json.isObject());
    const QJsonValue entries = json.object().value(QStringLiteral("log")).toObject().value(QStringLiteral("entries"));
    Check(entries.isArray());
    return entries.toArray();
}

// A body that went as text, or as base64, is the bytes that were kept.
void SameBody(const QJsonObject& body, const journal::TBody& kept) {
    if (!body.contains(QStringLiteral("text")))
        return;
    const QString text = body.value(QStringLiteral("text")).toString();
    if (body.value(QStringLiteral("encoding")).toString() == QLatin1String("base64"))
        Check(QByteArray::fromBase64(text.toLatin1()) == kept.Kept);
    else
        Check(text.toUtf8() == kept.Kept);
}

// The same message with its credentials hidden: the same headers in the same order, each credential's
// value replaced, every other value as it was; each cookie's value replaced.
void Hidden(const QJsonObject& hidden, const QJsonObject& shown) {
    const QJsonValue hiddenHeaders = hidden.value(QStringLiteral("headers"));
    const QJsonValue shownHeaders = shown.value(QStringLiteral("headers"));
    Check(hiddenHeaders.isArray() && shownHeaders.isArray());
    const QJsonArray a = hiddenHeaders.toArray(), b = shownHeaders.toArray();
    Check(a.size() == b.size());
    const QString removed = QString::fromLatin1(journal::SanitizedValue);
    for (qsizetype i = 0; i < a.size(); ++i) {
        const QJsonObject header = a[i].toObject(), original = b[i].toObject();
        const QString name = header.value(QStringLiteral("name")).toString();
        Check(name == original.value(QStringLiteral("name")).toString());
        const QString value = header.value(QStringLiteral("value")).toString();
        Check(IsCredential(name) ? value == removed : value == original.value(QStringLiteral("value")).toString());
    }
    // A cookie's name shows: it must be a name, found with its "=" in a credential header.
    QString cookieHeaders;
    for (const QJsonValue& header : b)
        if (IsCredential(header.toObject().value(QStringLiteral("name")).toString()))
            cookieHeaders += header.toObject().value(QStringLiteral("value")).toString();
    for (const QJsonValue& cookie : hidden.value(QStringLiteral("cookies")).toArray()) {
        Check(cookie.toObject().value(QStringLiteral("value")).toString() == removed);
        const QString name = cookie.toObject().value(QStringLiteral("name")).toString();
        Check(name.isEmpty() || !IsAscii(name) || NamedWithEquals(cookieHeaders, name));
    }
}

QList<journal::TEntry> Journaled(const QByteArray& requestHead, const QByteArray& requestBody, const QByteArray& answerHead,
                          const QByteArray& answerBody) {
    journal::TJournal journal;
    int64_t now = 0;
    journal.Clock = [&now] { return now += 1000; };
    journal.Accepted(1, QStringLiteral("127.0.0.1"));
    journal.HeadRead(1, requestHead);
    const uint64_t id = journal.TakenUp(1, QStringLiteral("COM1"), QStringLiteral("/dev/ttyUSB0"), {});
    journal.RequestWritten(id, requestHead + requestBody);
    journal.AnswerArrived(id, answerHead);
    journal.AnswerArrived(id, answerBody);
    journal.AnswerEnded(id);
    journal.LineFree(id);
    journal.Closed(1, answerHead.size() + answerBody.size());
    return journal.Entries();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7)
        return 0;
    const uint8_t flags = data[0];
    QByteArray rest(reinterpret_cast<const char*>(data + 7), static_cast<qsizetype>(size - 7));
    QByteArray parts[3];
    for (int i = 0; i < 3; ++i) {
        const qsizetype length = (data[1 + 2 * i] | data[2 + 2 * i] << 8) % (rest.size() + 1);
        parts[i] = rest.first(length);
        rest.remove(0, length);
    }

    journal::TEntry direct;
    direct.Client = 2;
    direct.RequestHead = parts[0];
    direct.RequestBody = {parts[1], parts[1].size() + (flags & 0x10 ? 7 : 0), static_cast<journal::TKept>(flags & 3)};
    direct.RequestSize = parts[0].size() + direct.RequestBody.Size;
    direct.AnswerHead = parts[2];
    direct.AnswerBody = {rest, rest.size(), static_cast<journal::TKept>(flags >> 2 & 3)};
    direct.AnswerSize = parts[2].size() + rest.size();
    direct.Outcome = static_cast<journal::TOutcome>(flags >> 5);
    const QList<journal::TEntry> entries = QList<journal::TEntry>{direct} + Journaled(parts[0], parts[1], parts[2], rest);

    journal::THarOptions options;
    const QJsonArray hidden = Entries(journal::HarDocument(entries, options));
    options.Sensitive = true;
    const QJsonArray shown = Entries(journal::HarDocument(entries, options));
    Check(hidden.size() == entries.size() && shown.size() == entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = hidden[i].toObject(), original = shown[i].toObject();
        Check(entry.value(QStringLiteral("request")).isObject() && entry.value(QStringLiteral("response")).isObject());
        const QJsonObject request = entry.value(QStringLiteral("request")).toObject();
        const QJsonObject response = entry.value(QStringLiteral("response")).toObject();
        Hidden(request, original.value(QStringLiteral("request")).toObject());
        Hidden(response, original.value(QStringLiteral("response")).toObject());
        SameBody(request.value(QStringLiteral("postData")).toObject(), entries[i].RequestBody);
        SameBody(response.value(QStringLiteral("content")).toObject(), entries[i].AnswerBody);
    }
    return 0;
}
