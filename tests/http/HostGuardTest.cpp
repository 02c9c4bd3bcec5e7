// Which requests may reach the device: the host they name and, for writes, the page they come from.
#include <gtest/gtest.h>

#include "http/HostGuard.h"

using http::TRefusal;
using http::TRefusalKind;
using http::TRequestHead;

namespace {
const http::THostGuard Guard("device.lan, Other.Example.", {"workbench"});

TRequestHead Head(const QByteArray& bytes) {
    TRequestHead head;
    head.Feed(bytes);
    return head;
}

std::optional<TRefusal> CheckHost(const QByteArray& host, const http::THostGuard& guard = Guard) {
    return guard.Check(Head("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
}

std::optional<TRefusal> CheckWrite(const QByteArray& method, const QByteArray& origin,
                                   const QByteArray& host = "localhost:24111") {
    return Guard.Check(Head(method + " /set HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin + "\r\n\r\n"));
}
} // namespace

TEST(HostGuard, AddressesLocalhostOwnAndListedNamesPass) {
    for (const QByteArray host : {"127.0.0.1", "127.0.0.1:24111", "192.168.1.20:80", "[::1]", "[::1]:24111",
                                  "[fe80::1]:8080", "localhost", "LocalHost:24111", "localhost.", "workbench",
                                  "WORKBENCH:24111", "device.lan", "other.example:1"})
        EXPECT_FALSE(CheckHost(host)) << host.constData();
    EXPECT_FALSE(Guard.Check(Head("GET / HTTP/1.0\r\nAccept: */*\r\n\r\n"))) << "a request without Host";
}

TEST(HostGuard, ForeignAndMalformedHostsAreRefusedByName) {
    for (const QByteArray host : {"evil.example", "evil.example:24111", "localhost.evil.example", "127.0.0.1.nip.io",
                                  "device.lan.evil", "::1", "[::1", "[evil]:80", "[::1]x", "localhost:99999",
                                  "localhost:x", "localhost:", "a b", "", "local%68ost", "1.2.3.4:5:6"}) {
        const auto refusal = CheckHost(host);
        ASSERT_TRUE(refusal) << host.constData();
        EXPECT_EQ(refusal->Kind, TRefusalKind::Host);
        EXPECT_EQ(refusal->Name, host);
    }
}

TEST(HostGuard, RepeatedHostFieldsAreRefusedEvenWhenEachWouldPass) {
    const auto refusal = Guard.Check(Head("GET / HTTP/1.1\r\nHost: localhost\r\nhOsT: 127.0.0.1\r\n\r\n"));
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->Kind, TRefusalKind::Host);
    EXPECT_EQ(refusal->Name, "localhost, 127.0.0.1");
}

TEST(HostGuard, WritesPassFromTheRequestsOwnOriginAndListedHostsOnly) {
    for (const auto& [host, origin] : std::initializer_list<std::pair<QByteArray, QByteArray>>{
             {"localhost:24111", "http://localhost:24111"}, {"127.0.0.1:24111", "http://127.0.0.1:24111"},
             {"[::1]:24111", "http://[::1]:24111"}, {"LocalHost:24111", "HTTP://localhost.:24111"},
             {"192.168.1.20", "http://192.168.1.20:80"}, {"workbench:80", "http://WORKBENCH"},
             {"localhost:24111", "https://device.lan:8443"}, {"127.0.0.1", "http://Other.Example"}})
        EXPECT_FALSE(CheckWrite("POST", origin, host)) << host.constData() << " " << origin.constData();
    EXPECT_FALSE(CheckWrite("GET", "https://evil.example")) << "a foreign page may link or embed, not write";
    EXPECT_FALSE(CheckWrite("OPTIONS", "http://203.0.113.5"));
}

TEST(HostGuard, WritesFromEveryOtherOriginAreRefusedByName) {
    for (const QByteArray origin : {"https://evil.example", "http://evil.example:24111", "http://203.0.113.5",
                                    "http://[2001:db8::1]", "http://192.168.1.77:8080", "http://127.0.0.1:24111",
                                    "http://localhost", "http://localhost:24112", "https://localhost:24111",
                                    "http://workbench:24111", "http://localhost:24111/", "null", "localhost",
                                    "http://localhost:24111, https://evil.example"}) {
        const auto refusal = CheckWrite("POST", origin);
        ASSERT_TRUE(refusal) << origin.constData();
        EXPECT_EQ(refusal->Kind, TRefusalKind::Origin);
        EXPECT_EQ(refusal->Name, origin);
    }
    EXPECT_TRUE(Guard.Check(Head("PUT / HTTP/1.0\r\nOrigin: http://localhost\r\n\r\n"))) << "no Host to compare with";
    const auto twice = Guard.Check(Head("DELETE / HTTP/1.1\r\nHost: localhost\r\nOrigin: http://localhost\r\n"
                                        "Origin: http://localhost\r\n\r\n"));
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->Kind, TRefusalKind::Origin);
}

TEST(HostGuard, HeadsThatCannotBeCheckedAreRefused) {
    for (const QByteArray& bytes : {QByteArray("GET / HTTP/1.1\r\nHost: localhost\r\n evil.example\r\n\r\n"),
                                   QByteArray("GET / HTTP/1.1\r\nHost : evil.example\r\n\r\n"),
                                   "GET / HTTP/1.1\r\nX: " + QByteArray(http::MaxHeadBytes, 'a')}) {
        const auto refusal = Guard.Check(Head(bytes));
        ASSERT_TRUE(refusal) << bytes.left(60).constData();
        EXPECT_EQ(refusal->Kind, TRefusalKind::Head);
    }
}

TEST(HostGuard, AStarSwitchesEveryCheckOff) {
    const http::THostGuard off(" * ", {});
    EXPECT_FALSE(off.On());
    EXPECT_TRUE(Guard.On());
    EXPECT_FALSE(CheckHost("evil.example", off));
    EXPECT_FALSE(off.Check(Head("POST / HTTP/1.1\r\nHost: a\r\nHost: b\r\nOrigin: null\r\n\r\n")));
}
