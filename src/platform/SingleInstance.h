#pragma once
#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;

// The per-user folder for the lock file and the show-request socket:
// $XDG_RUNTIME_DIR, else /tmp/quellor-<uid> (created private when missing).
QString RuntimeFolder();
// A name turned into a file name: characters other than letters, digits, '.', '-' and '_'
// become '_'.
QString SafeFileName(const QString& name);

// The lock that lets one copy run: an exclusive flock on a file named after the lock.
// The kernel drops it when the holder dies, so a crashed copy never blocks the next start.
class TInstanceLock {
public:
    explicit TInstanceLock(const QString& name);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    // False only when another process holds the lock; a lock file that cannot be made
    // counts as being the first copy.
    bool TryAcquire();

private:
    QString Path;
    int Fd = -1;
};

// The running copy's listener for a second copy's request to show itself.
class TShowServer : public QObject {
public:
    TShowServer(const QString& windowClass, std::function<void()> onShow, QObject* parent = nullptr);
    bool IsListening() const;

private:
    void Accept();

    QLocalServer* Server;
    std::function<void()> OnShow;
};

// Asks the running copy to show its window. False when no running copy's window was found.
bool RequestShow(const QString& windowClass);
