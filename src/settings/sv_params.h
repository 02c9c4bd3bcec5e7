#pragma once
#include <QDialog>
#include <QMap>
#include <QString>
#include <cstdint>
#include <memory>

#include "settings/sv_UtilsControls.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TSettingsPart;

// The "Settings" window. Its port list is where the chosen serial port lives in memory;
// its two fields are what the TCP side takes its values from when the settings are saved.
class TFormParams : public QDialog {
public:
    explicit TFormParams(QObject* hub, QWidget* parent = nullptr);

    // The serial side and the TCP side, loaded and saved in this order by the whole load and save.
    void SetParts(TSettingsPart* serialSide, TSettingsPart* tcpSide);

    void LoadSettings();
    void SaveSettings();

    // What each port present is, by its number.
    void ShowPortDescriptions(const QMap<int, QString>& descriptions);
    void OnChanged();
    void BtSaveClick();
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
    void ShowSelectedDescription();

    QObject* Hub;
    TSettingsPart* SerialSide = nullptr;
    TSettingsPart* TcpSide = nullptr;
    bool Placed = false;
};
