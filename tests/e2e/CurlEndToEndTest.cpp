// Copy as curl of a recorded upload with a binary body, run against the real program and the
// simulated device: the device gets the same bytes and gives the same answer.
#include <QProcess>
#include <gtest/gtest.h>

#include "SimDevice.h"
#include "journal/Curl.h"
#include "serial/PortNames.h"
#include "support/Net.h"
#include "support/Running.h"

using namespace journal;

namespace {
// The entry the journal keeps of a request the device got whole.
TEntry Recorded(const QByteArray& request) {
    TJournal journal;
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
