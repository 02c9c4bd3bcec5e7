#include "settings/SettingsCheck.h"

#include "settings/UtilsRegistry.h"

namespace {
bool Checked(const TSetting& setting) {
    return setting.Kind == TSettingKind::Number || setting.Kind == TSettingKind::Flag ||
           setting.Kind == TSettingKind::Choice;
}

// The text comes from a file anyone may edit: control characters must not make lines of the log.
QString Printable(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    return text;
}

QString WhatItMayHold(const TSetting& setting) {
    switch (setting.Kind) {
    case TSettingKind::Flag: return QStringLiteral("a number");
    case TSettingKind::Choice: return QStringLiteral("one of ") + setting.Choices.join(QStringLiteral(", "));
    default: return QStringLiteral("a number from %1 to %2").arg(setting.Min).arg(setting.Max);
    }
}
} // namespace

QList<TBadSetting> FindBadSettings() {
    QList<TBadSetting> bad;
    for (const TSetting& setting : SettingsTable()) {
        if (!Checked(setting))
            continue;
        try {
            const std::optional<QString> text = SettingsReadText(setting.Key);
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
        keys << setting.Setting.Key;
    return keys;
}

QString BadSettingLine(const TBadSetting& bad, const QString& used) {
    const QString why = bad.Text ? QStringLiteral("holds \"") + Printable(*bad.Text) + QStringLiteral("\", not ") +
                                       WhatItMayHold(bad.Setting)
                                 : QStringLiteral("holds a value that is not text");
    return QStringLiteral("Settings: ") + bad.Setting.Key + QLatin1Char(' ') + why + QStringLiteral("; ") + used +
           QStringLiteral(" is used");
}
