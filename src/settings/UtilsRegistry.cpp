#include "settings/UtilsRegistry.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

namespace {
struct TLocation {
    QString BaseKey = QStringLiteral("SOFTWARE");
    QString AppKey;
} Location;

// The settings keys ("TCP/Port") a live mask hides.
QStringList Masked;

QStringList KeyParts(const QString& key) { return key.split(QLatin1Char('\\'), Qt::SkipEmptyParts); }

struct TValuePath {
    QString KeyText;  // the value's key, relative to the base key, ending in one backslash
    QString Group;    // the sub-key as the settings file's group
    QString Name;
};

TValuePath SplitPath(const QString& path) {
    const qsizetype last = path.lastIndexOf(QLatin1Char('\\'));
    const QStringList subKey = KeyParts(path.left(last + 1));
    const QStringList full = KeyParts(Location.AppKey) + subKey;
    return {full.join(QLatin1Char('\\')) + QLatin1Char('\\'), subKey.join(QLatin1Char('/')), path.mid(last + 1)};
}

QString SettingsKey(const TValuePath& value) {
    return value.Group.isEmpty() ? value.Name : value.Group + QLatin1Char('/') + value.Name;
}

// Every value as the text that stands in the file; a non-text value is a type error.
std::optional<QString> ReadText(const QString& path) {
    const TValuePath value = SplitPath(path);
    if (Masked.contains(SettingsKey(value)))
        return std::nullopt;
    QSettings store(SettingsFilePath(), QSettings::IniFormat);
    store.sync();
    const QVariant stored = store.value(SettingsKey(value));
    if (!stored.isValid())
        return std::nullopt;
    QString text;
    if (stored.typeId() == QMetaType::QString)
        text = stored.toString();
    else if (stored.typeId() == QMetaType::QStringList)
        text = stored.toStringList().join(QStringLiteral(", "));
    else
        throw ESettingsError(QStringLiteral("Invalid data type for '%1'").arg(value.Name));
    const qsizetype nul = text.indexOf(QChar(0));
    return nul < 0 ? text : text.left(nul);
}

void WriteText(const QString& path, const QString& text) {
    const TValuePath value = SplitPath(path);
    const QString file = SettingsFilePath();
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        throw ESettingsError(QStringLiteral("Failed to create key %1").arg(value.KeyText));
    QSettings store(file, QSettings::IniFormat);
    store.setValue(SettingsKey(value), text);
    store.sync();
    if (store.status() != QSettings::NoError)
        throw ESettingsError(QStringLiteral("Failed to set data for '%1'").arg(value.Name));
}

std::optional<int32_t> ParseHex(QStringView digits) {
    if (digits.isEmpty() || digits.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint32_t pattern = digits.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return static_cast<int32_t>(pattern);
}

std::optional<int32_t> ParseDecimal(QStringView text) {
    QStringView digits = text;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-'))
        digits = digits.mid(1);
    if (digits.isEmpty())
        return std::nullopt;
    for (QChar c : digits)
        if (c < u'0' || c > u'9')
            return std::nullopt;
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return number;
}

bool IsHexDigits(QStringView digits) {
    for (QChar c : digits)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}
} // namespace

std::optional<int32_t> ParseInteger(const QString& text) {
    QStringView rest(text);
    while (!rest.isEmpty() && rest.front() == u' ')
        rest = rest.mid(1);
    QStringView digits;
    if (rest.startsWith(u"0x") || rest.startsWith(u"0X"))
        digits = rest.mid(2);
    else if (rest.startsWith(u'$') || rest.startsWith(u'x') || rest.startsWith(u'X'))
        digits = rest.mid(1);
    else
        return ParseDecimal(rest);
    if (!IsHexDigits(digits))
        return std::nullopt;
    return ParseHex(digits);
}

void SettingsSetLocation(const QString& baseKey, const QString& appKey) {
    Location.BaseKey = baseKey;
    Location.AppKey = appKey;
}

QString SettingsFilePath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QLatin1Char('/') + KeyParts(Location.AppKey).join(QLatin1Char('/')) + QStringLiteral(".conf");
}

int32_t SettingsReadInteger(const QString& path, int32_t defaultValue) {
    const std::optional<QString> text = ReadText(path);
    if (!text)
        return defaultValue;
    return ParseInteger(*text).value_or(defaultValue);
}

void SettingsWriteInteger(const QString& path, int32_t value) { WriteText(path, QString::number(value)); }

QString SettingsReadString(const QString& path, const QString& defaultValue) {
    return ReadText(path).value_or(defaultValue);
}

void SettingsWriteString(const QString& path, const QString& value) { WriteText(path, value); }

std::optional<QString> SettingsReadText(const QString& path) { return ReadText(path); }

TSettingsMask::TSettingsMask(const QStringList& paths) : Outer(Masked) {
    for (const QString& path : paths)
        Masked << SettingsKey(SplitPath(path));
}

TSettingsMask::~TSettingsMask() { Masked = Outer; }
