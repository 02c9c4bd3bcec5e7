#include "detect/PortWatch.h"

#include <QDir>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "platform/Tracing.h"

namespace {
constexpr int SettleMs = 250;
// udev makes the links to a new node (such as /dev/serial/by-id) a moment after the kernel's event.
constexpr int LinksMadeMs = 2000;
constexpr int FallbackMs = 3000;
constexpr unsigned KernelEvents = 1;  // the multicast group of the kernel's own device events
} // namespace

bool IsTtyEvent(const QByteArray& message) {
    const QList<QByteArray> fields = message.split('\0');
    return fields.contains(QByteArrayLiteral("SUBSYSTEM=tty"));
}

TPortWatch::TPortWatch(TScan scan, QString mapFolder, QObject* parent)
    : QObject(parent), Scan(std::move(scan)), MapFolder(std::move(mapFolder)), Settle(new QTimer(this)),
      Late(new QTimer(this)), Fallback(new QTimer(this)) {
    Settle->setSingleShot(true);
    Settle->setInterval(SettleMs);
    connect(Settle, &QTimer::timeout, this, &TPortWatch::Rescan);
    Late->setSingleShot(true);
    Late->setInterval(LinksMadeMs);
    connect(Late, &QTimer::timeout, this, &TPortWatch::Rescan);
    Fallback->setInterval(FallbackMs);
    connect(Fallback, &QTimer::timeout, this, &TPortWatch::Rescan);
}

TPortWatch::~TPortWatch() {
    if (Socket >= 0)
        ::close(Socket);
}

void TPortWatch::Start() {
    if (const std::unique_ptr<QStringList> ports = Scan())
        Known = *ports;
    OpenKernelEvents();
    WatchMapFolder();
}

void TPortWatch::Rescan() {
    const std::unique_ptr<QStringList> ports = Scan();
    if (!ports)
        return;
    const QStringList before = std::exchange(Known, *ports);
    for (const QString& entry : before)
        if (!Known.contains(entry) && OnRemoved)
            OnRemoved(entry.section(QLatin1Char('='), 0, 0));
    for (const QString& entry : Known)
        if (!before.contains(entry) && OnAdded)
            OnAdded(entry);
}

void TPortWatch::OpenKernelEvents() {
    Socket = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = KernelEvents;
    if (Socket < 0 || ::bind(Socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        qCDebug(lcDetect) << "no kernel device events; the ports are listed every" << FallbackMs << "ms";
        if (Socket >= 0)
            ::close(Socket);
        Socket = -1;
        Fallback->start();
        return;
    }
    Notifier = new QSocketNotifier(Socket, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TPortWatch::ReadKernelEvents);
}

void TPortWatch::ReadKernelEvents() {
    char buffer[8192];
    ssize_t size;
    while ((size = ::recv(Socket, buffer, sizeof buffer, 0)) > 0) {
        if (!IsTtyEvent(QByteArray(buffer, size)))
            continue;
        SoonRescan();
        Late->start();
    }
    // Events were lost while the socket's buffer was full: any of them may have been a tty's.
    if (size < 0 && errno == ENOBUFS)
        SoonRescan();
}

void TPortWatch::WatchMapFolder() {
    QDir().mkpath(MapFolder);
    MapWatch = new QFileSystemWatcher(this);
    MapWatch->addPath(MapFolder);
    connect(MapWatch, &QFileSystemWatcher::directoryChanged, this, &TPortWatch::SoonRescan);
}

void TPortWatch::SoonRescan() {
    if (!Settle->isActive())
        Settle->start();
}
