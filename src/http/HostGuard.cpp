#include "http/HostGuard.h"

#include <algorithm>

#include <arpa/inet.h>

namespace http {
namespace {
bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

bool IsPort(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return text.toInt() <= 65535;
}

bool IsAddress(int family, const QByteArray& text) {
    unsigned char address[16];
    return ::inet_pton(family, text.constData(), address) == 1;
}

// "[v6]" read.
std::optional<TAuthority> V6Host(QByteArrayView text) {
    const QByteArray host = text.sliced(1, text.size() - 2).toByteArray().toLower();
    if (!IsAddress(AF_INET6, host))
        return std::nullopt;
    return TAuthority{host, -1, true};
}

// A host name or an IPv4 address read.
std::optional<TAuthority> NamedHost(QByteArrayView text) {
    QByteArray host = text.toByteArray().toLower();
    if (host.endsWith('.'))
        host.chop(1);
    if (host.isEmpty() || !std::all_of(host.cbegin(), host.cend(), IsHostChar))
        return std::nullopt;
    return TAuthority{host, -1, IsAddress(AF_INET, host)};
}

int PortOr80(const TAuthority& authority) { return authority.Port < 0 ? 80 : authority.Port; }

bool SafeMethod(const QByteArray& method) { return method == "GET" || method == "HEAD" || method == "OPTIONS"; }
} // namespace

std::optional<TAuthority> AuthorityOf(QByteArrayView authority) {
    const bool bracketed = authority.startsWith('[');
    const qsizetype colon = authority.indexOf(':');
    const qsizetype hostEnd = bracketed ? authority.indexOf(']') + 1 : colon < 0 ? authority.size() : colon;
    if (hostEnd <= 0)
        return std::nullopt;
    std::optional<TAuthority> result = bracketed ? V6Host(authority.first(hostEnd)) : NamedHost(authority.first(hostEnd));
    const QByteArrayView rest = authority.sliced(hostEnd);
    if (!result || (!rest.isEmpty() && !(rest.startsWith(':') && IsPort(rest.sliced(1)))))
        return std::nullopt;
    result->Port = rest.isEmpty() ? -1 : rest.sliced(1).toInt();
    return result;
}

std::optional<TAuthority> OriginAuthority(QByteArrayView origin, QByteArray* scheme) {
    const qsizetype separator = origin.indexOf("://");
    if (separator <= 0)
        return std::nullopt;
    if (scheme)
        *scheme = origin.first(separator).toByteArray().toLower();
    return AuthorityOf(origin.sliced(separator + 3));
}

THostGuard::THostGuard(const QByteArray& allowed, const QByteArrayList& ownNames) {
    for (const QByteArray& name : allowed.split(',')) {
        const QByteArray trimmed = name.trimmed().toLower();
        AnyHost = AnyHost || trimmed == "*";
        if (!trimmed.isEmpty())
            Listed << (trimmed.endsWith('.') ? trimmed.chopped(1) : trimmed);
    }
    Names = Listed;
    for (const QByteArray& name : ownNames)
        Names << name.toLower();
    Names << "localhost";
}

bool THostGuard::Allowed(QByteArrayView authority) const {
    const std::optional<TAuthority> host = AuthorityOf(authority);
    return host && (host->IpLiteral || Names.contains(host->Host));
}

// A browser names the page a write comes from; only the device's own pages, reached through the
// address in Host, and pages of listed hosts may write. An address proves nothing here: a foreign
// page may well be served from one.
bool THostGuard::OriginAllowed(const QByteArray& origin, const QByteArrayList& hosts) const {
    QByteArray scheme;
    const std::optional<TAuthority> from = OriginAuthority(origin, &scheme);
    if (!from)
        return false;
    if (Listed.contains(from->Host))
        return true;
    const std::optional<TAuthority> own = hosts.size() == 1 ? AuthorityOf(hosts.first()) : std::nullopt;
    return scheme == "http" && own && own->Host == from->Host && PortOr80(*own) == PortOr80(*from);
}

std::optional<TRefusal> THostGuard::Check(const TRequestHead& head) const {
    if (AnyHost)
        return std::nullopt;
    if (head.State() != TRequest::Complete || head.Malformed())
        return TRefusal{TRefusalKind::Head, {}};
    const QByteArrayList hosts = head.Values("host");
    if (hosts.size() > 1 || (hosts.size() == 1 && !Allowed(hosts.first())))
        return TRefusal{TRefusalKind::Host, hosts.join(", ")};
    if (SafeMethod(head.Method()))
        return std::nullopt;
    const QByteArrayList origins = head.Values("origin");
    if (origins.size() > 1 || (origins.size() == 1 && !OriginAllowed(origins.first(), hosts)))
        return TRefusal{TRefusalKind::Origin, origins.join(", ")};
    return std::nullopt;
}

} // namespace http
