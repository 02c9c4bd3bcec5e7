#include "http/HttpHead.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace http {
namespace {
constexpr qsizetype MaxChunkLine = 1024;
constexpr int MaxLengthDigits = 18;
constexpr int MaxChunkDigits = 15;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The decimal number that is the whole text, or -1.
qint64 Decimal(const QByteArray& text) {
    if (text.isEmpty() || text.size() > MaxLengthDigits)
        return -1;
    qint64 value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

qint64 Hexadecimal(const QByteArray& text) {
    if (text.isEmpty() || text.size() > MaxChunkDigits)
        return -1;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return -1;
    return text.toLongLong(nullptr, 16);
}

bool IsTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// "name: value" split, the name in lower case; false for a line that is not a field.
bool SplitField(const QByteArray& line, QByteArray& name, QByteArray& value) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return false;
    name = line.left(colon).toLower();
    for (char c : name)
        if (!IsTokenChar(c))
            return false;
    value = line.mid(colon + 1).trimmed();
    return true;
}
} // namespace

TFrame TAnswerFramer::Feed(QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size() && Frame == TFrame::NeedMore) {
        if (Part == TPart::Body || Part == TPart::ChunkData) {
            const qint64 take = std::min<qint64>(Remaining, bytes.size() - at);
            at += take;
            Offset += take;
            Remaining -= take;
            if (Remaining == 0 && Part == TPart::Body)
                Stop(TFrame::Complete);
            else if (Remaining == 0)
                Part = TPart::ChunkEnd;
            continue;
        }
        const bool inHead = Part == TPart::StatusLine || Part == TPart::Fields || Part == TPart::Trailer;
        at = TakeLine(bytes, at, inHead ? MaxHeadBytes : MaxChunkLine);
    }
    return Frame;
}

// Adds the bytes up to the next line end to the line; handles the line once it is whole.
qsizetype TAnswerFramer::TakeLine(QByteArrayView bytes, qsizetype at, qsizetype limit) {
    const char* start = bytes.data() + at;
    const void* newline = std::memchr(start, '\n', static_cast<size_t>(bytes.size() - at));
    const qsizetype taken = newline ? static_cast<const char*>(newline) - start + 1 : bytes.size() - at;
    const bool whole = newline != nullptr;
    Line.append(start, whole ? taken - 1 : taken);
    Offset += taken;
    HeadBytes += taken;
    if (Part == TPart::StatusLine && !(Line.size() <= 5 ? QByteArray("HTTP/").startsWith(Line) : Line.startsWith("HTTP/")))
        Stop(StatusSeen ? TFrame::Quiet : TFrame::NotHttp);
    else if ((Part == TPart::ChunkSize || Part == TPart::ChunkEnd ? Line.size() : HeadBytes) > limit)
        Stop(StatusSeen ? TFrame::Quiet : TFrame::NotHttp);
    else if (whole)
        LineComplete();
    return at + taken;
}

void TAnswerFramer::LineComplete() {
    if (Line.endsWith('\r'))
        Line.chop(1);
    switch (Part) {
    case TPart::StatusLine: StatusLineRead(); break;
    case TPart::Fields: Line.isEmpty() ? HeadRead() : FieldRead(); break;
    case TPart::ChunkSize: ChunkSizeRead(); break;
    case TPart::ChunkEnd:
        if (Line.isEmpty())
            Part = TPart::ChunkSize;
        else
            Stop(TFrame::Quiet);
        break;
    case TPart::Trailer:
        if (Line.isEmpty())
            Stop(TFrame::Complete);
        break;
    default: break;
    }
    Line.clear();
}

void TAnswerFramer::StatusLineRead() {
    const bool valid = Line.size() >= 12 && Line.startsWith("HTTP/1.") && IsDigit(Line[7]) && Line[8] == ' ' &&
                       IsDigit(Line[9]) && IsDigit(Line[10]) && IsDigit(Line[11]) && (Line.size() == 12 || Line[12] == ' ');
    if (!valid) {
        Stop(StatusSeen ? TFrame::Quiet : TFrame::NotHttp);
        return;
    }
    StatusSeen = true;
    Status = Line.mid(9, 3).toInt();
    Part = TPart::Fields;
    Chunked = OtherCoding = BadLength = false;
    Length = -1;
}

void TAnswerFramer::FieldRead() {
    QByteArray name, value;
    if (!SplitField(Line, name, value)) {
        BadLength = true;
        return;
    }
    if (name == "content-length") {
        const qint64 length = Decimal(value);
        BadLength = BadLength || length < 0 || (Length >= 0 && Length != length);
        Length = length;
    } else if (name == "transfer-encoding") {
        Chunked = value.split(',').last().trimmed().toLower() == "chunked";
        OtherCoding = !Chunked;
    }
}

void TAnswerFramer::HeadRead() {
    if (Status >= 100 && Status < 200) {
        // An interim answer: the final one follows and is framed the same way. 101 hands the
        // line over to another protocol, which ends when the line is quiet.
        if (Status == 101)
            Stop(TFrame::Quiet);
        Part = TPart::StatusLine;
        HeadBytes = 0;
        return;
    }
    if (NoBody || Status == 204 || Status == 304)
        Stop(TFrame::Complete);
    else if (BadLength || (Chunked && Length >= 0) || (OtherCoding && !Chunked))
        Stop(TFrame::Quiet);
    else if (Chunked)
        Part = TPart::ChunkSize;
    else if (Length == 0)
        Stop(TFrame::Complete);
    else if (Length > 0) {
        Part = TPart::Body;
        Remaining = Length;
    } else
        Stop(TFrame::Quiet);
}

void TAnswerFramer::ChunkSizeRead() {
    const qsizetype extension = Line.indexOf(';');
    const qint64 size = Hexadecimal((extension < 0 ? Line : Line.left(extension)).trimmed());
    if (size < 0) {
        Stop(TFrame::Quiet);
    } else if (size == 0) {
        Part = TPart::Trailer;
        HeadBytes = 0;
    } else {
        Part = TPart::ChunkData;
        Remaining = size;
    }
}

TRequest TRequestHead::Feed(QByteArrayView bytes) {
    for (qsizetype i = 0; i < bytes.size() && Result == TRequest::NeedMore; ++i) {
        const char c = bytes[i];
        if (++Size > MaxHeadBytes)
            Result = TRequest::TooLong;
        else if (LinePart < 3)
            Result = RequestLineByte(c) ? TRequest::NeedMore : TRequest::NotHttp;
        else if (c == '\n')
            LineComplete();
        else
            Line += c;
    }
    return Result;
}

// Checks one byte of "METHOD target HTTP/1.x".
bool TRequestHead::RequestLineByte(char c) {
    switch (LinePart) {
    case 0:
        // Empty lines ahead of a request are no part of it.
        if ((c == '\r' || c == '\n') && MethodName.isEmpty())
            return true;
        if (c == ' ' && !MethodName.isEmpty()) {
            LinePart = 1;
            return true;
        }
        MethodName += c;
        return IsTokenChar(c);
    case 1:
        if (c == ' ' && !Line.isEmpty()) {
            LinePart = 2;
            Line.clear();
            return true;
        }
        Line += c;
        return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    default:
        if (c == '\n' && (Line.size() == 8 || (Line.size() == 9 && Line.endsWith('\r')))) {
            LinePart = 3;
            Line.clear();
            return true;
        }
        Line += c;
        if (Line.size() <= 7)
            return QByteArray("HTTP/1.").startsWith(Line);
        return (Line.size() == 8 && IsDigit(c)) || (Line.size() == 9 && c == '\r');
    }
}

void TRequestHead::LineComplete() {
    if (Line.endsWith('\r'))
        Line.chop(1);
    if (Line.isEmpty()) {
        Result = TRequest::Complete;
        return;
    }
    QByteArray name, value;
    if (SplitField(Line, name, value))
        FieldList.append({name, value});
    else
        BadLine = true;
    Line.clear();
}

QList<QByteArray> TRequestHead::Values(QByteArrayView name) const {
    QList<QByteArray> values;
    for (const auto& [field, value] : FieldList)
        if (field == name)
            values << value;
    return values;
}

} // namespace http
