#include "app/StartUp.h"

#include <QFileInfo>
#include <cstdio>
#include <memory>

#include "app/CommandLine.h"
#include "app/Hub.h"
#include "app/Sv_aMain.h"
#include "app/UnitAbout.h"
#include "bridge/DistUnit.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Headless.h"
#include "platform/SingleInstance.h"
#include "platform/WinMessage.h"
#include "settings/sv_params.h"

// Outside any namespace, as the resource initialiser requires; the icons live in a static library.
static void InitResources() { Q_INIT_RESOURCE(quellor); }

namespace {
int HandOver(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    RequestShow(QLatin1String(MainWindowClass));
    return 0;
}

// On standard error and in a message box; the headless box goes to standard error itself.
int RefuseToStart(int argc, char** argv, bool headless, const QString& problem) {
    TApplication app(argc, argv);
    const QString text = QStringLiteral("Cannot start: %1 Set XDG_RUNTIME_DIR, or remove that folder.").arg(problem);
    if (headless || IsHeadless())
        SetDialogs(std::make_unique<THeadlessDialogs>());
    else
        std::fprintf(stderr, "%s\n", qPrintable(text));
    ShowErrorBox(text);
    return 1;
}
} // namespace

TWindows::TWindows() = default;

TWindows::~TWindows() {
    About.reset();
    Rs.reset();
    Tcp.reset();
    Dist.reset();
    Params.reset();
    Main.reset();
}

void CreateWindows(TWindows& w, const QString& programBaseName) {
    InitResources();
    w.Main = std::make_unique<TFrmMainRSServ>(programBaseName);
    w.Params = std::make_unique<TFormParams>(w.Main.get());
    w.Dist = std::make_unique<TDistForm>(w.Main.get());
    w.Tcp = std::make_unique<TTCPForm>(w.Params.get(), w.Dist.get(), w.Main.get());
    w.Rs = std::make_unique<TRSForm>(w.Params.get(), w.Dist.get(), w.Main.get());
    w.About = std::make_unique<TFormAbout>();
    w.Params->SetParts(w.Rs.get(), w.Tcp.get());
    TFrmMainRSServ* main = w.Main.get();
    w.Dist->Attach(w.Params.get(), w.Tcp.get(), w.Rs.get(), [main] { main->UpdateStatus(); });
    main->Attach(w.Params.get(), w.Dist.get(), w.Tcp.get(), w.Rs.get(), w.About.get());
}

int RunQuellor(int argc, char** argv) {
    if (const std::optional<int> status = AnswerCommandLine(argc, argv))
        return *status;
    const bool headless = PrepareHeadless();
    if (headless || qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen"))
        QuietOffscreenWarnings();
    if (const QString problem = RuntimeFolderProblem(); !problem.isEmpty())
        return RefuseToStart(argc, argv, headless, problem);
    TInstanceLock lock{QString::fromLatin1(InstanceLockName)};
    if (!lock.TryAcquire())
        return HandOver(argc, argv);
    TApplication app(argc, argv);
    if (headless || IsHeadless())
        SetDialogs(std::make_unique<THeadlessDialogs>());
    TWindows windows;
    CreateWindows(windows, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    TFrmMainRSServ* main = windows.Main.get();
    const auto handle = reinterpret_cast<intptr_t>(main);
    TShowServer showServer(QLatin1String(MainWindowClass), [main, handle] {
        PostWinMessage(main, WM_SV_SHOW, handle, handle);
    });
    TSignalWatcher signalWatcher(ShutDownWithoutQuestion);
    main->ShowAtStart();
    main->StartUp();
    return app.exec();
}
