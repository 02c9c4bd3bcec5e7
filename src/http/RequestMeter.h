#pragma once
#include <QByteArrayView>

#include "http/HttpHead.h"

// How much of a client's request has arrived: its head, then the body the head declares. It
// knows where the request ends, so that bytes past it are not taken for a request of their own.
namespace http {

class TRequestMeter {
public:
    // Takes bytes as they arrive; returns how many of them belong to the request.
    qsizetype Feed(QByteArrayView bytes);
    const TRequestHead& Head() const { return Reader; }
    // The body's declared length; -1 when the head declares none that can be relied on
    // (a chunked or otherwise coded body, conflicting or unreadable lengths).
    qint64 BodyLength() const { return Body; }
    // Bytes of the request so far.
    qint64 Size() const { return Taken; }
    // The head and all of its declared body have arrived.
    bool Whole() const;

private:
    void HeadRead();

    TRequestHead Reader;
    qint64 Taken = 0;
    qint64 Body = 0;
};

} // namespace http
