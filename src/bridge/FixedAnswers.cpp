#include "bridge/FixedAnswers.h"

#include <QString>

namespace {
QByteArray FixedAnswer(const QByteArray& status, const QByteArray& text) {
    return "HTTP/1.1 " + status +
           "\r\n"
           "Connection: close\r\n"
           "Content-Type: text/html; charset=windows-1251\r\n"
           "Cache-Control: no-cache\r\n"
           "\r\n"
           "<html><body><b>Error!</b><p><b>" +
           text + "</b></p></body></html>\r\n";
}
} // namespace

const QByteArray DeviceNotRespondingAnswer = FixedAnswer("503 Service Unavailable", "Device is not responding.");
const QByteArray DeviceNotAvailableAnswer = FixedAnswer("503 Service Unavailable", "~ is not available.");
const QByteArray RequestIncompleteAnswer = FixedAnswer("408 Request Timeout", "The request did not arrive whole.");
const QByteArray BadLengthAnswer = FixedAnswer("400 Bad Request", "The request's length could not be read.");

QByteArray ForbiddenAnswer(const http::TRefusal& refusal) {
    const QByteArray name = QString::fromLatin1(refusal.Name).toHtmlEscaped().toLatin1();
    const QByteArray allow = " To allow it, add it to TCP\\AllowedHosts in the settings file.";
    switch (refusal.Kind) {
    case http::TRefusalKind::Host: return FixedAnswer("403 Forbidden", "The host name " + name + " is not allowed." + allow);
    case http::TRefusalKind::Origin:
        return FixedAnswer("403 Forbidden", "Pages of " + name + " may not send this request." + allow);
    case http::TRefusalKind::Head:
    case http::TRefusalKind::None: break;
    }
    return FixedAnswer("403 Forbidden", "The request's head could not be checked.");
}
