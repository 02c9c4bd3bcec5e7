#pragma once

struct TCommandLine;

// Asks the running bridge (the default one or --instance NAME) what the command line asks and
// prints its answer: the journal written to a file, or a verb's answer on standard output. Exit
// status 0 when done, 1 when no such bridge runs or it did not answer, 3 when the device did not
// answer the check, no port answered the pass or the settings were not applied.
int AskRunningBridge(int argc, char** argv, const TCommandLine& command);
