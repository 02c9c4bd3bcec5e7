#include "http/RequestMeter.h"

#include <algorithm>

namespace http {
namespace {
const QByteArray ChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
constexpr int MaxLengthDigits = 18;

// The decimal number that is the whole text, or -1.
qint64 Length(const QByteArray& text) {
    if (text.isEmpty() || text.size() > MaxLengthDigits)
        return -1;
    for (char c : text)
        if (c < '0' || c > '9')
            return -1;
    return text.toLongLong();
}
} // namespace

qsizetype TRequestMeter::Feed(QByteArrayView bytes) {
    qsizetype belongs = bytes.size();
    if (Reader.State() == TRequest::NeedMore) {
        const qint64 before = Reader.HeadSize();
        if (Reader.Feed(bytes) == TRequest::Complete) {
            HeadRead();
            const qsizetype head = Reader.HeadSize() - before;
            if (Chunks)
                belongs = head + FeedChunks(bytes.sliced(head));
            else if (Body >= 0)
                belongs = head + std::min<qint64>(Body, bytes.size() - head);
        }
    } else if (Reader.State() == TRequest::Complete && Chunks) {
        belongs = FeedChunks(bytes);
    } else if (Reader.State() == TRequest::Complete && Body >= 0) {
        belongs = std::clamp<qint64>(Reader.HeadSize() + Body - Taken, 0, bytes.size());
    }
    Taken += belongs;
    return belongs;
}

qsizetype TRequestMeter::FeedChunks(QByteArrayView bytes) {
    if (Chunks->State() != TFrame::NeedMore)
        return 0;
    const qint64 before = Chunks->End();
    Chunks->Feed(bytes);
    if (Chunks->State() != TFrame::Complete)
        return bytes.size();
    return static_cast<qsizetype>(Chunks->End() - before);
}

void TRequestMeter::HeadRead() {
    const QList<QByteArray> codings = Reader.Values("transfer-encoding");
    const QList<QByteArray> lengths = Reader.Values("content-length");
    if (!codings.isEmpty()) {
        Body = -1;
        BadLength = !lengths.isEmpty() || codings.size() > 1 || codings.first().toLower() != "chunked";
        if (!BadLength) {
            Chunks.emplace();
            Chunks->Feed(ChunkedHead);
        }
        return;
    }
    if (lengths.isEmpty())
        return;
    Body = Length(lengths.first());
    for (const QByteArray& length : lengths)
        if (length != lengths.first())
            Body = -1;
    BadLength = Body < 0;
}

bool TRequestMeter::Whole() const {
    if (Reader.State() != TRequest::Complete || BadLength)
        return false;
    if (Chunks)
        return Chunks->State() != TFrame::NeedMore;
    return Taken >= Reader.HeadSize() + Body;
}

} // namespace http
