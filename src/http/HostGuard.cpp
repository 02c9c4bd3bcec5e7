#include "http/HostGuard.h"

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

bool SafeMethod(const QByteArray& method) { return method == "GET" || method == "HEAD" || method == "OPTIONS"; }
} // namespace

std::optional<QByteArray> HostOf(QByteArrayView authority, bool* ipLiteral) {
    QByteArray host;
    QByteArrayView port;
    if (authority.startsWith('[')) {
        const qsizetype close = authority.indexOf(']');
        if (close < 0)
            return std::nullopt;
        host = authority.sliced(1, close - 1).toByteArray().toLower();
        const QByteArrayView rest = authority.sliced(close + 1);
        if (!IsAddress(AF_INET6, host) || (!rest.isEmpty() && !(rest.startsWith(':') && IsPort(rest.sliced(1)))))
            return std::nullopt;
        if (ipLiteral)
            *ipLiteral = true;
        return host;
    }
    const qsizetype colon = authority.indexOf(':');
    host = authority.first(colon < 0 ? authority.size() : colon).toByteArray().toLower();
    if (colon >= 0 && !IsPort(authority.sliced(colon + 1)))
        return std::nullopt;
    if (host.endsWith('.'))
        host.chop(1);
    if (host.isEmpty())
        return std::nullopt;
    for (char c : host)
        if (!IsHostChar(c))
            return std::nullopt;
    if (ipLiteral)
        *ipLiteral = IsAddress(AF_INET, host);
    return host;
}

THostGuard::THostGuard(const QByteArray& allowed, const QByteArrayList& ownNames) {
    for (const QByteArray& name : allowed.split(',')) {
        const QByteArray trimmed = name.trimmed().toLower();
        AnyHost = AnyHost || trimmed == "*";
        if (!trimmed.isEmpty())
            Names << (trimmed.endsWith('.') ? trimmed.chopped(1) : trimmed);
    }
    for (const QByteArray& name : ownNames)
        Names << name.toLower();
    Names << "localhost";
}

bool THostGuard::Allowed(QByteArrayView authority) const {
    bool literal = false;
    const std::optional<QByteArray> host = HostOf(authority, &literal);
    return host && (literal || Names.contains(*host));
}

bool THostGuard::OriginAllowed(const QByteArray& origin) const {
    const qsizetype scheme = origin.indexOf("://");
    if (scheme <= 0)
        return false;
    QByteArrayView authority = QByteArrayView(origin).sliced(scheme + 3);
    if (const qsizetype slash = authority.indexOf('/'); slash >= 0)
        authority = authority.first(slash);
    return Allowed(authority);
}

std::optional<TRefusal> THostGuard::Check(const TRequestHead& head) const {
    if (AnyHost)
        return std::nullopt;
    if (head.State() != TRequest::Complete || head.Malformed())
        return TRefusal{TRefusal::Head, {}};
    const QByteArrayList hosts = head.Values("host");
    if (hosts.size() > 1 || (hosts.size() == 1 && !Allowed(hosts.first())))
        return TRefusal{TRefusal::Host, hosts.join(", ")};
    if (SafeMethod(head.Method()))
        return std::nullopt;
    const QByteArrayList origins = head.Values("origin");
    if (origins.size() > 1 || (origins.size() == 1 && !OriginAllowed(origins.first())))
        return TRefusal{TRefusal::Origin, origins.join(", ")};
    return std::nullopt;
}

} // namespace http
