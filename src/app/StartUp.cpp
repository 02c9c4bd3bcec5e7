#include "app/StartUp.h"

#include <QFileInfo>
#include <cstdio>
#include <memory>

#include "app/Ask.h"
#include "app/CommandLine.h"
#include "app/Control.h"
#include "app/Hub.h"
#include "app/Reload.h"
#include "app/Sv_aMain.h"
#include "app/UnitAbout.h"
#include "bridge/Line.h"
#include "detect/Detection.h"
#include "detect/DeviceFollow.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "journal/Journal.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Headless.h"
#include "platform/HeapRelease.h"
#include "platform/SingleInstance.h"
#include "platform/WinMessage.h"
#include "settings/sv_params.h"

// Outside any namespace, as the resource initialiser requires; the icons live in a static library.
static void InitResources() { Q_INIT_RESOURCE(quellor); }

namespace {
// The default bridge's name of a lock, a socket or a settings file; a named bridge adds its name.
QString Named(const QString& name, const QString& instance) {
    return instance.isEmpty() ? name : name + QLatin1Char('-') + instance;
}

int HandOver(int argc, char** argv, const QString& instance) {
    QCoreApplication app(argc, argv);
    RequestShow(ControlSocketName(instance));
    return 0;
}

// Call with the application made; true when message boxes go to standard error.
bool BoxesToStandardError(bool headless) {
    if (!headless && !IsHeadless())
        return false;
    SetDialogs(std::make_unique<THeadlessDialogs>());
    return true;
}

// On standard error and in a message box.
int RefuseToStart(int argc, char** argv, bool headless, const QString& problem) {
    TApplication app(argc, argv);
    const QString text = QStringLiteral("Cannot start: %1 Set XDG_RUNTIME_DIR, or remove that folder.").arg(problem);
    if (!BoxesToStandardError(headless))
        std::fprintf(stderr, "%s\n", qPrintable(text));
    ShowErrorBox(text);
    return 1;
}

int RunBridge(int argc, char** argv, bool headless, const QString& instance) {
    TApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QUELLOR_VERSION));
    BoxesToStandardError(headless);
    TWindows windows;
    CreateWindows(windows, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(), instance);
    TFrmMainRSServ* main = windows.Main.get();
    const auto handle = reinterpret_cast<intptr_t>(main);
    TShowServer showServer(ControlSocketName(instance), [main, handle] { PostWinMessage(main, WM_SV_SHOW, handle, handle); });
    TControl control(windows, instance);
    TControl::SetLimits(showServer);
    showServer.OnRequest = [&control](const QByteArray& request, QObject* asker, const TShowServer::TAnswer& answer) {
        control.Answer(request, asker, answer);
    };
    TSignalWatcher signalWatcher(ShutDownWithoutQuestion, [&control] { control.Reload("SIGHUP"); });
    main->ShowAtStart();
    main->StartUp();
    return app.exec();
}
} // namespace

TWindows::TWindows() = default;

TWindows::~TWindows() {
    About.reset();
    Follower.reset();
    Detection.reset();
    Probe.reset();
    Rs.reset();
    Tcp.reset();
    Line.reset();
    Dist.reset();
    Journal.reset();
    Params.reset();
    Main.reset();
}

void CreateWindows(TWindows& w, const QString& programBaseName, const QString& instance) {
    InitResources();
    w.Main = std::make_unique<TFrmMainRSServ>(Named(programBaseName, instance));
    if (!instance.isEmpty())
        w.Main->ShowInstanceName(instance);
    w.Params = std::make_unique<TFormParams>(w.Main.get());
    w.Journal = std::make_unique<journal::TJournal>();
    w.Dist = std::make_unique<TDistForm>();
    w.Dist->SetJournal(w.Journal.get());
    w.Line = std::make_unique<TLine>(w.Dist.get());
    w.Line->SetJournal(w.Journal.get());
    w.Tcp = std::make_unique<TTCPForm>(w.Params.get(), w.Dist.get(), w.Main.get());
    w.Tcp->SetJournal(w.Journal.get());
    w.Rs = std::make_unique<TRSForm>(w.Params.get(), w.Line.get(), w.Dist.get(), w.Main.get());
    TFrmMainRSServ* main = w.Main.get();
    w.Line->Attach(w.Tcp.get(), w.Rs.get(), [main] { main->UpdateStatus(); });
    w.Probe = std::make_unique<TDeviceProbe>(w.Line.get(), w.Rs.get(), w.Dist.get(), main);
    w.Detection = std::make_unique<TDetection>(w.Line.get(), w.Rs.get(), w.Params.get(), w.Dist.get(), main);
    w.Follower = std::make_unique<TDeviceFollow>(w.Line.get(), w.Rs.get(), w.Params.get(), w.Dist.get(), w.Probe.get(),
                                                 w.Detection.get());
    w.Follower->ProgramBase = programBaseName;
    w.About = std::make_unique<TFormAbout>();
    w.Params->SetParts(w.Rs.get(), w.Tcp.get());
    main->Attach(w);
}

int RunQuellor(int argc, char** argv) {
    ReturnLargeBuffersOnFree();
    const TCommandLine command = ReadCommandLine(argc, argv);
    if (command.ExitStatus)
        return *command.ExitStatus;
    if (command.Journal || command.Verb)
        return AskRunningBridge(argc, argv, command);
    const bool headless = PrepareHeadless();
    if (headless || qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen"))
        QuietOffscreenWarnings();
    if (const QString problem = RuntimeFolderProblem(); !problem.isEmpty())
        return RefuseToStart(argc, argv, headless, problem);
    TInstanceLock lock{Named(QString::fromLatin1(InstanceLockName), command.Instance)};
    if (!lock.TryAcquire())
        return HandOver(argc, argv, command.Instance);
    return RunBridge(argc, argv, headless, command.Instance);
}
