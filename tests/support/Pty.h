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
    // The test keeps no slave descriptor of its own: the component under test holds the only one.
    QString SlavePath;
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

// While it lives, a file stands where the config folder should be, so that no setting can be
// written (root may write into read-only folders, so permissions cannot make that failure).
class TBlockedConfigFolder {
public:
    TBlockedConfigFolder();
    ~TBlockedConfigFolder();

private:
    QString Config;
    QString Blocker;
};
