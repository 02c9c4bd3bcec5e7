#include "http/RequestMeter.h"

#include <algorithm>

namespace http {

qsizetype TRequestMeter::Feed(QByteArrayView bytes) {
    qsizetype belongs = bytes.size();
    if (Reader.State() == TRequest::NeedMore) {
        const qint64 before = Reader.HeadSize();
        if (Reader.Feed(bytes) == TRequest::Complete) {
            HeadRead();
            const qsizetype head = Reader.HeadSize() - before;
            if (Body >= 0)
                belongs = head + std::min<qint64>(Body, bytes.size() - head);
        }
    } else if (Reader.State() == TRequest::Complete && Body >= 0) {
        belongs = std::clamp<qint64>(Reader.HeadSize() + Body - Taken, 0, bytes.size());
    }
    Taken += belongs;
    return belongs;
}

void TRequestMeter::HeadRead() {
    if (!Reader.Values("transfer-encoding").isEmpty()) {
        Body = -1;
        return;
    }
    const QList<QByteArray> lengths = Reader.Values("content-length");
    if (lengths.isEmpty())
        return;
    bool number = false;
    Body = lengths.first().toLongLong(&number);
    for (const QByteArray& length : lengths)
        if (length != lengths.first())
            number = false;
    if (!number || Body < 0 || lengths.first().startsWith('+'))
        Body = -1;
}

bool TRequestMeter::Whole() const {
    return Reader.State() == TRequest::Complete && Body >= 0 && Taken >= Reader.HeadSize() + Body;
}

} // namespace http
