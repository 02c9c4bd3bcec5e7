#include "settings/sv_params.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <tuple>

#include "platform/Dialogs.h"
#include "platform/WinMessage.h"
#include "settings/SettingsPart.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"

namespace {

template <typename T> T* Named(QWidget* parent, const char* name) {
    auto* control = new T(parent);
    control->setObjectName(QLatin1String(name));
    return control;
}

template <typename T> T* Place(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* control = Named<T>(parent, name);
    control->setGeometry(left, top, width, height);
    return control;
}

// A label whose mnemonic takes the keyboard to its field; both say what the field does.
QLabel* Label(QWidget* parent, const char* name, const QString& text, QWidget* field, const QString& tip) {
    auto* label = Named<QLabel>(parent, name);
    label->setText(text);
    label->setBuddy(field);
    label->setToolTip(tip);
    if (field->toolTip().isEmpty())
        field->setToolTip(tip);
    return label;
}

QLabel* Label(QWidget* parent, const char* name, const QString& text, QWidget* field, const QString& tip, int left,
              int top, int width) {
    QLabel* label = Label(parent, name, text, field, tip);
    label->setGeometry(left, top, width, 17);
    return label;
}

template <typename T> T* Choice(QWidget* parent, const char* name, const QString& text, const QString& tip) {
    auto* choice = Named<T>(parent, name);
    choice->setText(text);
    choice->setToolTip(tip);
    return choice;
}

QPushButton* Button(QWidget* parent, const char* name, const QString& text, QStyle::StandardPixmap icon) {
    auto* button = Named<QPushButton>(parent, name);
    button->resize(75, 25);
    button->setText(text);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setAutoDefault(false);
    return button;
}

// "EditReaderLimit" is labelled by "StaticTextReaderLimit", "ComboBoxParity" by "StaticTextParity".
QString LabelName(const TSetting& row) {
    QString name = row.Control;
    for (const char* prefix : {"Edit", "ComboBox"})
        if (name.startsWith(QLatin1String(prefix)))
            return QStringLiteral("StaticText") + name.mid(qstrlen(prefix));
    return QStringLiteral("StaticText") + name;
}

bool IsLocalhost(const QString& listen) { return listen.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0; }
} // namespace

std::optional<int32_t> NumberInRange(const QString& text, const TSetting& row) {
    const std::optional<int32_t> number = ParseInteger(text);
    if (number && *number >= row.Min && *number <= row.Max)
        return number;
    return std::nullopt;
}

TFormParams::TFormParams(QObject* hub, QWidget* parent) : QDialog(parent), Hub(hub) {
    setObjectName(QStringLiteral("FormParams"));
    setWindowTitle(QStringLiteral("Settings"));
    PageControl1 = Named<QTabWidget>(this, "PageControl1");
    CreateGeneralPage();
    CreateNetworkPage();
    CreateLinePage();
    PlaceButtons();
    const QList<QWidget*> tabOrder = QList<QWidget*>{BtOK, BtCancel, BtSave, PageControl1} + TabOrder;
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(ComboBox_PortRS, &QComboBox::currentIndexChanged, this, &TFormParams::ShowSelectedDescription);
    for (QWidget* field : TabOrder)
        WatchChanges(field);
    connect(RadioListenOne, &QRadioButton::toggled, EditListenAddress, &QLineEdit::setEnabled);
    // Choosing one address by hand goes on to typing it.
    connect(RadioListenOne, &QRadioButton::clicked, EditListenAddress, [this] { EditListenAddress->setFocus(); });
    connect(BtOK, &QPushButton::clicked, this, &TFormParams::BtOKClick);
    connect(BtSave, &QPushButton::clicked, this, &TFormParams::BtSaveClick);
    connect(BtCancel, &QPushButton::clicked, this, &TFormParams::BtCancelClick);

    TakeSnapshot();
    Saved = 0;
}

void TFormParams::WatchChanges(QWidget* field) {
    if (auto* list = qobject_cast<QComboBox*>(field))
        connect(list, &QComboBox::currentIndexChanged, this, &TFormParams::OnChanged);
    else if (auto* edit = qobject_cast<QLineEdit*>(field))
        connect(edit, &QLineEdit::textChanged, this, &TFormParams::OnChanged);
    else if (auto* button = qobject_cast<QAbstractButton*>(field))
        connect(button, &QAbstractButton::toggled, this, &TFormParams::OnChanged);
}

// The port, the TCP port and the send delay, where they always stood.
void TFormParams::CreateGeneralPage() {
    TabSheetGeneral = Named<QWidget>(PageControl1, "TabSheetGeneral");
    QWidget* page = TabSheetGeneral;
    page->setMinimumSize(200, 124);
    const TSetting& port = SettingOf(key::RsCom);
    const TSetting& tcpPort = SettingOf(key::TcpPort);
    const TSetting& delay = SettingOf(key::TcpDelay);
    ComboBox_PortRS = Place<QComboBox>(page, "ComboBox_PortRS", 80, 10, 97, 24);
    ComboBox_PortRS->setToolTip(port.Tip);
    StaticText1 = Label(page, "StaticText1", port.Label, ComboBox_PortRS, port.Tip, 8, 16, 70);
    EditTCPPort = Place<QLineEdit>(page, "EditTCPPort", 80, 48, 89, 24);
    EditTCPPort->setText(tcpPort.Default);
    StaticText2 = Label(page, "StaticText2", tcpPort.Label, EditTCPPort, tcpPort.Tip, 32, 52, 40);
    EditTCPSendDelay = Place<QLineEdit>(page, "EditTCPSendDelay", 80, 88, 89, 24);
    EditTCPSendDelay->setText(delay.Default);
    StaticText3 = Label(page, "StaticText3", delay.Label, EditTCPSendDelay, delay.Tip, 8, 92, 70);
    for (const TSetting* row : {&port, &tcpPort, &delay})
        Fields.insert(row->Key, findChild<QWidget*>(row->Control));
    TabOrder << ComboBox_PortRS << EditTCPPort << EditTCPSendDelay;
    PageControl1->addTab(page, QStringLiteral("&General"));
}

// The network and line pages are the table's rows on them, in its order.
void TFormParams::CreateNetworkPage() {
    TabSheetNetwork = CreateTablePage("TabSheetNetwork", TSettingPage::Network, QStringLiteral("&Network"));
    RadioGroupListen = Field<QGroupBox>(key::TcpListen);
    RadioListenAll = RadioGroupListen->findChild<QRadioButton*>(QStringLiteral("RadioListenAll"));
    RadioListenLocal = RadioGroupListen->findChild<QRadioButton*>(QStringLiteral("RadioListenLocal"));
    RadioListenOne = RadioGroupListen->findChild<QRadioButton*>(QStringLiteral("RadioListenOne"));
    EditListenAddress = RadioGroupListen->findChild<QLineEdit*>(QStringLiteral("EditListenAddress"));
    EditAllowedHosts = Field<QLineEdit>(key::TcpAllowedHosts);
    StaticTextAllowedHosts = LabelOf(key::TcpAllowedHosts);
    CheckBoxFraming = Field<QCheckBox>(key::TcpFraming);
    CheckBoxFollow = Field<QCheckBox>(key::RsFollow);
    EditReaderLimit = Field<QLineEdit>(key::TcpReaderLimit);
    StaticTextReaderLimit = LabelOf(key::TcpReaderLimit);
    EditJournalEntries = Field<QLineEdit>(key::JournalEntries);
    StaticTextJournalEntries = LabelOf(key::JournalEntries);
    EditJournalBodyBytes = Field<QLineEdit>(key::JournalBodyBytes);
    StaticTextJournalBodyBytes = LabelOf(key::JournalBodyBytes);
    CheckBoxNotifications = Field<QCheckBox>(key::Notifications);
}

void TFormParams::CreateLinePage() {
    TabSheetLine = CreateTablePage("TabSheetLine", TSettingPage::Line, QStringLiteral("&Line"));
    EditBaud = Field<QLineEdit>(key::RsBaud);
    ComboBoxDataBits = Field<QComboBox>(key::RsDataBits);
    ComboBoxParity = Field<QComboBox>(key::RsParity);
    ComboBoxStopBits = Field<QComboBox>(key::RsStopBits);
    ComboBoxFlow = Field<QComboBox>(key::RsFlow);
    CheckBoxDtr = Field<QCheckBox>(key::RsDtr);
    CheckBoxBaudSearch = Field<QCheckBox>(key::RsBaudSearch);
}

QWidget* TFormParams::CreateTablePage(const char* name, TSettingPage which, const QString& title) {
    QWidget* page = Named<QWidget>(PageControl1, name);
    auto* form = new QFormLayout(page);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    for (const TSetting& row : SettingsOnPage(which))
        AddField(page, form, row);
    PageControl1->addTab(page, title);
    return page;
}

void TFormParams::AddField(QWidget* page, QFormLayout* form, const TSetting& row) {
    QWidget* field = nullptr;
    switch (row.Kind) {
    case TSettingKind::Address: field = ListenGroup(page, row); form->addRow(field); break;
    case TSettingKind::Flag:
        field = Choice<QCheckBox>(page, qPrintable(row.Control), row.Label, row.Tip);
        static_cast<QCheckBox*>(field)->setChecked(row.Default != QLatin1String("0"));
        form->addRow(field);
        break;
    case TSettingKind::Number: field = NumberField(page, form, row); break;
    case TSettingKind::Choice: {
        auto* box = Named<QComboBox>(page, qPrintable(row.Control));
        box->addItems(row.Shown);
        box->setFixedWidth(97);
        form->addRow(Label(page, qPrintable(LabelName(row)), row.Label, box, row.Tip), box);
        field = box;
        break;
    }
    case TSettingKind::Text: {
        auto* edit = Named<QLineEdit>(page, qPrintable(row.Control));
        form->addRow(Label(page, qPrintable(LabelName(row)), row.Label, edit, row.Tip), edit);
        field = edit;
        break;
    }
    }
    Fields.insert(row.Key, field);
    if (row.Kind == TSettingKind::Address)
        TabOrder << field->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    else {
        TabOrder << field;
        ShowValue(row.Key, row.Default);
    }
}

// Every IPv4 address, this machine only, or one address typed beside its choice.
QGroupBox* TFormParams::ListenGroup(QWidget* page, const TSetting& row) {
    auto* group = Named<QGroupBox>(page, qPrintable(row.Control));
    group->setTitle(row.Label);
    group->setToolTip(row.Tip);
    auto* all = Choice<QRadioButton>(group, "RadioListenAll", QStringLiteral("&Every address of this machine"),
                                     QStringLiteral("Every IPv4 address: other machines that reach this port "
                                                    "reach the device."));
    auto* local = Choice<QRadioButton>(group, "RadioListenLocal", QStringLiteral("This &machine only"),
                                       QStringLiteral("127.0.0.1 and ::1: only programs on this machine reach "
                                                      "the device."));
    auto* one = Choice<QRadioButton>(group, "RadioListenOne", QStringLiteral("One &address:"),
                                     QStringLiteral("One IP address of this machine, such as its address on "
                                                    "the local network."));
    auto* address = Named<QLineEdit>(group, "EditListenAddress");
    address->setToolTip(QStringLiteral("The IP address to listen on (IPv4 or IPv6), one of this machine's; the "
                                       "browser is opened at it."));
    address->setEnabled(false);
    all->setChecked(true);
    auto* rows = new QVBoxLayout(group);
    rows->addWidget(all);
    rows->addWidget(local);
    auto* oneRow = new QHBoxLayout;
    oneRow->addWidget(one);
    oneRow->addWidget(address, 1);
    rows->addLayout(oneRow);
    return group;
}

// A number field of a table page, as narrow as those of the first, with its unit beside it.
QLineEdit* TFormParams::NumberField(QWidget* page, QFormLayout* form, const TSetting& row) {
    auto* field = Named<QLineEdit>(page, qPrintable(row.Control));
    field->setFixedWidth(89);
    QLabel* label = Label(page, qPrintable(LabelName(row)), row.Label, field, row.Tip);
    auto* line = new QHBoxLayout;
    line->addWidget(field);
    if (!row.Unit.isEmpty())
        line->addWidget(new QLabel(row.Unit, page));
    line->addStretch();
    form->addRow(label, line);
    return field;
}

QLabel* TFormParams::LabelOf(const QString& key) const {
    return findChild<QLabel*>(LabelName(SettingOf(key)));
}

QWidget* TFormParams::FieldOf(const QString& key) const { return Fields.value(key); }

// A field shows a value as the file holds it: a number or text as it stands, a flag as 0 or not,
// a choice by its word.
void TFormParams::ShowValue(const QString& key, const QString& stored) {
    const TSetting& row = SettingOf(key);
    QWidget* field = FieldOf(key);
    if (auto* box = qobject_cast<QCheckBox*>(field))
        box->setChecked(ParseInteger(stored).value_or(1) != 0);
    else if (auto* list = qobject_cast<QComboBox*>(field))
        list->setCurrentIndex(std::max<qsizetype>(0, row.Choices.indexOf(stored)));
    else if (auto* edit = qobject_cast<QLineEdit*>(field))
        edit->setText(stored);
    else if (row.Kind == TSettingKind::Address)
        ShowListen(stored);
}

QString TFormParams::FieldValue(const QString& key) const {
    const TSetting& row = SettingOf(key);
    const QWidget* field = FieldOf(key);
    if (const auto* box = qobject_cast<const QCheckBox*>(field))
        return box->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    if (const auto* list = qobject_cast<const QComboBox*>(field))
        return row.Choices.value(list->currentIndex(), row.Default);
    if (const auto* edit = qobject_cast<const QLineEdit*>(field))
        return edit->text();
    return ListenSetting().value_or(QString());
}

// The buttons act on both pages: beside them, at the height of the first page's three rows.
void TFormParams::PlaceButtons() {
    BtOK = Button(this, "BtOK", QStringLiteral("OK"), QStyle::SP_DialogApplyButton);
    BtSave = Button(this, "BtSave", QStringLiteral("Save"), QStyle::SP_DialogSaveButton);
    BtCancel = Button(this, "BtCancel", QStringLiteral("Cancel"), QStyle::SP_DialogCancelButton);
    const QSize pages = PageControl1->sizeHint();
    PageControl1->setGeometry(8, 8, pages.width(), pages.height());
    const int left = PageControl1->geometry().right() + 12;
    const int top = 8 + PageControl1->tabBar()->sizeHint().height();
    BtOK->move(left, top + 8);
    BtSave->move(left, top + 48);
    BtCancel->move(left, top + 88);
    setFixedSize(left + 75 + 12, PageControl1->geometry().bottom() + 9);
}

void TFormParams::SetParts(TSettingsPart* serialSide, TSettingsPart* tcpSide) {
    SerialSide = serialSide;
    TcpSide = tcpSide;
}

// The dialog's own values before the TCP side, whose load may stop at a value out of range.
void TFormParams::LoadSettings() {
    SerialSide->LoadSettings();
    LoadKept(true);
    LoadKept(false);
    TcpSide->LoadSettings();
    Saved = SettingsReadInteger(key::ConfigSaved, DefaultNumber(key::ConfigSaved));
    TakeSnapshot();
    Modified = false;
}

// The line first: the serial side takes it from what was stored.
void TFormParams::SaveSettings() {
    SaveKept(true);
    SerialSide->SaveSettings();
    SaveKept(false);
    TcpSide->SaveSettings();
    Saved = 1;
    SettingsWriteInteger(key::ConfigSaved, 1);
    TakeSnapshot();
    Modified = false;
}

// The settings no part of the bridge loads into the dialog: the line, which the serial side reads
// from the file, the journal's bounds and the notifications.
QList<TSetting> TFormParams::KeptRows(bool line) {
    if (line)
        return SettingsOnPage(TSettingPage::Line);
    return {SettingOf(key::JournalEntries), SettingOf(key::JournalBodyBytes), SettingOf(key::Notifications)};
}

QString TFormParams::StoredValue(const TSetting& row) {
    switch (row.Kind) {
    case TSettingKind::Choice: return ReadChoice(row.Key);
    case TSettingKind::Flag: return ReadFlag(row.Key) ? QStringLiteral("1") : QStringLiteral("0");
    default: return QString::number(ReadNumber(row.Key));
    }
}

void TFormParams::LoadKept(bool line) {
    for (const TSetting& row : KeptRows(line))
        ShowValue(row.Key, StoredValue(row));
    JournalEntries = ReadNumber(key::JournalEntries);
    JournalBodyBytes = ReadNumber(key::JournalBodyBytes);
    Notifications = ReadFlag(key::Notifications);
}

// As the TCP side takes its numbers: text that is no number in range keeps the value.
void TFormParams::SaveKept(bool line) {
    for (const TSetting& row : KeptRows(line)) {
        const QString value = FieldValue(row.Key);
        if (row.Kind == TSettingKind::Number)
            WriteNumber(row.Key, NumberInRange(value, row).value_or(StoredValue(row).toInt()));
        else
            WriteText(row.Key, value);
    }
    LoadKept(line);
}

void TFormParams::ShowListen(const QString& listen) {
    if (listen.isEmpty())
        RadioListenAll->setChecked(true);
    else if (IsLocalhost(listen))
        RadioListenLocal->setChecked(true);
    else
        RadioListenOne->setChecked(true);
    EditListenAddress->setText(RadioListenOne->isChecked() ? listen : QString());
}

// The server takes the address as QHostAddress reads it; what it cannot read, it cannot listen on.
std::optional<QString> TFormParams::ListenSetting() const {
    if (RadioListenAll->isChecked())
        return QString();
    if (RadioListenLocal->isChecked())
        return QStringLiteral("localhost");
    const QString address = EditListenAddress->text().trimmed();
    if (QHostAddress().setAddress(address))
        return address;
    return std::nullopt;
}

void TFormParams::ShowTcpAccess(bool framing, const QString& listen, const QString& allowedHosts) {
    CheckBoxFraming->setChecked(framing);
    ShowListen(listen);
    EditAllowedHosts->setText(allowedHosts);
}

void TFormParams::ShowTcpPort(uint16_t port, int32_t sendDelay) {
    EditTCPPort->setText(QString::number(port));
    EditTCPSendDelay->setText(QString::number(sendDelay));
}

void TFormParams::ShowReaderLimit(int32_t seconds) { EditReaderLimit->setText(QString::number(seconds)); }

TTcpTyped TFormParams::TcpTyped() const {
    return {EditTCPPort->text(), EditTCPSendDelay->text(), CheckBoxFraming->isChecked(),
            ListenSetting(),     EditAllowedHosts->text(), EditReaderLimit->text()};
}

void TFormParams::ListPorts() {
    for (int n = 1; n <= 255; ++n)
        ComboBox_PortRS->addItem(QStringLiteral("COM%1").arg(n));
    ComboBox_PortRS->setCurrentIndex(-1);
}

int TFormParams::PortCount() const { return ComboBox_PortRS->count(); }

void TFormParams::ShowPort(int32_t com) { ComboBox_PortRS->setCurrentIndex(com >= 1 && com <= 255 ? com - 1 : -1); }

int32_t TFormParams::ChosenCom() const { return ComboBox_PortRS->currentIndex() + 1; }

void TFormParams::ShowFollow(bool follow) { CheckBoxFollow->setChecked(follow); }

bool TFormParams::FollowChosen() const { return CheckBoxFollow->isChecked(); }

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
    const QString description = ComboBox_PortRS->currentData(Qt::ToolTipRole).toString();
    ComboBox_PortRS->setToolTip(description.isEmpty() ? SettingOf(key::RsCom).Tip : SettingOf(key::RsCom).Tip + QLatin1Char('\n') + description);
}

void TFormParams::TakeSnapshot() { Snapshot = std::make_unique<TsvControls>(this); }

// Text that is no number at all keeps the value it replaces; a number out of range is a typing
// slip the user must see, not a value to bend into range. So is an address the server cannot read.
bool TFormParams::FieldsInRange() {
    for (const TSetting& row : SettingsTable()) {
        auto* field = qobject_cast<QLineEdit*>(FieldOf(row.Key));
        if (field && row.Kind == TSettingKind::Number && ParseInteger(field->text()) &&
            !NumberInRange(field->text(), row)) {
            ShowRefused(field, row.Refusal);
            return false;
        }
    }
    if (!ListenSetting()) {
        ShowRefused(EditListenAddress,
                    QStringLiteral("The address to listen on must be an IP address of this machine, such as "
                                   "192.168.1.20 or ::1."));
        return false;
    }
    return true;
}

void TFormParams::ShowRefused(QLineEdit* field, const QString& text) {
    ShowErrorBox(text);
    for (QWidget* page : {TabSheetGeneral, TabSheetNetwork, TabSheetLine})
        if (page->isAncestorOf(field))
            PageControl1->setCurrentWidget(page);
    field->setFocus();
    field->selectAll();
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
