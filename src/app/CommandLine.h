#pragma once
#include <QString>
#include <optional>

struct TCommandLine {
    std::optional<int> ExitStatus;  // set when the program is to end at once with this status
    QString Instance;               // the name given with --instance; empty for the default bridge
    std::optional<QString> Journal; // --journal FILE: the running bridge's journal goes to FILE ("-": standard output)
    bool JournalSensitive = false;  // --journal-sensitive: keep cookies and credentials in it
};

// Answers --help and --version, takes --instance NAME and --journal FILE [--journal-sensitive], and refuses what the program does not know
// and a name that is not 1 to 32 letters, digits, '-' or '_'.
TCommandLine ReadCommandLine(int argc, char** argv);
