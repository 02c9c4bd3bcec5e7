#pragma once
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "platform/Exception.h"

// A failure of the settings store; not caught by the program, so it reaches the general error report.
class ESettingsError : public EQuellorError {
public:
    using EQuellorError::EQuellorError;
};

// The integer syntax of stored values and of the settings fields: leading blanks, then a signed
// decimal within 32 bits, or 1 to 8 hex digits after $, x, X, 0x or 0X as a 32-bit pattern;
// nothing may follow the digits.
std::optional<int32_t> ParseInteger(const QString& text);

// Remembers where the settings live. The application key's parts name the file:
// "NORVEL-Q\Quellor" is $XDG_CONFIG_HOME/NORVEL-Q/Quellor.conf.
void SettingsSetLocation(const QString& baseKey, const QString& appKey);
// The file the settings are kept in.
QString SettingsFilePath();

int32_t SettingsReadInteger(const QString& path, int32_t defaultValue);
void SettingsWriteInteger(const QString& path, int32_t value);
QString SettingsReadString(const QString& path, const QString& defaultValue);
void SettingsWriteString(const QString& path, const QString& value);
// The text the file holds for the value; none when it holds none.
std::optional<QString> SettingsReadText(const QString& path);

// While it lives, the values named ("TCP\\Port") read as absent, so that every reader falls to its
// own default; writes are not affected. Masks nest.
class TSettingsMask {
public:
    explicit TSettingsMask(const QStringList& paths);
    ~TSettingsMask();
    TSettingsMask(const TSettingsMask&) = delete;
    TSettingsMask& operator=(const TSettingsMask&) = delete;

private:
    QStringList Outer;
};
