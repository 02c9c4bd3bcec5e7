#pragma once
#include <QProcess>
#include <functional>

// The real program, headless, started in this test process's private folders with COM1 as the
// configured port and a free TCP port, as the named bridge when an instance is given; stopped with
// SIGTERM at the end. Ready once its log holds the text. A launcher, when given, starts it: the
// program and its arguments follow the launcher's.
struct TRunningProgram {
    explicit TRunningProgram(const std::function<void()>& configure = {}, const QString& instance = {},
                             const QByteArray& ready = "TCP: Listen", const QStringList& launcher = {});
    ~TRunningProgram();
    // Waits until the program's standard error holds the text.
    bool WaitForLog(const QByteArray& text, int timeoutMs = 10000);

    quint16 Port = 0;
    QProcess Process;
    QByteArray Errors;
};
