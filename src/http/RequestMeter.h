#pragma once
#include <QByteArrayView>
#include <optional>

#include "http/HttpHead.h"

// How much of a client's request has arrived: its head, then the body the head declares by its
// length or by its chunks. It knows where the request ends, so that bytes past it are not taken
// for a request of their own, and it tells a head whose length cannot be read for certain.
namespace http {

class TRequestMeter {
public:
    // Takes bytes as they arrive; returns how many of them belong to the request.
    qsizetype Feed(QByteArrayView bytes);
    const TRequestHead& Head() const { return Reader; }
    // The body's declared length; -1 when the head gives none (a chunked body, or an unreadable one).
    qint64 BodyLength() const { return Body; }
    // Lengths that conflict, are no numbers, or come with a coding: the device might find another end.
    bool Unreadable() const { return BadLength; }
    // Bytes of the request so far.
    qint64 Size() const { return Taken; }
    // The head and all of its body have arrived.
    bool Whole() const;

private:
    void HeadRead();
    qsizetype FeedChunks(QByteArrayView bytes);

    TRequestHead Reader;
    // A chunked body is framed the way a chunked answer's is.
    std::optional<TAnswerFramer> Chunks;
    qint64 Taken = 0;
    qint64 Body = 0;
    bool BadLength = false;
};

} // namespace http
