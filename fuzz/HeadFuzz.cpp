// libFuzzer target for the HTTP head reader and the host check. The first byte chooses the
// direction and where the rest is split; the reader must give the same verdict whole and split,
// never claim an end beyond the bytes it was given, and never read outside them (the sanitizers
// watch that); the host check must come to the same verdict on both readings of a request, and
// let a write with an origin pass only from the request's own address or the listed host.
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

int PortOr80(const http::TAuthority& authority) { return authority.Port < 0 ? 80 : authority.Port; }

// A write's origin passes when it is the listed host or, over http, the host and port the request
// names; the exact text "http://" + Host is never refused for its origin.
void OriginRule(const http::TRequestHead& head, const std::optional<http::TRefusal>& verdict) {
    const QByteArrayList origins = head.Values("origin");
    const QByteArrayList hosts = head.Values("host");
    const QByteArray method = head.Method();
    if (origins.size() != 1 || method == "GET" || method == "HEAD" || method == "OPTIONS")
        return;
    if (hosts.size() == 1 && origins.first() == "http://" + hosts.first())
        Check(!verdict || verdict->Kind != http::TRefusalKind::Origin);
    if (verdict)
        return;
    QByteArray scheme;
    const auto from = http::OriginAuthority(origins.first(), &scheme);
    Check(from.has_value());
    if (from->Host == "device.lan")
        return;
    const auto own = hosts.size() == 1 ? http::AuthorityOf(hosts.first()) : std::nullopt;
    Check(scheme == "http" && own && own->Host == from->Host && PortOr80(*own) == PortOr80(*from));
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
    if (whole.State() == http::TRequest::Complete && !whole.Malformed())
        OriginRule(whole, verdict);
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
