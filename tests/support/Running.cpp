#include "support/Running.h"

#include "Children.h"
#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

TRunningProgram::TRunningProgram(const std::function<void()>& configure, const QString& instance, const QByteArray& ready,
                                 const QStringList& launcher)
    : Port(FreeTcpPort()) {
    SettingsSetLocation("SOFTWARE", instance.isEmpty() ? "NORVEL-Q\\quellor" : "NORVEL-Q\\quellor-" + instance);
    QFile::remove(SettingsFilePath());
    SettingsWriteInteger("RS\\COM", 1);
    SettingsWriteInteger("TCP\\Port", Port);
    SettingsWriteInteger("TCP\\Delay", 100);
    if (configure)
        configure();
    Process.setProcessEnvironment(ProgramEnvironment());
    EndWithStarter(Process);
    const QStringList arguments = instance.isEmpty() ? QStringList() : QStringList{"--instance", instance};
    if (launcher.isEmpty())
        Process.start(QStringLiteral(QUELLOR_BINARY), arguments);
    else
        Process.start(launcher.first(), launcher.mid(1) + QStringList{QStringLiteral(QUELLOR_BINARY)} + arguments);
    Process.waitForStarted();
    WaitForLog(ready);
}

TRunningProgram::~TRunningProgram() {
    Process.terminate();
    if (!Process.waitForFinished(10000))
        Process.kill();
}

bool TRunningProgram::WaitForLog(const QByteArray& text, int timeoutMs) {
    return WaitUntil(
        [&] {
            Errors += Process.readAllStandardError();
            return Errors.contains(text);
        },
        std::chrono::milliseconds(timeoutMs));
}
