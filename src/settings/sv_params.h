#pragma once
#include <QDialog>
#include <QMap>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/WinMessage.h"
#include "settings/sv_UtilsControls.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TSettingsPart;

// Posted to the hub when the user saved the settings.
constexpr int WM_SV_PARAMS_SAVED = WM_USER_BASE + 501;

// What the dialog's two number fields accept; the dialog refuses to save a number outside them.
struct TFieldRange {
    int32_t Min;
    int32_t Max;
};
inline constexpr TFieldRange TcpPortRange{1, 65535};
inline constexpr TFieldRange SendDelayRange{0, 60000};
// The text's number when it is one within the range.
std::optional<int32_t> NumberInRange(const QString& text, TFieldRange range);

// The "Settings" window. Its port list is where the chosen serial port lives in memory;
// its two fields are what the TCP side takes its values from when the settings are saved.
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

    // What each port present is, by its number.
    void ShowPortDescriptions(const QMap<int, QString>& descriptions);
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

    QLabel* StaticText1;
    QComboBox* ComboBox_PortRS;
    QLabel* StaticText2;
    QLineEdit* EditTCPPort;
    QLabel* StaticText3;
    QLineEdit* EditTCPSendDelay;
    QPushButton* BtOK;
    QPushButton* BtSave;
    QPushButton* BtCancel;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void TakeSnapshot();
    bool FieldsInRange();
    void ShowSelectedDescription();

    QObject* Hub;
    TSettingsPart* SerialSide = nullptr;
    TSettingsPart* TcpSide = nullptr;
    bool Placed = false;
};
