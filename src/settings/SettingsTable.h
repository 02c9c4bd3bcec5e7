#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// What a setting holds in the file.
enum class TSettingKind : uint8_t {
    Number,   // a number from Min to Max in the stored integer syntax
    Flag,     // any number; 0 is off
    Choice,   // one of Choices, as written there
    Text,     // any text
    Address,  // where the server listens: empty, "localhost" or one IP address
};

// The page of the Settings dialog a setting sits on; None: kept by the program, not shown.
enum class TSettingPage : uint8_t { None, General, Network, Line };

// One setting of the program: its key, what it holds and its default as stored, and how the
// dialog shows it. A choice's words are what the file holds; Shown is what the dialog lists.
struct TSetting {
    QString Key;
    TSettingKind Kind = TSettingKind::Text;
    QString Default;
    int32_t Min = 0;
    int32_t Max = 0;
    QStringList Choices;
    QStringList Shown;
    TSettingPage Page = TSettingPage::None;
    // The dialog's field (its object name), its label with the keyboard's mnemonic, the unit shown
    // beside a number, the tooltip, and what a number out of range is refused with.
    QString Control;
    QString Label;
    QString Unit;
    QString Tip;
    QString Refusal;
    // What the README's table says the setting holds.
    QString Values;
};

// The bounds of the settings whose numbers other code needs while it compiles; their rows use them.
struct TBound {
    int32_t Default;
    int32_t Min;
    int32_t Max;
};
namespace bound {
inline constexpr TBound JournalEntries{1000, 0, 100000};
inline constexpr TBound JournalBodyBytes{65536, 0, 1048576};
} // namespace bound

// The keys the program reads and writes; each is one row of SettingsTable().
namespace key {
inline const QString RsCom = QStringLiteral("RS\\COM");
inline const QString RsBaud = QStringLiteral("RS\\Baud");
inline const QString RsDataBits = QStringLiteral("RS\\DataBits");
inline const QString RsParity = QStringLiteral("RS\\Parity");
inline const QString RsStopBits = QStringLiteral("RS\\StopBits");
inline const QString RsFlow = QStringLiteral("RS\\Flow");
inline const QString RsDtr = QStringLiteral("RS\\DTR");
inline const QString RsBaudSearch = QStringLiteral("RS\\BaudSearch");
inline const QString RsFollow = QStringLiteral("RS\\Follow");
inline const QString DetectCom = QStringLiteral("RS\\Detect\\COM");
inline const QString DetectName = QStringLiteral("RS\\Detect\\Name");
inline const QString DetectDescription = QStringLiteral("RS\\Detect\\Description");
inline const QString DetectIdentity = QStringLiteral("RS\\Detect\\Identity");
inline const QString TcpPort = QStringLiteral("TCP\\Port");
inline const QString TcpDelay = QStringLiteral("TCP\\Delay");
inline const QString TcpListen = QStringLiteral("TCP\\Listen");
inline const QString TcpAllowedHosts = QStringLiteral("TCP\\AllowedHosts");
inline const QString TcpFraming = QStringLiteral("TCP\\Framing");
inline const QString TcpReaderLimit = QStringLiteral("TCP\\ReaderLimit");
inline const QString JournalEntries = QStringLiteral("Journal\\Entries");
inline const QString JournalBodyBytes = QStringLiteral("Journal\\BodyBytes");
inline const QString Notifications = QStringLiteral("UI\\Notifications");
inline const QString InformationSplit = QStringLiteral("Window\\InformationSplit");
inline const QString ConfigSaved = QStringLiteral("Config\\Saved");
} // namespace key

// Every setting, in the order the README and the dialog's pages list them.
const QList<TSetting>& SettingsTable();
// The row of a key of the table; a key outside it is a fault of the program.
const TSetting& SettingOf(const QString& key);
QList<TSetting> SettingsOnPage(TSettingPage page);

int32_t DefaultNumber(const QString& key);
// True when the stored text is a value the setting may hold.
bool Fits(const TSetting& setting, const QString& text);

// What the file holds for the key when it is a value the setting may hold; its default otherwise
// (a value out of range included). Choices are matched without regard to letter case and read as
// the table writes them.
int32_t ReadNumber(const QString& key);
// A number beyond the range reads as the end it passed.
int32_t ReadClamped(const QString& key);
bool ReadFlag(const QString& key);
QString ReadChoice(const QString& key);

void WriteNumber(const QString& key, int32_t value);
void WriteText(const QString& key, const QString& text);
