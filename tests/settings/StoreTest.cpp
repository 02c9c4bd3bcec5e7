// The settings store and the whole load and save, on real files in this process's config folder.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QThread>
#include <gtest/gtest.h>

#include "settings/SettingsCheck.h"
#include "settings/UtilsRegistry.h"
#include "support/Program.h"
#include "support/Pty.h"

namespace {
QString ConfigFolder() { return qEnvironmentVariable("XDG_CONFIG_HOME") + "/NORVEL-Q"; }

// A fresh program whose settings file starts empty.
struct TFreshProgram : TProgram {
    explicit TFreshProgram(const QString& name = "StoreTest") : TProgram(name) { QFile::remove(SettingsFilePath()); }
};

void WriteRaw(const QString& text) {
    QDir().mkpath(ConfigFolder());
    QFile file(SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

QString LoadError(TProgram& program) {
    try {
        program.Params().LoadSettings();
    } catch (const EQuellorError& error) {
        return error.Message;
    }
    return {};
}
} // namespace

TEST(IntegerSyntax, DecimalHexAndTheRejectedForms) {
    EXPECT_EQ(ParseInteger("24111"), 24111);
    EXPECT_EQ(ParseInteger("  -5"), -5);
    EXPECT_EQ(ParseInteger("+7"), 7);
    EXPECT_EQ(ParseInteger("$10"), 16);
    EXPECT_EQ(ParseInteger("x1f"), 31);
    EXPECT_EQ(ParseInteger("X1F"), 31);
    EXPECT_EQ(ParseInteger("0x10"), 16);
    EXPECT_EQ(ParseInteger("0XfF"), 255);
    EXPECT_EQ(ParseInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(ParseInteger("2147483647"), 2147483647);
    EXPECT_EQ(ParseInteger("-2147483648"), INT32_MIN);
    for (const char* bad : {"", " ", "3x", "3 ", "2147483648", "-2147483649", "$", "0x", "$123456789", "-$5",
                            "1.5", "--1", "12a", "$G"})
        EXPECT_FALSE(ParseInteger(bad).has_value()) << bad;
}

TEST(SettingsStore, EmptyStoreLoadsTheDefaultsAndWritesNothing) {
    TFreshProgram program;
    program.Params().LoadSettings();
    EXPECT_EQ(program.Params().ComboBox_PortRS->currentText(), "COM1");
    EXPECT_EQ(program.Params().EditTCPPort->text(), "24111");
    EXPECT_EQ(program.Params().EditTCPSendDelay->text(), "100");
    EXPECT_EQ(program.Params().Saved, 0);
    EXPECT_EQ(program.Rs().DetectCOM, 0);
    EXPECT_FALSE(QFile::exists(SettingsFilePath()));
}

TEST(SettingsStore, FirstSaveWritesExactlyTheTwentyThreeValuesAsText) {
    TFreshProgram program;
    program.Params().LoadSettings();
    program.Rs().DetectName = "COM3";
    program.Params().SaveSettings();
    EXPECT_EQ(program.Params().Saved, 1);
    QSettings file(SettingsFilePath(), QSettings::IniFormat);
    QStringList keys = file.allKeys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{"Config/Saved", "Journal/BodyBytes", "Journal/Entries", "RS/Baud", "RS/BaudSearch",
                                 "RS/COM", "RS/DTR", "RS/DataBits", "RS/Detect/COM", "RS/Detect/Description",
                                 "RS/Detect/Identity", "RS/Detect/Name", "RS/Flow", "RS/Follow", "RS/Parity",
                                 "RS/StopBits", "TCP/AllowedHosts", "TCP/Delay", "TCP/Framing", "TCP/Listen", "TCP/Port",
                                 "TCP/ReaderLimit", "UI/Notifications"}));
    for (const QString& key : keys)
        EXPECT_EQ(file.value(key).typeId(), QMetaType::QString) << key.toStdString();
    EXPECT_EQ(file.value("Config/Saved").toString(), "1");
    EXPECT_EQ(file.value("RS/COM").toString(), "1");
    EXPECT_EQ(file.value("RS/Follow").toString(), "1");
    EXPECT_EQ(file.value("TCP/Port").toString(), "24111");
    EXPECT_EQ(file.value("RS/Detect/Name").toString(), "COM3");
    EXPECT_EQ(file.value("TCP/ReaderLimit").toString(), "120");
    EXPECT_EQ(file.value("Journal/Entries").toString(), "1000");
    EXPECT_EQ(file.value("Journal/BodyBytes").toString(), "65536");
    EXPECT_EQ(file.value("UI/Notifications").toString(), "1");
    const QStringList line{file.value("RS/Baud").toString(),   file.value("RS/DataBits").toString(),
                           file.value("RS/Parity").toString(), file.value("RS/StopBits").toString(),
                           file.value("RS/Flow").toString(),   file.value("RS/DTR").toString(),
                           file.value("RS/BaudSearch").toString()};
    EXPECT_EQ(line, (QStringList{"115200", "8", "none", "1", "none", "1", "0"}));
}

TEST(SettingsStore, StoredPortNumberOutsideTheListLeavesNoSelectionAndSavesZero) {
    for (const char* stored : {"0", "256", "-3"}) {
        TFreshProgram program;
        WriteRaw(QStringLiteral("[RS]\nCOM=%1\n").arg(stored));
        program.Params().LoadSettings();
        EXPECT_EQ(program.Params().ComboBox_PortRS->currentIndex(), -1) << stored;
        EXPECT_FALSE(program.Rs().OpenConfiguredPort());
        program.Params().SaveSettings();
        EXPECT_EQ(SettingsReadString("RS\\COM", "?"), "0");
    }
}

TEST(SettingsStore, StoredPortTextFollowsTheIntegerSyntax) {
    const std::pair<const char*, const char*> cases[] = {
        {"\" 3\"", "COM3"}, {"$3", "COM3"}, {"3x", "COM1"}, {"", "COM1"}};
    for (const auto& [stored, port] : cases) {
        TFreshProgram program;
        WriteRaw(QStringLiteral("[RS]\nCOM=%1\n").arg(stored));
        program.Params().LoadSettings();
        EXPECT_EQ(program.Params().ComboBox_PortRS->currentText(), port) << stored;
    }
}

TEST(SettingsStore, TcpPortOutOfRangeStopsTheLoadAfterTheSerialValues) {
    TFreshProgram program;
    WriteRaw("[RS]\nCOM=5\nDetect\\Name=COM5\n[TCP]\nPort=65536\nDelay=300\n");
    EXPECT_EQ(LoadError(program), "Range check error");
    EXPECT_EQ(program.Params().ComboBox_PortRS->currentText(), "COM5");
    EXPECT_EQ(program.Rs().DetectName, "COM5");
    EXPECT_EQ(program.Tcp().SendDelay, 100);
    EXPECT_EQ(program.Tcp().Port, 24111);

    WriteRaw("[TCP]\nPort=65535\nDelay=abc\n");
    EXPECT_EQ(LoadError(program), "");
    EXPECT_EQ(program.Tcp().Port, 65535);
    EXPECT_EQ(program.Tcp().SendDelay, 100);
    WriteRaw("[TCP]\nPort=port\n");
    program.Params().LoadSettings();
    EXPECT_EQ(program.Tcp().Port, 24111);
}

// Otherwise the server would open to every address while the file keeps it to this machine.
TEST(SettingsStore, WhereTheServerListensAndWhomItServesAreReadEvenWhenThePortIsOutOfRange) {
    TFreshProgram program;
    WriteRaw("[TCP]\nPort=65536\nListen=localhost\nAllowedHosts=device.lan\nFraming=0\n");
    EXPECT_EQ(LoadError(program), "Range check error");
    EXPECT_EQ(program.Tcp().Listen, "localhost");
    EXPECT_EQ(program.Tcp().AllowedHosts, "device.lan");
    EXPECT_FALSE(program.Tcp().Framing);
    EXPECT_TRUE(program.Params().RadioListenLocal->isChecked());
    EXPECT_EQ(program.Params().EditAllowedHosts->text(), "device.lan");
    EXPECT_FALSE(program.Params().CheckBoxFraming->isChecked());
}

TEST(SettingsStore, ReaderLimitIsReadInSecondsAndOneOutOfRangeCostsNoOtherValue) {
    TFreshProgram program;
    program.Params().LoadSettings();
    EXPECT_EQ(program.Tcp().ReaderLimitS, 120);
    WriteRaw("[TCP]\nReaderLimit=5\n");
    EXPECT_EQ(LoadError(program), "");
    EXPECT_EQ(program.Tcp().ReaderLimitS, 5);
    for (const char* stored : {"0", "3601", "-1"}) {
        WriteRaw(QStringLiteral("[TCP]\nPort=2000\nDelay=300\nReaderLimit=%1\n").arg(stored));
        EXPECT_EQ(LoadError(program), "Range check error") << stored;
        EXPECT_EQ(program.Tcp().ReaderLimitS, 5) << stored;
        EXPECT_EQ(program.Tcp().Port, 2000) << stored;
        EXPECT_EQ(program.Tcp().SendDelay, 300) << stored;
    }
    WriteRaw("[TCP]\nReaderLimit=3600\n");
    EXPECT_EQ(LoadError(program), "");
    EXPECT_EQ(program.Tcp().ReaderLimitS, 3600);
}

TEST(SettingsStore, AValueThatIsNotTextFailsAsTheWrongType) {
    TFreshProgram program;
    WriteRaw("[TCP]\nPort=@Rect(1 2 3 4)\n");
    EXPECT_EQ(LoadError(program), "Invalid data type for 'Port'");
}

TEST(SettingsStore, FieldsOutOfRangeOrNotNumbersKeepTheOldValue) {
    TFreshProgram program;
    program.Params().LoadSettings();
    program.Params().EditTCPPort->setText("25000");
    program.Params().EditTCPSendDelay->setText("60000");
    program.Params().SaveSettings();
    for (const auto& [port, delay] : {std::pair("-1", "70000"), std::pair("65536", "-5"), std::pair("abc", "")}) {
        program.Params().EditTCPPort->setText(port);
        program.Params().EditTCPSendDelay->setText(delay);
        program.Params().SaveSettings();
        EXPECT_EQ(program.Params().EditTCPPort->text(), "25000") << port;
        EXPECT_EQ(program.Params().EditTCPSendDelay->text(), "60000") << delay;
        EXPECT_EQ(SettingsReadInteger("TCP\\Port", 0), 25000);
        EXPECT_EQ(SettingsReadInteger("TCP\\Delay", 0), 60000);
    }
}

TEST(SettingsStore, EveryReadSeesWhatAnotherWriterStored) {
    TFreshProgram program;
    SettingsWriteInteger("TCP\\Delay", 150);
    EXPECT_EQ(SettingsReadInteger("TCP\\Delay", 0), 150);
    // Another writer, a moment later (file times are compared to the millisecond).
    QThread::msleep(10);
    WriteRaw("[TCP]\nDelay=250\n");
    EXPECT_EQ(SettingsReadInteger("TCP\\Delay", 0), 250);
    EXPECT_EQ(SettingsReadString("TCP\\\\Delay", ""), "250");
}

TEST(SettingsStore, EachProgramNameKeepsItsOwnFile) {
    {
        TFreshProgram first("FirstName");
        first.Params().LoadSettings();
        first.Params().EditTCPPort->setText("25000");
        first.Params().SaveSettings();
        EXPECT_TRUE(SettingsFilePath().endsWith("/NORVEL-Q/FirstName.conf"));
    }
    TFreshProgram second("SecondName");
    second.Params().LoadSettings();
    EXPECT_EQ(second.Tcp().Port, 24111);
    TProgram again("FirstName");
    again.Params().LoadSettings();
    EXPECT_EQ(again.Tcp().Port, 25000);
    EXPECT_EQ(again.Params().Saved, 1);
}

TEST(SettingsStore, AWriteThatCannotReachTheDiskRaisesItsError) {
    {
        TBlockedConfigFolder blocked;
        TProgram program("Blocked");
        try {
            SettingsWriteInteger("RS\\COM", 3);
            ADD_FAILURE() << "no error raised";
        } catch (const ESettingsError& error) {
            EXPECT_EQ(error.Message, "Failed to create key NORVEL-Q\\Blocked\\RS\\");
        }
    }

    TProgram directory("Directory");
    QDir().mkpath(SettingsFilePath());
    try {
        SettingsWriteString("RS\\Detect\\Name", "COM3");
        ADD_FAILURE() << "no error raised";
    } catch (const ESettingsError& error) {
        EXPECT_EQ(error.Message, "Failed to set data for 'Name'");
    }
    QDir(SettingsFilePath()).removeRecursively();
}

// A flag may hold any number; a value that is not text is as bad as one that is no number.
TEST(SettingsStore, TheCheckNamesEveryBadNumberAndAMaskHidesItsValuesWhileItLives) {
    TFreshProgram program;
    WriteRaw("[RS]\nCOM=256\n[TCP]\nPort=@Rect(1 2 3 4)\nDelay=$10\nFraming=-7\nReaderLimit=3601\n");
    const QList<TBadSetting> bad = FindBadSettings();
    EXPECT_EQ(Keys(bad), (QStringList{"RS\\COM", "TCP\\Port", "TCP\\ReaderLimit"}));
    ASSERT_EQ(bad.size(), 3);
    EXPECT_EQ(BadSettingLine(bad[0], "1"), "Settings: RS\\COM holds \"256\", not a number from 0 to 255; 1 is used");
    EXPECT_EQ(BadSettingLine(bad[1], "24111"), "Settings: TCP\\Port holds a value that is not text; 24111 is used");
    {
        const TSettingsMask outer({"TCP\\Port"});
        {
            const TSettingsMask inner(Keys(bad));
            EXPECT_EQ(LoadError(program), "");
            EXPECT_EQ(program.Params().ComboBox_PortRS->currentText(), "COM1");
            EXPECT_EQ(program.Tcp().Port, 24111);
            EXPECT_EQ(program.Tcp().SendDelay, 16);
            EXPECT_TRUE(program.Tcp().Framing);
            EXPECT_EQ(program.Tcp().ReaderLimitS, 120);
        }
        EXPECT_EQ(SettingsReadInteger("TCP\\ReaderLimit", 0), 3601);
        EXPECT_EQ(SettingsReadString("TCP\\Port", "absent"), "absent");
    }
    EXPECT_EQ(LoadError(program), "Invalid data type for 'Port'");

    WriteRaw("[TCP]\nDelay=\"1\\n2\"\n");
    ASSERT_EQ(FindBadSettings().size(), 1);
    EXPECT_EQ(BadSettingLine(FindBadSettings()[0], "100"),
              "Settings: TCP\\Delay holds \"1?2\", not a number from 0 to 60000; 100 is used");
}
