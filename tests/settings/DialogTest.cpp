// The settings dialog: change tracking, its buttons and the close question.
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/Hub.h"
#include "support/LinePeek.h"
#include "platform/Dialogs.h"
#include "platform/WinMessage.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_UtilsControls.h"
#include "support/Hub.h"
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

    TsvControls snapshot(&owner);
    ASSERT_EQ(snapshot.List().Count(), 3);
    EXPECT_EQ(snapshot.List()[0].Text, "List=0");
    EXPECT_EQ(snapshot.List()[1].Text, "Edit=0x10");
    EXPECT_EQ(snapshot.List()[2].Text, "Group=Group");
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
}

TEST(SettingsDialog, SnapshotHoldsTheThreeFields) {
    TDialog dialog;
    dialog.Params.ComboBox_PortRS->setCurrentIndex(2);
    const TsvControls snapshot(&dialog.Params);
    ASSERT_EQ(snapshot.List().Count(), 3);
    EXPECT_EQ(snapshot.List()[0].Text, "ComboBox_PortRS=2");
    EXPECT_EQ(snapshot.List()[1].Text, "EditTCPPort=24111");
    EXPECT_EQ(snapshot.List()[2].Text, "EditTCPSendDelay=100");
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
