#include "Children.h"

#include <QProcess>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

void EndWithStarter(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

TBusyCores::TBusyCores(int count) {
    const pid_t parent = ::getpid();
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            // The parent may have died before the death signal was armed.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(0);
            volatile unsigned spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (pid > 0)
            Loops.push_back(pid);
    }
}

TBusyCores::~TBusyCores() {
    for (const pid_t pid : Loops) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}
