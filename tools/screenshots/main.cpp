// Saves pictures of the program's windows, as a user sees them, into the folder given: the main
// window before any device answered, the About box and the settings; then a detection pass over
// three simulated ports (one not HTTP, one answering 404, one the device), after which the main
// window shows the device answering and the Information window shows the pass. Runs in a private
// profile and touches none of the machine's own ports.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include "SimDevice.h"
#include "app/StartUp.h"
#include "app/Sv_aMain.h"
#include "app/UnitAbout.h"
#include "bridge/Line.h"
#include "detect/Detection.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "platform/ShellOpen.h"
#include "serial/PortNames.h"
#include "settings/sv_params.h"

namespace {
void Save(QWidget& window, const QString& path) {
    window.show();
    QApplication::processEvents();
    window.grab().save(path);
}

void RunUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir profile;
    qputenv("XDG_CONFIG_HOME", profile.path().toUtf8());
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    QDir().mkpath(PortMapFolder());
    QDir().mkpath(profile.path() + QStringLiteral("/sys/class/tty"));
    std::vector<std::unique_ptr<TSimDevice>> devices;
    int number = 0;
    for (TSimDevice::TMode mode : {TSimDevice::TMode::Garbage, TSimDevice::TMode::NotFound, TSimDevice::TMode::Device}) {
        TSimDevice::TOptions options;
        options.Mode = mode;
        options.Link = PortMapFolder() + QStringLiteral("/COM%1").arg(++number);
        devices.push_back(std::make_unique<TSimDevice>(options));
    }
    SetShellOpenHook([](const QString&) {});

    TWindows windows;
    CreateWindows(windows, QStringLiteral("Quellor"));
    TFrmMainRSServ& main = *windows.Main;
    TDistForm& dist = *windows.Dist;
    dist.EnumSources->SysfsRoot = profile.path() + QStringLiteral("/sys");
    main.UpdateStatus();
    Save(main, out + QStringLiteral("/main-silent.png"));
    Save(*windows.About, out + QStringLiteral("/about.png"));
    Save(*windows.Params, out + QStringLiteral("/settings.png"));
    windows.Params->hide();

    main.StartUp();
    main.Timer1->start();
    main.BitBtnDetectClick();
    RunUntil([&] { return windows.Detection->PassMode == 2; }, 20000);
    RunUntil([&] { return windows.Line->IsIdle() && windows.Probe->ProbeResult >= prUnknown; }, 5000);
    QApplication::processEvents(QEventLoop::AllEvents, 600);
    Save(main, out + QStringLiteral("/main-answering.png"));
    dist.resize(660, 480);
    Save(dist, out + QStringLiteral("/information.png"));
    return 0;
}
