#pragma once
#include <QString>
#include <functional>

// Asks the desktop to open the text (a web address) with its default handler, through
// xdg-open, or the program named by QUELLOR_OPEN_COMMAND. Failures are ignored.
void ShellOpen(const QString& text);
// Tests replace the launcher; an empty function restores it.
void SetShellOpenHook(std::function<void(const QString&)> hook);
