#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

#include "settings/SettingsTable.h"

// A value in the file that is none its setting may hold: not text, not a number in the stored
// syntax, out of its range, or not one of its choices.
struct TBadSetting {
    TSetting Setting;
    // What the file holds; none when it is not text.
    std::optional<QString> Text;
};

// Reads the file; writes nothing. Text settings are never bad.
QList<TBadSetting> FindBadSettings();
QStringList Keys(const QList<TBadSetting>& bad);
// The one line that names a bad value and the value used instead:
// Settings: TCP\Port holds "70000", not a number from 1 to 65535; 24111 is used
QString BadSettingLine(const TBadSetting& bad, const QString& used);
