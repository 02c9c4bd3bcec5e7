// libFuzzer target for the HTTP head reader and the host check. The first byte chooses the
// direction and where the rest is split; the reader must give the same verdict whole and split,
// never claim an end beyond the bytes it was given, and never read outside them (the sanitizers
// watch that); the host check must come to the same verdict on both readings of a request.
#include <cstdint>
#include <cstdlib>

#include "http/HostGuard.h"
#include "http/HttpHead.h"

namespace {
void Check(bool condition) {
    if (!condition)
        std::abort();
}

void Answers(QByteArrayView bytes, qsizetype split, bool headRequest) {
    http::TAnswerFramer whole(headRequest);
    whole.Feed(bytes);
    http::TAnswerFramer pieces(headRequest);
    pieces.Feed(bytes.first(split));
    pieces.Feed(bytes.sliced(split));
    Check(whole.State() == pieces.State());
    if (whole.State() == http::TFrame::Complete) {
        Check(whole.End() == pieces.End());
        Check(whole.End() <= bytes.size());
    }
}

void Requests(QByteArrayView bytes, qsizetype split) {
    http::TRequestHead whole;
    whole.Feed(bytes);
    http::TRequestHead pieces;
    pieces.Feed(bytes.first(split));
    pieces.Feed(bytes.sliced(split));
    Check(whole.State() == pieces.State());
    if (whole.State() == http::TRequest::Complete)
        Check(whole.HeadSize() == pieces.HeadSize() && whole.HeadSize() <= bytes.size() && whole.Method() == pieces.Method());
    if (whole.State() == http::TRequest::NeedMore || whole.State() == http::TRequest::NotHttp)
        return;
    static const http::THostGuard guard("device.lan", {"workbench"});
    const auto verdict = guard.Check(whole);
    const auto again = guard.Check(pieces);
    Check(verdict.has_value() == again.has_value());
    if (verdict)
        Check(verdict->Kind == again->Kind && verdict->Name == again->Name);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data + 2), static_cast<qsizetype>(size - 2));
    const qsizetype split = bytes.isEmpty() ? 0 : data[1] % (bytes.size() + 1);
    switch (data[0] % 3) {
    case 0: Answers(bytes, split, false); break;
    case 1: Answers(bytes, split, true); break;
    default: Requests(bytes, split); break;
    }
    return 0;
}
