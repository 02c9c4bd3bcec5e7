#include "app/Reload.h"

#include <QMap>

#include "bridge/Line.h"
#include "bridge/LineStore.h"
#include "bridge/ServerSocket.h"
#include "bridge/sv_RS.h"
#include "bridge/sv_TCP.h"
#include "journal/Journal.h"
#include "settings/SettingsCheck.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
// The settings as the parts use them, by their keys, as the file would hold them.
using TInEffect = QMap<QString, QString>;

QString Flag(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

TInEffect InEffect(const TReloadParts& parts) {
    TInEffect effect;
    const auto number = [&](const QString& key, int64_t value) { effect.insert(key, QString::number(value)); };
    number(key::RsCom, parts.Rs->ConfiguredCom);
    effect.insert(key::RsFollow, Flag(parts.Rs->Follow));
    effect.insert(key::Notifications, Flag(parts.Params->Notifications));
    number(key::JournalEntries, parts.Journal->EntriesBound());
    number(key::JournalBodyBytes, static_cast<int64_t>(parts.Journal->BodyBytesBound()));
    effect.insert(key::TcpFraming, Flag(parts.Tcp->Framing));
    number(key::TcpPort, parts.Tcp->Port);
    number(key::TcpDelay, parts.Tcp->SendDelay);
    number(key::TcpReaderLimit, parts.Tcp->ReaderLimitS);
    effect.insert(key::TcpListen, parts.Tcp->Listen);
    effect.insert(key::TcpAllowedHosts, parts.Tcp->AllowedHosts);
    effect.insert(StoredLine(parts.Rs->LineSettings));
    return effect;
}

QString PortText(const QString& com) {
    return com.toInt() <= 0 ? QStringLiteral("none") : QStringLiteral("COM") + com;
}

QString Quoted(const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

QString Change(const TSetting& row, const QString& from, const QString& to) {
    QString before = from;
    QString after = to;
    if (row.Key == key::RsCom) {
        before = PortText(from);
        after = PortText(to);
    } else if (row.Kind == TSettingKind::Text || row.Kind == TSettingKind::Address) {
        before = Quoted(from);
        after = Quoted(to);
    }
    return row.Key + QStringLiteral(": ") + before + QStringLiteral(" -> ") + after;
}

QStringList Changes(const TInEffect& before, const TInEffect& after) {
    QStringList lines;
    for (const TSetting& row : SettingsTable())
        if (before.contains(row.Key) && before.value(row.Key) != after.value(row.Key))
            lines << Change(row, before.value(row.Key), after.value(row.Key));
    return lines;
}

bool LineChanged(const TInEffect& before, const TInEffect& after) {
    for (const TSetting& row : SettingsOnPage(TSettingPage::Line))
        if (row.Key != key::RsBaudSearch && before.value(row.Key) != after.value(row.Key))
            return true;
    return false;
}

QStringList BadLines(const QList<TBadSetting>& bad, const TInEffect& effect) {
    QStringList lines;
    for (const TBadSetting& setting : bad)
        lines << BadSettingLine(setting, effect.value(setting.Setting.Key, setting.Setting.Default));
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
    const bool portMoved = before.value(key::RsCom) != after.value(key::RsCom);
    // As after a save: a port chosen by hand records whose device it is at its first good probe.
    parts.Rs->IdentityOwed = parts.Rs->IdentityOwed || identityOwed || portMoved;
    if (portMoved || LineChanged(before, after))
        report.Lines << MovePort(parts);

    if (before.value(key::TcpPort) != after.value(key::TcpPort) ||
        before.value(key::TcpListen) != after.value(key::TcpListen) ||
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
