#include "settings/SettingsCheck.h"

#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
TNumericSetting Ranged(const char* key, TFieldRange range, int32_t defaultValue) {
    return {key, range.Min, range.Max, defaultValue};
}

TNumericSetting Flag(const char* key) { return {key, 0, 0, 1, true}; }

bool Fits(const TNumericSetting& setting, const QString& text) {
    const std::optional<int32_t> number = ParseInteger(text);
    return number && (setting.Flag || (*number >= setting.Min && *number <= setting.Max));
}

// The text comes from a file anyone may edit: control characters must not make lines of the log.
QString Printable(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    return text;
}
} // namespace

// The defaults are those the loaders read (TRSForm, TTCPForm, TFormParams).
const QList<TNumericSetting>& NumericSettings() {
    static const QList<TNumericSetting> settings{
        Ranged("RS\\COM", {0, 255}, 1),
        Flag("RS\\Follow"),
        Flag("UI\\Notifications"),
        Ranged("Journal\\Entries", JournalEntriesRange, DefaultJournalEntries),
        Ranged("Journal\\BodyBytes", JournalBodyBytesRange, DefaultJournalBodyBytes),
        Flag("TCP\\Framing"),
        Ranged("TCP\\Port", TcpPortRange, 24111),
        Ranged("TCP\\Delay", SendDelayRange, 100),
        Ranged("TCP\\ReaderLimit", ReaderLimitRange, 120),
    };
    return settings;
}

QList<TBadSetting> FindBadSettings() {
    QList<TBadSetting> bad;
    for (const TNumericSetting& setting : NumericSettings()) {
        try {
            const std::optional<QString> text = SettingsReadText(QLatin1String(setting.Key));
            if (text && !Fits(setting, *text))
                bad.append({setting, text});
        } catch (const ESettingsError&) {
            bad.append({setting, std::nullopt});
        }
    }
    return bad;
}

QStringList Keys(const QList<TBadSetting>& bad) {
    QStringList keys;
    for (const TBadSetting& setting : bad)
        keys << QLatin1String(setting.Setting.Key);
    return keys;
}

QString BadSettingLine(const TBadSetting& bad, int32_t used) {
    const TNumericSetting& setting = bad.Setting;
    QString why;
    if (!bad.Text)
        why = QStringLiteral("holds a value that is not text");
    else if (setting.Flag)
        why = QStringLiteral("holds \"") + Printable(*bad.Text) + QStringLiteral("\", not a number");
    else
        why = QStringLiteral("holds \"") + Printable(*bad.Text) + QStringLiteral("\", not a number from ") +
              QString::number(setting.Min) + QStringLiteral(" to ") + QString::number(setting.Max);
    return QStringLiteral("Settings: ") + QLatin1String(setting.Key) + QLatin1Char(' ') + why + QStringLiteral("; ") +
           QString::number(used) + QStringLiteral(" is used");
}
