// The journal as HAR 1.2: timings, url, custom fields, bodies, sanitizing and the file's mode.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QDir>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "journal/Har.h"

using namespace journal;

namespace {
const QByteArray Login = "POST /login?next=%2Fstatus&x=1 HTTP/1.1\r\nHost: localhost:24111\r\n"
                         "Cookie: session=s3cr3t; theme=dark\r\nAuthorization: Basic YWRtaW46cGFzcw==\r\n"
                         "Proxy-Authorization: Basic cHJveHk6cHc=\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                         "Content-Length: 17\r\n\r\n";
const QByteArray LoginBody = "user=admin&pw=abc";
const QByteArray PictureHead = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nSet-Cookie: session=n3w; Path=/\r\n"
                               "Content-Length: 6\r\n\r\n";
const QByteArray Picture("\x89PNG\0\x01", 6);

TEntry LoginEntry() {
    TJournal journal;
    int64_t ms = 0;
    journal.Clock = [&ms] { return ms * 1000; };
    journal.Accepted(3, "127.0.0.1");
    ms = 10;
    journal.HeadRead(3, Login);
    ms = 25;
    const uint64_t id = journal.TakenUp(3, "COM1", "/dev/ttyUSB0", "Acme 7");
    ms = 27;
    journal.RequestWritten(id, Login + LoginBody);
    ms = 127;
    journal.AnswerArrived(id, PictureHead);
    ms = 131;
    journal.AnswerArrived(id, Picture);
    journal.AnswerEnded(id);
    journal.LineFree(id);
    journal.Closed(3, PictureHead.size() + Picture.size());
    return journal.At(0);
}

QJsonObject FirstEntry(const QByteArray& document) {
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonObject log = json.object().value("log").toObject();
    EXPECT_EQ(log.value("version").toString(), "1.2");
    EXPECT_EQ(log.value("creator").toObject().value("name").toString(), "Quellor");
    return log.value("entries").toArray().first().toObject();
}

QString HeaderValue(const QJsonObject& message, const QString& name) {
    for (const QJsonValue& header : message.value("headers").toArray())
        if (header.toObject().value("name").toString() == name)
            return header.toObject().value("value").toString();
    return "(none)";
}
} // namespace

TEST(Har, TimingsUrlAndTheCustomFields) {
    const QJsonObject entry = FirstEntry(HarDocument({LoginEntry()}, {}));
    const QJsonObject timings = entry.value("timings").toObject();
    EXPECT_DOUBLE_EQ(timings.value("blocked").toDouble(), 25.0);
    EXPECT_DOUBLE_EQ(timings.value("send").toDouble(), 2.0);
    EXPECT_DOUBLE_EQ(timings.value("wait").toDouble(), 100.0);
    EXPECT_DOUBLE_EQ(timings.value("receive").toDouble(), 4.0);
    for (const char* unused : {"dns", "connect", "ssl"})
        EXPECT_EQ(timings.value(unused).toInt(), -1) << unused;
    EXPECT_DOUBLE_EQ(entry.value("time").toDouble(), 131.0);
    const QJsonObject request = entry.value("request").toObject();
    EXPECT_EQ(request.value("method").toString(), "POST");
    EXPECT_EQ(request.value("url").toString(), "http://localhost:24111/login?next=%2Fstatus&x=1");
    EXPECT_EQ(request.value("httpVersion").toString(), "HTTP/1.1");
    EXPECT_EQ(request.value("headersSize").toInt(), Login.size());
    EXPECT_EQ(request.value("bodySize").toInt(), LoginBody.size());
    const QJsonArray query = request.value("queryString").toArray();
    ASSERT_EQ(query.size(), 2);
    EXPECT_EQ(query[0].toObject().value("value").toString(), "/status");
    EXPECT_EQ(request.value("postData").toObject().value("text").toString(), LoginBody);
    EXPECT_EQ(request.value("postData").toObject().value("mimeType").toString(), "application/x-www-form-urlencoded");
    const QJsonObject response = entry.value("response").toObject();
    EXPECT_EQ(response.value("status").toInt(), 200);
    EXPECT_EQ(response.value("statusText").toString(), "OK");
    EXPECT_EQ(response.value("headersSize").toInt(), PictureHead.size());
    EXPECT_EQ(response.value("bodySize").toInt(), 6);
    EXPECT_EQ(entry.value("_outcome").toString(), "device-answer");
    EXPECT_EQ(entry.value("_owner").toString(), "client");
    EXPECT_EQ(entry.value("_port").toString(), "COM1 (/dev/ttyUSB0)");
    EXPECT_EQ(entry.value("connection").toString(), "3");
    EXPECT_TRUE(entry.value("startedDateTime").toString().endsWith('Z'));
}

TEST(Har, BodiesThatAreNotTextGoAsBase64AndABodyNotKeptSaysWhy) {
    TEntry entry = LoginEntry();
    QJsonObject content = FirstEntry(HarDocument({entry}, {})).value("response").toObject().value("content").toObject();
    EXPECT_EQ(content.value("encoding").toString(), "base64");
    EXPECT_EQ(QByteArray::fromBase64(content.value("text").toString().toLatin1()), Picture);
    EXPECT_EQ(content.value("size").toInt(), 6);
    EXPECT_EQ(content.value("mimeType").toString(), "image/png");
    EXPECT_FALSE(content.contains("comment"));
    entry.AnswerBody.Kept.clear();
    entry.AnswerBody.How = TKept::Dropped;
    content = FirstEntry(HarDocument({entry}, {})).value("response").toObject().value("content").toObject();
    EXPECT_FALSE(content.contains("text"));
    EXPECT_EQ(content.value("size").toInt(), 6);
    EXPECT_TRUE(content.value("comment").toString().contains("dropped")) << content.value("comment").toString().toStdString();
    entry.AnswerBody.How = TKept::None;
    content = FirstEntry(HarDocument({entry}, {})).value("response").toObject().value("content").toObject();
    EXPECT_TRUE(content.value("comment").toString().contains("BodyBytes is 0"));
}

TEST(Har, CookiesAndCredentialsAreRemovedUnlessTheSensitiveValuesAreKept) {
    const QByteArray sanitized = HarDocument({LoginEntry()}, {});
    for (const QByteArray secret : {"s3cr3t", "YWRtaW46cGFzcw==", "cHJveHk6cHc=", "n3w"})
        EXPECT_FALSE(sanitized.contains(secret)) << secret.constData();
    const QJsonObject entry = FirstEntry(sanitized);
    const QJsonObject request = entry.value("request").toObject();
    EXPECT_EQ(HeaderValue(request, "Cookie"), SanitizedValue);
    EXPECT_EQ(HeaderValue(request, "Authorization"), SanitizedValue);
    EXPECT_EQ(HeaderValue(request, "Proxy-Authorization"), SanitizedValue);
    EXPECT_EQ(HeaderValue(request, "Host"), "localhost:24111");
    EXPECT_EQ(request.value("cookies").toArray()[0].toObject().value("name").toString(), "session");
    EXPECT_EQ(HeaderValue(entry.value("response").toObject(), "Set-Cookie"), SanitizedValue);

    THarOptions options;
    options.Sensitive = true;
    const QByteArray sensitive = HarDocument({LoginEntry()}, options);
    for (const QByteArray secret : {"s3cr3t", "YWRtaW46cGFzcw==", "cHJveHk6cHc=", "n3w"})
        EXPECT_TRUE(sensitive.contains(secret)) << secret.constData();
    const QJsonObject kept = FirstEntry(sensitive).value("request").toObject();
    EXPECT_EQ(HeaderValue(kept, "Cookie"), "session=s3cr3t; theme=dark");
    EXPECT_EQ(kept.value("cookies").toArray()[1].toObject().value("value").toString(), "dark");
}

// Heads the program refused, or a device reads more loosely than the program does: a folded line,
// a bare CR, a name a device stops reading at, an indented field a device that trims reads as its own. No credential gets past the sanitizing.
TEST(Har, CredentialsInHeadsAsLooseAsADeviceReadsThemAreRemovedToo) {
    TJournal journal;
    journal.Accepted(1, "127.0.0.1");
    const char head[] = "GET / HTTP/1.1\r\nHost: localhost\r\nAuthorization: Basic\r\n SECRET_fold\r\n"
                        "X-A: y\rCookie: a=SECRET_cr\r\nCookie\0: a=SECRET_nul\r\n"
                        "X-B: z\r\n\tAuthorization: Basic SECRET_indented\r\n\r\n";
    journal.HeadRead(1, QByteArray(head, sizeof head - 1));
    journal.FixedAnswer(1, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\n");
    const QByteArray sanitized = HarDocument(journal.Entries(), {});
    for (const QByteArray secret : {"SECRET_fold", "SECRET_cr", "SECRET_nul", "SECRET_indented"})
        EXPECT_FALSE(sanitized.contains(secret)) << secret.constData() << "\n" << sanitized.constData();
    EXPECT_TRUE(sanitized.contains("localhost"));
}

// A cookie without "=" is all value: the token must not come out as the cookie's name.
TEST(Har, ACookieWithoutANameIsHiddenAsAValue) {
    TEntry entry = LoginEntry();
    entry.RequestHead = "GET / HTTP/1.1\r\nHost: localhost\r\nCookie: theme=dark; TOKEN_bare\r\n\r\n";
    entry.AnswerHead = "HTTP/1.1 200 OK\r\nSet-Cookie: TOKEN_set; Path=/\r\n\r\n";
    const QByteArray sanitized = HarDocument({entry}, {});
    for (const QByteArray secret : {"TOKEN_bare", "TOKEN_set"})
        EXPECT_FALSE(sanitized.contains(secret)) << secret.constData() << "\n" << sanitized.constData();
    EXPECT_EQ(FirstEntry(sanitized).value("request").toObject().value("cookies").toArray()[0].toObject().value("name"), "theme");

    THarOptions options;
    options.Sensitive = true;
    const QJsonObject kept = FirstEntry(HarDocument({entry}, options));
    const QJsonObject bare = kept.value("request").toObject().value("cookies").toArray()[1].toObject();
    EXPECT_EQ(bare.value("name").toString(), "");
    EXPECT_EQ(bare.value("value").toString(), "TOKEN_bare");
    const QJsonObject set = kept.value("response").toObject().value("cookies").toArray()[0].toObject();
    EXPECT_EQ(set.value("name").toString(), "");
    EXPECT_EQ(set.value("value").toString(), "TOKEN_set");
}

TEST(Har, ProbesAndFixedAnswersCarryTheirOwnerAndOutcome) {
    TJournal journal;
    uint64_t id = journal.ProbeTakenUp(TOwner::Detection, "COM9", "/dev/ttyUSB3", {});
    journal.RequestWritten(id, "GET /id.txt HTTP/1.1\r\nHost: localhost\r\n\r\n");
    journal.ProbeEnded(id, TOutcome::Silent);
    journal.LineFree(id);
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, "GET / HTTP/1.1\r\n\r\n");
    journal.FixedAnswer(1, TFixed::NotResponding, "HTTP/1.1 503 Service Unavailable\r\n\r\n<b>x</b>");
    const QJsonArray entries =
        QJsonDocument::fromJson(HarDocument(journal.Entries(), {})).object().value("log").toObject().value("entries").toArray();
    ASSERT_EQ(entries.size(), 2);
    const QJsonObject probe = entries[0].toObject();
    EXPECT_EQ(probe.value("_owner").toString(), "detection");
    EXPECT_EQ(probe.value("_outcome").toString(), "silent");
    EXPECT_EQ(probe.value("request").toObject().value("url").toString(), "http://localhost/id.txt");
    EXPECT_EQ(probe.value("response").toObject().value("status").toInt(), 0);
    const QJsonObject fixed = entries[1].toObject();
    EXPECT_EQ(fixed.value("_outcome").toString(), "fixed-answer");
    EXPECT_TRUE(fixed.value("_outcomeText").toString().contains("503"));
    EXPECT_EQ(fixed.value("response").toObject().value("status").toInt(), 503);
    EXPECT_EQ(fixed.value("request").toObject().value("url").toString(), "http://localhost/");
}

// The format prefers entries in the order they started: a client that connected first comes
// first even when the line read another's head before its own, and a probe starts when taken up.
TEST(Har, EntriesComeInTheOrderTheyStartedNotTheOrderTheyWereJournaled) {
    TJournal journal;
    int64_t ms = 0;
    journal.Clock = [&ms] { return ms * 1000; };
    journal.Accepted(1, "127.0.0.1");
    ms = 5;
    journal.Accepted(2, "127.0.0.1");
    ms = 6;
    journal.HeadRead(2, "GET /later HTTP/1.1\r\n\r\n");
    ms = 9;
    const uint64_t probe = journal.ProbeTakenUp(TOwner::IdleProbe, "COM1", {}, {});
    journal.ProbeEnded(probe, TOutcome::Silent);
    ms = 10;
    journal.HeadRead(1, "GET /earlier HTTP/1.1\r\n\r\n");
    auto order = [](const QByteArray& document) {
        QStringList names;
        for (const QJsonValue& value : QJsonDocument::fromJson(document).object().value("log").toObject().value("entries").toArray()) {
            const QJsonObject entry = value.toObject();
            names << (entry.contains("connection") ? entry.value("connection").toString() : entry.value("_owner").toString());
        }
        return names.join(' ').toStdString();
    };
    EXPECT_EQ(order(HarDocument(journal.Entries(), {})), "1 2 idle-probe");

    // Entries that started at the same moment keep the journal's order, by serial; one whose
    // client was never seen connecting starts when it was taken up.
    QList<TEntry> entries(4);
    const int64_t connected[] = {300, 100, Never, 100};
    const uint64_t serials[] = {1, 5, 3, 2};
    for (int i = 0; i < 4; ++i) {
        entries[i].Serial = serials[i];
        entries[i].Client = 10 + i;
        entries[i].Connected = connected[i];
        entries[i].TakenUp = 200;
    }
    EXPECT_EQ(order(HarDocument(entries, {})), "13 11 12 10");
}

TEST(Har, TheFileIsTheUsersAloneFromItsCreationOn) {
    QTemporaryDir folder;
    const QString path = folder.filePath("journal.har");
    const mode_t old = ::umask(0);
    const QString problem = WriteHarFile(path, "{\"log\":{}}");
    ::umask(old);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    // A file already there that others could read is replaced by a private one.
    QFile::remove(path);
    {
        QFile open(path);
        ASSERT_TRUE(open.open(QIODevice::WriteOnly));
        open.write("old");
    }
    ::chmod(QFile::encodeName(path).constData(), 0644);
    EXPECT_TRUE(WriteHarFile(path, "{}").isEmpty());
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    QFile written(path);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "{}");
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary file left";
    EXPECT_FALSE(WriteHarFile(folder.filePath("missing/journal.har"), "{}").isEmpty());
}

// A name that leads elsewhere is written where it leads: a link stays a link, and a pipe (or a
// device, or a terminal) is written into, never replaced by a file.
TEST(Har, ALinkOrAPipeIsWrittenThroughNotReplaced) {
    QTemporaryDir folder;
    const QString target = folder.filePath("target.har");
    const QString link = folder.filePath("link.har");
    ASSERT_TRUE(QFile::link(target, link));
    EXPECT_TRUE(WriteHarFile(link, "{\"a\":1}").isEmpty());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    QFile written(target);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "{\"a\":1}");

    const QByteArray fifo = QFile::encodeName(folder.filePath("fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(WriteHarFile(folder.filePath("fifo"), "{}").isEmpty());
    char got[8] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 2);
    ::close(reader);
    struct stat status {};
    ASSERT_EQ(::stat(fifo.constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}
