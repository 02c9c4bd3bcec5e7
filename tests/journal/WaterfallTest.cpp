// The waterfall's scale over the rows in sight, and an entry's request as a curl command.
#include <gtest/gtest.h>

#include <QProcess>
#include <random>

#include "journal/Curl.h"
#include "journal/Waterfall.h"

using namespace journal;

namespace {
constexpr int64_t Ms = 1000;
constexpr int64_t S = 1000 * Ms;
} // namespace

TEST(Waterfall, ALongIdleStretchBetweenTwoLoadsIsCutSoThatBothStayWide) {
    // Two page loads of 2 s each, a minute apart.
    const TWaterfall scale = TWaterfall::Lay({{0, 1 * S}, {500 * Ms, 2 * S}, {62 * S, 63 * S}, {63 * S, 64 * S}}, 400);
    ASSERT_EQ(scale.Breaks().size(), 1u);
    EXPECT_EQ(scale.Breaks()[0].Us, 60 * S);
    EXPECT_DOUBLE_EQ(scale.X(0), 0);
    EXPECT_NEAR(scale.X(64 * S), 400, 0.01);
    EXPECT_GT(scale.X(64 * S) - scale.X(62 * S), 400.0 / 3) << "the second load keeps a wide part of the column";
    EXPECT_GT(scale.X(62 * S), scale.X(2 * S)) << "the break stands between the loads";
    EXPECT_NEAR(scale.X(2 * S), (400 - scale.BreakWidth()) / 2, 0.01) << "each load has an equal share";
    // A load that took a tenth of the other's time still fills its share on a scale of its own.
    const TWaterfall unequal = TWaterfall::Lay({{0, 5 * S}, {70 * S, 70 * S + 500 * Ms}}, 400);
    EXPECT_NEAR(unequal.X(70 * S + 250 * Ms) - unequal.X(70 * S), (400 - unequal.BreakWidth()) / 4, 0.01);
    // Ticks begin anew at each stretch, from 0, and never crowd each other.
    const std::vector<TWaterfall::TTick> ticks = scale.Ticks();
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_EQ(ticks.front().Label, "0");
    for (size_t i = 1; i < ticks.size(); ++i)
        EXPECT_GE(ticks[i].X - ticks[i - 1].X, TWaterfall::LabelPx * 0.75);
    EXPECT_TRUE(std::any_of(ticks.begin(), ticks.end(), [&](const auto& tick) { return tick.Label == "0" && tick.X > 150; }));
}

TEST(Waterfall, ShortPausesStayOnTheScaleAndOnlyTheLongestGapsAreCutWhenThereAreMany) {
    // Requests 300 ms apart read as one load: no cut.
    const TWaterfall close = TWaterfall::Lay({{0, 100 * Ms}, {400 * Ms, 500 * Ms}, {800 * Ms, 900 * Ms}}, 300);
    EXPECT_TRUE(close.Breaks().empty());
    EXPECT_NEAR(close.X(400 * Ms), 300.0 * 4 / 9, 0.01);
    EXPECT_EQ(close.StepUs(), 500 * Ms) << "at most 300 / 70 labels over 900 ms, each a round step";
    // A probe every 3 s for a minute: the breaks take at most their share of the width.
    std::vector<TSpan> probes;
    for (int i = 0; i < 20; ++i)
        probes.push_back({i * 3 * S, i * 3 * S + 10 * Ms});
    const TWaterfall many = TWaterfall::Lay(probes, 200);
    EXPECT_LE(static_cast<double>(many.Breaks().size()) * many.BreakWidth(), 200 * TWaterfall::BreaksShare + 0.01);
    EXPECT_GE(many.BreakWidth(), TWaterfall::MinBreakPx);
    double last = -1;
    for (const TSpan& probe : probes) {
        EXPECT_GT(many.X(probe.First), last);
        last = many.X(probe.Last);
        EXPECT_LE(last, 200.01);
    }
    EXPECT_TRUE(TWaterfall::Lay({}, 300).Empty());
    EXPECT_TRUE(TWaterfall::Lay({{Never, Never}}, 300).Empty());
    EXPECT_TRUE(TWaterfall::Lay({{0, S}}, 0).Empty());
    EXPECT_EQ(TWaterfall::Duration(1500), "1.5 ms");
    EXPECT_EQ(TWaterfall::Duration(2 * S), "2 s");
}

namespace {
TEntry Recorded(const QByteArray& head, const QByteArray& body) {
    TEntry entry;
    entry.RequestHead = head;
    entry.RequestBody.Kept = body;
    entry.RequestBody.Size = body.size();
    entry.RequestSize = head.size() + body.size();
    return entry;
}
} // namespace

TEST(Curl, APostWithABinaryBodyIsSentAgainByteForByteWithTheHeadsTheDeviceNeeds) {
    const QByteArray body("a\0b'%\\\xff\r\n", 9);
    const TEntry entry = Recorded("POST /upload?x=1 HTTP/1.1\r\nHost: localhost:24111\r\nContent-Length: 9\r\n"
                                  "Connection: keep-alive\r\nContent-Type: application/octet-stream\r\nX-Token: it's\r\n\r\n",
                                  body);
    const TCurl curl = CurlCommand(entry);
    ASSERT_TRUE(curl.Problem.isEmpty()) << curl.Problem.toStdString();
    EXPECT_TRUE(curl.Command.startsWith("printf 'a\\000b\\047\\045\\134\\377\\015\\012' | curl ")) << curl.Command.toStdString();
    EXPECT_TRUE(curl.Command.contains("'http://localhost:24111/upload?x=1'"));
    EXPECT_TRUE(curl.Command.contains("-H 'Content-Type: application/octet-stream'"));
    EXPECT_TRUE(curl.Command.contains("-H 'X-Token: it'\\''s'"));
    EXPECT_TRUE(curl.Command.contains("-H 'User-Agent:' -H 'Accept:' -H 'Expect:'")) << "curl adds none of its own";
    EXPECT_FALSE(curl.Command.contains("Content-Type:'")) << "the request had its own";
    for (const char* left : {"Host:", "Content-Length", "Connection", "-X"})
        EXPECT_FALSE(curl.Command.contains(left)) << left;
    EXPECT_TRUE(curl.Command.endsWith("--data-binary @-"));
}

TEST(Curl, TextBodiesStandQuotedAndRequestsThatCannotBeRepeatedSaySo) {
    const TCurl put = CurlCommand(Recorded("PUT /t HTTP/1.0\r\nHost: h\r\n\r\n", "line one\nline two"));
    EXPECT_EQ(put.Command, "curl --http1.0 -X 'PUT' 'http://h/t' -H 'User-Agent:' -H 'Accept:' -H 'Content-Type:' "
                           "-H 'Expect:' --data-raw 'line one\nline two'");
    EXPECT_EQ(CurlCommand(Recorded("HEAD / HTTP/1.1\r\nUser-Agent: b\r\n\r\n", {})).Command,
              "curl --head 'http://localhost/' -H 'User-Agent: b' -H 'Accept:'");
    EXPECT_EQ(CurlCommand(Recorded("\r\n\r\nGET http://h:80/x HTTP/1.0\r\nAccept: */*\r\n\r\n", {})).Command,
              "curl --http1.0 'http://h:80/x' -H 'Accept: */*' -H 'User-Agent:'")
        << "blank lines ahead, an absolute target with a colon: the request line is no field";
    TEntry cut = Recorded("POST /u HTTP/1.1\r\n\r\n", "abc");
    cut.RequestBody.How = TKept::First;
    cut.RequestBody.Size = 100;
    EXPECT_FALSE(CurlCommand(cut).Problem.isEmpty());
    EXPECT_FALSE(CurlCommand(Recorded("\x01\x02 binary", {})).Problem.isEmpty());
    EXPECT_FALSE(CurlCommand(Recorded("GET / HTTP/1.1\r\nHost: h\r\n", {})).Problem.isEmpty()) << "head not whole";
    EXPECT_FALSE(CurlCommand(Recorded("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n")).Problem.isEmpty());
}

// What a shell makes of the command, with curl standing in as a function that writes back its
// arguments and what it read: no byte of the request may escape its quotes.
TEST(Curl, NoHeadFieldOrBodyEscapesItsQuotesInTheShell) {
    std::mt19937 random(20261210);
    const QByteArray nasty = "'\"\\$`!;|&(){}<>*?[]~#%\t \x01\x7f\xc3\xa9";
    auto pick = [&](int n, bool binary) {
        QByteArray bytes;
        for (int i = 0; i < n; ++i)
            bytes += binary && random() % 4 == 0 ? static_cast<char>(random() % 256) : nasty[static_cast<int>(random() % nasty.size())];
        return bytes;
    };
    for (int round = 0; round < 60; ++round) {
        const QByteArray value = pick(12, false).replace('\x01', 'x').replace('\x7f', 'y').replace("\xc3\xa9", "e").trimmed() + "v";
        const QByteArray body = pick(40, round % 2 == 1);
        const TEntry entry = Recorded("POST /u?q=" + QByteArray::number(round) + " HTTP/1.1\r\nX-Odd: " + value + "\r\n\r\n", body);
        const TCurl curl = CurlCommand(entry);
        ASSERT_TRUE(curl.Problem.isEmpty());
        QProcess shell;
        shell.start("bash", {"-c", "curl() { printf '%s\\n' \"$@\"; printf '<<'; cat; }; " + curl.Command});
        ASSERT_TRUE(shell.waitForFinished(5000));
        const QByteArray out = shell.readAllStandardOutput();
        EXPECT_TRUE(out.contains("\nX-Odd: " + value + "\n")) << round << " " << curl.Command.toStdString() << "\n" << out.toStdString();
        if (curl.Command.startsWith("printf "))
            EXPECT_TRUE(out.endsWith("<<" + body)) << round << " " << curl.Command.toStdString();
        else
            EXPECT_TRUE(out.contains("\n--data-raw\n" + body + "\n")) << round << " " << curl.Command.toStdString();
    }
}
