#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <cstdint>
#include <utility>

// Reads HTTP heads as their bytes arrive, in either direction, without keeping the bytes: it only
// says where a message ends or whether it may be passed on. Bounded: a head longer than
// MaxHeadBytes is not taken for HTTP.
namespace http {

constexpr qsizetype MaxHeadBytes = 16 * 1024;

enum class TFrame {
    NeedMore,  // an HTTP answer whose declared end has not arrived yet
    Complete,  // the answer ends at End()
    Quiet,     // HTTP that declares no end (or declares it badly): it ends when the line is quiet
    NotHttp,   // not an HTTP answer at all
};

// Where the device's answer ends, from its status line and header fields.
class TAnswerFramer {
public:
    explicit TAnswerFramer(bool answersHeadRequest = false) : NoBody(answersHeadRequest) {}
    TFrame Feed(QByteArrayView bytes);
    TFrame State() const { return Frame; }
    // The answer's length in bytes once Complete; what follows belongs to no one.
    qint64 End() const { return Offset; }
    // A status line has been read: the device speaks HTTP.
    bool SawStatusLine() const { return StatusSeen; }

private:
    enum class TPart { StatusLine, Fields, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Done };
    qsizetype TakeLine(QByteArrayView bytes, qsizetype at, qsizetype limit);
    void LineComplete();
    void StatusLineRead();
    void FieldRead();
    void HeadRead();
    void ChunkSizeRead();
    void Stop(TFrame frame) { Frame = frame; }

    bool NoBody;
    TFrame Frame = TFrame::NeedMore;
    TPart Part = TPart::StatusLine;
    QByteArray Line;
    qint64 Offset = 0;
    qint64 HeadBytes = 0;
    qint64 Remaining = 0;
    int Status = 0;
    bool StatusSeen = false;
    bool Chunked = false;
    bool OtherCoding = false;
    bool BadLength = false;
    qint64 Length = -1;
};

enum class TRequest {
    NeedMore,  // begins like an HTTP request; its head is not complete yet
    Complete,  // the head is complete at HeadSize()
    NotHttp,   // does not begin like an HTTP request: passed on as it is
    TooLong,   // begins like one, but its head is longer than MaxHeadBytes
};

// The head of a client's request, up to its empty line.
class TRequestHead {
public:
    TRequest Feed(QByteArrayView bytes);
    TRequest State() const { return Result; }
    qint64 HeadSize() const { return Size; }
    const QByteArray& Method() const { return MethodName; }
    // The header fields in their order, names in lower case, values trimmed.
    const QList<std::pair<QByteArray, QByteArray>>& Fields() const { return FieldList; }
    // The values of every field of that (lower-case) name.
    QList<QByteArray> Values(QByteArrayView name) const;
    // A line of the head was no field (a folded line, a name with spaces, no colon).
    bool Malformed() const { return BadLine; }

private:
    bool RequestLineByte(char c);
    void LineComplete();

    TRequest Result = TRequest::NeedMore;
    int LinePart = 0;  // 0 method, 1 target, 2 version, 3 fields
    QByteArray Line;
    QByteArray MethodName;
    QList<std::pair<QByteArray, QByteArray>> FieldList;
    qint64 Size = 0;
    bool BadLine = false;
};

} // namespace http
