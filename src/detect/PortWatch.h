#pragma once
#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

class QFileSystemWatcher;
class QSocketNotifier;
class QTimer;

// Notices serial ports that appear and disappear. The kernel's device events (a netlink socket)
// and changes of the port map folder only wake it up; what changed is found by listing the
// ports again and comparing with the last list.
class TPortWatch : public QObject {
public:
    // scan: the ports present, "COMn=description"; none when they cannot be listed.
    using TScan = std::function<std::unique_ptr<QStringList>()>;
    TPortWatch(TScan scan, QString mapFolder, QObject* parent = nullptr);
    ~TPortWatch() override;

    // Takes the present ports as known and starts listening.
    void Start();
    // Lists the ports and reports each entry that went (OnRemoved) and each that came (OnAdded).
    void Rescan();
    const QStringList& Ports() const { return Known; }

    std::function<void(const QString& entry)> OnAdded;
    std::function<void(const QString& name)> OnRemoved;

private:
    void OpenKernelEvents();
    void ReadKernelEvents();
    void WatchMapFolder();
    void SoonRescan();

    TScan Scan;
    QString MapFolder;
    QStringList Known;
    int Socket = -1;
    QSocketNotifier* Notifier = nullptr;
    QFileSystemWatcher* MapWatch = nullptr;
    // Lets a burst of events (a hub with several adapters, a link replaced) settle into one rescan.
    QTimer* Settle;
    // A second look after a kernel event, for the links udev makes to the new node.
    QTimer* Late;
    // Only where kernel events cannot be had.
    QTimer* Fallback;
};

// True for a kernel device event of the tty subsystem (NUL-separated "KEY=value" fields).
bool IsTtyEvent(const QByteArray& message);
