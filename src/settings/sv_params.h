#pragma once
#include <QDialog>
#include <QMap>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/HubMessages.h"
#include "settings/SettingsTable.h"
#include "settings/sv_UtilsControls.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class TSettingsPart;

// The text's number when it is one within the setting's range.
std::optional<int32_t> NumberInRange(const QString& text, const TSetting& row);

// What the TCP side's fields hold, as typed.
struct TTcpTyped {
    QString Port;
    QString SendDelay;
    bool Framing = true;
    // None when one address is chosen and what is typed is not an IP address.
    std::optional<QString> Listen;
    QString AllowedHosts;
    QString ReaderLimit;
};

// The "Settings" window. Its port list is where the chosen serial port lives in memory; its
// other fields are what the serial and TCP sides take their values from when the settings are
// saved, and what they show their values in when they are loaded. The first page holds the port,
// the TCP port and the send delay; the second where and how the server serves, following a moved
// device, the journal's bounds and the desktop notifications; the third the serial line. The
// second and third are built from the settings table; the journal's bounds, the notifications and
// the line the dialog itself loads and saves.
class TFormParams : public QDialog {
public:
    explicit TFormParams(QObject* hub, QWidget* parent = nullptr);

    // The serial side and the TCP side, loaded and saved in this order by the whole load and save.
    void SetParts(TSettingsPart* serialSide, TSettingsPart* tcpSide);

    void LoadSettings();
    void SaveSettings();
    // A port was chosen for the user (by a detection pass or a device that moved): the settings
    // count as saved, without storing anything else the dialog holds.
    void MarkSaved();

    // Where the server listens, as TCP\Listen holds it: empty for every IPv4 address,
    // "localhost" for this machine only, or one address.
    void ShowListen(const QString& listen);
    // None when one address is chosen and what is typed is not an IP address.
    std::optional<QString> ListenSetting() const;

    // The TCP side's values: how it serves, where it listens, its port, its reader limit.
    void ShowTcpAccess(bool framing, const QString& listen, const QString& allowedHosts);
    void ShowTcpPort(uint16_t port, int32_t sendDelay);
    void ShowReaderLimit(int32_t seconds);
    TTcpTyped TcpTyped() const;

    // The port list, COM1 to COM255 with none chosen; the port chosen, by its number (0: none).
    void ListPorts();
    int PortCount() const;
    void ShowPort(int32_t com);
    int32_t ChosenCom() const;
    void ShowFollow(bool follow);
    bool FollowChosen() const;

    // What each port present is, by its number.
    void ShowPortDescriptions(const QMap<int, QString>& descriptions);
    // A setting's field, by its key, and the value it shows as the file would hold it.
    QWidget* FieldOf(const QString& key) const;
    void ShowValue(const QString& key, const QString& stored);
    QString FieldValue(const QString& key) const;
    void OnChanged();
    // False when a field's number is out of its range: that is reported and nothing is saved.
    bool BtSaveClick();
    void BtOKClick();
    void BtCancelClick();
    // True when the dialog may close (from its title bar).
    bool FormCloseQuery();

    bool Modified = false;
    std::unique_ptr<TsvControls> Snapshot;
    int32_t Saved = 0;
    int32_t JournalEntries = DefaultNumber(key::JournalEntries);
    int32_t JournalBodyBytes = DefaultNumber(key::JournalBodyBytes);
    // UI\Notifications: desktop notifications when the device goes or comes back.
    bool Notifications = true;

    QTabWidget* PageControl1;
    QWidget* TabSheetGeneral;
    QWidget* TabSheetNetwork;
    QWidget* TabSheetLine;

    QLabel* StaticText1;
    QComboBox* ComboBox_PortRS;
    QLabel* StaticText2;
    QLineEdit* EditTCPPort;
    QLabel* StaticText3;
    QLineEdit* EditTCPSendDelay;
    QGroupBox* RadioGroupListen;
    QRadioButton* RadioListenAll;
    QRadioButton* RadioListenLocal;
    QRadioButton* RadioListenOne;
    QLineEdit* EditListenAddress;
    QLabel* StaticTextAllowedHosts;
    QLineEdit* EditAllowedHosts;
    QCheckBox* CheckBoxFraming;
    QCheckBox* CheckBoxFollow;
    QLabel* StaticTextReaderLimit;
    QLineEdit* EditReaderLimit;
    QLabel* StaticTextJournalEntries;
    QLineEdit* EditJournalEntries;
    QLabel* StaticTextJournalBodyBytes;
    QLineEdit* EditJournalBodyBytes;
    QCheckBox* CheckBoxNotifications;
    QLineEdit* EditBaud;
    QComboBox* ComboBoxDataBits;
    QComboBox* ComboBoxParity;
    QComboBox* ComboBoxStopBits;
    QComboBox* ComboBoxFlow;
    QCheckBox* CheckBoxDtr;
    QCheckBox* CheckBoxBaudSearch;
    QPushButton* BtOK;
    QPushButton* BtSave;
    QPushButton* BtCancel;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void CreateGeneralPage();
    void CreateNetworkPage();
    void CreateLinePage();
    QWidget* CreateTablePage(const char* name, TSettingPage which, const QString& title);
    void AddField(QWidget* page, QFormLayout* form, const TSetting& row);
    QGroupBox* ListenGroup(QWidget* page, const TSetting& row);
    QLineEdit* NumberField(QWidget* page, QFormLayout* form, const TSetting& row);
    QLabel* LabelOf(const QString& key) const;
    template <typename T> T* Field(const QString& key) const { return static_cast<T*>(FieldOf(key)); }
    void WatchChanges(QWidget* field);
    void PlaceButtons();
    static QList<TSetting> KeptRows(bool line);
    static QString StoredValue(const TSetting& row);
    void LoadKept(bool line);
    void SaveKept(bool line);
    void TakeSnapshot();
    bool FieldsInRange();
    // Shows the field on its page with its text selected, after a refusal.
    void ShowRefused(QLineEdit* field, const QString& text);
    void ShowSelectedDescription();

    QObject* Hub;
    TSettingsPart* SerialSide = nullptr;
    TSettingsPart* TcpSide = nullptr;
    bool Placed = false;
    QMap<QString, QWidget*> Fields;
    // The fields of the pages in the order they were made, which Tab follows.
    QList<QWidget*> TabOrder;
};
