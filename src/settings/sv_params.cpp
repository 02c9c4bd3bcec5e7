#include "settings/sv_params.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <tuple>

#include "platform/Dialogs.h"
#include "platform/WinMessage.h"
#include "settings/SettingsPart.h"
#include "settings/UtilsRegistry.h"

namespace {
template <typename T> T* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* control = new T(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(left, top, width, height);
    return control;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text, int left, int top, int width) {
    auto* label = Place<QLabel>(parent, name, left, top, width, 17);
    label->setText(text);
    return label;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, QStyle::StandardPixmap icon, int left,
                    int top) {
    auto* button = Place<QPushButton>(parent, name, left, top, 75, 25);
    button->setText(text);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setAutoDefault(false);
    return button;
}

bool OutOfRange(const QLineEdit* field, TFieldRange range) {
    return ParseInteger(field->text()) && !NumberInRange(field->text(), range);
}
} // namespace

std::optional<int32_t> NumberInRange(const QString& text, TFieldRange range) {
    const std::optional<int32_t> number = ParseInteger(text);
    if (number && *number >= range.Min && *number <= range.Max)
        return number;
    return std::nullopt;
}

TFormParams::TFormParams(QObject* hub, QWidget* parent) : QDialog(parent), Hub(hub) {
    setObjectName(QStringLiteral("FormParams"));
    setWindowTitle(QStringLiteral("Settings"));
    setFixedSize(392, 176);
    StaticText1 = Label(this, "StaticText1", QStringLiteral("COM Port"), 8, 16, 60);
    ComboBox_PortRS = Place<QComboBox>(this, "ComboBox_PortRS", 80, 10, 97, 24);
    StaticText2 = Label(this, "StaticText2", QStringLiteral("Port"), 32, 52, 40);
    EditTCPPort = Place<QLineEdit>(this, "EditTCPPort", 80, 48, 89, 24);
    EditTCPPort->setText(QStringLiteral("24111"));
    StaticText3 = Label(this, "StaticText3", QStringLiteral("Send Delay"), 8, 92, 70);
    EditTCPSendDelay = Place<QLineEdit>(this, "EditTCPSendDelay", 80, 88, 89, 24);
    EditTCPSendDelay->setText(QStringLiteral("100"));
    BtOK = Button(this, "BtOK", QStringLiteral("OK"), QStyle::SP_DialogApplyButton, 209, 8);
    BtSave = Button(this, "BtSave", QStringLiteral("Save"), QStyle::SP_DialogSaveButton, 208, 48);
    BtCancel = Button(this, "BtCancel", QStringLiteral("Cancel"), QStyle::SP_DialogCancelButton, 209, 88);
    setTabOrder(BtOK, BtCancel);
    setTabOrder(BtCancel, BtSave);
    setTabOrder(BtSave, ComboBox_PortRS);
    setTabOrder(ComboBox_PortRS, EditTCPPort);
    setTabOrder(EditTCPPort, EditTCPSendDelay);

    connect(ComboBox_PortRS, &QComboBox::currentIndexChanged, this, &TFormParams::OnChanged);
    connect(ComboBox_PortRS, &QComboBox::currentIndexChanged, this, &TFormParams::ShowSelectedDescription);
    connect(EditTCPPort, &QLineEdit::textChanged, this, &TFormParams::OnChanged);
    connect(EditTCPSendDelay, &QLineEdit::textChanged, this, &TFormParams::OnChanged);
    connect(BtOK, &QPushButton::clicked, this, &TFormParams::BtOKClick);
    connect(BtSave, &QPushButton::clicked, this, &TFormParams::BtSaveClick);
    connect(BtCancel, &QPushButton::clicked, this, &TFormParams::BtCancelClick);

    TakeSnapshot();
    Saved = 0;
}

void TFormParams::SetParts(TSettingsPart* serialSide, TSettingsPart* tcpSide) {
    SerialSide = serialSide;
    TcpSide = tcpSide;
}

void TFormParams::LoadSettings() {
    SerialSide->LoadSettings();
    TcpSide->LoadSettings();
    Saved = SettingsReadInteger(QStringLiteral("Config\\Saved"), 0);
    TakeSnapshot();
    Modified = false;
}

void TFormParams::SaveSettings() {
    SerialSide->SaveSettings();
    TcpSide->SaveSettings();
    Saved = 1;
    SettingsWriteInteger(QStringLiteral("Config\\Saved"), 1);
    TakeSnapshot();
    Modified = false;
}

void TFormParams::MarkSaved() {
    Saved = 1;
    SettingsWriteInteger(QStringLiteral("Config\\Saved"), 1);
}

void TFormParams::OnChanged() { Modified = true; }

bool TFormParams::BtSaveClick() {
    if (!FieldsInRange())
        return false;
    SaveSettings();
    PostWinMessage(Hub, WM_SV_PARAMS_SAVED);
    return true;
}

void TFormParams::BtOKClick() {
    if (BtSaveClick())
        hide();
}

void TFormParams::BtCancelClick() {
    LoadSettings();
    hide();
}

bool TFormParams::FormCloseQuery() {
    if (Modified && Snapshot->IsUnchanged())
        Modified = false;
    if (!Modified)
        return true;
    switch (AskQuestion(QStringLiteral("Do you want to save changes?"), TBoxButtons::YesNoCancel)) {
    case TBoxAnswer::Yes:
        return BtSaveClick();
    case TBoxAnswer::No:
        LoadSettings();
        return true;
    default:
        return false;
    }
}

// The entries stay "COMn", so that their order and meaning do not change: a port present is
// shown bold, with what it is as its tooltip.
void TFormParams::ShowPortDescriptions(const QMap<int, QString>& descriptions) {
    for (int index = 0; index < ComboBox_PortRS->count(); ++index) {
        const QString description = descriptions.value(index + 1);
        QFont font = ComboBox_PortRS->font();
        font.setBold(true);
        ComboBox_PortRS->setItemData(index, description.isEmpty() ? QVariant() : QVariant(description), Qt::ToolTipRole);
        ComboBox_PortRS->setItemData(index, description.isEmpty() ? QVariant() : QVariant(font), Qt::FontRole);
    }
    ShowSelectedDescription();
}

void TFormParams::ShowSelectedDescription() {
    ComboBox_PortRS->setToolTip(ComboBox_PortRS->currentData(Qt::ToolTipRole).toString());
}

void TFormParams::TakeSnapshot() { Snapshot = std::make_unique<TsvControls>(this); }

// Text that is no number at all keeps the value it replaces; a number out of range is a typing
// slip the user must see, not a value to bend into range.
bool TFormParams::FieldsInRange() {
    for (const auto& [field, range, text] :
         {std::tuple(EditTCPPort, TcpPortRange, QStringLiteral("Port must be a TCP port from 1 to 65535.")),
          std::tuple(EditTCPSendDelay, SendDelayRange, QStringLiteral("Send Delay must be from 0 to 60000 milliseconds."))}) {
        if (OutOfRange(field, range)) {
            ShowErrorBox(text);
            field->setFocus();
            field->selectAll();
            return false;
        }
    }
    return true;
}

void TFormParams::closeEvent(QCloseEvent* event) {
    if (ProgramClosing || FormCloseQuery())
        event->accept();
    else
        event->ignore();
}

void TFormParams::showEvent(QShowEvent* event) {
    if (!Placed && parentWidget() == nullptr && Hub && Hub->isWidgetType()) {
        const QWidget* main = static_cast<QWidget*>(Hub);
        move(main->geometry().center() - rect().center());
        Placed = true;
    }
    QDialog::showEvent(event);
}

// Esc presses Cancel.
void TFormParams::reject() { BtCancelClick(); }
