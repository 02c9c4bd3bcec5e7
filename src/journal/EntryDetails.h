#pragma once
// What the exchanges view says of one entry: its heads and kept bodies, and in words what happened.
#include <QString>

#include "journal/Journal.h"

namespace journal {

// Whether any byte of the request went out on the line.
inline bool ReachedLine(const TEntry& entry) { return entry.Written != Never; }
// What happened to the exchange and why, in a sentence or two.
QString Explanation(const TEntry& entry);
// The details pane's text.
QString Details(const TEntry& entry);

} // namespace journal
