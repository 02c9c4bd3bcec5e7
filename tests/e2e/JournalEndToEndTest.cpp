// The journal of the real program, asked for by `quellor --journal`: each kind of outcome appears,
// cookies only when asked for, the file is private, and without a running bridge it says so.
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SimDevice.h"
#include "serial/PortNames.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Running.h"

namespace {
struct TRun {
    int Status = -1;
    QByteArray Out, Errors;
};

TRun Quellor(const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(ProgramEnvironment());
    process.start(QStringLiteral(QUELLOR_BINARY), arguments);
    process.waitForFinished(20000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QJsonArray Entries(const QByteArray& har) {
    return QJsonDocument::fromJson(har).object().value("log").toObject().value("entries").toArray();
}

QJsonObject Find(const QJsonArray& entries, const QString& outcome, const QString& urlPart = {}) {
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        if (entry.value("_outcome").toString() == outcome &&
            entry.value("request").toObject().value("url").toString().contains(urlPart))
            return entry;
    }
    return {};
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST(JournalEndToEnd, EachOutcomeAppearsInTheJournalTheRunningBridgeHandsOver) {
    TSimDevice::TOptions options;
    options.Link = PortMapFolder() + "/COM1";
    TSimDevice device(options);
    TRunningProgram program;

    TClient page(program.Port);
    page.Send("GET /index.html HTTP/1.1\r\nHost: localhost\r\nCookie: session=topsecret42\r\n\r\n");
    EXPECT_TRUE(page.ReadToClose().startsWith("HTTP/1.1 200 OK"));
    TClient foreign(program.Port);
    foreign.Send("GET / HTTP/1.1\r\nHost: rebind.example\r\n\r\n");
    EXPECT_TRUE(foreign.ReadToClose().startsWith("HTTP/1.1 403"));
    TClient leaving(program.Port);
    leaving.Send("GET /frame/pause?ms=1500 HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return leaving.Socket.bytesAvailable() > 0 || leaving.Socket.waitForReadyRead(50); },
                          std::chrono::milliseconds(5000)));
    leaving.Reset();
    TClient ignored(program.Port);
    ignored.Send("GET /setup.html?ignore=1 HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(ignored.ReadToClose().contains("Device is not responding."));

    QTemporaryDir folder;
    const QString path = folder.filePath("journal.har");
    QJsonArray entries;
    QElapsedTimer timer;
    timer.start();
    // The idle probe goes out after 3 s of an idle line, once the line has settled after the ignored request.
    while (timer.elapsed() < 30000) {
        const TRun run = Quellor({"--journal", path});
        ASSERT_EQ(run.Status, 0) << run.Errors.constData();
        entries = Entries(ReadFile(path));
        bool probe = false;
        for (const QJsonValue& entry : entries)
            probe = probe || (entry.toObject().value("_owner").toString() == "idle-probe" &&
                              entry.toObject().value("_outcome").toString() != "under-way");
        if (probe)
            break;
        QThread::msleep(500);
    }
    const QJsonObject answered = Find(entries, "device-answer", "/index.html");
    ASSERT_FALSE(answered.isEmpty()) << QJsonDocument(entries).toJson().constData();
    EXPECT_EQ(answered.value("response").toObject().value("status").toInt(), 200);
    EXPECT_EQ(answered.value("_port").toString().left(4), "COM1");
    const QJsonObject refused = Find(entries, "refused");
    EXPECT_EQ(refused.value("response").toObject().value("status").toInt(), 403);
    EXPECT_TRUE(refused.value("_outcomeText").toString().contains("rebind.example"));
    const QJsonObject left = Find(entries, "client-left", "/frame/pause");
    ASSERT_FALSE(left.isEmpty()) << QJsonDocument(entries).toJson().constData();
    EXPECT_GT(left.value("_clientHadBytes").toInt(), 0);
    const QJsonObject fixed = Find(entries, "fixed-answer", "ignore=1");
    ASSERT_FALSE(fixed.isEmpty());
    EXPECT_EQ(fixed.value("response").toObject().value("status").toInt(), 503);
    EXPECT_GE(fixed.value("timings").toObject().value("wait").toDouble(), 2500);
    bool probed = false;
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        // A probe may be on the line at the moment the journal is copied.
        if (entry.value("_owner").toString() == "idle-probe" && entry.value("_outcome").toString() != "under-way") {
            probed = true;
            EXPECT_EQ(entry.value("request").toObject().value("url").toString(), "http://localhost/id.txt");
            EXPECT_EQ(entry.value("_outcome").toString(), "device-answer");
        }
    }
    EXPECT_TRUE(probed) << "no idle probe that ended in the journal";

    const QByteArray sanitized = ReadFile(path);
    EXPECT_FALSE(sanitized.contains("topsecret42"));
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    const TRun sensitive = Quellor({"--journal", "-", "--journal-sensitive"});
    EXPECT_EQ(sensitive.Status, 0);
    EXPECT_TRUE(sensitive.Out.contains("session=topsecret42"));
    EXPECT_FALSE(Entries(sensitive.Out).isEmpty());
}

TEST(JournalEndToEnd, WithoutARunningBridgeTheExportSaysSoAndExitsOne) {
    QTemporaryDir folder;
    const QString path = folder.filePath("journal.har");
    const TRun run = Quellor({"--journal", path});
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Errors,
              "quellor: the default bridge is not running, so there is no journal to write; start it with 'quellor'.\n");
    EXPECT_FALSE(QFile::exists(path));
    const TRun named = Quellor({"--instance", "bench7", "--journal", "-"});
    EXPECT_EQ(named.Status, 1);
    EXPECT_TRUE(named.Errors.contains("the bridge 'bench7' is not running")) << named.Errors.constData();
    EXPECT_TRUE(named.Out.isEmpty());
}
