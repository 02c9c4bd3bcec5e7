#pragma once
#include <QByteArray>

#include "http/HostGuard.h"
#include "http/HttpHead.h"

// The answers the bridge gives itself, and the bounds of what it holds of the clients' requests.

extern const QByteArray DeviceNotRespondingAnswer;
// Its '~' stands for the port's name.
extern const QByteArray DeviceNotAvailableAnswer;
// To a client whose request did not arrive whole within its deadline.
extern const QByteArray RequestIncompleteAnswer;
// To a client whose request's length cannot be read for certain.
extern const QByteArray BadLengthAnswer;
// To a client whose request names a foreign host or comes from a foreign page.
QByteArray ForbiddenAnswer(const http::TRefusal& refusal);

// A request body up to this size is held until it is whole; a larger one is written as it comes.
constexpr qsizetype MaxHeldBody = qsizetype(1) << 20;
// What one client's request may hold in memory, its head and a held body; beyond it, and beyond
// what all waiting requests together may hold, clients are not read and the system holds them back.
// The first in line is held only by its own bound, so the room may hold one request more.
constexpr qsizetype MaxKeptRequest = MaxHeldBody + http::MaxHeadBytes;
constexpr qsizetype MaxWaitingBytes = qsizetype(32) << 20;
// When a request that is not yet whole gets its turn, up to this much of what its client already
// sent is read before its first byte goes to the line: a client that poured and left has no more
// on its way in the system's buffers, and its end is found behind them. The reading ends once
// nothing more came for the quiet time, and at the latest after the limit.
constexpr qsizetype LookAheadBytes = qsizetype(8) << 20;
constexpr int PresenceQuietMs = 50;
constexpr int PresenceLimitMs = 500;
