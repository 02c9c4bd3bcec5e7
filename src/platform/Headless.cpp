#include "platform/Headless.h"

#include <QGuiApplication>
#include <QSocketNotifier>
#include <csignal>
#include <utility>
#include <fcntl.h>
#include <unistd.h>

namespace {
int SignalPipe[2] = {-1, -1};
QtMessageHandler PreviousHandler = nullptr;
bool Quiet = false;

void FilterMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    if (PreviousHandler)
        PreviousHandler(type, context, message);
}

void OnUnixSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(SignalPipe[1], &byte, 1);
}
} // namespace

bool PrepareHeadless() {
    if (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
        qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return false;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return true;
}

void QuietOffscreenWarnings() {
    if (std::exchange(Quiet, true))
        return;
    PreviousHandler = qInstallMessageHandler(FilterMessage);
}

bool IsHeadless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

TSignalWatcher::TSignalWatcher(std::function<void()> onSignal, QObject* parent)
    : QObject(parent), Notifier(nullptr), OnSignal(std::move(onSignal)) {
    if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
        }
        OnSignal();
    });
    struct sigaction action {};
    action.sa_handler = OnUnixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

TSignalWatcher::~TSignalWatcher() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}
