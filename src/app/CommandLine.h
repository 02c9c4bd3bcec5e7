#pragma once
#include <optional>

// Answers --help and --version, and refuses what the program does not know; the exit status
// then, none when the program is to run (no arguments).
std::optional<int> AnswerCommandLine(int argc, char** argv);
