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

// The byte names the signal, so that the GUI thread tells a hang-up from an end.
void OnUnixSignal(int number) {
    const char byte = static_cast<char>(number);
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
    : TSignalWatcher(std::move(onSignal), nullptr, parent) {}

TSignalWatcher::TSignalWatcher(std::function<void()> onSignal, std::function<void()> onHangUp, QObject* parent)
    : QObject(parent), Notifier(nullptr), OnSignal(std::move(onSignal)), OnHangUp(std::move(onHangUp)) {
    if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TSignalWatcher::Drain);
    struct sigaction action {};
    action.sa_handler = OnUnixSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (OnHangUp)
        sigaction(SIGHUP, &action, nullptr);
}

void TSignalWatcher::Drain() {
    bool end = false;
    bool hangUp = false;
    char bytes[16];
    for (ssize_t count; (count = ::read(SignalPipe[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < count; ++i)
            (bytes[i] == SIGHUP ? hangUp : end) = true;
    if (hangUp && OnHangUp)
        OnHangUp();
    if (end)
        OnSignal();
}

TSignalWatcher::~TSignalWatcher() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (OnHangUp)
        std::signal(SIGHUP, SIG_DFL);
}
