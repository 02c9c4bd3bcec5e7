// Saves pictures of the program's windows, as a user sees them, into the folder given: the main
// window before any device answered and the About box; then a detection pass over three simulated
// ports (one not HTTP, one answering 404, one the device), after which the main window shows the
// device answering, the Information window shows the pass and both pages of the settings show the
// port it found; then a browser's worth of clients (a page with its pictures twice, a minute apart,
// a host the check refuses, one that leaves mid-answer and a request the device ignores), and the Information window
// shows their exchanges beside the log, and one row's menu. Runs in a private profile and touches none of the machine's
// own ports.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <sys/socket.h>

#include "SimDevice.h"
#include "app/StartUp.h"
#include "app/Sv_aMain.h"
#include "app/UnitAbout.h"
#include "bridge/Line.h"
#include "detect/Detection.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "detect/EnumDevices.h"
#include "journal/JournalView.h"
#include "platform/ShellOpen.h"
#include "serial/PortNames.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
void Save(QWidget& window, const QString& path) {
    window.show();
    QApplication::processEvents();
    window.grab().save(path);
}

void RunUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < limitMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

quint16 FreePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

// A client of the bridge: sends its request, and reads its answer to the end or, given a count,
// leaves once it has that many bytes.
struct TClient {
    QTcpSocket Socket;
    QByteArray Answer;
    qsizetype LeaveAfter = -1;

    TClient(quint16 port, const QByteArray& request, qsizetype leaveAfter = -1) : LeaveAfter(leaveAfter) {
        QObject::connect(&Socket, &QTcpSocket::readyRead, [this] {
            Answer += Socket.readAll();
            if (LeaveAfter >= 0 && Answer.size() >= LeaveAfter) {
                // A reset, as a browser's tab closing leaves it.
                const linger reset{1, 0};
                ::setsockopt(static_cast<int>(Socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                Socket.abort();
            }
        });
        Socket.connectToHost(QHostAddress::LocalHost, port);
        Socket.write(request);
    }
    bool Done() const { return Socket.state() == QAbstractSocket::UnconnectedState; }
};

QByteArray Get(const QByteArray& target, quint16 port, const QByteArray& host = "localhost") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + ":" + QByteArray::number(port) +
           "\r\nUser-Agent: Mozilla/5.0\r\nAccept: */*\r\nConnection: keep-alive\r\n\r\n";
}
} // namespace

int main(int argc, char** argv) {
    QTemporaryDir profile;
    qputenv("XDG_CONFIG_HOME", profile.path().toUtf8());
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    QDir().mkpath(PortMapFolder());
    QDir().mkpath(profile.path() + QStringLiteral("/sys/class/tty"));
    std::vector<std::unique_ptr<TSimDevice>> devices;
    int number = 0;
    for (TSimDevice::TMode mode : {TSimDevice::TMode::Garbage, TSimDevice::TMode::NotFound, TSimDevice::TMode::Device}) {
        TSimDevice::TOptions options;
        options.Mode = mode;
        options.Link = PortMapFolder() + QStringLiteral("/COM%1").arg(++number);
        // The device thinks a little and sends its answers in pieces, so that each phase shows.
        if (mode == TSimDevice::TMode::Device) {
            options.Late = std::chrono::milliseconds(25);
            options.Pieces = 3;
            options.PiecePause = std::chrono::milliseconds(15);
        }
        devices.push_back(std::make_unique<TSimDevice>(options));
    }
    SetShellOpenHook([](const QString&) {});

    TWindows windows;
    CreateWindows(windows, QStringLiteral("Quellor"));
    TFrmMainRSServ& main = *windows.Main;
    TDistForm& dist = *windows.Dist;
    dist.EnumSources->SysfsRoot = profile.path() + QStringLiteral("/sys");
    main.BuildURL();
    Save(main, out + QStringLiteral("/main-silent.png"));
    Save(*windows.About, out + QStringLiteral("/about.png"));

    const quint16 port = FreePort();
    SettingsWriteInteger(QStringLiteral("TCP\\Port"), port);
    main.StartUp();
    main.BitBtnDetectClick();
    RunUntil([&] { return windows.Detection->PassMode == 2; }, 20000);
    RunUntil([&] { return windows.Line->IsIdle() && windows.Probe->ProbeResult >= prUnknown; }, 5000);
    QApplication::processEvents(QEventLoop::AllEvents, 600);
    Save(main, out + QStringLiteral("/main-answering.png"));
    // As the window first opens on a desktop of 1920 x 1080.
    dist.PlaceDefault(QSize(1920, 1080));
    Save(dist, out + QStringLiteral("/information.png"));
    Save(*windows.Params, out + QStringLiteral("/settings.png"));
    windows.Params->PageControl1->setCurrentWidget(windows.Params->TabSheetNetwork);
    Save(*windows.Params, out + QStringLiteral("/settings-network.png"));
    windows.Params->PageControl1->setCurrentWidget(windows.Params->TabSheetLine);
    Save(*windows.Params, out + QStringLiteral("/settings-line.png"));

    // A request for a host the check refuses, a download whose client leaves in the middle and
    // one the device ignores; then a page with its four pictures over six connections, as a
    // browser loads it, and a minute later the same page again (the journal's clock is moved on
    // rather than waiting the minute out).
    std::vector<std::unique_ptr<TClient>> clients;
    const auto loadPage = [&] {
        clients.push_back(std::make_unique<TClient>(port, Get("/", port)));
        RunUntil([&] { return clients.back()->Done(); }, 5000);
        for (int picture = 1; picture <= 4; ++picture)
            clients.push_back(std::make_unique<TClient>(port, Get("/img/" + QByteArray::number(picture) + ".bmp", port)));
        clients.push_back(std::make_unique<TClient>(port, Get("/favicon.ico", port)));
        RunUntil([&] { return std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->Done(); }); }, 10000);
    };
    journal::TJournal& journal = *windows.Journal;
    journal::TMoment ahead = 0;
    journal.Clock = [&journal, &ahead, epoch = journal.Now()] {
        return epoch + ahead + std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch()).count() - epoch;
    };
    clients.push_back(std::make_unique<TClient>(port, Get("/", port, "device.example.com")));
    clients.push_back(std::make_unique<TClient>(port, Get("/frame/pause?ms=600", port), 100));
    RunUntil([&] { return clients.back()->Done(); }, 5000);
    clients.push_back(std::make_unique<TClient>(port, Get("/setup.html?ignore=1", port)));
    RunUntil([&] { return std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->Done(); }); }, 20000);
    // The line settles after the ignored request before the page loads.
    RunUntil([&] { return windows.Line->IsIdle(); }, 15000);
    ahead += 30 * 1000 * 1000;
    loadPage();
    ahead += 60 * 1000 * 1000;
    loadPage();
    QApplication::processEvents(QEventLoop::AllEvents, 300);
    dist.show();
    QApplication::processEvents();
    journal::TExchangesView& view = *dist.Exchanges;
    // The two loads in sight: twelve rows from the first page on.
    const int firstLoad = view.Table->model()->rowCount() - 12;
    view.Table->scrollTo(view.Table->model()->index(firstLoad, 0), QAbstractItemView::PositionAtTop);
    view.Table->selectRow(view.Table->model()->rowCount() - 3);
    QApplication::processEvents(QEventLoop::AllEvents, 100);
    Save(dist, out + QStringLiteral("/exchanges.png"));

    // The selected row's menu, drawn over the window where it opens.
    const int selected = view.Table->currentIndex().row();
    const QRect row = view.Table->visualRect(view.Table->model()->index(selected, journal::TExchangeModel::ColTarget));
    std::unique_ptr<QMenu> menu(view.RowMenu(*view.Filter->EntryAt(selected), nullptr));
    menu->adjustSize();
    QPixmap picture = dist.grab();
    QPainter painter(&picture);
    painter.drawPixmap(view.Table->viewport()->mapTo(&dist, row.center()), menu->grab());
    painter.end();
    picture.save(out + QStringLiteral("/exchanges-menu.png"));
    return 0;
}
