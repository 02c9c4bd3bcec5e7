#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

// Without a display (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) the program runs on Qt's
// offscreen platform. Call before the application object is made; returns true when headless.
bool PrepareHeadless();
// True when the running application has no real display.
bool IsHeadless();
// Drops the offscreen platform's warnings that say nothing to the user; every other message goes
// where it went before.
void QuietOffscreenWarnings();

// Turns SIGINT and SIGTERM into a call on the GUI thread, through a self-pipe; with onHangUp,
// SIGHUP too, into a call of its own (several that came together make one).
class TSignalWatcher : public QObject {
public:
    explicit TSignalWatcher(std::function<void()> onSignal, QObject* parent = nullptr);
    TSignalWatcher(std::function<void()> onSignal, std::function<void()> onHangUp, QObject* parent = nullptr);
    ~TSignalWatcher() override;

private:
    void Drain();

    QSocketNotifier* Notifier;
    std::function<void()> OnSignal;
    std::function<void()> OnHangUp;
};
