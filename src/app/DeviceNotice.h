#pragma once
#include <QString>
#include <functional>
#include <map>
#include <optional>

// Decides when a change of whether the configured port's device answers becomes a desktop
// notification: one for each change, at most one a minute for each port. A change inside the
// minute waits for its end and is told then only when the device still differs from what was told
// last, so a device that comes and goes costs one notification a minute and its last state is
// never left untold. The first state seen of a port is told to no one: it is no change.
class TDeviceNotice {
public:
    static constexpr qint64 QuietMs = 60 * 1000;

    using TShow = std::function<void(const QString& text, bool answers)>;
    // clock: milliseconds on any steady scale; show: puts the text on the desktop.
    TDeviceNotice(std::function<qint64()> clock, TShow show);

    // What the port's device does now; reason: why it does not answer.
    void Observe(const QString& port, bool answers, const QString& reason);
    // Tells the changes whose minute is over.
    void Tick();
    // Milliseconds until a change that waits may be told; none while nothing waits.
    std::optional<qint64> NextDue() const;
    // Switched off, nothing is told, and what happens meanwhile is not told later either.
    void SetEnabled(bool enabled);
    bool Enabled() const { return On; }

    static QString Text(const QString& port, bool answers, const QString& reason);

private:
    struct TPort {
        bool Told = false;  // the state last told, or first seen
        bool Now = false;
        QString Reason;     // why it stopped answering, as it was when it stopped
        std::optional<qint64> ToldAt;
    };
    void TellIfDue(const QString& port, TPort& state, qint64 now);

    std::function<qint64()> Clock;
    TShow Show;
    std::map<QString, TPort> Ports;
    bool On = true;
};
