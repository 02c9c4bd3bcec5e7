#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// A number the settings file keeps: its key, the numbers it may hold and the one its loader
// reads when it holds none. A flag may hold any number (0 is off).
struct TNumericSetting {
    const char* Key;
    int32_t Min;
    int32_t Max;
    int32_t Default;
    bool Flag = false;
};

// Every number the whole load reads, bar the records a detection pass keeps.
const QList<TNumericSetting>& NumericSettings();

// A value in the file that is no number of its setting: not text, not a number in the stored
// syntax, or out of its range.
struct TBadSetting {
    TNumericSetting Setting;
    // What the file holds; none when it is not text.
    std::optional<QString> Text;
};

// Reads the file; writes nothing.
QList<TBadSetting> FindBadSettings();
QStringList Keys(const QList<TBadSetting>& bad);
// The one line that names a bad value and the number used instead:
// Settings: TCP\Port holds "70000", not a number from 1 to 65535; 24111 is used
QString BadSettingLine(const TBadSetting& bad, int32_t used);
