#include "app/Reload.h"

#include <QMap>

#include "bridge/Line.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "journal/Journal.h"
#include "settings/SettingsCheck.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
// The settings as the parts use them, by their keys.
struct TInEffect {
    QMap<QString, int32_t> Numbers;
    QString Listen;
    QString AllowedHosts;
};

TInEffect InEffect(const TReloadParts& parts) {
    TInEffect effect;
    const auto number = [&](const char* key, int32_t value) { effect.Numbers.insert(QLatin1String(key), value); };
    number("RS\\COM", parts.Rs->ConfiguredCom);
    number("RS\\Follow", parts.Rs->Follow ? 1 : 0);
    number("UI\\Notifications", parts.Params->Notifications ? 1 : 0);
    number("Journal\\Entries", parts.Journal->EntriesBound());
    number("Journal\\BodyBytes", static_cast<int32_t>(parts.Journal->BodyBytesBound()));
    number("TCP\\Framing", parts.Tcp->Framing ? 1 : 0);
    number("TCP\\Port", parts.Tcp->Port);
    number("TCP\\Delay", parts.Tcp->SendDelay);
    number("TCP\\ReaderLimit", parts.Tcp->ReaderLimitS);
    effect.Listen = parts.Tcp->Listen;
    effect.AllowedHosts = parts.Tcp->AllowedHosts;
    return effect;
}

QString PortText(int32_t com) { return com <= 0 ? QStringLiteral("none") : QStringLiteral("COM%1").arg(com); }

QString Quoted(const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

QString Change(const QString& key, const QString& from, const QString& to) {
    return key + QStringLiteral(": ") + from + QStringLiteral(" -> ") + to;
}

QStringList Changes(const TInEffect& before, const TInEffect& after) {
    QStringList lines;
    for (const TNumericSetting& setting : NumericSettings()) {
        const QString key = QLatin1String(setting.Key);
        const int32_t from = before.Numbers.value(key);
        const int32_t to = after.Numbers.value(key);
        if (from == to)
            continue;
        lines << (key == QLatin1String("RS\\COM") ? Change(key, PortText(from), PortText(to))
                                                   : Change(key, QString::number(from), QString::number(to)));
    }
    if (before.Listen != after.Listen)
        lines << Change(QStringLiteral("TCP\\Listen"), Quoted(before.Listen), Quoted(after.Listen));
    if (before.AllowedHosts != after.AllowedHosts)
        lines << Change(QStringLiteral("TCP\\AllowedHosts"), Quoted(before.AllowedHosts), Quoted(after.AllowedHosts));
    return lines;
}

QStringList BadLines(const QList<TBadSetting>& bad, const TInEffect& effect) {
    QStringList lines;
    for (const TBadSetting& setting : bad)
        lines << BadSettingLine(setting, effect.Numbers.value(QLatin1String(setting.Setting.Key)));
    return lines;
}

// An exchange under way finishes on the port it began on: every later write of it goes to the
// port open, and the next exchange opens the configured one. An idle line moves at once, so that
// the status shows the new port, and drops what the old one read.
QString MovePort(const TReloadParts& parts) {
    const QString port = parts.Rs->ConfiguredPort();
    const QString next = port.isEmpty() ? QStringLiteral("no port") : port;
    if (!parts.Line->IsIdle())
        return QStringLiteral("the exchange under way finishes on %1; the next goes to %2").arg(parts.Rs->PortName(), next);
    QString line;
    if (port.isEmpty()) {
        parts.Rs->ForgetPort();
        line = QStringLiteral("serial port closed: no port is configured");
    } else if (parts.Rs->OpenConfiguredPort()) {
        line = QStringLiteral("serial port reopened on ") + port;
    } else {
        line = port + QStringLiteral(" did not open: ") + parts.Rs->OpenFailure;
    }
    parts.Line->LineReset();
    return line;
}

QString ListenPlace(const TTCPForm& tcp) {
    const QString where = tcp.Listen.isEmpty() ? QStringLiteral("every IPv4 address") : tcp.Listen;
    return where + QStringLiteral(", port ") + QString::number(tcp.Port);
}
} // namespace

TReloadReport ReloadSettingsFile(const TReloadParts& parts) {
    TReloadReport report;
    if (parts.Params->isVisible() && parts.Params->Modified && !parts.Params->Snapshot->IsUnchanged()) {
        report.Done = false;
        report.Lines << QStringLiteral("nothing reloaded: the Settings dialog holds changes not saved; save or "
                                       "cancel them first");
        return report;
    }
    const TInEffect before = InEffect(parts);
    const bool identityOwed = parts.Rs->IdentityOwed;
    const QList<TBadSetting> bad = FindBadSettings();
    {
        const TSettingsMask mask(Keys(bad));
        try {
            parts.Params->LoadSettings();
        } catch (const EQuellorError& error) {
            report.Lines << QStringLiteral("Settings: ") + error.Message;
        } catch (const std::exception& error) {
            report.Lines << QStringLiteral("Settings: ") + QString::fromUtf8(error.what());
        }
        parts.Journal->LoadSettings();
    }
    const TInEffect after = InEffect(parts);
    report.Lines << BadLines(bad, after);
    const QStringList changes = Changes(before, after);
    report.Lines << (changes.isEmpty() ? QStringList{QStringLiteral("nothing changed")} : changes);

    parts.Tcp->ServerSocket1->ReaderLimitMs = parts.Tcp->ReaderLimitS * 1000;
    const QString com = QStringLiteral("RS\\COM");
    const bool portMoved = before.Numbers.value(com) != after.Numbers.value(com);
    // As after a save: a port chosen by hand records whose device it is at its first good probe.
    parts.Rs->IdentityOwed = parts.Rs->IdentityOwed || identityOwed || portMoved;
    if (portMoved)
        report.Lines << MovePort(parts);

    const QString port = QStringLiteral("TCP\\Port");
    if (before.Numbers.value(port) != after.Numbers.value(port) || before.Listen != after.Listen ||
        !parts.Tcp->ServerSocket1->Active()) {
        QString failure;
        const int answered = parts.Tcp->MoveServer(parts.Line->ClientOnLine(), parts.Rs->PortName(), failure);
        if (answered > 0)
            report.Lines << QStringLiteral("%1 waiting client(s) answered 503 \"%2 is not available\": the server moved")
                                .arg(answered)
                                .arg(parts.Rs->PortName());
        if (failure.isEmpty()) {
            report.Lines << QStringLiteral("the server listens on ") + ListenPlace(*parts.Tcp);
        } else {
            report.Done = false;
            report.Lines << QStringLiteral("the server listens nowhere: ") + failure;
        }
    }
    if (parts.Applied)
        parts.Applied();
    return report;
}

QStringList BadSettingLines(const QList<TBadSetting>& bad, const TReloadParts& parts) {
    return BadLines(bad, InEffect(parts));
}
