#pragma once
#include <QByteArray>
#include <QByteArrayList>
#include <optional>

#include "http/HttpHead.h"

// Who may reach the device through a browser: a request must name this machine as its host (a
// page on a foreign name that resolves here is refused), and a write must come from a page of
// this machine (a foreign page cannot post forms to the device).
namespace http {

struct TRefusal {
    enum TKind { Host, Origin, Head } Kind;
    QByteArray Name;  // the host or the origin refused, as the request gave it
};

class THostGuard {
public:
    // allowed: the names listed in TCP\AllowedHosts, comma-separated, "*" for every name;
    // ownNames: this machine's host names.
    THostGuard(const QByteArray& allowed, const QByteArrayList& ownNames);
    bool On() const { return !AnyHost; }
    // Why the request with this complete (or too long) head may not pass; none when it may.
    std::optional<TRefusal> Check(const TRequestHead& head) const;

private:
    bool Allowed(QByteArrayView authority) const;
    bool OriginAllowed(const QByteArray& origin) const;

    bool AnyHost = false;
    QByteArrayList Names;
};

// The host of "host[:port]" or "[v6]:port" in lower case without a final dot; none when it is no
// host name or address.
std::optional<QByteArray> HostOf(QByteArrayView authority, bool* ipLiteral = nullptr);

} // namespace http
