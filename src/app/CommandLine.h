#pragma once
#include <QString>
#include <optional>

// What a script asks the running bridge: its status, a Check Device, a Start without the
// browser, a reload of its settings.
enum class TVerb { Status, Check, Detect, Reload };

struct TCommandLine {
    std::optional<int> ExitStatus;  // set when the program is to end at once with this status
    QString Instance;               // the name given with --instance; empty for the default bridge
    std::optional<QString> Journal; // --journal FILE: the running bridge's journal goes to FILE ("-": standard output)
    bool JournalSensitive = false;  // --journal-sensitive: keep cookies and credentials in it
    std::optional<TVerb> Verb;      // --status, --check, --detect or --reload
    bool Json = false;              // --json, with --status: the status as one JSON object
};

// Answers --help and --version, takes --instance NAME, --journal FILE [--journal-sensitive] and one verb
// (--status [--json], --check, --detect, --reload), and refuses what the program does not know, a name
// that is not 1 to 32 letters, digits, '-' or '_', and two requests at once.
TCommandLine ReadCommandLine(int argc, char** argv);
