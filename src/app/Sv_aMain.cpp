#include "app/Sv_aMain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStatusBar>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <utility>

#include "app/DeviceNotice.h"
#include "app/Hub.h"
#include "app/Reload.h"
#include "app/UnitAbout.h"
#include "app/StartUp.h"
#include "bridge/Line.h"
#include "journal/Journal.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "detect/Detection.h"
#include "detect/DeviceFollow.h"
#include "detect/DeviceProbe.h"
#include "detect/DistForm.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/ShellOpen.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "serial/CommInt.h"
#include "settings/SettingsCheck.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
QFrame* Panel(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(QLatin1String(name));
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setGeometry(left, top, width, height);
    return panel;
}

// What each status bar panel counts, for its tooltip and the name a screen reader gives it.
const char* const PanelTips[] = {"The serial port in use", "The id of the last client",
                                 "Connections open / clients waiting", "How long the last answer took, in ms"};
const char* const PanelNames[] = {"Serial port", "Last client id", "Connections open / clients waiting",
                                  "Last answer time"};

// The tick count without its wrap, so that a minute is a minute after 49 days too.
std::function<qint64()> SteadyTicks() {
    return [last = GetTickCount(), total = qint64(0)]() mutable {
        const uint32_t now = GetTickCount();
        total += static_cast<uint32_t>(now - last);
        last = now;
        return total;
    };
}
} // namespace

TFrmMainRSServ::~TFrmMainRSServ() = default;

TFrmMainRSServ::TFrmMainRSServ(const QString& programBaseName) {
    setObjectName(QLatin1String(MainWindowClass));
    setWindowTitle(QStringLiteral("Quellor"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/device-on.png")));
    OpenBrowserPending = 0;
    SettingsSetLocation(QStringLiteral("SOFTWARE"), QStringLiteral("NORVEL-Q\\") + programBaseName);
    ImageList1[0] = QIcon(QStringLiteral(":/icons/device-off.png"));
    ImageList1[1] = QIcon(QStringLiteral(":/icons/device-on.png"));
    CreateLayout();
    CreateMenu();
    CreateStatusBar();
    CreateTray();
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setSingleShot(true);
    Timer2->setInterval(1);
    Timer2->setTimerType(Qt::PreciseTimer);
    connect(Timer2, &QTimer::timeout, this, &TFrmMainRSServ::Timer2Timer);
    TimerNotice = new QTimer(this);
    TimerNotice->setObjectName(QStringLiteral("TimerNotice"));
    TimerNotice->setSingleShot(true);
    connect(TimerNotice, &QTimer::timeout, this, &TFrmMainRSServ::TimerNoticeTimer);
    Notice = std::make_unique<TDeviceNotice>(SteadyTicks(),
                                             [this](const QString& text, bool answers) { ShowNotice(text, answers); });
    Notify = [this](const QString& title, const QString& text) { TrayIcon1->showMessage(title, text); };
    // The address's row is added below the status text, which keeps its size.
    resize(325, 300 + LinkHeight());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TFrmMainRSServ::ShowInstanceName(const QString& name) {
    setWindowTitle(QStringLiteral("Quellor (%1)").arg(name));
    TrayIcon1->setToolTip(windowTitle());
}

void TFrmMainRSServ::CreateLayout() {
    PanelFrm = new QFrame(this);
    PanelFrm->setObjectName(QStringLiteral("PanelFrm"));
    setCentralWidget(PanelFrm);
    PanelBt = Panel(PanelFrm, "PanelBt", 8, 8, 201, 89);
    BitBtnDetect = new QPushButton(QStringLiteral("Start"), PanelBt);
    BitBtnDetect->setObjectName(QStringLiteral("BitBtnDetect"));
    BitBtnDetect->setGeometry(8, 8, 185, 73);
    BitBtnDetect->setIcon(QIcon(QStringLiteral(":/icons/start.png")));
    BitBtnDetect->setIconSize(QSize(40, 40));
    BitBtnDetect->setCursor(Qt::PointingHandCursor);
    QFont big = BitBtnDetect->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    BitBtnDetect->setFont(big);
    connect(BitBtnDetect, &QPushButton::clicked, this, &TFrmMainRSServ::BitBtnDetectClick);
    PanelTxt = Panel(PanelFrm, "PanelTxt", 8, 104, 201, 121);
    StaticTextDevice = new QLabel(QStringLiteral("..."), PanelTxt);
    StaticTextDevice->setObjectName(QStringLiteral("StaticTextDevice"));
    StaticTextDevice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    StaticTextDevice->setWordWrap(true);
    StaticTextDevice->setTextFormat(Qt::PlainText);
    StaticTextDevice->setMargin(4);
    StaticTextDevice->setAccessibleName(QStringLiteral("Device status"));
    LabelBrowserURL = new QLabel(PanelTxt);
    LabelBrowserURL->setObjectName(QStringLiteral("LabelBrowserURL"));
    LabelBrowserURL->setTextFormat(Qt::RichText);
    LabelBrowserURL->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    LabelBrowserURL->setFocusPolicy(Qt::StrongFocus);
    LabelBrowserURL->setMargin(4);
    LabelBrowserURL->setToolTip(QStringLiteral("The address of the device's pages: click to open it in the browser"));
    LabelBrowserURL->setAccessibleName(QStringLiteral("Browser address"));
    connect(LabelBrowserURL, &QLabel::linkActivated, this, &TFrmMainRSServ::OpenBrowser);
    setTabOrder(BitBtnDetect, LabelBrowserURL);
    PanelFrm->installEventFilter(this);
}

void TFrmMainRSServ::CreateMenu() {
    QMenu* action = menuBar()->addMenu(QStringLiteral("&Action"));
    action->setObjectName(QStringLiteral("MnuAction"));
    action->addAction(QStringLiteral("&Start"), this, &TFrmMainRSServ::BitBtnDetectClick)->setObjectName(QStringLiteral("Start1"));
    action->addAction(QStringLiteral("&Check Device"), this, &TFrmMainRSServ::CheckDevice1Click)
        ->setObjectName(QStringLiteral("CheckDevice1"));
    action->addAction(QStringLiteral("&Open in Browser"), this, &TFrmMainRSServ::OpenBrowser)
        ->setObjectName(QStringLiteral("OpenBrowser1"));
    menuBar()->addAction(QStringLiteral("&Settings"), this, &TFrmMainRSServ::N1Click)->setObjectName(QStringLiteral("N1"));
    menuBar()->addAction(QStringLiteral("&Information"), this, &TFrmMainRSServ::N4Click)->setObjectName(QStringLiteral("N4"));
    menuBar()->addAction(QStringLiteral("A&bout"), this, &TFrmMainRSServ::About1Click)->setObjectName(QStringLiteral("About1"));
    // Not every style takes F10 to the menu bar.
    ShortcutMenu = new QShortcut(QKeySequence(Qt::Key_F10), this);
    ShortcutMenu->setObjectName(QStringLiteral("ShortcutMenu"));
    connect(ShortcutMenu, &QShortcut::activated, this, &TFrmMainRSServ::ShortcutMenuActivated);
}

void TFrmMainRSServ::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    bar->setAutoFillBackground(true);
    for (int i = 0; i < 4; ++i) {
        QLabel*& panel = StatusPanels[i];
        panel = new QLabel(bar);
        panel->setFixedWidth(50);
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setToolTip(QLatin1String(PanelTips[i]));
        panel->setAccessibleName(QLatin1String(PanelNames[i]));
        bar->addWidget(panel);
    }
}

void TFrmMainRSServ::CreateTray() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(QStringLiteral("&Show"), this, &TFrmMainRSServ::N5Click)->setObjectName(QStringLiteral("N5"));
    PopupMenu1->addAction(QStringLiteral("&Hide"), this, &TFrmMainRSServ::N6Click)->setObjectName(QStringLiteral("N6"));
    PopupMenu1->addAction(QStringLiteral("&Open in Browser"), this, &TFrmMainRSServ::OpenBrowser)
        ->setObjectName(QStringLiteral("N8"));
    PopupMenu1->addAction(QStringLiteral("E&xit"), this, &TFrmMainRSServ::N7Click)->setObjectName(QStringLiteral("N7"));
    TrayIcon1 = new QSystemTrayIcon(ImageList1[0], this);
    TrayIcon1->setObjectName(QStringLiteral("TrayIcon1"));
    TrayIcon1->setContextMenu(PopupMenu1);
    connect(TrayIcon1, &QSystemTrayIcon::messageClicked, this, &TFrmMainRSServ::NoticeClicked);
    connect(TrayIcon1, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            TrayIconDoubleClick();
    });
}

void TFrmMainRSServ::Attach(TWindows& windows) {
    FormParams = windows.Params.get();
    Journal = windows.Journal.get();
    DistForm = windows.Dist.get();
    Line = windows.Line.get();
    Probe = windows.Probe.get();
    Detection = windows.Detection.get();
    Follower = windows.Follower.get();
    TCPForm = windows.Tcp.get();
    RSForm = windows.Rs.get();
    FormAbout = windows.About.get();
    Follower->OnMoved = [this](const QString& port, const QString& from) { DeviceMoved(port, from); };
    Probe->OnCheckCalledOff = [this] { ShowDeviceStatus(); };
}

void TFrmMainRSServ::ShowAtStart() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        TrayIcon1->show();
    else
        show();
    UpdateStatus();
}

void TFrmMainRSServ::StartUp() {
    // Settings that cannot be loaded are reported; the bridge runs on with what was read and
    // the defaults for the rest. A bad number is named as a reload names it.
    const QList<TBadSetting> bad = FindBadSettings();
    try {
        FormParams->LoadSettings();
    } catch (...) {
        ReportCurrentException();
    }
    Journal->LoadSettings();
    for (const QString& line : BadSettingLines(bad, ReloadParts()))
        DistForm->AddLogLine(line.toUtf8(), true);
    RSForm->SetChannel(1);
    Line->Init();
    Follower->Start();
    BuildURL();
    ApplyNotifications();
}

TReloadReport TFrmMainRSServ::ReloadSettings() { return ReloadSettingsFile(ReloadParts()); }

TReloadParts TFrmMainRSServ::ReloadParts() {
    return {FormParams, Journal, Line, TCPForm, RSForm, [this] {
                BuildURL();
                ApplyNotifications();
            }};
}

void TFrmMainRSServ::UpdateStatus() {
    const int open = TCPForm->ServerSocket1->ActiveConnections();
    const int waiting = TCPForm->Clients.Count();
    StatusPanels[0]->setText(RSForm->PortName());
    const QString portTip = QLatin1String(PanelTips[0]);
    const QString port = RSForm->PortName();
    StatusPanels[0]->setToolTip(port.isEmpty() ? portTip
                                               : portTip + QStringLiteral(": ") + port + QLatin1Char(' ') +
                                                     LineText(RSForm->PortLine()));
    StatusPanels[1]->setText(QStringLiteral("Id:%1").arg(TCPForm->LastClientId));
    StatusPanels[2]->setText(QStringLiteral("c:%1/%2").arg(open).arg(waiting));
    StatusPanels[3]->setText(QStringLiteral("t:%1").arg(Line->LastAnswerTime()));
    const QString values[] = {RSForm->PortName().isEmpty() ? QStringLiteral("none") : RSForm->PortName(),
                              QString::number(TCPForm->LastClientId), QStringLiteral("%1 / %2").arg(open).arg(waiting),
                              QStringLiteral("%1 ms").arg(Line->LastAnswerTime())};
    for (int i = 0; i < 4; ++i)
        StatusPanels[i]->setAccessibleName(QLatin1String(PanelNames[i]) + QStringLiteral(": ") + values[i]);
    QPalette palette = statusBar()->palette();
    palette.setColor(QPalette::Window, Line->IsDeviceOk() ? QColor(0, 128, 0) : QColor(255, 0, 0));
    statusBar()->setPalette(palette);
    TrayImageIndex = Line->IsDeviceOk() ? 1 : 0;
    TrayIcon1->setIcon(ImageList1[TrayImageIndex]);
    QStringList tip{windowTitle()};
    if (const QString status = DeviceStatus(false); !status.isEmpty())
        tip << status;
    if (!BrowserURL.isEmpty())
        tip << ShownURL();
    TrayIcon1->setToolTip(tip.join(QLatin1Char('\n')));
}

// The probe's status line, and why the port did not open when that is why it failed.
QString TFrmMainRSServ::DeviceStatus(bool whole) const {
    QString status = QString::fromUtf8(Probe->StatusText).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (!whole)
        status = status.section(QLatin1Char('\n'), 0, 0);
    if (Probe->ProbeResult == prComError && !RSForm->OpenFailure.isEmpty())
        status += QLatin1Char('\n') + RSForm->OpenFailure;
    return status;
}

// The browser opens only when the user clicks the notification.
void TFrmMainRSServ::DeviceMoved(const QString& port, const QString& from) {
    const QString where = from.isEmpty() ? QString() : QStringLiteral(" (it was on ") + from + QLatin1Char(')');
    if (TrayIcon1->isVisible() && Notify) {
        NoticeOpensBrowser = true;
        Notify(windowTitle(), QStringLiteral("The device answers on ") + port + where +
                                  QStringLiteral(". Click to open it in the browser."));
    }
}

void TFrmMainRSServ::BuildURL() {
    BrowserURL = QStringLiteral("http:\\\\") + TCPForm->BrowserHost() + QLatin1Char(':') + QString::number(TCPForm->Port);
    const QString shown = ShownURL().toHtmlEscaped();
    LabelBrowserURL->setText(QStringLiteral("Address: <a href=\"%1\">%1</a>").arg(shown));
    LabelBrowserURL->setAccessibleName(QStringLiteral("Browser address: ") + ShownURL());
    UpdateStatus();
    if (BrowserOpenedShown)
        ShowDeviceStatus();
}

QString TFrmMainRSServ::ShownURL() const { return QString(BrowserURL).replace(QLatin1Char('\\'), QLatin1Char('/')); }

void TFrmMainRSServ::OpenBrowser() { ShellOpen(BrowserURL); }

void TFrmMainRSServ::ShowStatusText(const QString& text) {
    StaticTextDevice->setText(text);
    StaticTextDevice->setAccessibleName(QStringLiteral("Device status: ") + text);
}

// The last probe's status, and where Start sent the browser when it did.
void TFrmMainRSServ::ShowDeviceStatus() {
    QString text = ShownStatus;
    if (BrowserOpenedShown)
        text += QStringLiteral("\nBrowser opened at ") + ShownURL();
    ShowStatusText(text);
}

int TFrmMainRSServ::LinkHeight() const {
    return LabelBrowserURL->fontMetrics().height() + 2 * LabelBrowserURL->margin();
}

void TFrmMainRSServ::ApplyNotifications() { Notice->SetEnabled(FormParams->Notifications); }

// Only the configured port's device, and not while a pass borrows every port in turn.
void TFrmMainRSServ::ObserveDevice() {
    const QString port = RSForm->ConfiguredPort();
    if (port.isEmpty() || Detection->Running() || Probe->ProbeResult < prComError)
        return;
    QString reason;
    if (Probe->ProbeResult == prComError)
        reason = RSForm->OpenFailure.isEmpty() ? QStringLiteral("the port failed") : RSForm->OpenFailure;
    else if (Probe->ProbeResult == prTimeOut)
        reason = QStringLiteral("no answer in 3 s");
    Notice->Observe(port, Line->IsDeviceOk(), reason);
    ArmNotice();
}

void TFrmMainRSServ::ArmNotice() {
    if (const std::optional<qint64> due = Notice->NextDue())
        TimerNotice->start(static_cast<int>(*due));
    else
        TimerNotice->stop();
}

void TFrmMainRSServ::TimerNoticeTimer() {
    Notice->Tick();
    ArmNotice();
}

// A headless run has no tray to show it in.
void TFrmMainRSServ::ShowNotice(const QString& text, bool answers) {
    if (!TrayIcon1->isVisible() || !Notify)
        return;
    NoticeOpensBrowser = answers;
    Notify(windowTitle(), text);
}

// A click on a notification that the device answers opens its pages; one that it went does not.
void TFrmMainRSServ::NoticeClicked() {
    if (NoticeOpensBrowser)
        OpenBrowser();
}

void TFrmMainRSServ::ShortcutMenuActivated() {
    if (!menuBar()->actions().isEmpty())
        menuBar()->setActiveAction(menuBar()->actions().constFirst());
}

// Lays the panels out for the size the frame now has.
void TFrmMainRSServ::FormCanResize() {
    const int width = PanelFrm->width();
    const int height = PanelFrm->height();
    PanelBt->setGeometry(8, 8, width - 16, PanelBt->height());
    BitBtnDetect->setGeometry(8, 8, PanelBt->width() - 16, PanelBt->height() - 16);
    PanelTxt->setGeometry(8, PanelBt->height() + 16, width - 16, height - PanelBt->height() - 24);
    const int link = LinkHeight();
    StaticTextDevice->setGeometry(0, 0, PanelTxt->width(), PanelTxt->height() - link);
    LabelBrowserURL->setGeometry(0, PanelTxt->height() - link, PanelTxt->width(), link);
}

bool TFrmMainRSServ::FormCloseQuery() {
    if (AskQuestion(QStringLiteral("Do you want to close the program?"), TBoxButtons::YesNo) != TBoxAnswer::Yes)
        return false;
    ProgramClosing = true;
    CommShutdown = true;
    return true;
}

bool TFrmMainRSServ::event(QEvent* event) {
    if (event->type() == TWinMessage::EventType()) {
        HandleMessage(static_cast<const TWinMessage&>(*event));
        return true;
    }
    return QMainWindow::event(event);
}

void TFrmMainRSServ::HandleMessage(const TWinMessage& message) {
    if (ProgramClosing || ApplicationTerminating())
        return;
    switch (message.Msg) {
    case WM_SV_PARAMS_SAVED: WMSvParamsSaved(); break;
    case WM_SV_RS_RXCHAR: WMSvRsRxChar(); break;
    case WM_SV_RS_TXEMPTY: WMSvRsTxEmpty(); break;
    case WM_SV_RS_PORT: WMSvRsPort(); break;
    case WM_SV_TCP_READ: WMSvTcpRead(static_cast<int>(message.WParam)); break;
    case WM_SV_TCP_ACCEPT: WMSvTcpAccept(); break;
    case WM_SV_TCP_CLOSE: WMSvTcpClose(static_cast<int>(message.WParam)); break;
    case WM_SV_DIST_STATE: WMSvDistState(); break;
    case WM_SV_DIST_END: WMSvDistEnd(); break;
    case WM_SV_SHOW: WMSvShow(); break;
    case WM_SV_TCP_WRITTEN: WMSvTcpWritten(static_cast<int>(message.WParam)); break;
    default: break;
    }
}

// Every ask under way or waiting is cancelled: it was made for the settings that were.
void TFrmMainRSServ::WMSvParamsSaved() {
    Journal->LoadSettings();
    Line->CancelAll();
    TCPForm->ServerSocket1->SetActive(false);
    RSForm->ClosePort();
    RSForm->OpenSelectedPortOrWarn();
    TCPForm->RestartServer();
    Line->LineReset();
    BuildURL();
    ApplyNotifications();
}

void TFrmMainRSServ::WMSvRsRxChar() { Line->OnSerialData(); }

// The next chunk waits 1 ms after the output ran empty, about a dozen characters at 115200 baud;
// at rates where a dozen characters take under half of that, it goes at once.
void TFrmMainRSServ::WMSvRsTxEmpty() {
    Timer2->setInterval(12ull * CharacterNanos(RSForm->CommRS->DCB()) >= 500'000 ? 1 : 0);
    if (!Timer2->isActive())
        Timer2->start();
}

void TFrmMainRSServ::Timer2Timer() {
    Timer2->stop();
    Line->ContinueSending();
}

void TFrmMainRSServ::WMSvTcpRead(int clientId) { Line->OnClientData(clientId); }

void TFrmMainRSServ::WMSvRsPort() { UpdateStatus(); }

void TFrmMainRSServ::WMSvTcpAccept() {
    Line->OnClientAccepted();
    UpdateStatus();
}

void TFrmMainRSServ::WMSvTcpClose(int clientId) {
    Line->OnClientClosed(clientId);
    UpdateStatus();
}

void TFrmMainRSServ::WMSvTcpWritten(int clientId) { Line->OnClientWritten(clientId); }

void TFrmMainRSServ::WMSvDistState() {
    UpdateStatus();
    if (OpenBrowserPending > 0) {
        OpenBrowserPending = 0;
        if (Probe->ProbeResult >= prUnknown) {
            OpenBrowser();
            BrowserOpenedShown = true;
        }
    }
    ShownStatus = DeviceStatus(true);
    ShowDeviceStatus();
    ObserveDevice();
}

void TFrmMainRSServ::WMSvDistEnd() {
    if (!std::exchange(ScriptPass, false) && Detection->BestResult >= prUnknown)
        OpenBrowserPending = 1;
    Probe->StartProbe(false);
}

void TFrmMainRSServ::WMSvShow() { N5Click(); }

void TFrmMainRSServ::BitBtnDetectClick() {
    ScriptPass = false;
    BrowserOpenedShown = false;
    ShowStatusText(QStringLiteral("Detect.."));
    Detection->StartDetection();
    Follower->Cancel();
}

void TFrmMainRSServ::DetectForScript() {
    if (Detection->Running())
        return;
    BitBtnDetectClick();
    ScriptPass = true;
}

void TFrmMainRSServ::CheckDevice1Click() {
    BrowserOpenedShown = false;
    ShowStatusText(QStringLiteral("Check.."));
    Probe->StartProbe(true);
}

void TFrmMainRSServ::N1Click() { FormParams->show(); }
void TFrmMainRSServ::N4Click() { DistForm->show(); }
void TFrmMainRSServ::About1Click() { FormAbout->show(); }

void TFrmMainRSServ::N5Click() {
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TFrmMainRSServ::N6Click() { hide(); }

void TFrmMainRSServ::N7Click() { close(); }

void TFrmMainRSServ::TrayIconDoubleClick() {
    if (isVisible())
        N6Click();
    else
        N5Click();
}

bool TFrmMainRSServ::eventFilter(QObject* watched, QEvent* event) {
    if (watched == PanelFrm && event->type() == QEvent::Resize)
        FormCanResize();
    return QMainWindow::eventFilter(watched, event);
}

void TFrmMainRSServ::closeEvent(QCloseEvent* event) {
    if (!ProgramClosing && !FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

void TFrmMainRSServ::changeEvent(QEvent* event) {
    // Minimising puts the window into the tray; without a tray it stays on the taskbar.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayIcon1->isVisible())
        QTimer::singleShot(0, this, &QWidget::hide);
    QMainWindow::changeEvent(event);
}

void ShutDownWithoutQuestion() {
    ProgramClosing = true;
    CommShutdown = true;
    QCoreApplication::quit();
}
