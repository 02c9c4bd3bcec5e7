// Copy as curl of a recorded upload with a binary body, run against the real program and the
// simulated device: the device gets the same bytes and gives the same answer. Copied commands run
// with the real curl against a server that keeps what came: only the request goes out.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "SimDevice.h"
#include "journal/Curl.h"
#include "serial/PortNames.h"
#include "support/Net.h"
#include "support/Running.h"

using namespace journal;

namespace {
// The entry the journal keeps of a request the device got whole, with bodies kept up to 1 MiB.
TEntry Recorded(const QByteArray& request) {
    TJournal journal;
    journal.SetBounds(10, MaxBodyBytes);
    journal.Accepted(1, "127.0.0.1");
    journal.HeadRead(1, request.first(request.indexOf("\r\n\r\n") + 4));
    const uint64_t id = journal.TakenUp(1, "COM1", {}, {});
    journal.RequestWritten(id, request);
    return journal.At(0);
}
} // namespace

TEST(CurlEndToEnd, ACopiedUploadWithABinaryBodyGetsTheSameAnswerAgain) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    TSimDevice device(options);
    TRunningProgram program;
    QByteArray body;
    for (int i = 0; i < 3000; ++i)
        body += static_cast<char>((i * 7) % 256);
    body += QByteArray("'\\%\0\r\n$(x)`", 12);
    const QByteArray request = "POST /upload HTTP/1.1\r\nHost: localhost:" + QByteArray::number(program.Port) +
                               "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                               QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    TClient client(program.Port);
    client.Send(request);
    const QByteArray recorded = client.ReadToClose();
    ASSERT_TRUE(recorded.startsWith("HTTP/1.1 200 OK")) << recorded.constData();
    ASSERT_EQ(device.LastUpload(), body);

    const TCurl curl = CurlCommand(Recorded(request));
    ASSERT_TRUE(curl.Problem.isEmpty()) << curl.Problem.toStdString();
    QProcess shell;
    shell.start("bash", {"-c", curl.Command + " --silent --show-error --include"});
    ASSERT_TRUE(shell.waitForFinished(20000));
    ASSERT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().constData();
    EXPECT_EQ(shell.readAllStandardOutput(), recorded);
    EXPECT_EQ(device.LastUpload(), body);
}

namespace {
// What a command sends, as a server on 127.0.0.1 reads it: each request up to the end its
// Content-Length gives, answered with an empty 204.
class TCatcher {
public:
    TCatcher() {
        Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(Listener, reinterpret_cast<sockaddr*>(&address), size);
        ::listen(Listener, 16);
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &size);
        Port = ntohs(address.sin_port);
    }
    ~TCatcher() { ::close(Listener); }

    QByteArray Host() const { return "127.0.0.1:" + QByteArray::number(Port); }

    // Runs the command in bash, with curl bounded in time, and returns the requests that came.
    QList<QByteArray> Run(const QString& command) {
        QList<QByteArray> requests;
        std::atomic<bool> done{false};
        std::thread server([&] {
            while (!done) {
                pollfd ready{Listener, POLLIN, 0};
                if (::poll(&ready, 1, 50) <= 0)
                    continue;
                const int peer = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (peer >= 0) {
                    requests << ReadRequest(peer);
                    const char answer[] = "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
                    (void)!::write(peer, answer, sizeof answer - 1);
                    ::close(peer);
                }
            }
        });
        // From a file, as a paste reaches the shell: a long command is no argument of bash.
        QTemporaryFile script;
        script.open();
        script.write((command + " --silent --max-time 5\n").toUtf8());
        script.flush();
        QProcess shell;
        shell.start("bash", {script.fileName()});
        const bool finished = shell.waitForFinished(20000);
        if (!finished)
            shell.kill(), shell.waitForFinished(2000);
        Stderr = shell.readAllStandardError();
        ExitCode = finished ? shell.exitCode() : -1;
        done = true;
        server.join();
        return requests;
    }
    QByteArray Stderr;
    int ExitCode = -1;

private:
    static QByteArray ReadRequest(int peer) {
        QByteArray bytes;
        char buffer[65536];
        for (int idle = 0; idle < 40;) {
            const qsizetype end = bytes.indexOf("\r\n\r\n");
            if (end >= 0) {
                const QByteArray head = bytes.first(end).toLower();
                const qsizetype field = head.indexOf("\r\ncontent-length:");
                const qsizetype length = field < 0 ? 0 : head.mid(field + 17, head.indexOf("\r\n", field + 2) - field - 17).trimmed().toLongLong();
                if (bytes.size() >= end + 4 + length)
                    break;
            }
            pollfd ready{peer, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) {
                ++idle;
                continue;
            }
            const ssize_t got = ::read(peer, buffer, sizeof buffer);
            if (got <= 0)
                break;
            bytes.append(buffer, got);
        }
        return bytes;
    }

    int Listener = -1;
    quint16 Port = 0;
};

QByteArray BodyOf(const QByteArray& request) { return request.sliced(request.indexOf("\r\n\r\n") + 4); }
} // namespace

// A copied command must send its request and nothing else: curl reads no local file for it, and
// the target goes out as it stood.
TEST(CurlEndToEnd, ACopiedCommandSendsWhatTheDeviceGotAndNothingElse) {
    TCatcher catcher;
    QTemporaryDir folder;
    const QString secret = folder.filePath("secret");
    {
        QFile file(secret);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("the user's own file");
    }
    const QByteArray named = "@" + QFile::encodeName(secret);
    const QList<QByteArray> posted = catcher.Run(CurlCommand(Recorded("POST /form HTTP/1.1\r\nHost: " + catcher.Host() +
                                                                      "\r\nContent-Length: " + QByteArray::number(named.size()) +
                                                                      "\r\n\r\n" + named)).Command);
    ASSERT_EQ(posted.size(), 1) << catcher.Stderr.constData();
    EXPECT_EQ(BodyOf(posted[0]), named) << "a body that begins with @ is no file name";
    const TCurl field = CurlCommand(Recorded("GET / HTTP/1.1\r\nHost: " + catcher.Host() + "\r\n" + named + ":x\r\n\r\n"));
    EXPECT_FALSE(field.Problem.isEmpty()) << "curl takes a field that begins with @ for a file of fields: " << field.Command.toStdString();
    const QList<QByteArray> globbed = catcher.Run(CurlCommand(Recorded("GET /list[1-3]/{a,b} HTTP/1.1\r\nHost: " + catcher.Host() + "\r\n\r\n")).Command);
    ASSERT_EQ(globbed.size(), 1) << "brackets and braces in a target are no pattern of targets";
    EXPECT_TRUE(globbed[0].startsWith("GET /list[1-3]/%7Ba,b%7D HTTP/1.1\r\n")) << globbed[0].constData();
}

TEST(CurlEndToEnd, ACopiedCommandSendsTheSameMethodFieldsAndBody) {
    TCatcher catcher;
    const QByteArray host = "Host: " + catcher.Host() + "\r\n";
    const QList<QByteArray> empty = catcher.Run(CurlCommand(Recorded("GET /e HTTP/1.1\r\n" + host + "X-Empty:\r\nX-Full: v\r\n\r\n")).Command);
    ASSERT_EQ(empty.size(), 1) << catcher.Stderr.constData();
    EXPECT_TRUE(empty[0].contains("\r\nX-Empty:\r\n")) << "a field without a value goes too: " << empty[0].constData();
    EXPECT_TRUE(empty[0].contains("\r\nX-Full: v\r\n"));

    for (const QByteArray method : {"GET", "HEAD", "POST", "DELETE"}) {
        const QList<QByteArray> sent = catcher.Run(CurlCommand(Recorded(method + " /m HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nq=1")).Command);
        ASSERT_EQ(sent.size(), 1) << method.constData() << " " << catcher.Stderr.constData();
        EXPECT_TRUE(sent[0].startsWith(method + " /m HTTP/1.1\r\n")) << sent[0].constData();
        EXPECT_EQ(BodyOf(sent[0]), "q=1") << method.constData();
    }

    const QByteArray large(300 * 1024, 'x');
    const QList<QByteArray> upload = catcher.Run(CurlCommand(Recorded("POST /big HTTP/1.1\r\n" + host + "Content-Length: " +
                                                                        QByteArray::number(large.size()) + "\r\n\r\n" + large)).Command);
    ASSERT_EQ(upload.size(), 1) << "a text body larger than one argument may be: " << catcher.Stderr.constData();
    EXPECT_EQ(BodyOf(upload[0]), large);

    EXPECT_FALSE(CurlCommand(Recorded(QByteArray("GET / HTTP/1.1\r\nX-Nul: a\0b\r\n\r\n", 30))).Problem.isEmpty())
        << "no argument carries a NUL byte";
}
