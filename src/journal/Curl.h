#pragma once
// A journal entry's request as a shell command that sends it again with curl, as browsers' network
// panels offer: what the device got, less what curl makes itself.
#include <QString>

#include "journal/Journal.h"

namespace journal {

struct TCurl {
    QString Command;
    // Why no command can stand for the request; empty when Command does.
    QString Problem;
};

// Method and target, every head field but Host, Content-Length and Connection, and the body byte
// for byte: as a quoted argument when it is plain text, otherwise through printf on standard input.
// A field that is not plain text stands in bash's $'...' quotes, byte for byte.
// Fields curl would add of its own (User-Agent, Accept, Content-Type, Expect) are switched off
// when the request had none.
TCurl CurlCommand(const TEntry& entry);

} // namespace journal
