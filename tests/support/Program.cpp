#include "support/Program.h"

#include <QPlainTextEdit>
#include <QTimer>

#include "app/Hub.h"
#include "serial/CommInt.h"

TProgram::TProgram(const QString& programBaseName) {
    ProgramClosing = false;
    CommShutdown = false;
    CreateWindows(W, programBaseName);
}

TProgram::~TProgram() {
    W.Dist->TimerCheck->stop();
    W.Dist->TimerEnd->stop();
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
