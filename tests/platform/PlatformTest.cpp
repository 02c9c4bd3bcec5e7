#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Exception.h"
#include "platform/Headless.h"
#include "platform/HeapRelease.h"
#include "platform/LogEcho.h"
#include "platform/ShellOpen.h"
#include "platform/SingleInstance.h"
#include "platform/WinMessage.h"
#include "support/Pty.h"

namespace {
class TRecorder : public QObject {
public:
    QList<int> Seen;

protected:
    bool event(QEvent* event) override {
        if (event->type() != TWinMessage::EventType())
            return QObject::event(event);
        const auto& message = static_cast<const TWinMessage&>(*event);
        Seen << message.Msg << static_cast<int>(message.WParam);
        return true;
    }
};
} // namespace

TEST(WindowMessages, PostedRunLaterInOrderSentRunAtOnce) {
    TRecorder hub;
    PostWinMessage(&hub, 1526, 1);
    PostWinMessage(&hub, 1528, 7);
    SendWinMessage(&hub, 1531, 0);
    EXPECT_EQ(hub.Seen, (QList<int>{1531, 0}));
    QCoreApplication::processEvents();
    EXPECT_EQ(hub.Seen, (QList<int>{1531, 0, 1526, 1, 1528, 7}));
}

TEST(MessageBoxes, ScriptedAnswersComeFromTheQueueAndEveryTextIsKept) {
    TScriptedDialogs& dialogs = FreshDialogs();
    dialogs.Answers = {TBoxAnswer::Yes};
    EXPECT_EQ(AskQuestion("first?", TBoxButtons::YesNo), TBoxAnswer::Yes);
    EXPECT_EQ(AskQuestion("second?", TBoxButtons::YesNoCancel), TBoxAnswer::Cancel);
    ShowErrorBox("broken");
    EXPECT_EQ(dialogs.Texts, (QStringList{"first?", "second?", "broken"}));
    EXPECT_EQ(dialogs.Boxes.back().Caption, "Quellor");
    EXPECT_EQ(dialogs.Boxes.front().Caption, "Confirm");
}

TEST(MessageBoxes, HeadlessBoxGoesToStandardErrorAndAnswersTheDefault) {
    THeadlessDialogs headless;
    testing::internal::CaptureStderr();
    const TBoxAnswer error = headless.Show({"Quellor", "Error oppening COM port!", TBoxIcon::Error, TBoxButtons::Ok});
    const TBoxAnswer question = headless.Show({"Confirm", "Go on?", TBoxIcon::Question, TBoxButtons::YesNo});
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, TBoxAnswer::Ok);
    EXPECT_EQ(question, TBoxAnswer::Yes);
    EXPECT_NE(printed.find("Quellor: Error oppening COM port!"), std::string::npos);
}

TEST(MessageBoxes, AreAnsweredNotResizedAndKeepTheirDefaultAndEscapeButtons) {
    const std::unique_ptr<QMessageBox> box =
        MessageBoxFor({"Confirm", "Do you want to save changes?", TBoxIcon::Question, TBoxButtons::YesNoCancel});
    EXPECT_FALSE(box->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(box->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Yes));
    EXPECT_EQ(box->escapeButton(), box->button(QMessageBox::Cancel));
}

TEST(GeneralErrorReport, ExceptionFromATimerIsShownWithAFullStopAndTheProgramGoesOn) {
    TScriptedDialogs& dialogs = FreshDialogs();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        if (ticks == 1)
            throw EQuellorError("Failed to set data for 'Port'");
        if (ticks == 2)
            throw std::runtime_error("Range check error.");
    });
    timer.start(1);
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 3; }));
    ASSERT_GE(dialogs.Texts.size(), 2);
    EXPECT_EQ(dialogs.Texts[0], "Failed to set data for 'Port'.");
    EXPECT_EQ(dialogs.Texts[1], "Range check error.");
    EXPECT_EQ(dialogs.Boxes[0].Icon, TBoxIcon::Error);
}

// Holds nest, from any thread: the heap is trimmed again only once the last one went.
TEST(HeapRelease, NoTrimWhileAWorkerHoldsItOff) {
    EXPECT_TRUE(ReleaseFreeHeap());
    auto first = std::make_optional<THeapTrimHold>();
    std::optional<THeapTrimHold> second;
    std::thread([&] { second.emplace(); }).join();
    EXPECT_FALSE(ReleaseFreeHeap());
    first.reset();
    EXPECT_FALSE(ReleaseFreeHeap());
    std::thread([&] { second.reset(); }).join();
    EXPECT_TRUE(ReleaseFreeHeap());
}

TEST(SingleInstanceLock, OnlyOneHolderAtATimeAndReleasedWithItsHolder) {
    auto first = std::make_unique<TInstanceLock>("NORVEL-Q, RS-Server/Quellor");
    TInstanceLock second("NORVEL-Q, RS-Server/Quellor");
    ASSERT_TRUE(first->TryAcquire());
    EXPECT_FALSE(second.TryAcquire());
    first.reset();
    EXPECT_TRUE(second.TryAcquire());
}

TEST(SingleInstanceLock, NameBecomesASafeFileName) {
    EXPECT_EQ(SafeFileName("NORVEL-Q, RS-Server/Quellor"), "NORVEL-Q__RS-Server_Quellor");
}

TEST(RuntimeFolder, AMissingFolderIsMadePrivateAndOnlyAPrivateOneOfTheUsersIsTaken) {
    QTemporaryDir root;
    const QString folder = root.path() + "/quellor-1";
    EXPECT_EQ(PrivateFolderProblem(folder, ::getuid()), "");
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(PrivateFolderProblem(folder, ::getuid()), "") << "its own folder is taken again";
    EXPECT_EQ(PrivateFolderProblem(folder, ::getuid() + 1), QString("The runtime folder %1 belongs to another user (uid %2).")
                                                                 .arg(folder).arg(::getuid()));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    EXPECT_EQ(PrivateFolderProblem(folder, ::getuid()), "The runtime folder " + folder + " is open to other users (mode 0755).");
    ::chmod(QFile::encodeName(folder).constData(), 01770);
    EXPECT_TRUE(PrivateFolderProblem(folder, ::getuid()).endsWith("is open to other users (mode 1770)."));

    const QString link = root.path() + "/quellor-2";
    QFile::link(root.path() + "/private", link);
    QDir().mkdir(root.path() + "/private");
    EXPECT_EQ(PrivateFolderProblem(link, ::getuid()), "The runtime folder " + link + " is not a folder.");
    EXPECT_EQ(PrivateFolderProblem(root.path() + "/none/quellor-3", ::getuid()),
              "The runtime folder " + root.path() + "/none/quellor-3 cannot be created: No such file or directory.");
}

TEST(ShowRequest, ReachesTheListenerAndFailsWhenNoneListens) {
    EXPECT_FALSE(RequestShow("TFrmMainRSServ"));
    int shown = 0;
    TShowServer server("TFrmMainRSServ", [&] { ++shown; });
    ASSERT_TRUE(server.IsListening());
    EXPECT_TRUE(RequestShow("TFrmMainRSServ"));
    EXPECT_TRUE(WaitUntil([&] { return shown == 1; }));
}

TEST(ShellOpen, HandsTheExactTextToTheLauncher) {
    QTemporaryDir dir;
    const QString script = dir.filePath("open.sh");
    const QString record = dir.filePath("opened.txt");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1'\n").arg(record).toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("QUELLOR_OPEN_COMMAND", script.toUtf8());
    ShellOpen("http:\\\\localhost:24111");
    qunsetenv("QUELLOR_OPEN_COMMAND");
    ASSERT_TRUE(WaitUntil([&] { return QFile(record).size() > 0; }));
    QFile opened(record);
    opened.open(QIODevice::ReadOnly);
    EXPECT_EQ(opened.readAll(), "http:\\\\localhost:24111");
}

TEST(SignalWatcher, TerminationSignalBecomesACallOnTheGuiThread) {
    int calls = 0;
    TSignalWatcher watcher([&] { ++calls; });
    std::raise(SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return calls == 1; }));
}

namespace {
bool HangUpIsDefault() {
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    return now.sa_handler == SIG_DFL;
}
} // namespace

// Hang-ups that come together make one call; the end still ends. A watcher without a hang-up
// call leaves SIGHUP as it was.
TEST(SignalWatcher, AHangUpBecomesACallOfItsOwnAndGetsItsDefaultBackAfterwards) {
    int ends = 0;
    int hangUps = 0;
    {
        TSignalWatcher watcher([&] { ++ends; }, [&] { ++hangUps; });
        EXPECT_FALSE(HangUpIsDefault());
        std::raise(SIGHUP);
        std::raise(SIGHUP);
        EXPECT_TRUE(WaitUntil([&] { return hangUps == 1; }));
        EXPECT_EQ(ends, 0);
        std::raise(SIGHUP);
        std::raise(SIGTERM);
        EXPECT_TRUE(WaitUntil([&] { return ends == 1; }));
        EXPECT_EQ(hangUps, 2);
    }
    EXPECT_TRUE(HangUpIsDefault());
    TSignalWatcher endsOnly([&] { ++ends; });
    EXPECT_TRUE(HangUpIsDefault());
}

namespace {
// An echo into memory, with a clock the test moves.
struct TEchoed {
    char* Buffer = nullptr;
    size_t Size = 0;
    FILE* Stream = open_memstream(&Buffer, &Size);
    qint64 Now = 0;
    std::optional<TLogEcho> Echo{std::in_place, Stream, [this] { return Now; }};
    ~TEchoed() {
        Echo.reset();
        std::fclose(Stream);
        std::free(Buffer);
    }
    void Lines(std::initializer_list<const char*> texts) {
        for (const char* text : texts)
            Echo->Echo(QStringLiteral("t "), QString::fromLatin1(text));
    }
    QByteArray Text() const { return QByteArray(Buffer, static_cast<qsizetype>(Size)); }
    QByteArray Flushed() {
        Echo->Flush();
        return Text();
    }
};
} // namespace

TEST(LogEcho, ASingleLineRepeatedIsWrittenOnceWithACount) {
    TEchoed echo;
    echo.Echo->Echo("10:00:00", " COM3: Time Out");
    echo.Echo->Echo("10:00:03", " COM3: Time Out");
    echo.Echo->Echo("10:00:06", " COM3: Time Out");
    echo.Echo->Echo("10:00:09", " COM3: Found Id");
    EXPECT_EQ(echo.Text(), "10:00:00 COM3: Time Out\n  (the last line repeated 2 times)\n10:00:09 COM3: Found Id\n");
}

TEST(LogEcho, ARepeatedGroupIsWrittenOnceAndTheLineThatEndsItAtOnce) {
    TEchoed echo;
    echo.Lines({"Tx Error", "Open Error", "Tx Error", "Open Error", "Tx Error", "Open Error", "Tx Error", "Open Error"});
    EXPECT_EQ(echo.Text(), "t Tx Error\nt Open Error\n");
    echo.Lines({"Found Id"});
    EXPECT_EQ(echo.Text(), "t Tx Error\nt Open Error\n  (the last 2 lines repeated 3 times)\nt Found Id\n");
}

TEST(LogEcho, GroupsOfEveryLengthUpToFourCollapseAndAHalfRoundIsNotLost) {
    TEchoed three;
    three.Lines({"a", "b", "c", "a", "b", "c", "a", "b", "x"});
    EXPECT_EQ(three.Flushed(), "t a\nt b\nt c\n  (the last 3 lines repeated 1 time)\nt a\nt b\nt x\n");
    TEchoed four;
    four.Lines({"a", "b", "c", "d", "a", "b", "c", "d", "a", "b", "c", "d"});
    EXPECT_EQ(four.Flushed(), "t a\nt b\nt c\nt d\n  (the last 4 lines repeated 2 times)\n");
    TEchoed five;
    five.Lines({"a", "b", "c", "d", "e", "a", "b", "c", "d", "e"});
    EXPECT_EQ(five.Flushed(), "t a\nt b\nt c\nt d\nt e\nt a\nt b\nt c\nt d\nt e\n");
}

TEST(LogEcho, ALineThatOnlyBeginsToRepeatIsWrittenAsItIs) {
    TEchoed echo;
    echo.Lines({"a", "b", "c", "a", "d", "b"});
    EXPECT_EQ(echo.Flushed(), "t a\nt b\nt c\nt a\nt d\nt b\n");
}

TEST(LogEcho, ARepetitionThatGoesOnIsCountedAtMostOnceAnHour) {
    TEchoed echo;
    int rounds = 0;
    for (; echo.Now < 3 * TLogEcho::CountEveryMs + 60000; echo.Now += 3000, ++rounds)
        echo.Lines({"Tx Error", "Open Error"});
    const QList<QByteArray> during = echo.Text().split('\n');
    EXPECT_EQ(during.size(), 2 + 3 + 1) << echo.Text().constData();
    EXPECT_EQ(during[2], "  (the last 2 lines repeated 1201 times)");
    EXPECT_EQ(during[3], "  (the last 2 lines repeated 1200 times)");
    EXPECT_EQ(during[4], "  (the last 2 lines repeated 1200 times)");
    const QByteArray all = echo.Flushed();
    EXPECT_TRUE(all.endsWith("(the last 2 lines repeated " + QByteArray::number(rounds - 1 - 3601) + " times)\n"))
        << all.constData();
}

namespace {
QStringList Captured;
void Capture(QtMsgType, const QMessageLogContext&, const QString& message) { Captured << message; }
} // namespace

TEST(QuietOffscreenWarnings, DropsTheSizeHintsWarningAndPassesEveryOtherMessageOn) {
    qInstallMessageHandler(Capture);
    QuietOffscreenWarnings();
    qWarning("This plugin does not support propagateSizeHints()");
    qWarning("This plugin does not support something else");
    qInfo("This plugin does not support propagateSizeHints()");
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(Captured, (QStringList{"This plugin does not support something else",
                                     "This plugin does not support propagateSizeHints()"}));
}

TEST(LogEcho, ALineApartEndsTheRunAndIsNeverTakenForARepeat) {
    TEchoed echo;
    echo.Lines({"Tx Error", "Tx Error", "Tx Error"});
    echo.Echo->EchoApart({}, "COM3=Mapped port");
    echo.Echo->EchoApart({}, "COM3=Mapped port");
    echo.Lines({"Tx Error"});
    EXPECT_EQ(echo.Flushed(), "t Tx Error\n  (the last line repeated 2 times)\nCOM3=Mapped port\nCOM3=Mapped port\nt Tx Error\n");
}
