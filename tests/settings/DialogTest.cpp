// The settings dialog: change tracking, its buttons and the close question.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "app/Hub.h"
#include "support/LinePeek.h"
#include "platform/Dialogs.h"
#include "platform/WinMessage.h"
#include "serial/CommInt.h"
#include "serial/LineSettings.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_UtilsControls.h"
#include "support/Hub.h"
#include "support/Net.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
// The dialog with the real serial and TCP sides, posting to a recorder in place of the main window.
struct TDialog : TSides {
    explicit TDialog(const QString& name = "DialogTest") {
        SettingsSetLocation("SOFTWARE", "NORVEL-Q\\" + name);
        QFile::remove(SettingsFilePath());
        Params.LoadSettings();
        Params.show();
        FreshDialogs();
    }
    int SavesPosted() {
        QCoreApplication::processEvents();
        return Hub.Count(WM_SV_PARAMS_SAVED);
    }
};

QStringList Entries(const TsvControlsList& list) {
    QStringList texts;
    for (int i = 0; i < list.Count(); ++i)
        texts << list[i].Text;
    return texts;
}

// A connection to the port at the address is taken.
bool Reaches(const char* address, quint16 port) {
    TClient client(port, QHostAddress(QLatin1String(address)));
    return client.Socket.state() == QAbstractSocket::ConnectedState;
}
} // namespace

TEST(ControlSnapshot, RecordsNamedValueControlsAndComparesWithoutLetterCase) {
    QWidget owner;
    auto* list = new QComboBox(&owner);
    list->setObjectName("List");
    list->addItems({"a", "b"});
    auto* edit = new QLineEdit("0x10", &owner);
    edit->setObjectName("Edit");
    auto* unnamed = new QLineEdit("free", &owner);
    auto* group = new QWidget(&owner);
    group->setObjectName("Group");
    auto* inner = new QLineEdit("inner", group);
    inner->setObjectName("Inner");
    new QPushButton("button", &owner);
    // The controls inside a container without a name are the owner's own.
    auto* unnamedPanel = new QWidget(&owner);
    auto* held = new QLineEdit("held", unnamedPanel);
    held->setObjectName("Held");

    TsvControls snapshot(&owner);
    EXPECT_EQ(Entries(snapshot.List()), (QStringList{"List=0", "Edit=0x10", "Group=Group", "Held=held"}));
    ASSERT_TRUE(snapshot.List()[2].Nested);
    EXPECT_EQ(snapshot.List()[2].Nested->List()[0].Text, "Inner=inner");

    edit->setText("0X10");
    unnamed->setText("changed");
    EXPECT_TRUE(snapshot.IsUnchanged());
    inner->setText("other");
    EXPECT_FALSE(snapshot.IsUnchanged());
    inner->setText("inner");
    list->setCurrentIndex(1);
    EXPECT_FALSE(snapshot.IsUnchanged());
    list->setCurrentIndex(0);
    edit->clear();
    EXPECT_TRUE(snapshot.IsUnchanged());
    held->setText("moved");
    EXPECT_FALSE(snapshot.IsUnchanged());
}

TEST(SettingsDialog, SnapshotHoldsTheThreeFieldsOnTheFirstPageTheServersOnTheSecondAndTheLineOnTheThird) {
    TDialog dialog;
    TFormParams& params = dialog.Params;
    params.ComboBox_PortRS->setCurrentIndex(2);
    params.RadioListenOne->setChecked(true);
    params.EditListenAddress->setText("127.0.0.1");
    params.EditAllowedHosts->setText("bench-pc");
    params.CheckBoxFollow->setChecked(false);
    const TsvControls snapshot(&params);
    ASSERT_EQ(Entries(snapshot.List()), QStringList{"PageControl1=PageControl1"});
    const TsvControlsList& pages = snapshot.List()[0].Nested->List();
    // The page shown comes last among its siblings; which one it is changes nothing.
    const TsvControlsList::TEntry* general = pages.Find("TabSheetGeneral=TabSheetGeneral");
    const TsvControlsList::TEntry* network = pages.Find("TabSheetNetwork=TabSheetNetwork");
    const TsvControlsList::TEntry* line = pages.Find("TabSheetLine=TabSheetLine");
    ASSERT_EQ(pages.Count(), 3);
    ASSERT_TRUE(general && network && line);
    EXPECT_EQ(Entries(general->Nested->List()),
              (QStringList{"ComboBox_PortRS=2", "EditTCPPort=24111", "EditTCPSendDelay=100"}));
    EXPECT_EQ(Entries(network->Nested->List()),
              (QStringList{"RadioGroupListen=2", "EditAllowedHosts=bench-pc", "CheckBoxFraming=1", "CheckBoxFollow=0",
                           "EditReaderLimit=120", "EditJournalEntries=1000", "EditJournalBodyBytes=65536",
                           "CheckBoxNotifications=1"}));
    EXPECT_EQ(Entries(network->Nested->List()[0].Nested->List()), QStringList{"EditListenAddress=127.0.0.1"});
    EXPECT_EQ(Entries(line->Nested->List()),
              (QStringList{"EditBaud=115200", "ComboBoxDataBits=0", "ComboBoxParity=0", "ComboBoxStopBits=0",
                           "ComboBoxFlow=0", "CheckBoxDtr=1", "CheckBoxBaudSearch=0"}));
}

TEST(SettingsDialog, EveryFieldHasALabelOrTextTheKeyboardReachesAndATip) {
    TDialog dialog;
    TFormParams& params = dialog.Params;
    QList<QWidget*> reached;
    for (const QLabel* label : params.findChildren<QLabel*>())
        if (label->buddy()) {
            EXPECT_TRUE(label->text().contains('&')) << label->objectName().toStdString();
            reached << label->buddy();
        }
    for (QAbstractButton* choice : std::initializer_list<QAbstractButton*>{
             params.RadioListenAll, params.RadioListenLocal, params.RadioListenOne, params.CheckBoxFraming,
             params.CheckBoxFollow, params.CheckBoxNotifications})
        EXPECT_TRUE(choice->text().contains('&')) << choice->objectName().toStdString();
    for (QWidget* field : std::initializer_list<QWidget*>{
             params.ComboBox_PortRS, params.EditTCPPort, params.EditTCPSendDelay, params.EditAllowedHosts,
             params.EditReaderLimit, params.EditJournalEntries, params.EditJournalBodyBytes})
        EXPECT_TRUE(reached.contains(field)) << field->objectName().toStdString();
    // The dialog's own fields, not the buttons nor the tab bar's inner ones.
    const auto ownField = [](const QWidget* widget) {
        const QString name = widget->objectName();
        return !name.isEmpty() && !name.startsWith("qt_") && !name.startsWith("Scroll") && !name.startsWith("Bt");
    };
    for (QWidget* field : params.findChildren<QWidget*>())
        if ((qobject_cast<QLineEdit*>(field) || qobject_cast<QComboBox*>(field) ||
             qobject_cast<QAbstractButton*>(field)) && ownField(field)) {
            EXPECT_FALSE(field->toolTip().isEmpty()) << field->objectName().toStdString();
        }

    // Tab goes on from the first page's last field to the second page's first.
    QStringList order;
    for (QWidget* next = params.BtOK->nextInFocusChain(); next != params.BtOK; next = next->nextInFocusChain())
        if (next->focusPolicy() & Qt::TabFocus && (ownField(next) || next->objectName().startsWith("Bt")))
            order << next->objectName();
    EXPECT_EQ(order.mid(0, order.indexOf("CheckBoxNotifications") + 1),
              (QStringList{"BtCancel", "BtSave", "PageControl1", "ComboBox_PortRS", "EditTCPPort", "EditTCPSendDelay",
                           "RadioListenAll", "RadioListenLocal", "RadioListenOne", "EditListenAddress",
                           "EditAllowedHosts", "CheckBoxFraming", "CheckBoxFollow", "EditReaderLimit",
                           "EditJournalEntries", "EditJournalBodyBytes", "CheckBoxNotifications"}));
}

TEST(SettingsDialog, ClosingWithoutARealChangeAsksNothing) {
    TDialog dialog;
    EXPECT_TRUE(dialog.Params.close());
    dialog.Params.show();
    dialog.Params.EditTCPPort->setText("24112");
    dialog.Params.EditTCPPort->setText("24111");
    EXPECT_TRUE(dialog.Params.Modified);
    EXPECT_TRUE(dialog.Params.close());
    EXPECT_FALSE(dialog.Params.Modified);
    dialog.Params.show();
    dialog.Params.EditTCPPort->clear();
    EXPECT_TRUE(dialog.Params.close());
    EXPECT_EQ(dialog.Params.EditTCPPort->text(), "");
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
}

TEST(SettingsDialog, CloseQuestionAnswers) {
    TDialog dialog;
    TScriptedDialogs& dialogs = FreshDialogs();
    dialog.Params.ComboBox_PortRS->setCurrentIndex(4);
    dialogs.Answers = {TBoxAnswer::Cancel};
    EXPECT_FALSE(dialog.Params.close());
    EXPECT_EQ(dialogs.Texts, QStringList{"Do you want to save changes?"});
    EXPECT_EQ(dialogs.Boxes[0].Buttons, TBoxButtons::YesNoCancel);
    EXPECT_TRUE(dialog.Params.isVisible());
    EXPECT_EQ(dialog.Params.ComboBox_PortRS->currentText(), "COM5");

    dialogs.Answers = {TBoxAnswer::No};
    EXPECT_TRUE(dialog.Params.close());
    EXPECT_EQ(dialog.Params.ComboBox_PortRS->currentText(), "COM1");
    EXPECT_EQ(dialog.SavesPosted(), 0);

    dialog.Params.show();
    dialog.Params.ComboBox_PortRS->setCurrentIndex(4);
    dialogs.Answers = {TBoxAnswer::Yes};
    EXPECT_TRUE(dialog.Params.close());
    EXPECT_EQ(SettingsReadInteger("RS\\COM", 0), 5);
    EXPECT_EQ(dialog.SavesPosted(), 1);
}

TEST(SettingsDialog, OkSavesEverythingEvenUnchangedAndCancelOrEscRestores) {
    TDialog dialog;
    QTest::mouseClick(dialog.Params.BtOK, Qt::LeftButton);
    EXPECT_FALSE(dialog.Params.isVisible());
    EXPECT_EQ(dialog.SavesPosted(), 1);
    EXPECT_EQ(SettingsReadInteger("Config\\Saved", 0), 1);
    EXPECT_EQ(SettingsReadInteger("TCP\\Port", 0), 24111);

    dialog.Params.show();
    dialog.Params.EditTCPPort->setText("30000");
    QTest::keyClick(&dialog.Params, Qt::Key_Escape);
    EXPECT_FALSE(dialog.Params.isVisible());
    EXPECT_EQ(dialog.Params.EditTCPPort->text(), "24111");

    dialog.Params.show();
    dialog.Params.EditTCPPort->setText("30001");
    QTest::mouseClick(dialog.Params.BtSave, Qt::LeftButton);
    EXPECT_TRUE(dialog.Params.isVisible());
    EXPECT_EQ(dialog.SavesPosted(), 2);
    EXPECT_EQ(dialog.Tcp.Port, 30001);
}

TEST(SettingsDialog, ASaveThatFailsIsReportedAndNeitherPostsNorHides) {
    TDialog dialog;
    TScriptedDialogs& dialogs = FreshDialogs();
    {
        TBlockedConfigFolder blocked;
        QTest::mouseClick(dialog.Params.BtOK, Qt::LeftButton);
    }
    EXPECT_EQ(dialogs.Texts, QStringList{"Failed to create key NORVEL-Q\\DialogTest\\RS\\."});
    EXPECT_TRUE(dialog.Params.isVisible());
    EXPECT_EQ(dialog.SavesPosted(), 0);
    EXPECT_EQ(dialog.Params.Saved, 0);
}

TEST(SettingsDialog, StartUpReportsAnUnloadableStoreAndRunsOnWithDefaults) {
    TProgram program("StartUpTest");
    QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME") + "/NORVEL-Q");
    QFile file(SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("[RS]\nCOM=7\n[TCP]\nPort=70000\n").toUtf8());
    file.close();
    TScriptedDialogs& dialogs = FreshDialogs();
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    EXPECT_EQ(dialogs.Texts, QStringList{"Range check error."});
    EXPECT_EQ(program.Params().ComboBox_PortRS->currentText(), "COM7");
    EXPECT_EQ(program.Tcp().Port, 24111);
    EXPECT_EQ(program.Main().BrowserURL, "http:\\\\localhost:24111");
    EXPECT_NE(program.Rs().ReceiveQueue, nullptr);
}

TEST(SettingsDialog, ANumberOutOfRangeIsNamedAndChangesNothing) {
    TDialog dialog;
    TScriptedDialogs& dialogs = FreshDialogs();
    for (const auto& [port, delay, message] :
         {std::tuple("70000", "100", "Port must be a TCP port from 1 to 65535."),
          std::tuple("0", "100", "Port must be a TCP port from 1 to 65535."),
          std::tuple("24112", "-5", "Send Delay must be from 0 to 60000 milliseconds."),
          std::tuple("24112", "60001", "Send Delay must be from 0 to 60000 milliseconds.")}) {
        dialog.Params.EditTCPPort->setText(port);
        dialog.Params.EditTCPSendDelay->setText(delay);
        QTest::mouseClick(dialog.Params.BtOK, Qt::LeftButton);
        EXPECT_EQ(dialogs.Texts.takeLast(), message) << port << " " << delay;
        EXPECT_TRUE(dialog.Params.isVisible());
    }
    dialogs.Answers = {TBoxAnswer::Yes};
    EXPECT_FALSE(dialog.Params.close()) << "the close question's Yes keeps the dialog open too";
    EXPECT_EQ(dialogs.Texts, QStringList({"Do you want to save changes?", "Send Delay must be from 0 to 60000 milliseconds."}));
    EXPECT_EQ(dialog.SavesPosted(), 0);
    EXPECT_FALSE(QFile::exists(SettingsFilePath()));
    EXPECT_EQ(dialog.Tcp.Port, 24111);
    EXPECT_EQ(dialog.Tcp.SendDelay, 100);
}

TEST(SettingsDialog, TheEdgesOfTheRangesAreSavedAsTyped) {
    TDialog dialog;
    for (const auto& [port, delay] : {std::pair(65535, 60000), std::pair(1, 0)}) {
        dialog.Params.EditTCPPort->setText(QString::number(port));
        dialog.Params.EditTCPSendDelay->setText(QString::number(delay));
        QTest::mouseClick(dialog.Params.BtSave, Qt::LeftButton);
        EXPECT_EQ(SettingsReadInteger("TCP\\Port", -1), port);
        EXPECT_EQ(SettingsReadInteger("TCP\\Delay", -1), delay);
    }
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
}

TEST(SettingsDialog, EveryFieldOfTheSecondPageIsStoredAndLoadedBack) {
    TDialog dialog;
    TFormParams& params = dialog.Params;
    EXPECT_TRUE(params.RadioListenAll->isChecked());
    EXPECT_FALSE(params.EditListenAddress->isEnabled());
    EXPECT_TRUE(params.CheckBoxFraming->isChecked());
    EXPECT_TRUE(params.CheckBoxFollow->isChecked());
    EXPECT_TRUE(params.CheckBoxNotifications->isChecked());
    EXPECT_TRUE(params.Notifications);
    params.RadioListenOne->setChecked(true);
    EXPECT_TRUE(params.EditListenAddress->isEnabled());
    params.EditListenAddress->setText(" 127.0.0.1 ");
    params.EditAllowedHosts->setText("device.lan, bench-pc");
    params.CheckBoxFraming->setChecked(false);
    params.CheckBoxFollow->setChecked(false);
    params.CheckBoxNotifications->setChecked(false);
    params.EditReaderLimit->setText("30");
    params.EditJournalEntries->setText("0");
    params.EditJournalBodyBytes->setText("$400");
    QTest::mouseClick(params.BtSave, Qt::LeftButton);
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
    EXPECT_EQ(dialog.SavesPosted(), 1);
    EXPECT_EQ(SettingsReadString("TCP\\Listen", "?"), "127.0.0.1");
    EXPECT_EQ(SettingsReadString("TCP\\AllowedHosts", "?"), "device.lan, bench-pc");
    EXPECT_EQ(SettingsReadString("TCP\\Framing", "?"), "0");
    EXPECT_EQ(SettingsReadString("RS\\Follow", "?"), "0");
    EXPECT_EQ(SettingsReadString("TCP\\ReaderLimit", "?"), "30");
    EXPECT_EQ(SettingsReadString("Journal\\Entries", "?"), "0");
    EXPECT_EQ(SettingsReadString("Journal\\BodyBytes", "?"), "1024");
    EXPECT_EQ(SettingsReadString("UI\\Notifications", "?"), "0");
    EXPECT_FALSE(params.Notifications);
    EXPECT_EQ(dialog.Tcp.Listen, "127.0.0.1");
    EXPECT_EQ(dialog.Tcp.AllowedHosts, "device.lan, bench-pc");
    EXPECT_FALSE(dialog.Tcp.Framing);
    EXPECT_EQ(dialog.Tcp.ReaderLimitS, 30);
    EXPECT_FALSE(dialog.Rs.Follow);
    EXPECT_EQ(params.JournalEntries, 0);
    EXPECT_EQ(params.JournalBodyBytes, 1024);
    EXPECT_EQ(params.EditJournalBodyBytes->text(), "1024");

    TSides again;
    again.Params.LoadSettings();
    EXPECT_TRUE(again.Params.RadioListenOne->isChecked());
    EXPECT_TRUE(again.Params.EditListenAddress->isEnabled());
    EXPECT_EQ(again.Params.EditListenAddress->text(), "127.0.0.1");
    EXPECT_EQ(again.Params.EditAllowedHosts->text(), "device.lan, bench-pc");
    EXPECT_FALSE(again.Params.CheckBoxFraming->isChecked());
    EXPECT_FALSE(again.Params.CheckBoxFollow->isChecked());
    EXPECT_FALSE(again.Params.CheckBoxNotifications->isChecked());
    EXPECT_FALSE(again.Params.Notifications);
    EXPECT_EQ(again.Params.EditReaderLimit->text(), "30");
    EXPECT_EQ(again.Params.EditJournalEntries->text(), "0");
    EXPECT_EQ(again.Params.EditJournalBodyBytes->text(), "1024");
    EXPECT_FALSE(again.Params.Modified);

    // The other two places to listen; text that is no number keeps the value it replaces.
    params.RadioListenLocal->setChecked(true);
    params.EditReaderLimit->setText("soon");
    params.EditJournalEntries->setText("");
    QTest::mouseClick(params.BtSave, Qt::LeftButton);
    EXPECT_EQ(SettingsReadString("TCP\\Listen", "?"), "localhost");
    EXPECT_EQ(params.EditListenAddress->text(), "");
    EXPECT_FALSE(params.EditListenAddress->isEnabled());
    EXPECT_EQ(params.EditReaderLimit->text(), "30");
    EXPECT_EQ(params.EditJournalEntries->text(), "0");
    again.Params.LoadSettings();
    EXPECT_TRUE(again.Params.RadioListenLocal->isChecked());
    params.RadioListenAll->setChecked(true);
    QTest::mouseClick(params.BtSave, Qt::LeftButton);
    EXPECT_EQ(SettingsReadString("TCP\\Listen", "?"), "");
    EXPECT_TRUE(ScriptedDialogs().Texts.isEmpty());
}

TEST(SettingsDialog, TheSecondPagesNumbersOutOfRangeAndAnAddressThatIsNoneAreRefusedByName) {
    TDialog dialog;
    TScriptedDialogs& dialogs = FreshDialogs();
    TFormParams& params = dialog.Params;
    params.RadioListenOne->setChecked(true);
    params.EditListenAddress->setText("127.0.0.1");
    const QString address = "The address to listen on must be an IP address of this machine, such as 192.168.1.20 or ::1.";
    const std::tuple<QLineEdit*, const char*, QString> cases[] = {
        {params.EditReaderLimit, "0", "Reader Limit must be from 1 to 3600 seconds."},
        {params.EditReaderLimit, "3601", "Reader Limit must be from 1 to 3600 seconds."},
        {params.EditJournalEntries, "-1", "Journal Entries must be from 0 to 100000."},
        {params.EditJournalEntries, "100001", "Journal Entries must be from 0 to 100000."},
        {params.EditJournalBodyBytes, "-1", "Journal Body Bytes must be from 0 to 1048576 bytes."},
        {params.EditJournalBodyBytes, "0x100001", "Journal Body Bytes must be from 0 to 1048576 bytes."},
        {params.EditListenAddress, "device.lan", address},
        {params.EditListenAddress, "300.1.1.1", address},
        {params.EditListenAddress, "", address}};
    for (const auto& [field, text, message] : cases) {
        const QString was = field->text();
        field->setText(text);
        params.PageControl1->setCurrentWidget(params.TabSheetGeneral);
        QTest::mouseClick(params.BtOK, Qt::LeftButton);
        EXPECT_EQ(dialogs.Texts.takeLast(), message) << text;
        EXPECT_TRUE(params.isVisible()) << text;
        EXPECT_EQ(params.PageControl1->currentWidget(), params.TabSheetNetwork) << text;
        EXPECT_EQ(field->selectedText(), text) << text;
        field->setText(was);
    }
    EXPECT_EQ(dialog.SavesPosted(), 0);
    EXPECT_FALSE(QFile::exists(SettingsFilePath()));

    for (const auto& [readerLimit, entries, bodyBytes, listen] :
         {std::tuple("1", "0", "0", "::1"), std::tuple("3600", "100000", "1048576", "127.0.0.1")}) {
        params.EditReaderLimit->setText(readerLimit);
        params.EditJournalEntries->setText(entries);
        params.EditJournalBodyBytes->setText(bodyBytes);
        params.EditListenAddress->setText(listen);
        QTest::mouseClick(params.BtSave, Qt::LeftButton);
        EXPECT_EQ(SettingsReadString("TCP\\ReaderLimit", "?"), readerLimit);
        EXPECT_EQ(SettingsReadString("Journal\\Entries", "?"), entries);
        EXPECT_EQ(SettingsReadString("Journal\\BodyBytes", "?"), bodyBytes);
        EXPECT_EQ(SettingsReadString("TCP\\Listen", "?"), listen);
    }
    EXPECT_TRUE(dialogs.Texts.isEmpty());
}

// The file's value is what the user must see to put it right; until then nothing is saved.
TEST(SettingsDialog, AStoredReaderLimitOutOfRangeIsShownAndRefusedUntilPutRight) {
    TDialog dialog;
    SettingsWriteInteger("TCP\\ReaderLimit", 5000);
    SettingsWriteString("TCP\\Listen", "localhost");
    EXPECT_THROW(dialog.Params.LoadSettings(), EQuellorError);
    EXPECT_EQ(dialog.Params.EditReaderLimit->text(), "5000");
    EXPECT_TRUE(dialog.Params.RadioListenLocal->isChecked());
    EXPECT_EQ(dialog.Tcp.ReaderLimitS, 120);
    TScriptedDialogs& dialogs = FreshDialogs();
    QTest::mouseClick(dialog.Params.BtOK, Qt::LeftButton);
    EXPECT_EQ(dialogs.Texts, QStringList{"Reader Limit must be from 1 to 3600 seconds."});
    EXPECT_EQ(SettingsReadInteger("TCP\\ReaderLimit", 0), 5000);
    dialog.Params.EditReaderLimit->setText("60");
    QTest::mouseClick(dialog.Params.BtOK, Qt::LeftButton);
    EXPECT_FALSE(dialog.Params.isVisible());
    EXPECT_EQ(SettingsReadInteger("TCP\\ReaderLimit", 0), 60);
    EXPECT_EQ(dialog.Tcp.ReaderLimitS, 60);
}

TEST(SettingsDialog, EachFieldOfTheSecondPageCountsAsAChangeWhenClosing) {
    TDialog dialog;
    TFormParams& params = dialog.Params;
    params.RadioListenOne->setChecked(true);
    params.EditListenAddress->setText("127.0.0.1");
    params.EditAllowedHosts->setText("bench-pc");
    params.SaveSettings();
    TScriptedDialogs& dialogs = FreshDialogs();
    params.PageControl1->setCurrentWidget(params.TabSheetNetwork);
    EXPECT_TRUE(params.close()) << "showing the other page changes nothing";
    const auto text = [](QLineEdit* field, const char* changed) {
        return std::pair<std::function<void()>, std::function<void()>>(
            [field, changed] { field->setText(changed); }, [field, was = field->text()] { field->setText(was); });
    };
    const auto toggle = [](QAbstractButton* box) {
        return std::pair<std::function<void()>, std::function<void()>>([box] { box->toggle(); }, [box] { box->toggle(); });
    };
    const std::pair<std::function<void()>, std::function<void()>> edits[] = {
        {[&] { params.RadioListenLocal->setChecked(true); }, [&] { params.RadioListenOne->setChecked(true); }},
        {[&] { params.RadioListenAll->setChecked(true); }, [&] { params.RadioListenOne->setChecked(true); }},
        text(params.EditListenAddress, "127.0.0.2"),
        text(params.EditAllowedHosts, "device.lan"),
        toggle(params.CheckBoxFraming),
        toggle(params.CheckBoxFollow),
        toggle(params.CheckBoxNotifications),
        text(params.EditReaderLimit, "121"),
        text(params.EditJournalEntries, "999"),
        text(params.EditJournalBodyBytes, "1")};
    int field = 0;
    for (const auto& [change, changeBack] : edits) {
        params.show();
        change();
        dialogs.Answers = {TBoxAnswer::Cancel};
        EXPECT_FALSE(params.close()) << field;
        EXPECT_EQ(dialogs.Texts, QStringList{"Do you want to save changes?"}) << field;
        dialogs.Texts.clear();
        changeBack();
        EXPECT_TRUE(params.close()) << field;
        EXPECT_TRUE(dialogs.Texts.isEmpty()) << field;
        ++field;
    }
    // "No" puts the stored values back on the second page too.
    params.show();
    params.EditAllowedHosts->setText("device.lan");
    params.CheckBoxFollow->setChecked(false);
    dialogs.Answers = {TBoxAnswer::No};
    EXPECT_TRUE(params.close());
    EXPECT_EQ(params.EditAllowedHosts->text(), "bench-pc");
    EXPECT_TRUE(params.CheckBoxFollow->isChecked());
    EXPECT_EQ(dialog.SavesPosted(), 0);
}

TEST(SettingsDialog, AChangedListenAddressRestartsTheServerThere) {
    TProgram program("ListenTest");
    QFile::remove(SettingsFilePath());
    const quint16 port = FreeTcpPort();
    SettingsWriteInteger("TCP\\Port", port);
    program.Main().StartUp();
    Peek(program.Line()).TimerCheck->stop();
    TFormParams& params = program.Params();
    EXPECT_TRUE(Reaches("127.0.0.1", port));
    FreshDialogs();

    params.RadioListenOne->setChecked(true);
    params.EditListenAddress->setText("127.0.0.2");
    params.BtOKClick();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Reaches("127.0.0.2", port));
    EXPECT_FALSE(Reaches("127.0.0.1", port));
    EXPECT_EQ(program.Main().BrowserURL, QStringLiteral("http:\\\\127.0.0.2:%1").arg(port));

    params.RadioListenLocal->setChecked(true);
    params.BtOKClick();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Reaches("127.0.0.1", port));
    EXPECT_FALSE(Reaches("127.0.0.2", port));
    EXPECT_EQ(program.Main().BrowserURL, QStringLiteral("http:\\\\localhost:%1").arg(port));
}

TEST(SettingsDialog, ANamedBridgesDialogEditsThatBridgesFile) {
    const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + "/NORVEL-Q";
    QFile::remove(folder + "/quellor.conf");
    QFile::remove(folder + "/quellor-bench1.conf");
    TProgram bench("quellor", "bench1");
    bench.Params().LoadSettings();
    bench.Params().EditReaderLimit->setText("45");
    bench.Params().CheckBoxFollow->setChecked(false);
    FreshDialogs();
    ASSERT_TRUE(bench.Params().BtSaveClick());
    const QSettings file(folder + "/quellor-bench1.conf", QSettings::IniFormat);
    EXPECT_EQ(file.value("TCP/ReaderLimit").toString(), "45");
    EXPECT_EQ(file.value("RS/Follow").toString(), "0");
    EXPECT_FALSE(QFile::exists(folder + "/quellor.conf"));
}

// The Line page stores the line, refuses a rate out of range by name, and a save reopens the port
// at the new line, which the device's side sees.
TEST(SettingsDialog, TheLinePageStoresTheLineRefusesARateOutOfRangeAndASaveReopensThePortAtIt) {
    TProgram program("DialogLineTest");
    QFile::remove(SettingsFilePath());
    TPty pty;
    MapPort(1, pty.SlavePath);
    TFormParams& params = program.Params();
    params.LoadSettings();
    program.Rs().OpenConfiguredPort();
    const auto deviceSees = [&pty] {
        termios2 attr{};
        ioctl(pty.Master, TCGETS2, &attr);
        return attr;
    };
    EXPECT_EQ(deviceSees().c_ospeed, 115200u);
    TScriptedDialogs& dialogs = FreshDialogs();

    params.EditBaud->setText("49");
    EXPECT_FALSE(params.BtSaveClick());
    EXPECT_EQ(dialogs.Texts.takeLast(), "Rate must be from 50 to 4000000 baud.");
    EXPECT_EQ(params.PageControl1->currentWidget(), params.TabSheetLine);
    EXPECT_EQ(params.EditBaud->selectedText(), "49");
    EXPECT_FALSE(QFile::exists(SettingsFilePath()));

    params.EditBaud->setText("250000");
    params.ComboBoxDataBits->setCurrentIndex(params.ComboBoxDataBits->findText("7"));
    params.ComboBoxParity->setCurrentIndex(params.ComboBoxParity->findText("Even"));
    params.ComboBoxStopBits->setCurrentIndex(params.ComboBoxStopBits->findText("2"));
    params.ComboBoxFlow->setCurrentIndex(params.ComboBoxFlow->findText("RTS/CTS"));
    params.CheckBoxDtr->setChecked(false);
    params.CheckBoxBaudSearch->setChecked(true);
    ASSERT_TRUE(params.BtSaveClick());
    EXPECT_TRUE(dialogs.Texts.isEmpty());
    const QStringList stored{SettingsReadString("RS\\Baud", "?"),   SettingsReadString("RS\\DataBits", "?"),
                             SettingsReadString("RS\\Parity", "?"), SettingsReadString("RS\\StopBits", "?"),
                             SettingsReadString("RS\\Flow", "?"),   SettingsReadString("RS\\DTR", "?"),
                             SettingsReadString("RS\\BaudSearch", "?")};
    EXPECT_EQ(stored, (QStringList{"250000", "7", "even", "2", "rtscts", "0", "1"}));
    EXPECT_EQ(LineText(program.Rs().LineSettings), "250000 7E2 RTS/CTS");
    ASSERT_TRUE(WaitUntil([&] { return deviceSees().c_ospeed == 250000u; }));
    EXPECT_EQ(deviceSees().c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
    EXPECT_TRUE(deviceSees().c_cflag & CSTOPB);
    EXPECT_TRUE(deviceSees().c_cflag & CRTSCTS);
    EXPECT_EQ(program.Rs().CommRS->DCB().ByteSize, 7);
    EXPECT_EQ(program.Rs().CommRS->DCB().Parity, dcb::EVENPARITY);

    TProgram again("DialogLineTest");
    again.Params().LoadSettings();
    EXPECT_EQ(again.Params().EditBaud->text(), "250000");
    EXPECT_EQ(again.Params().ComboBoxParity->currentText(), "Even");
    EXPECT_EQ(again.Params().ComboBoxFlow->currentText(), "RTS/CTS");
    EXPECT_FALSE(again.Params().CheckBoxDtr->isChecked());
    EXPECT_TRUE(again.Params().CheckBoxBaudSearch->isChecked());
    MapPort(1, "/nonexistent/quellor-port");
}
