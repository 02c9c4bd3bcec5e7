#include "support/Running.h"

#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

TRunningProgram::TRunningProgram(const std::function<void()>& configure) : Port(FreeTcpPort()) {
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\quellor");
    QFile::remove(SettingsFilePath());
    SettingsWriteInteger("RS\\COM", 1);
    SettingsWriteInteger("TCP\\Port", Port);
    SettingsWriteInteger("TCP\\Delay", 100);
    if (configure)
        configure();
    Process.setProcessEnvironment(ProgramEnvironment());
    Process.start(QStringLiteral(QUELLOR_BINARY), {});
    Process.waitForStarted();
    WaitForLog("TCP: Listen");
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
