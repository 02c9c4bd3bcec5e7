#pragma once
#include <QList>
#include <QStringList>
#include <functional>

class TFormParams;
class TLine;
class TTCPForm;
class TRSForm;
struct TBadSetting;
namespace journal {
class TJournal;
}

struct TReloadReport {
    bool Done = true;      // false: not applied, or applied but the server listens nowhere
    QStringList Lines;     // one fact a line: what changed ("TCP\Port: 24111 -> 24112"), values read as defaults, what was reopened or moved, or why nothing was done; "nothing changed" when so
};

// What a reload reads the settings into and applies them to.
struct TReloadParts {
    TFormParams* Params;
    journal::TJournal* Journal;
    TLine* Line;
    TTCPForm* Tcp;
    TRSForm* Rs;
    // Shows what was taken: the browser address, the notifications.
    std::function<void()> Applied;
};

// Reads the settings file again, a bad number as its default, and applies what changed without
// dropping a browser or cancelling an ask: the exchange under way finishes whole on its port and
// its connection. Writes nothing to the file, and logs nothing of its own: the report's lines are
// for the caller to show.
TReloadReport ReloadSettingsFile(const TReloadParts& parts);

// The lines that name the bad values the load found, each with the number it uses instead.
QStringList BadSettingLines(const QList<TBadSetting>& bad, const TReloadParts& parts);
