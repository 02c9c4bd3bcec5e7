#pragma once
#include <QProcess>
#include <functional>

// The real program, headless, started in this test process's private folders with COM1 as the
// configured port and a free TCP port; stopped with SIGTERM at the end.
struct TRunningProgram {
    explicit TRunningProgram(const std::function<void()>& configure = {});
    ~TRunningProgram();
    // Waits until the program's standard error holds the text.
    bool WaitForLog(const QByteArray& text, int timeoutMs = 10000);

    quint16 Port = 0;
    QProcess Process;
    QByteArray Errors;
};
