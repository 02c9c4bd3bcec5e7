#include "platform/ShellOpen.h"

#include <QProcess>

namespace {
std::function<void(const QString&)>& Hook() {
    static std::function<void(const QString&)> hook;
    return hook;
}
} // namespace

void ShellOpen(const QString& text) {
    if (Hook()) {
        Hook()(text);
        return;
    }
    QString program = qEnvironmentVariable("QUELLOR_OPEN_COMMAND");
    if (program.isEmpty())
        program = QStringLiteral("xdg-open");
    QProcess::startDetached(program, {text});
}

void SetShellOpenHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }
