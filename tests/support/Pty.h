#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>
#include <chrono>
#include <functional>

class TScriptedDialogs;

// A pseudo-terminal standing in for the device: the test plays the device on the master side.
class TPty {
public:
    TPty();
    ~TPty();
    TPty(const TPty&) = delete;
    TPty& operator=(const TPty&) = delete;

    void Write(const QByteArray& bytes);
    // Reads what has arrived, waiting up to the time for at least `atLeast` bytes.
    QByteArray Read(int atLeast, std::chrono::milliseconds wait = std::chrono::milliseconds(2000));
    void CloseMaster();

    int Master = -1;
    QString SlavePath;

private:
    int Slave = -1;
};

// Points every COM1..COM255 of the port map at a path that does not exist.
void MapEveryPortNowhere();
// Points COMn at a node (a pty's slave).
void MapPort(int number, const QString& node);

// The scripted message boxes every test runs with; cleared by each call.
TScriptedDialogs& FreshDialogs();
// Runs the event loop until the condition holds or the time is up; returns the condition.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::milliseconds(3000));

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 FreeTcpPort();

// Readable values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << bytes.size() << " bytes \"" << bytes.left(160).toStdString() << (bytes.size() > 160 ? "...\"" : "\"");
}
inline void PrintTo(const QStringList& list, std::ostream* out) { *out << '[' << list.join("|").toStdString() << ']'; }

// The scripted message boxes, as they are (not cleared).
TScriptedDialogs& ScriptedDialogs();
