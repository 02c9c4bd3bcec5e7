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
#include "settings/UtilsRegistry.h"

namespace {
const QString PortTip = QStringLiteral("The serial port the device is on. Ports present are bold.");

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

// A number field of the second page, as narrow as those of the first, with its unit beside it.
QLineEdit* NumberField(QWidget* page, QFormLayout* form, const char* name, const char* labelName,
                       const QString& labelText, const QString& unit, const QString& tip, QLabel*& label) {
    auto* field = Named<QLineEdit>(page, name);
    field->setFixedWidth(89);
    label = Label(page, labelName, labelText, field, tip);
    auto* row = new QHBoxLayout;
    row->addWidget(field);
    if (!unit.isEmpty())
        row->addWidget(new QLabel(unit, page));
    row->addStretch();
    form->addRow(label, row);
    return field;
}

bool OutOfRange(const QLineEdit* field, TFieldRange range) {
    return ParseInteger(field->text()) && !NumberInRange(field->text(), range);
}

bool IsLocalhost(const QString& listen) { return listen.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0; }
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
    PageControl1 = Named<QTabWidget>(this, "PageControl1");
    CreateGeneralPage();
    CreateNetworkPage();
    PlaceButtons();
    const QList<QWidget*> tabOrder{BtOK, BtCancel, BtSave, PageControl1, ComboBox_PortRS, EditTCPPort, EditTCPSendDelay,
                                   RadioListenAll, RadioListenLocal, RadioListenOne, EditListenAddress,
                                   EditAllowedHosts, CheckBoxFraming, CheckBoxFollow, EditReaderLimit,
                                   EditJournalEntries, EditJournalBodyBytes, CheckBoxNotifications};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(ComboBox_PortRS, &QComboBox::currentIndexChanged, this, &TFormParams::OnChanged);
    connect(ComboBox_PortRS, &QComboBox::currentIndexChanged, this, &TFormParams::ShowSelectedDescription);
    for (QLineEdit* edit : {EditTCPPort, EditTCPSendDelay, EditListenAddress, EditAllowedHosts, EditReaderLimit,
                            EditJournalEntries, EditJournalBodyBytes})
        connect(edit, &QLineEdit::textChanged, this, &TFormParams::OnChanged);
    for (QAbstractButton* box : std::initializer_list<QAbstractButton*>{RadioListenAll, RadioListenLocal, RadioListenOne,
                                                                        CheckBoxFraming, CheckBoxFollow,
                                                                        CheckBoxNotifications})
        connect(box, &QAbstractButton::toggled, this, &TFormParams::OnChanged);
    connect(RadioListenOne, &QRadioButton::toggled, EditListenAddress, &QLineEdit::setEnabled);
    // Choosing one address by hand goes on to typing it.
    connect(RadioListenOne, &QRadioButton::clicked, EditListenAddress, [this] { EditListenAddress->setFocus(); });
    connect(BtOK, &QPushButton::clicked, this, &TFormParams::BtOKClick);
    connect(BtSave, &QPushButton::clicked, this, &TFormParams::BtSaveClick);
    connect(BtCancel, &QPushButton::clicked, this, &TFormParams::BtCancelClick);

    TakeSnapshot();
    Saved = 0;
}

// The port, the TCP port and the send delay, where they always stood.
void TFormParams::CreateGeneralPage() {
    TabSheetGeneral = Named<QWidget>(PageControl1, "TabSheetGeneral");
    QWidget* page = TabSheetGeneral;
    page->setMinimumSize(200, 124);
    ComboBox_PortRS = Place<QComboBox>(page, "ComboBox_PortRS", 80, 10, 97, 24);
    ComboBox_PortRS->setToolTip(PortTip);
    StaticText1 = Label(page, "StaticText1", QStringLiteral("&COM Port"), ComboBox_PortRS, PortTip, 8, 16, 70);
    EditTCPPort = Place<QLineEdit>(page, "EditTCPPort", 80, 48, 89, 24);
    EditTCPPort->setText(QStringLiteral("24111"));
    StaticText2 = Label(page, "StaticText2", QStringLiteral("&Port"), EditTCPPort,
                        QStringLiteral("The TCP port the browser reaches the device at, 1 to 65535."), 32, 52, 40);
    EditTCPSendDelay = Place<QLineEdit>(page, "EditTCPSendDelay", 80, 88, 89, 24);
    EditTCPSendDelay->setText(QStringLiteral("100"));
    StaticText3 = Label(page, "StaticText3", QStringLiteral("Send &Delay"), EditTCPSendDelay,
                        QStringLiteral("How long the line must stay quiet, in milliseconds (0 to 60000), before an "
                                       "answer that does not say where it ends is complete."),
                        8, 92, 70);
    PageControl1->addTab(page, QStringLiteral("&General"));
}

// Where and how the server serves, following a moved device, the journal's bounds and the
// desktop notifications.
void TFormParams::CreateNetworkPage() {
    TabSheetNetwork = Named<QWidget>(PageControl1, "TabSheetNetwork");
    QWidget* page = TabSheetNetwork;
    auto* form = new QFormLayout(page);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);

    RadioGroupListen = Named<QGroupBox>(page, "RadioGroupListen");
    RadioGroupListen->setTitle(QStringLiteral("&Listen on"));
    RadioGroupListen->setToolTip(QStringLiteral("Which addresses the server takes connections on, and so who can "
                                                "reach the device."));
    RadioListenAll = Choice<QRadioButton>(RadioGroupListen, "RadioListenAll",
                                          QStringLiteral("&Every address of this machine"),
                                          QStringLiteral("Every IPv4 address: other machines that reach this port "
                                                         "reach the device."));
    RadioListenLocal = Choice<QRadioButton>(RadioGroupListen, "RadioListenLocal", QStringLiteral("This &machine only"),
                                            QStringLiteral("127.0.0.1 and ::1: only programs on this machine reach "
                                                           "the device."));
    RadioListenOne = Choice<QRadioButton>(RadioGroupListen, "RadioListenOne", QStringLiteral("One &address:"),
                                          QStringLiteral("One IP address of this machine, such as its address on "
                                                         "the local network."));
    EditListenAddress = Named<QLineEdit>(RadioGroupListen, "EditListenAddress");
    EditListenAddress->setToolTip(QStringLiteral("The IP address to listen on (IPv4 or IPv6), one of this "
                                                 "machine's; the browser is opened at it."));
    EditListenAddress->setEnabled(false);
    RadioListenAll->setChecked(true);
    auto* listen = new QVBoxLayout(RadioGroupListen);
    listen->addWidget(RadioListenAll);
    listen->addWidget(RadioListenLocal);
    auto* one = new QHBoxLayout;
    one->addWidget(RadioListenOne);
    one->addWidget(EditListenAddress, 1);
    listen->addLayout(one);
    form->addRow(RadioGroupListen);

    EditAllowedHosts = Named<QLineEdit>(page, "EditAllowedHosts");
    StaticTextAllowedHosts =
        Label(page, "StaticTextAllowedHosts", QStringLiteral("Allowed &Hosts"), EditAllowedHosts,
              QStringLiteral("Host names besides this machine's that requests and the pages that send them may "
                             "name, separated by commas, such as device.lan, bench-pc. * switches the host and "
                             "origin checks off."));
    form->addRow(StaticTextAllowedHosts, EditAllowedHosts);
    CheckBoxFraming = Choice<QCheckBox>(page, "CheckBoxFraming", QStringLiteral("&Framing: answers end where their "
                                                                                "HTTP head says"),
                                        QStringLiteral("On: an answer is handed on as it arrives and is complete "
                                                       "where its head says. Off: every answer is complete once the "
                                                       "line was quiet for the send delay."));
    form->addRow(CheckBoxFraming);
    CheckBoxFollow = Choice<QCheckBox>(page, "CheckBoxFollow", QStringLiteral("Follow the device when it mo&ves "
                                                                              "to another port"),
                                       QStringLiteral("On: while the device does not answer, ports that appear are "
                                                      "probed, and the one where the same device answers becomes the "
                                                      "COM port."));
    form->addRow(CheckBoxFollow);
    EditReaderLimit = NumberField(page, form, "EditReaderLimit", "StaticTextReaderLimit", QStringLiteral("&Reader Limit"),
                                  QStringLiteral("seconds"),
                                  QStringLiteral("How long, 1 to 3600 seconds, a browser may take nothing of its "
                                                 "answer before it is dropped, and bytes that are not HTTP may keep "
                                                 "coming."),
                                  StaticTextReaderLimit);
    EditJournalEntries = NumberField(page, form, "EditJournalEntries", "StaticTextJournalEntries",
                                     QStringLiteral("Journal En&tries"), QStringLiteral("exchanges"),
                                     QStringLiteral("How many of the last exchanges the journal keeps, 0 to 100000; "
                                                    "0 switches the journal off."),
                                     StaticTextJournalEntries);
    EditJournalBodyBytes = NumberField(page, form, "EditJournalBodyBytes", "StaticTextJournalBodyBytes",
                                       QStringLiteral("Journal &Body Bytes"), QStringLiteral("bytes"),
                                       QStringLiteral("How much of each request's and answer's body the journal "
                                                      "keeps, 0 to 1048576 bytes (1 MiB)."),
                                       StaticTextJournalBodyBytes);
    CheckBoxNotifications =
        Choice<QCheckBox>(page, "CheckBoxNotifications",
                          QStringLiteral("Desktop n&otifications when the device goes or comes back"),
                          QStringLiteral("On: the tray tells when the device on the COM port stops answering and "
                                         "when it answers again, at most once a minute."));
    form->addRow(CheckBoxNotifications);
    CheckBoxFraming->setChecked(true);
    CheckBoxFollow->setChecked(true);
    CheckBoxNotifications->setChecked(true);
    EditReaderLimit->setText(QStringLiteral("120"));
    EditJournalEntries->setText(QString::number(DefaultJournalEntries));
    EditJournalBodyBytes->setText(QString::number(DefaultJournalBodyBytes));
    PageControl1->addTab(page, QStringLiteral("&Network"));
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

// The journal's bounds before the TCP side, whose load may stop at a value out of range.
void TFormParams::LoadSettings() {
    SerialSide->LoadSettings();
    LoadJournalBounds();
    LoadNotifications();
    TcpSide->LoadSettings();
    Saved = SettingsReadInteger(QStringLiteral("Config\\Saved"), 0);
    TakeSnapshot();
    Modified = false;
}

void TFormParams::SaveSettings() {
    SerialSide->SaveSettings();
    SaveJournalBounds();
    SaveNotifications();
    TcpSide->SaveSettings();
    Saved = 1;
    SettingsWriteInteger(QStringLiteral("Config\\Saved"), 1);
    TakeSnapshot();
    Modified = false;
}

void TFormParams::LoadJournalBounds() {
    JournalEntries = SettingsReadInteger(QStringLiteral("Journal\\Entries"), DefaultJournalEntries);
    JournalBodyBytes = SettingsReadInteger(QStringLiteral("Journal\\BodyBytes"), DefaultJournalBodyBytes);
    EditJournalEntries->setText(QString::number(JournalEntries));
    EditJournalBodyBytes->setText(QString::number(JournalBodyBytes));
}

// As the TCP side takes its numbers: text that is no number in range keeps the value.
void TFormParams::SaveJournalBounds() {
    JournalEntries = NumberInRange(EditJournalEntries->text(), JournalEntriesRange).value_or(JournalEntries);
    JournalBodyBytes = NumberInRange(EditJournalBodyBytes->text(), JournalBodyBytesRange).value_or(JournalBodyBytes);
    SettingsWriteInteger(QStringLiteral("Journal\\Entries"), JournalEntries);
    SettingsWriteInteger(QStringLiteral("Journal\\BodyBytes"), JournalBodyBytes);
    LoadJournalBounds();
}

// Any number but 0 is on, as a stored flag always was.
void TFormParams::LoadNotifications() {
    Notifications = SettingsReadInteger(QStringLiteral("UI\\Notifications"), 1) != 0;
    CheckBoxNotifications->setChecked(Notifications);
}

void TFormParams::SaveNotifications() {
    Notifications = CheckBoxNotifications->isChecked();
    SettingsWriteInteger(QStringLiteral("UI\\Notifications"), Notifications ? 1 : 0);
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
    ComboBox_PortRS->setToolTip(description.isEmpty() ? PortTip : PortTip + QLatin1Char('\n') + description);
}

void TFormParams::TakeSnapshot() { Snapshot = std::make_unique<TsvControls>(this); }

// Text that is no number at all keeps the value it replaces; a number out of range is a typing
// slip the user must see, not a value to bend into range. So is an address the server cannot read.
bool TFormParams::FieldsInRange() {
    for (const auto& [field, range, text] :
         {std::tuple(EditTCPPort, TcpPortRange, QStringLiteral("Port must be a TCP port from 1 to 65535.")),
          std::tuple(EditTCPSendDelay, SendDelayRange, QStringLiteral("Send Delay must be from 0 to 60000 milliseconds.")),
          std::tuple(EditReaderLimit, ReaderLimitRange, QStringLiteral("Reader Limit must be from 1 to 3600 seconds.")),
          std::tuple(EditJournalEntries, JournalEntriesRange,
                     QStringLiteral("Journal Entries must be from 0 to 100000.")),
          std::tuple(EditJournalBodyBytes, JournalBodyBytesRange,
                     QStringLiteral("Journal Body Bytes must be from 0 to 1048576 bytes."))}) {
        if (OutOfRange(field, range)) {
            ShowRefused(field, text);
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
    PageControl1->setCurrentWidget(TabSheetNetwork->isAncestorOf(field) ? TabSheetNetwork : TabSheetGeneral);
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
