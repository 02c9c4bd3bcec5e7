#include "settings/SettingsTable.h"

#include <algorithm>
#include <limits>

#include "settings/UtilsRegistry.h"

namespace {
constexpr int32_t Least = std::numeric_limits<int32_t>::min();
constexpr int32_t Most = std::numeric_limits<int32_t>::max();

TSetting Row(const QString& key, TSettingKind kind, const QString& defaultValue) {
    TSetting row;
    row.Key = key;
    row.Kind = kind;
    row.Default = defaultValue;
    return row;
}

TSetting Number(const QString& key, int32_t defaultValue, int32_t min, int32_t max) {
    TSetting row = Row(key, TSettingKind::Number, QString::number(defaultValue));
    row.Min = min;
    row.Max = max;
    row.Values = min == Least && max == Most ? QStringLiteral("any number") : QStringLiteral("%1 to %2").arg(min).arg(max);
    return row;
}

TSetting Number(const QString& key, TBound bound) { return Number(key, bound.Default, bound.Min, bound.Max); }

TSetting Flag(const QString& key, bool on) {
    TSetting row = Row(key, TSettingKind::Flag, on ? QStringLiteral("1") : QStringLiteral("0"));
    row.Values = QStringLiteral("0 or 1");
    return row;
}

TSetting Choice(const QString& key, const QStringList& choices, const QStringList& shown) {
    TSetting row = Row(key, TSettingKind::Choice, choices.first());
    row.Choices = choices;
    row.Shown = shown;
    row.Values = choices.join(QStringLiteral(", "));
    return row;
}

TSetting Text(const QString& key, const QString& values) {
    TSetting row = Row(key, TSettingKind::Text, QString());
    row.Values = values;
    return row;
}

TSetting& Shown(TSetting& row, TSettingPage page, const QString& control, const QString& label, const QString& tip) {
    row.Page = page;
    row.Control = control;
    row.Label = label;
    row.Tip = tip;
    return row;
}

TSetting General(TSetting row, const QString& control, const QString& label, const QString& tip,
                 const QString& refusal = {}) {
    row.Refusal = refusal;
    return Shown(row, TSettingPage::General, control, label, tip);
}

TSetting OnPage(TSettingPage page, TSetting row, const QString& control, const QString& label, const QString& tip,
                const QString& unit = {}, const QString& refusal = {}) {
    row.Unit = unit;
    row.Refusal = refusal;
    return Shown(row, page, control, label, tip);
}

TSetting Kept(TSetting row, const QString& what) {
    row.Tip = what;
    return row;
}

QList<TSetting> GeneralRows() {
    return {
        General(Number(key::RsCom, 1, 0, 255), QStringLiteral("ComboBox_PortRS"), QStringLiteral("&COM Port"),
                QStringLiteral("The serial port the device is on. Ports present are bold.")),
        General(Number(key::TcpPort, 24111, 1, 65535), QStringLiteral("EditTCPPort"), QStringLiteral("&Port"),
                QStringLiteral("The TCP port the browser reaches the device at, 1 to 65535."),
                QStringLiteral("Port must be a TCP port from 1 to 65535.")),
        General(Number(key::TcpDelay, 100, 0, 60000), QStringLiteral("EditTCPSendDelay"), QStringLiteral("Send &Delay"),
                QStringLiteral("How long the line must stay quiet, in milliseconds (0 to 60000), before an answer "
                               "that does not say where it ends is complete."),
                QStringLiteral("Send Delay must be from 0 to 60000 milliseconds.")),
    };
}

QList<TSetting> NetworkRows() {
    const auto network = [](auto&&... parts) { return OnPage(TSettingPage::Network, parts...); };
    TSetting listen = Row(key::TcpListen, TSettingKind::Address, QString());
    listen.Values = QStringLiteral("empty, localhost or one IP address");
    return {
        network(listen, QStringLiteral("RadioGroupListen"), QStringLiteral("&Listen on"),
                QStringLiteral("Which addresses the server takes connections on, and so who can reach the device.")),
        network(Text(key::TcpAllowedHosts, QStringLiteral("host names, comma-separated, or *")),
                QStringLiteral("EditAllowedHosts"), QStringLiteral("Allowed &Hosts"),
                QStringLiteral("Host names besides this machine's that requests and the pages that send them may "
                               "name, separated by commas, such as device.lan, bench-pc. * switches the host and "
                               "origin checks off.")),
        network(Flag(key::TcpFraming, true), QStringLiteral("CheckBoxFraming"),
                QStringLiteral("&Framing: answers end where their HTTP head says"),
                QStringLiteral("On: an answer is handed on as it arrives and is complete where its head says. Off: "
                               "every answer is complete once the line was quiet for the send delay.")),
        network(Flag(key::RsFollow, true), QStringLiteral("CheckBoxFollow"),
                QStringLiteral("Follow the device when it mo&ves to another port"),
                QStringLiteral("On: while the device does not answer, ports that appear are probed, and the one "
                               "where the same device answers becomes the COM port.")),
        network(Number(key::TcpReaderLimit, 120, 1, 3600), QStringLiteral("EditReaderLimit"),
                QStringLiteral("&Reader Limit"),
                QStringLiteral("How long, 1 to 3600 seconds, a browser may take nothing of its answer before it is "
                               "dropped, and bytes that are not HTTP may keep coming."),
                QStringLiteral("seconds"), QStringLiteral("Reader Limit must be from 1 to 3600 seconds.")),
        network(Number(key::JournalEntries, bound::JournalEntries), QStringLiteral("EditJournalEntries"),
                QStringLiteral("Journal En&tries"),
                QStringLiteral("How many of the last exchanges the journal keeps, 0 to 100000; 0 switches the "
                               "journal off."),
                QStringLiteral("exchanges"), QStringLiteral("Journal Entries must be from 0 to 100000.")),
        network(Number(key::JournalBodyBytes, bound::JournalBodyBytes), QStringLiteral("EditJournalBodyBytes"),
                QStringLiteral("Journal &Body Bytes"),
                QStringLiteral("How much of each request's and answer's body the journal keeps, 0 to 1048576 bytes "
                               "(1 MiB)."),
                QStringLiteral("bytes"), QStringLiteral("Journal Body Bytes must be from 0 to 1048576 bytes.")),
        network(Flag(key::Notifications, true), QStringLiteral("CheckBoxNotifications"),
                QStringLiteral("Desktop n&otifications when the device goes or comes back"),
                QStringLiteral("On: the tray tells when the device on the COM port stops answering and when it "
                               "answers again, at most once a minute.")),
    };
}

QList<TSetting> LineRows() {
    const auto line = [](auto&&... parts) { return OnPage(TSettingPage::Line, parts...); };
    return {
        line(Number(key::RsBaud, 115200, 50, 4000000), QStringLiteral("EditBaud"), QStringLiteral("&Rate"),
             QStringLiteral("The line's rate, 50 to 4000000 baud, as the device speaks it. Rates without a standard "
                            "constant are set as they are, where the adapter can make them."),
             QStringLiteral("baud"), QStringLiteral("Rate must be from 50 to 4000000 baud.")),
        line(Choice(key::RsDataBits, {QStringLiteral("8"), QStringLiteral("7"), QStringLiteral("6"), QStringLiteral("5")},
                    {QStringLiteral("8"), QStringLiteral("7"), QStringLiteral("6"), QStringLiteral("5")}),
             QStringLiteral("ComboBoxDataBits"), QStringLiteral("Data &Bits"),
             QStringLiteral("Bits of each character: 8 for HTTP, unless the device says otherwise.")),
        line(Choice(key::RsParity,
                    {QStringLiteral("none"), QStringLiteral("even"), QStringLiteral("odd"), QStringLiteral("mark"),
                     QStringLiteral("space")},
                    {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd"), QStringLiteral("Mark"),
                     QStringLiteral("Space")}),
             QStringLiteral("ComboBoxParity"), QStringLiteral("&Parity"),
             QStringLiteral("The parity bit of each character, if the device sends one.")),
        line(Choice(key::RsStopBits, {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")},
                    {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")}),
             QStringLiteral("ComboBoxStopBits"), QStringLiteral("&Stop Bits"),
             QStringLiteral("Stop bits after each character. Where the port has no 1.5, it sends 2.")),
        line(Choice(key::RsFlow, {QStringLiteral("none"), QStringLiteral("rtscts")},
                    {QStringLiteral("None"), QStringLiteral("RTS/CTS")}),
             QStringLiteral("ComboBoxFlow"), QStringLiteral("&Flow Control"),
             QStringLiteral("RTS/CTS: the device and the port hold each other back by their handshake lines, so "
                            "that no byte is lost at high rates. There is no software flow control: it would take "
                            "bytes of binary bodies for its signals.")),
        line(Flag(key::RsDtr, true), QStringLiteral("CheckBoxDtr"), QStringLiteral("Raise D&TR after each open"),
             QStringLiteral("On: DTR is raised each time the port opens. Off: DTR is left as the port has it, for "
                            "boards that restart when it rises.")),
        line(Flag(key::RsBaudSearch, false), QStringLiteral("CheckBoxBaudSearch"),
             QStringLiteral("Start also tries other r&ates"),
             QStringLiteral("On: where the device does not answer at the rate above, Start tries 115200, 921600, "
                            "460800, 230400, 57600, 38400, 19200 and 9600 baud, and keeps the rate it answered at.")),
    };
}

QList<TSetting> KeptRows() {
    return {
        Kept(Number(key::DetectCom, 0, Least, Most), QStringLiteral("The port the device was last found on; 0: never.")),
        Kept(Text(key::DetectName, QStringLiteral("text")), QStringLiteral("That port's name.")),
        Kept(Text(key::DetectDescription, QStringLiteral("text")), QStringLiteral("What that port is.")),
        Kept(Text(key::DetectIdentity, QStringLiteral("text")),
             QStringLiteral("The device's identity file, whose device the port is.")),
        Kept(Number(key::InformationSplit, 0, Least, Most),
             QStringLiteral("Where the Information window divides the log from the exchanges.")),
        Kept(Number(key::ConfigSaved, 0, Least, Most), QStringLiteral("1 once the settings were saved.")),
    };
}

bool Matches(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

QString StoredText(const QString& key) {
    try {
        return SettingsReadText(key).value_or(SettingOf(key).Default);
    } catch (const ESettingsError&) {
        return SettingOf(key).Default;
    }
}
} // namespace

const QList<TSetting>& SettingsTable() {
    static const QList<TSetting> table = GeneralRows() + NetworkRows() + LineRows() + KeptRows();
    return table;
}

const TSetting& SettingOf(const QString& key) {
    for (const TSetting& row : SettingsTable())
        if (row.Key == key)
            return row;
    qFatal("no setting %s", qPrintable(key));
}

QList<TSetting> SettingsOnPage(TSettingPage page) {
    QList<TSetting> rows;
    for (const TSetting& row : SettingsTable())
        if (row.Page == page)
            rows << row;
    return rows;
}

int32_t DefaultNumber(const QString& key) { return SettingOf(key).Default.toInt(); }

bool Fits(const TSetting& setting, const QString& text) {
    switch (setting.Kind) {
    case TSettingKind::Number: {
        const std::optional<int32_t> number = ParseInteger(text);
        return number && *number >= setting.Min && *number <= setting.Max;
    }
    case TSettingKind::Flag: return ParseInteger(text).has_value();
    case TSettingKind::Choice:
        for (const QString& choice : setting.Choices)
            if (Matches(choice, text.trimmed()))
                return true;
        return false;
    default: return true;
    }
}

int32_t ReadNumber(const QString& key) {
    const QString text = StoredText(key);
    return Fits(SettingOf(key), text) ? *ParseInteger(text) : DefaultNumber(key);
}

int32_t ReadClamped(const QString& key) {
    const TSetting& row = SettingOf(key);
    const std::optional<int32_t> number = ParseInteger(StoredText(key));
    return number ? std::clamp(*number, row.Min, row.Max) : DefaultNumber(key);
}

bool ReadFlag(const QString& key) { return ReadNumber(key) != 0; }

QString ReadChoice(const QString& key) {
    const TSetting& row = SettingOf(key);
    const QString text = StoredText(key).trimmed();
    for (const QString& choice : row.Choices)
        if (Matches(choice, text))
            return choice;
    return row.Default;
}

void WriteNumber(const QString& key, int32_t value) { SettingsWriteInteger(SettingOf(key).Key, value); }

void WriteText(const QString& key, const QString& text) { SettingsWriteString(SettingOf(key).Key, text); }
