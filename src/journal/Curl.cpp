#include "journal/Curl.h"

#include <QStringList>

#include "journal/Har.h"

namespace journal {
namespace {
// Text that survives a terminal's paste as it is: printable characters, tabs and line feeds.
bool PlainText(const QByteArray& bytes) {
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\n' && c != '\t') || b == 0x7f)
            return false;
    }
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// One shell word holding exactly the bytes: in single quotes when they are plain text, otherwise
// in the shell's $'...' quotes with every other byte escaped.
QString Quoted(const QByteArray& bytes) {
    if (PlainText(bytes))
        return QLatin1Char('\'') + QString::fromUtf8(bytes).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
    QString word = QStringLiteral("$'");
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && c != '\\' && c != '\'')
            word += QLatin1Char(c);
        else
            word += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    return word + QLatin1Char('\'');
}

// A printf format that writes the bytes exactly: every byte that is not plain ASCII, and the
// format's own marks, as an octal escape.
QString PrintfFormat(const QByteArray& bytes) {
    QString format;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && c != '\\' && c != '%' && c != '\'')
            format += QLatin1Char(c);
        else
            format += QStringLiteral("\\%1").arg(b, 3, 8, QLatin1Char('0'));
    }
    return QLatin1Char('\'') + format + QLatin1Char('\'');
}

struct TFieldLine {
    QByteArray Name;
    QByteArray Line;
};

QList<TFieldLine> FieldLines(const QByteArray& head) {
    QList<TFieldLine> fields;
    const QList<QByteArray> lines = head.first(head.indexOf("\r\n\r\n")).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            fields.append({line.first(colon).trimmed().toLower(), line});
    }
    return fields;
}

// "Name:" alone tells curl to leave the field out; "Name;" is how it sends one without a value.
QByteArray FieldArgument(const QByteArray& line) {
    return line.endsWith(':') ? line.first(line.size() - 1) + ';' : line;
}

bool Has(const QList<TFieldLine>& fields, const char* name) {
    return std::any_of(fields.begin(), fields.end(), [name](const TFieldLine& field) { return field.Name == name; });
}
} // namespace

TCurl CurlCommand(const TEntry& entry) {
    const QByteArray method = entry.Method();
    if (method.isEmpty())
        return {{}, QStringLiteral("the request is not HTTP")};
    // Empty lines ahead of the request line are not the request's.
    QByteArray head = entry.RequestHead;
    while (head.startsWith("\r\n"))
        head.remove(0, 2);
    if (!head.contains("\r\n\r\n"))
        return {{}, QStringLiteral("its head was not kept whole")};
    if (entry.RequestBody.How != TKept::Whole)
        return {{}, QStringLiteral("its body was not kept whole (Journal\\BodyBytes)")};
    const QList<TFieldLine> fields = FieldLines(head);
    if (Has(fields, "transfer-encoding"))
        return {{}, QStringLiteral("its body was sent in chunks")};
    // curl takes "-H @name" for a file of fields to read, which would send that file instead.
    if (std::any_of(fields.begin(), fields.end(), [](const TFieldLine& field) { return field.Line.startsWith('@'); }))
        return {{}, QStringLiteral("a head field begins with @, which curl reads as a file name")};
    if (std::any_of(fields.begin(), fields.end(), [](const TFieldLine& field) { return field.Line.contains('\0'); }))
        return {{}, QStringLiteral("a head field holds a NUL byte, which no command argument can")};
    const QByteArray& body = entry.RequestBody.Kept;
    QStringList parts{QStringLiteral("curl")};
    const QString url = EntryUrl(entry);
    // Without it curl takes brackets in a target for a range of targets and sends each of them.
    if (url.contains(QLatin1Char('[')) || url.contains(QLatin1Char(']')))
        parts << QStringLiteral("--globoff");
    if (head.first(head.indexOf("\r\n")).endsWith("HTTP/1.0"))
        parts << QStringLiteral("--http1.0");
    // curl's own method is GET without a body and POST with one; --head sends no body.
    if (method == "HEAD" && body.isEmpty())
        parts << QStringLiteral("--head");
    else if (method != (body.isEmpty() ? "GET" : "POST"))
        parts << QStringLiteral("-X") << Quoted(method);
    parts << Quoted(url.toUtf8());
    for (const TFieldLine& field : fields)
        if (field.Name != "host" && field.Name != "content-length" && field.Name != "connection")
            parts << QStringLiteral("-H") << Quoted(FieldArgument(field.Line));
    QStringList quiet{QStringLiteral("User-Agent"), QStringLiteral("Accept")};
    if (!body.isEmpty())
        quiet << QStringLiteral("Content-Type") << QStringLiteral("Expect");
    for (const QString& name : quiet)
        if (!Has(fields, name.toLower().toLatin1().constData()))
            parts << QStringLiteral("-H") << Quoted(name.toLatin1() + ':');
    if (body.isEmpty())
        return {parts.join(QLatin1Char(' ')), {}};
    // The system refuses to start a program with an argument over 128 KiB; printf is the shell's
    // own and takes any length.
    constexpr qsizetype MostArgumentBytes = 64 * 1024;
    if (PlainText(body) && body.size() <= MostArgumentBytes)
        // --data-raw, since --data-binary takes a body that begins with @ for a file to send.
        return {(parts << QStringLiteral("--data-raw") << Quoted(body)).join(QLatin1Char(' ')), {}};
    parts << QStringLiteral("--data-binary") << QStringLiteral("@-");
    return {QStringLiteral("printf ") + PrintfFormat(body) + QStringLiteral(" | ") + parts.join(QLatin1Char(' ')), {}};
}

} // namespace journal
