#include "app/DeviceNotice.h"

#include <algorithm>
#include <utility>

TDeviceNotice::TDeviceNotice(std::function<qint64()> clock, TShow show)
    : Clock(std::move(clock)), Show(std::move(show)) {}

void TDeviceNotice::Observe(const QString& port, bool answers, const QString& reason) {
    const auto [it, first] = Ports.try_emplace(port);
    TPort& state = it->second;
    if (first) {
        state.Told = state.Now = answers;
        return;
    }
    if (state.Now != answers && !answers)
        state.Reason = reason;
    state.Now = answers;
    if (!On)
        state.Told = answers;
    TellIfDue(port, state, Clock());
}

void TDeviceNotice::Tick() {
    const qint64 now = Clock();
    for (auto& [port, state] : Ports)
        TellIfDue(port, state, now);
}

std::optional<qint64> TDeviceNotice::NextDue() const {
    std::optional<qint64> due;
    const qint64 now = Clock();
    for (const auto& [port, state] : Ports) {
        if (!On || state.Now == state.Told || !state.ToldAt)
            continue;
        const qint64 in = std::max<qint64>(0, *state.ToldAt + QuietMs - now);
        due = due ? std::min(*due, in) : in;
    }
    return due;
}

void TDeviceNotice::SetEnabled(bool enabled) {
    On = enabled;
    if (!On)
        for (auto& [port, state] : Ports)
            state.Told = state.Now;
}

QString TDeviceNotice::Text(const QString& port, bool answers, const QString& reason) {
    if (answers)
        return QStringLiteral("The device on %1 answers again").arg(port);
    const QString text = QStringLiteral("The device on %1 stopped answering").arg(port);
    return reason.isEmpty() ? text : text + QStringLiteral(": ") + reason;
}

void TDeviceNotice::TellIfDue(const QString& port, TPort& state, qint64 now) {
    if (!On || state.Now == state.Told || (state.ToldAt && now - *state.ToldAt < QuietMs))
        return;
    state.Told = state.Now;
    state.ToldAt = now;
    Show(Text(port, state.Now, state.Reason), state.Now);
}
