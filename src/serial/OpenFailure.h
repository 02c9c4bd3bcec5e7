#pragma once
#include <QString>

// Why a port did not open, in words the user can act on.
struct TOpenFailure {
    QString Line;   // the log line after "RS: ": the port, its node, the reason and the remedy
    QString Short;  // the reason alone, for the status text and the tray
};

// What is known about a port that did not open.
struct TOpenFacts {
    enum TMembership { NotMember, MemberNotInSession, InSession };

    QString Name;               // COM65
    QString Node;               // /dev/ttyACM0
    int Error = 0;              // the open's error number; -1: the node is not a terminal
    QString SetUpError;         // not empty: the node opened, then refused the line settings
    QString Group;              // the node's group
    TMembership Membership = NotMember;
    QString Holder;             // "minicom (pid 42)": a process that holds the node
    QString Grabber;            // a program that takes new ports for itself and is running
    int HolderPid = 0;
    int GrabberPid = 0;
};

TOpenFailure DescribeOpenFailure(const TOpenFacts& facts);
// Finds out what it can about the port's node and describes the failure. procRoot is the
// process table, where holders and known port grabbers are looked for. Looking through it takes
// long beside programs with many descriptors, so an explanation is kept for the same failure of
// the same node until the port opens, the node changes, a process it names ends, or a minute
// has passed.
TOpenFailure ExplainOpenFailure(const QString& name, int error, const QString& setUpError = {},
                                const QString& procRoot = QStringLiteral("/proc"));
// The port opened: its next failure is explained afresh.
void ForgetOpenFailure(const QString& name);
