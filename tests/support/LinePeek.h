#pragma once
// The tests' look inside the line: its state is private to it, and a test that drives its handlers
// directly checks what they work on. It may stop the line's timers, whose handlers it then calls
// itself; everything else it only reads.
#include "bridge/Line.h"

struct TLinePeek {
    QTimer* TimerEnd;
    QTimer* TimerCheck;
    const TExchange& Exchange;
    const std::deque<TAsk>& Asks;
    const int32_t& WaitTicks;
    const uint32_t& IdleSince;
    const TDistState& State;
    const uint32_t& LastRxTick;
    const uint32_t& AnswerTime;
    const bool& DeviceOk;
    const bool& DeviceTold;
    const bool& DeviceSpeaksHttp;
};

inline TLinePeek Peek(TLine& line) {
    return {line.TimerEnd,  line.TimerCheck, line.Exchange,   line.Asks,       line.WaitTicks,  line.IdleSince,
            line.State,     line.LastRxTick, line.AnswerTime, line.DeviceOk,   line.DeviceTold, line.DeviceSpeaksHttp};
}
