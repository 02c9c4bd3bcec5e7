#pragma once
// The tests' look inside the line: its state is private to it, but a test that drives its
// handlers directly checks and sets what they work on.
#include "bridge/Line.h"

struct TLinePeek {
    QTimer*& TimerEnd;
    QTimer*& TimerCheck;
    std::unique_ptr<TsvProt>& ReceiveQueue;
    TExchange& Exchange;
    std::deque<TAsk>& Asks;
    int32_t& WaitTicks;
    uint32_t& IdleSince;
    TDistState& State;
    uint32_t& LastRxTick;
    uint32_t& AnswerTime;
    bool& DeviceOk;
    bool& DeviceTold;
    bool& DeviceSpeaksHttp;
};

inline TLinePeek Peek(TLine& line) {
    return {line.TimerEnd,   line.TimerCheck, line.ReceiveQueue, line.Exchange,   line.Asks,
            line.WaitTicks,  line.IdleSince,  line.State,        line.LastRxTick, line.AnswerTime,
            line.DeviceOk,   line.DeviceTold, line.DeviceSpeaksHttp};
}
