// The table of settings against what reads them, what the README says and what the file holds.
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

#include "bridge/LineStore.h"
#include "settings/SettingsCheck.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"

namespace {
QString ReadAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

// The README's settings table: "key = default = values" of each row ("empty" is the empty text).
QStringList ReadmeTable() {
    const QString readme = ReadAll(QStringLiteral(QUELLOR_README));
    const qsizetype section = readme.indexOf(QLatin1String("\n## Settings\n"));
    EXPECT_GE(section, 0);
    QStringList rows;
    const QRegularExpression row(QStringLiteral(R"(^\| `([^`]+)` \| ([^|]*) \| ([^|]*) \|)"),
                                 QRegularExpression::MultilineOption);
    const QString text = readme.mid(section, readme.indexOf(QLatin1String("\n## "), section + 1) - section);
    for (auto match = row.globalMatch(text); match.hasNext();) {
        const auto found = match.next();
        const QString value = found.captured(2).trimmed();
        rows << found.captured(1) + QStringLiteral(" = ") + (value == QLatin1String("empty") ? QString() : value) +
                    QStringLiteral(" = ") + found.captured(3).trimmed().remove(QLatin1Char('`'));
    }
    return rows;
}

void Write(const QString& text) {
    QFile file(SettingsFilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}
} // namespace

TEST(SettingsTable, TheReadmeListsEveryKeyWithItsDefaultAndValues) {
    QStringList table;
    for (const TSetting& row : SettingsTable())
        table << row.Key + QStringLiteral(" = ") + row.Default + QStringLiteral(" = ") + row.Values;
    EXPECT_EQ(ReadmeTable(), table);
}

// A key written anywhere in the program but in the table would be a setting nobody declared.
TEST(SettingsTable, EveryKeyTheProgramNamesIsARow) {
    const QRegularExpression literal(QStringLiteral(R"re("([A-Z][A-Za-z]*(?:\\\\[A-Za-z]+)+)")re"));
    QSet<QString> named;
    for (QDirIterator files(QStringLiteral(QUELLOR_SOURCE_DIR "/src"), {"*.cpp", "*.h"}, QDir::Files,
                            QDirIterator::Subdirectories);
         files.hasNext();)
        for (auto match = literal.globalMatch(ReadAll(files.next())); match.hasNext();)
            named << match.next().captured(1).replace(QLatin1String("\\\\"), QLatin1String("\\"));
    QSet<QString> keys;
    for (const TSetting& row : SettingsTable())
        keys << row.Key;
    EXPECT_EQ(named, keys);
}

TEST(SettingsTable, EachRowsDefaultFitsAndEachFieldIsLabelledExplainedAndRefusedByName) {
    QSet<QString> keys, controls;
    for (const TSetting& row : SettingsTable()) {
        const std::string key = row.Key.toStdString();
        EXPECT_FALSE(keys.contains(row.Key)) << key;
        keys << row.Key;
        EXPECT_TRUE(Fits(row, row.Default)) << key;
        EXPECT_FALSE(row.Tip.isEmpty()) << key;
        if (row.Page == TSettingPage::None)
            continue;
        EXPECT_FALSE(controls.contains(row.Control)) << key;
        controls << row.Control;
        EXPECT_TRUE(row.Label.contains(QLatin1Char('&'))) << key;
        if (row.Kind == TSettingKind::Number && row.Control.startsWith(QLatin1String("Edit"))) {
            EXPECT_TRUE(row.Refusal.contains(QString::number(row.Min))) << key;
            EXPECT_TRUE(row.Refusal.contains(QString::number(row.Max))) << key;
        }
        if (row.Kind == TSettingKind::Choice) {
            EXPECT_EQ(row.Choices.size(), row.Shown.size()) << key;
        }
    }
}

TEST(SettingsTable, TheLineIsReadAsStoredAndEachBadValueAsItsDefaultByName) {
    SettingsSetLocation("SOFTWARE", "NORVEL-Q\\SettingsTableTest");
    QFile::remove(SettingsFilePath());
    EXPECT_EQ(ReadLineSettings(), TLineSettings());
    EXPECT_EQ(LineText(ReadLineSettings()), "115200 8N1");

    Write("[RS]\nBaud=250000\nDataBits=7\nParity=Even\nStopBits=1.5\nFlow=RTSCTS\nDTR=0\nBaudSearch=1\n");
    const TLineSettings line = ReadLineSettings();
    EXPECT_EQ(LineText(line), "250000 7E1.5 RTS/CTS");
    EXPECT_FALSE(line.RaiseDtr);
    EXPECT_TRUE(line.BaudSearch);
    EXPECT_TRUE(FindBadSettings().isEmpty());
    EXPECT_EQ(StoredLine(line).value(key::RsParity), "even");
    EXPECT_EQ(StoredLine(line).value(key::RsFlow), "rtscts");

    Write("[RS]\nBaud=49\nDataBits=9\nParity=evn\nStopBits=3\nFlow=xonxoff\nDTR=yes\nBaudSearch=\"\"\n");
    EXPECT_EQ(ReadLineSettings(), TLineSettings());
    const QList<TBadSetting> bad = FindBadSettings();
    EXPECT_EQ(Keys(bad), (QStringList{key::RsBaud, key::RsDataBits, key::RsParity, key::RsStopBits, key::RsFlow,
                                      key::RsDtr, key::RsBaudSearch}));
    ASSERT_EQ(bad.size(), 7);
    EXPECT_EQ(BadSettingLine(bad[0], "115200"),
              "Settings: RS\\Baud holds \"49\", not a number from 50 to 4000000; 115200 is used");
    EXPECT_EQ(BadSettingLine(bad[2], "none"),
              "Settings: RS\\Parity holds \"evn\", not one of none, even, odd, mark, space; none is used");
    EXPECT_EQ(BadSettingLine(bad[4], "none"),
              "Settings: RS\\Flow holds \"xonxoff\", not one of none, rtscts; none is used");
    QFile::remove(SettingsFilePath());
}
