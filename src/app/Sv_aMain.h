#pragma once
#include <QIcon>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QShortcut;
class TDeviceNotice;
class TWinMessage;
class TFormParams;
class TDistForm;
class TLine;
class TDeviceProbe;
class TDetection;
class TDeviceFollow;
struct TWindows;
namespace journal {
class TJournal;
}
class TTCPForm;
class TRSForm;
class TFormAbout;
struct TReloadParts;
struct TReloadReport;

// The main window: the program's small visible face, its tray icon, and the hub through
// which every event of the bridge passes as a numbered message.
class TFrmMainRSServ : public QMainWindow {
public:
    explicit TFrmMainRSServ(const QString& programBaseName);
    ~TFrmMainRSServ() override;
    // A named bridge says which one it is in the title and the tray icon's tooltip.
    void ShowInstanceName(const QString& name);

    // The other windows, created after this one; the hub forwards to them.
    void Attach(TWindows& windows);
    // Places the window in the tray, or shows it where the desktop has no tray.
    void ShowAtStart();
    void StartUp();
    // Takes the settings file as it stands now, without dropping a browser (app/Reload.h).
    TReloadReport ReloadSettings();

    void UpdateStatus();
    void BuildURL();
    // The browser address as people write it: http://localhost:24111.
    QString ShownURL() const;
    void OpenBrowser();
    // Notifications on or off, as the settings say.
    void ApplyNotifications();
    void DeviceMoved(const QString& port, const QString& from);
    QString DeviceStatus(bool whole) const;
    void FormCanResize();
    // Asks before closing; true when the close may go on.
    bool FormCloseQuery();

    // Message handlers, one per message.
    void WMSvParamsSaved();
    void WMSvRsRxChar();
    void WMSvRsTxEmpty();
    void WMSvRsPort();
    void WMSvTcpRead(int clientId);
    void WMSvTcpAccept();
    void WMSvTcpClose(int clientId);
    void WMSvTcpWritten(int clientId);
    void WMSvDistState();
    void WMSvDistEnd();
    void WMSvShow();

    // User commands.
    void BitBtnDetectClick();
    // Start for a script: the same pass, without the browser at its end; one under way is joined.
    void DetectForScript();
    void CheckDevice1Click();
    void N1Click();
    void N4Click();
    void About1Click();
    void N5Click();
    void N6Click();
    void N7Click();
    void TrayIconDoubleClick();
    void Timer2Timer();
    void TimerNoticeTimer();
    void NoticeClicked();
    // F10: the menu bar's first menu.
    void ShortcutMenuActivated();

    int OpenBrowserPending = 0;
    // The pass under way was started by a script, which opens no browser.
    bool ScriptPass = false;
    QString BrowserURL;

    QFrame* PanelFrm;
    QFrame* PanelBt;
    QPushButton* BitBtnDetect;
    QFrame* PanelTxt;
    QLabel* StaticTextDevice;
    // The browser address, a link that opens it.
    QLabel* LabelBrowserURL;
    QLabel* StatusPanels[4];
    QSystemTrayIcon* TrayIcon1;
    QMenu* PopupMenu1;
    QTimer* Timer2;
    // Tells a change of the device that waited for its minute.
    QTimer* TimerNotice;
    QShortcut* ShortcutMenu;
    // Decides which changes of the device are notified.
    std::unique_ptr<TDeviceNotice> Notice;
    // Puts a notification on the desktop through the tray; tests record it instead.
    std::function<void(const QString& title, const QString& text)> Notify;
    // The status text says where Start sent the browser, until the next Start or Check Device.
    bool BrowserOpenedShown = false;
    // The notification last shown told that the device answers.
    bool NoticeOpensBrowser = true;
    // The probe's status as the status text last showed it.
    QString ShownStatus = QStringLiteral("...");
    QIcon ImageList1[2];
    int TrayImageIndex = 0;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void CreateLayout();
    void CreateMenu();
    void CreateStatusBar();
    void CreateTray();
    void HandleMessage(const TWinMessage& message);
    int LinkHeight() const;
    void ShowStatusText(const QString& text);
    void ShowDeviceStatus();
    void ObserveDevice();
    void ArmNotice();
    void ShowNotice(const QString& text, bool answers);
    TReloadParts ReloadParts();

    TFormParams* FormParams = nullptr;
    journal::TJournal* Journal = nullptr;
    TDistForm* DistForm = nullptr;
    TLine* Line = nullptr;
    TDeviceProbe* Probe = nullptr;
    TDetection* Detection = nullptr;
    TDeviceFollow* Follower = nullptr;
    TTCPForm* TCPForm = nullptr;
    TRSForm* RSForm = nullptr;
    TFormAbout* FormAbout = nullptr;
};

// Ends the program in order, without the close question (a signal in a headless run).
void ShutDownWithoutQuestion();
