#include "support/Program.h"
#include "support/LinePeek.h"

#include <QPlainTextEdit>
#include <QTimer>

#include "app/Hub.h"
#include "detect/EnumDevices.h"
#include "platform/LogEcho.h"
#include "serial/CommInt.h"

TProgram::TProgram(const QString& programBaseName, const QString& instance) {
    ProgramClosing = false;
    CommShutdown = false;
    CreateWindows(W, programBaseName, instance);
    // The system's own ports are never enumerated here: that would open their device nodes.
    W.Dist->EnumSources->SysfsRoot = QStringLiteral("/nonexistent/sysfs");
    W.Dist->EnumSources->IsPlaceholder = [](const QString&) { return true; };
    W.Dist->Echo.reset();
}

TProgram::~TProgram() {
    Peek(*W.Line).TimerCheck->stop();
    Peek(*W.Line).TimerEnd->stop();
}

QStringList TProgram::LogLines() const {
    const QString text = W.Dist->Memo1->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QProcessEnvironment ProgramEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}
