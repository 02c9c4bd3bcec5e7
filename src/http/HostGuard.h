#pragma once
#include <QByteArray>
#include <QByteArrayList>
#include <optional>

#include "http/HttpHead.h"

// Who may reach the device through a browser: a request must name this machine as its host (a
// page on a foreign name that resolves here is refused), and a write must come from the device's
// own pages or a listed host (a foreign page cannot post forms to the device).
namespace http {

// Why a request may not pass: a foreign host, a foreign page, or a head that could not be checked.
// None stands in records of requests that were not refused.
enum class TRefusalKind : uint8_t { None, Host, Origin, Head };

struct TRefusal {
    TRefusalKind Kind;
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
    bool OriginAllowed(const QByteArray& origin, const QByteArrayList& hosts) const;

    bool AnyHost = false;
    QByteArrayList Listed;  // from TCP\AllowedHosts
    QByteArrayList Names;   // the listed ones, this machine's and localhost
};

struct TAuthority {
    QByteArray Host;  // in lower case without a final dot, an IPv6 address without brackets
    int Port = -1;    // -1 when none is given
    bool IpLiteral = false;
};

// "host[:port]" or "[v6][:port]" read; none when it names no host name or address.
std::optional<TAuthority> AuthorityOf(QByteArrayView authority);
// The authority of an origin "scheme://authority"; none when the text is no such origin.
std::optional<TAuthority> OriginAuthority(QByteArrayView origin, QByteArray* scheme = nullptr);

} // namespace http
