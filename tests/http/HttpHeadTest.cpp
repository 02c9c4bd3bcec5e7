// The head reader on answers and requests, whole and split at every byte.
#include <gtest/gtest.h>

#include "http/HttpHead.h"
#include "http/RequestMeter.h"

using http::TAnswerFramer;
using http::TFrame;
using http::TRequest;
using http::TRequestHead;

namespace {
// Feeds the bytes one at a time and returns the frame after the last.
TFrame FeedBytewise(TAnswerFramer& framer, const QByteArray& bytes) {
    for (char c : bytes)
        framer.Feed(QByteArrayView(&c, 1));
    return framer.State();
}

TFrame Frame(const QByteArray& answer, bool headRequest = false) { return TAnswerFramer(headRequest).Feed(answer); }

const QByteArray LengthHead = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n";
} // namespace

TEST(AnswerFramer, ADeclaredLengthEndsTheAnswerExactlyWhereverTheBytesAreSplit) {
    const QByteArray answer = LengthHead + "0123456789";
    for (qsizetype split = 0; split <= answer.size(); ++split) {
        TAnswerFramer framer;
        EXPECT_EQ(framer.Feed(QByteArrayView(answer).first(split)), split < answer.size() ? TFrame::NeedMore : TFrame::Complete);
        framer.Feed(QByteArrayView(answer).sliced(split));
        EXPECT_EQ(framer.State(), TFrame::Complete) << split;
        EXPECT_EQ(framer.End(), answer.size());
    }
    TAnswerFramer bytewise;
    EXPECT_EQ(FeedBytewise(bytewise, answer), TFrame::Complete);
    TAnswerFramer surplus;
    EXPECT_EQ(surplus.Feed(answer + "HTTP/1.1 200 OK\r\n"), TFrame::Complete);
    EXPECT_EQ(surplus.End(), answer.size());
    EXPECT_EQ(Frame("HTTP/1.0 200 OK\r\ncOnTeNt-LeNgTh:  3 \r\n\r\nabc"), TFrame::Complete);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\nContent-Length: 0\n\n"), TFrame::Complete);
}

TEST(AnswerFramer, ChunkedAnswersEndAfterTheLastChunkAndItsTrailer) {
    const QByteArray answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
                              "4;name=value\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nExpires: never\r\n\r\n";
    TAnswerFramer framer;
    EXPECT_EQ(FeedBytewise(framer, answer), TFrame::Complete);
    EXPECT_EQ(framer.End(), answer.size());
    EXPECT_EQ(Frame(answer.left(answer.size() - 2)), TFrame::NeedMore);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFF\r\n"), TFrame::Quiet);
}

TEST(AnswerFramer, AnswersWithoutBodyEndAtTheirHeadAndInterimAnswersDoNot) {
    EXPECT_EQ(Frame("HTTP/1.1 204 No Content\r\nContent-Length: 99\r\n\r\n"), TFrame::Complete);
    EXPECT_EQ(Frame("HTTP/1.1 304 Not Modified\r\n\r\n"), TFrame::Complete);
    EXPECT_EQ(Frame(LengthHead, true), TFrame::Complete);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\n\r\n", true), TFrame::Complete);
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
    TAnswerFramer framer;
    EXPECT_EQ(framer.Feed(interim), TFrame::NeedMore);
    EXPECT_EQ(framer.Feed(LengthHead + "0123456789"), TFrame::Complete);
    EXPECT_EQ(framer.End(), interim.size() + LengthHead.size() + 10);
    EXPECT_EQ(Frame("HTTP/1.1 101 Switching Protocols\r\n\r\n"), TFrame::Quiet);
}

TEST(AnswerFramer, AnswersThatDeclareNoEndOrABadOneEndWhenTheLineIsQuiet) {
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n12345"), TFrame::Complete);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: five\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nno colon here\r\nContent-Length: 1\r\n\r\n"), TFrame::Quiet);
    EXPECT_EQ(Frame("HTTP/1.1 100 Continue\r\n\r\nnonsense\r\n"), TFrame::Quiet);
}

TEST(AnswerFramer, BytesThatAreNotAnHttpAnswerAreToldApartAtOnce) {
    TAnswerFramer garbage;
    EXPECT_EQ(garbage.Feed("\x07\x07"), TFrame::NotHttp);
    EXPECT_FALSE(garbage.SawStatusLine());
    EXPECT_EQ(Frame("HTTP"), TFrame::NeedMore);
    EXPECT_EQ(Frame("HTTPS"), TFrame::NotHttp);
    EXPECT_EQ(Frame("HTTP/2 200 OK\r\n"), TFrame::NotHttp);
    EXPECT_EQ(Frame("HTTP/1.1 2x0 OK\r\n"), TFrame::NotHttp);
    EXPECT_EQ(Frame("HTTP/1.1 200 OK\r\nX: " + QByteArray(http::MaxHeadBytes, 'a')), TFrame::Quiet);
    TAnswerFramer http;
    http.Feed("HTTP/1.1 200 OK\r\n");
    EXPECT_TRUE(http.SawStatusLine());
}

TEST(RequestHead, ARequestHeadIsCompleteAtItsEmptyLineWhereverItIsSplit) {
    const QByteArray head = "POST /upload?x=1 HTTP/1.1\r\nHost: localhost:24111\r\nORIGIN: http://a\r\nContent-Length: 3\r\n\r\n";
    for (qsizetype split = 0; split < head.size(); ++split) {
        TRequestHead reader;
        EXPECT_EQ(reader.Feed(QByteArrayView(head).first(split)), TRequest::NeedMore) << split;
        EXPECT_EQ(reader.Feed(head.mid(split) + "abc"), TRequest::Complete);
        EXPECT_EQ(reader.HeadSize(), head.size());
    }
    TRequestHead reader;
    reader.Feed(head);
    EXPECT_EQ(reader.Method(), "POST");
    ASSERT_EQ(reader.Fields().size(), 3);
    EXPECT_EQ(reader.Fields()[1], (std::pair<QByteArray, QByteArray>{"origin", "http://a"}));
    EXPECT_EQ(TRequestHead().Feed("GET / HTTP/1.0\n\n"), TRequest::Complete);
}

TEST(RequestHead, BytesThatDoNotBeginLikeARequestAreNotHttp) {
    for (const QByteArray& bytes : {QByteArray("\x01\x02"), QByteArray(" GET"), QByteArray("GET  /"), QByteArray("GET / HTTP/2\r\n"),
                                    QByteArray("GET / HTTP/1.1x"), QByteArray("GET /a\x01 HTTP/1.1"), QByteArray("G(T / HTTP/1.1")})
        EXPECT_EQ(TRequestHead().Feed(bytes), TRequest::NotHttp) << bytes.constData();
    EXPECT_EQ(TRequestHead().Feed("GET / HTTP/1.1\r\nX: " + QByteArray(http::MaxHeadBytes, 'a')), TRequest::TooLong);
    EXPECT_EQ(TRequestHead().Feed("GET / HTTP/1.1\r\nHost: x"), TRequest::NeedMore);
}

TEST(RequestMeter, ARequestEndsAfterItsDeclaredBodyOrItsLastChunkWhereverItIsSplit) {
    const QByteArray chunked = "POST /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\nX-T: 1\r\n\r\n";
    const QByteArray lengthy = "\r\nPOST /u HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd";
    for (const QByteArray& request : {chunked, lengthy}) {
        for (qsizetype split = 0; split <= request.size(); ++split) {
            http::TRequestMeter meter;
            const QByteArray next = "GET /smuggled HTTP/1.1\r\n\r\n";
            qsizetype belongs = meter.Feed(QByteArrayView(request).first(split));
            EXPECT_FALSE(meter.Unreadable());
            belongs += meter.Feed(request.mid(split) + next);
            EXPECT_EQ(belongs, request.size()) << split;
            EXPECT_TRUE(meter.Whole()) << split;
            EXPECT_EQ(meter.Feed(next), 0);
        }
    }
}

TEST(RequestMeter, LengthsThatCannotBeReadForCertainMakeTheRequestUnreadable) {
    for (const QByteArray& fields :
         {QByteArray("Content-Length: 0\r\nTransfer-Encoding: chunked"), QByteArray("Content-Length: 0\r\nContent-Length: 5"),
          QByteArray("Content-Length: -5"), QByteArray("Content-Length: +5"), QByteArray("Content-Length: 0x10"),
          QByteArray("Content-Length: 5, 5"), QByteArray("Content-Length: 1000000000000000000000000000000"),
          QByteArray("Transfer-Encoding: gzip, chunked"), QByteArray("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked")}) {
        http::TRequestMeter meter;
        meter.Feed("POST /u HTTP/1.1\r\n" + fields + "\r\n\r\nabcd");
        EXPECT_TRUE(meter.Unreadable()) << fields.constData();
        EXPECT_FALSE(meter.Whole()) << fields.constData();
    }
    http::TRequestMeter fine;
    fine.Feed("POST /u HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 4\r\n\r\nabcd");
    EXPECT_FALSE(fine.Unreadable());
    EXPECT_TRUE(fine.Whole());
}
