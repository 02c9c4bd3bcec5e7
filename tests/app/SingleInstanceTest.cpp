// The single instance, with the real program started as separate processes.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "Children.h"
#include "platform/SingleInstance.h"
#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
struct TRun {
    QProcess Process;
    QByteArray Errors;

    void Start(const QStringList& arguments = {}) {
        Process.setProcessEnvironment(ProgramEnvironment());
        EndWithStarter(Process);
        Process.start(QStringLiteral(QUELLOR_BINARY), arguments);
        Process.waitForStarted();
    }
    bool WaitForLog(const QByteArray& text) {
        return WaitUntil(
            [&] {
                Errors += Process.readAllStandardError();
                return Errors.contains(text);
            },
            std::chrono::milliseconds(10000));
    }
};

quint16 ConfigureProgramPort(const QString& settingsName = "quellor") {
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\" + settingsName);
    const quint16 port = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", port);
    return port;
}

bool Listening(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(500);
}

QStringList RuntimeFiles() { return QDir(RuntimeFolder()).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot); }
} // namespace

TEST(SingleInstance, SecondStartAsksTheRunningCopyToShowAndCreatesNothing) {
    const quint16 port = ConfigureProgramPort();
    TInstanceLock held("NORVEL-Q, RS-Server/Quellor");
    ASSERT_TRUE(held.TryAcquire());
    int shown = 0;
    TShowServer server("TFrmMainRSServ", [&] { ++shown; });
    const QStringList before = RuntimeFiles();

    TRun second;
    second.Start();
    ASSERT_TRUE(WaitUntil([&] { return second.Process.state() == QProcess::NotRunning; }, std::chrono::milliseconds(10000)));
    EXPECT_EQ(second.Process.exitCode(), 0);
    EXPECT_TRUE(WaitUntil([&] { return shown == 1; }));
    EXPECT_FALSE(Listening(port));
    EXPECT_EQ(RuntimeFiles(), before);
}

TEST(SingleInstance, ANamedBridgeHasItsOwnLockAndHandsOverOnlyToItsOwnName) {
    const quint16 standardPort = ConfigureProgramPort();
    const quint16 benchPort = ConfigureProgramPort("quellor-bench1");
    TInstanceLock standard("NORVEL-Q, RS-Server/Quellor");
    ASSERT_TRUE(standard.TryAcquire());
    int shownStandard = 0;
    TShowServer standardServer("TFrmMainRSServ", [&] { ++shownStandard; });

    TRun bench;
    bench.Start({"--instance", "bench1"});
    ASSERT_TRUE(bench.WaitForLog("TCP: Listen")) << bench.Errors.constData();
    EXPECT_TRUE(Listening(benchPort));
    EXPECT_FALSE(Listening(standardPort));

    TRun again;
    again.Start({"--instance", "bench1"});
    ASSERT_TRUE(again.Process.waitForFinished(10000));
    EXPECT_EQ(again.Process.exitCode(), 0);
    EXPECT_EQ(again.Process.readAllStandardError(), "");
    EXPECT_EQ(bench.Process.state(), QProcess::Running);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_EQ(shownStandard, 0) << "the default bridge was asked to show for a named one";
    bench.Process.terminate();
    ASSERT_TRUE(bench.Process.waitForFinished(10000));
}

TEST(SingleInstance, ASecondStartOfANamedBridgeAsksThatOneToShow) {
    ConfigureProgramPort("quellor-bench1");
    TInstanceLock held("NORVEL-Q, RS-Server/Quellor-bench1");
    ASSERT_TRUE(held.TryAcquire());
    int shown = 0;
    TShowServer server("TFrmMainRSServ-bench1", [&] { ++shown; });
    TRun second;
    second.Start({"--instance", "bench1"});
    ASSERT_TRUE(second.Process.waitForFinished(10000));
    EXPECT_EQ(second.Process.exitCode(), 0);
    EXPECT_TRUE(WaitUntil([&] { return shown == 1; }));
}

TEST(SingleInstance, ACopyThatDiedDoesNotStopTheNextStart) {
    const quint16 port = ConfigureProgramPort();
    TRun crashed;
    crashed.Start();
    ASSERT_TRUE(crashed.WaitForLog("TCP: Listen"));
    ::kill(static_cast<pid_t>(crashed.Process.processId()), SIGKILL);
    crashed.Process.waitForFinished();

    TRun next;
    next.Start();
    ASSERT_TRUE(next.WaitForLog("TCP: Listen")) << next.Errors.constData();
    EXPECT_TRUE(Listening(port));

    TRun third;
    third.Start();
    ASSERT_TRUE(WaitUntil([&] { return third.Process.state() == QProcess::NotRunning; }, std::chrono::milliseconds(10000)));
    EXPECT_EQ(next.Process.state(), QProcess::Running);

    next.Process.terminate();
    ASSERT_TRUE(next.Process.waitForFinished(10000));
    EXPECT_EQ(next.Process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(next.Process.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(RuntimeFolder() + "/TFrmMainRSServ"));
    TInstanceLock after("NORVEL-Q, RS-Server/Quellor");
    EXPECT_TRUE(after.TryAcquire());
}

TEST(SingleInstance, WithoutARuntimeFolderAPrivateFallbackIsMadeAndAnOpenOneStopsTheStart) {
    const quint16 port = ConfigureProgramPort();
    QTemporaryDir temporary;
    const QString fallback = temporary.path() + "/quellor-" + QString::number(::getuid());
    QProcessEnvironment environment = ProgramEnvironment();
    environment.remove("XDG_RUNTIME_DIR");
    environment.insert("TMPDIR", temporary.path());

    TRun first;
    first.Process.setProcessEnvironment(environment);
    first.Process.start(QStringLiteral(QUELLOR_BINARY), {});
    ASSERT_TRUE(first.WaitForLog("TCP: Listen")) << first.Errors.constData();
    EXPECT_TRUE(QFileInfo::exists(fallback + "/NORVEL-Q__RS-Server_Quellor.lock"));
    EXPECT_EQ(QFileInfo(fallback).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther), 0);
    first.Process.terminate();
    ASSERT_TRUE(first.Process.waitForFinished(10000));

    ::chmod(QFile::encodeName(fallback).constData(), 0777);
    TRun refused;
    refused.Process.setProcessEnvironment(environment);
    refused.Process.start(QStringLiteral(QUELLOR_BINARY), {});
    ASSERT_TRUE(refused.Process.waitForFinished(10000));
    EXPECT_EQ(refused.Process.exitCode(), 1);
    EXPECT_TRUE(refused.Process.readAllStandardError().contains(
        ": Cannot start: The runtime folder " + fallback.toUtf8() +
        " is open to other users (mode 0777). Set XDG_RUNTIME_DIR, or remove that folder.\n"));
    EXPECT_FALSE(Listening(port));
}

// Askers that never read keep at most two answers in the running copy's memory; a third asker
// gets none, and the copy goes on serving.
TEST(SingleInstance, AskersThatNeverReadHoldAtMostTwoAnswers) {
    TShowServer server(QStringLiteral("AskerTest"), [] {});
    int answered = 0;
    server.OnRequest = [&](const QByteArray&, QObject*, const TShowServer::TAnswer& answer) {
        ++answered;
        answer(QByteArray(8 << 20, 'j'));
    };
    std::vector<std::unique_ptr<QLocalSocket>> askers;
    for (int i = 0; i < 3; ++i) {
        askers.push_back(std::make_unique<QLocalSocket>());
        askers.back()->setReadBufferSize(1);
        askers.back()->connectToServer(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath("AskerTest"));
        ASSERT_TRUE(askers.back()->waitForConnected(1000));
        askers.back()->write("journal\n");
        askers.back()->flush();
        WaitUntil([&] { return answered > i || i == 2; }, std::chrono::milliseconds(500));
    }
    EXPECT_EQ(answered, 2);
    EXPECT_TRUE(WaitUntil([&] { return askers.back()->state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(askers.back()->bytesAvailable(), 0);
}

namespace {
std::unique_ptr<QLocalSocket> Ask(const QString& name, const QByteArray& request) {
    auto asker = std::make_unique<QLocalSocket>();
    asker->connectToServer(QDir(qEnvironmentVariable("XDG_RUNTIME_DIR")).filePath(name));
    EXPECT_TRUE(asker->waitForConnected(1000));
    asker->write(request);
    asker->flush();
    return asker;
}

QByteArray ReadToClose(QLocalSocket& asker) {
    QByteArray answer;
    WaitUntil([&] {
        asker.waitForReadyRead(10);
        answer += asker.readAll();
        return asker.state() == QLocalSocket::UnconnectedState;
    });
    return answer + asker.readAll();
}

// A request whose answer is still being made, held for the test to answer.
struct THeld {
    QByteArray Request;
    QPointer<QObject> Asker;
    TShowServer::TAnswer Answer;
};
} // namespace

// Answers still being made count among those waiting: beyond two a third asker gets none at
// once, while the two get theirs whenever they are ready.
TEST(SingleInstance, AnswersStillBeingMadeCountAmongTheTwo) {
    TShowServer server(QStringLiteral("LaterTest"), [] {});
    std::vector<THeld> held;
    server.OnRequest = [&](const QByteArray& request, QObject* asker, TShowServer::TAnswer answer) {
        held.push_back({request, asker, std::move(answer)});
    };
    auto first = Ask("LaterTest", "journal\n");
    auto second = Ask("LaterTest", "journal sensitive\n");
    ASSERT_TRUE(WaitUntil([&] { return held.size() == 2; }));
    auto third = Ask("LaterTest", "journal\n");
    EXPECT_EQ(ReadToClose(*third), "");
    EXPECT_EQ(held.size(), 2u);
    EXPECT_EQ(first->state(), QLocalSocket::ConnectedState);
    EXPECT_EQ(held[1].Request, "journal sensitive");

    held[1].Answer("second");
    held[1].Answer("again");
    EXPECT_EQ(ReadToClose(*second), "second");
    held[0].Answer("first");
    EXPECT_EQ(ReadToClose(*first), "first");
    auto fourth = Ask("LaterTest", "journal\n");
    ASSERT_TRUE(WaitUntil([&] { return held.size() == 3; }));
    held[2].Answer("fourth");
    EXPECT_EQ(ReadToClose(*fourth), "fourth");
}

// An asker that leaves before its answer is made takes the asker object with it, so that work
// tied to it goes too; the answer made after is dropped, and its place is free again.
TEST(SingleInstance, AnAskerThatLeavesBeforeItsAnswerCostsNothingFurther) {
    TShowServer server(QStringLiteral("LeaverTest"), [] {});
    std::vector<THeld> held;
    server.OnRequest = [&](const QByteArray& request, QObject* asker, TShowServer::TAnswer answer) {
        held.push_back({request, asker, std::move(answer)});
    };
    auto leaver = Ask("LeaverTest", "journal\n");
    auto other = Ask("LeaverTest", "journal\n");
    ASSERT_TRUE(WaitUntil([&] { return held.size() == 2; }));
    leaver->abort();
    other->disconnectFromServer();
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return held[0].Asker.isNull() && held[1].Asker.isNull();
    }));
    held[0].Answer(QByteArray(1 << 20, 'x'));
    held[1].Answer("late");

    std::vector<std::unique_ptr<QLocalSocket>> next;
    for (int i = 0; i < 2; ++i)
        next.push_back(Ask("LeaverTest", "journal\n"));
    ASSERT_TRUE(WaitUntil([&] { return held.size() == 4; })) << "the places of the askers that left are still taken";
    held[2].Answer("a");
    held[3].Answer("b");
    EXPECT_EQ(ReadToClose(*next[0]), "a");
    EXPECT_EQ(ReadToClose(*next[1]), "b");
}

// A large journal takes its build longer than the asker waits for a step: the asker hears the
// bridge at work meanwhile and gets the whole answer, without those signs of life.
TEST(SingleInstance, AnAskerWaitsForAnAnswerThatTakesLongerThanItsStepsWithoutLosingIt) {
    TShowServer server(QStringLiteral("SlowTest"), [] {});
    server.KeepAliveMs = 200;
    server.OnRequest = [&](const QByteArray&, QObject* asker, TShowServer::TAnswer answer) {
        QTimer::singleShot(3000, asker, [answer] { answer("{\"log\":{}}"); });
    };
    std::optional<QByteArray> answer;
    std::atomic<bool> asked{false};
    std::thread asker([&] {
        answer = AskRunning(QStringLiteral("SlowTest"), "journal", 1000);
        asked = true;
    });
    const bool done = WaitUntil([&] { return asked.load(); }, std::chrono::milliseconds(10000));
    asker.join();
    ASSERT_TRUE(done);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, "{\"log\":{}}");
}

// The signs of life go ahead of the answer only: an answer that takes its reader longer than their
// interval to take arrives byte for byte.
TEST(SingleInstance, NoKeepAliveByteGoesIntoAnAnswerItsReaderTakesSlowly) {
    TShowServer server(QStringLiteral("SlowReaderTest"), [] {});
    server.KeepAliveMs = 20;
    const QByteArray document(4 << 20, 'j');
    server.OnRequest = [&](const QByteArray&, QObject*, const TShowServer::TAnswer& answer) { answer(document); };
    auto asker = Ask("SlowReaderTest", "journal\n");
    asker->setReadBufferSize(64 << 10);
    QByteArray answer;
    WaitUntil([&] {
        QThread::msleep(5);
        asker->waitForReadyRead(5);
        answer += asker->read(64 << 10);
        return asker->state() == QLocalSocket::UnconnectedState && asker->bytesAvailable() == 0;
    }, std::chrono::milliseconds(20000));
    EXPECT_EQ(answer.size(), document.size());
    EXPECT_EQ(answer.count(TShowServer::KeepAlive), 0);
}

// Each kind of request has its own limit: askers of a slow kind waiting at their limit leave
// room for the others, and parts told ahead of the answer reach the asker as they come.
TEST(SingleInstance, KindsOfRequestsWaitWithinLimitsOfTheirOwn) {
    TShowServer server(QStringLiteral("KindsTest"), [] {});
    server.KeepAliveMs = 60000;
    server.MostAtOnce.insert("detect", 3);
    std::vector<THeld> held;
    server.OnRequest = [&](const QByteArray& request, QObject* asker, TShowServer::TAnswer answer) {
        if (request == "status")
            return answer("{}\n");
        held.push_back({request, asker, std::move(answer)});
    };
    std::vector<std::unique_ptr<QLocalSocket>> passes;
    for (int i = 0; i < 3; ++i)
        passes.push_back(Ask("KindsTest", "detect\n"));
    ASSERT_TRUE(WaitUntil([&] { return held.size() == 3; }));
    auto refused = Ask("KindsTest", "detect\n");
    EXPECT_EQ(ReadToClose(*refused), "");
    auto status = Ask("KindsTest", "status\n");
    EXPECT_EQ(ReadToClose(*status), "{}\n");

    TShowServer::Tell(held[0].Asker, "trying COM1\n");
    ASSERT_TRUE(WaitUntil([&] { return passes[0]->waitForReadyRead(10) || passes[0]->bytesAvailable() > 0; }));
    held[0].Answer("{\"found\":null}\n");
    EXPECT_EQ(ReadToClose(*passes[0]), "trying COM1\n{\"found\":null}\n");
    TShowServer::Tell(held[0].Asker, "too late\n");
}

// An asker that tells nothing is closed after the request's patience, and beyond the most askers
// at once a newcomer is closed at once; the bridge answers again once they are gone.
TEST(SingleInstance, SilentAskersAreBoundedInNumberAndTime) {
    TShowServer server(QStringLiteral("SilentTest"), [] {});
    server.MostAskers = 4;
    server.RequestPatienceMs = 300;
    server.OnRequest = [](const QByteArray&, QObject*, const TShowServer::TAnswer& answer) { answer("{}\n"); };
    std::vector<std::unique_ptr<QLocalSocket>> silent;
    for (int i = 0; i < 4; ++i)
        silent.push_back(Ask("SilentTest", ""));
    ASSERT_TRUE(WaitUntil([&] { return server.findChildren<QLocalSocket*>().size() == 4; }));
    auto beyond = Ask("SilentTest", "status\n");
    EXPECT_EQ(ReadToClose(*beyond), "");
    for (auto& asker : silent)
        EXPECT_TRUE(WaitUntil([&] { return asker->state() == QLocalSocket::UnconnectedState; }, std::chrono::milliseconds(3000)));
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return server.findChildren<QLocalSocket*>().isEmpty();
    }));
    auto later = Ask("SilentTest", "status\n");
    EXPECT_EQ(ReadToClose(*later), "{}\n");
}

// A told part that its asker leaves unread piles up no further than the limit: the asker is dropped.
TEST(SingleInstance, AnAskerThatLetsToldPartsPileUpIsDropped) {
    TShowServer server(QStringLiteral("PileTest"), [] {});
    QPointer<QObject> heldAsker;
    TShowServer::TAnswer heldAnswer;
    server.OnRequest = [&](const QByteArray&, QObject* asker, TShowServer::TAnswer answer) {
        heldAsker = asker;
        heldAnswer = std::move(answer);
    };
    auto asker = Ask("PileTest", "detect\n");
    asker->setReadBufferSize(1);
    ASSERT_TRUE(WaitUntil([&] { return !heldAsker.isNull(); }));
    const QByteArray line(1000, 'p');
    for (int i = 0; i < 20000 && heldAsker; ++i) {
        TShowServer::Tell(heldAsker, line + '\n');
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(WaitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return heldAsker.isNull();
    }));
}
