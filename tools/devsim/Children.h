#pragma once
#include <sys/types.h>
#include <vector>

class QProcess;

// Child processes of the tests and the benchmarks, which must not outlive them.

// The process, once started, gets SIGTERM from the system when the thread that started it ends,
// so that a test or benchmark that is interrupted leaves no program behind.
void EndWithStarter(QProcess& process);

// Loops that keep cores busy while the object lives, for the fault suite and the benchmarks.
// Each loop is a forked child that only spins, without a shell or any other program of its own:
// it is killed with the object, and by the system when the thread that made it ends, so neither
// a failed test nor an interrupted benchmark leaves one spinning.
class TBusyCores {
public:
    explicit TBusyCores(int count);
    ~TBusyCores();
    TBusyCores(const TBusyCores&) = delete;
    TBusyCores& operator=(const TBusyCores&) = delete;

private:
    std::vector<pid_t> Loops;
};
