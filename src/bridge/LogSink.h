#pragma once
#include <QByteArray>

// Where the bridge's log lines go: the Information window in the program.
class TLogSink {
public:
    virtual ~TLogSink() = default;
    virtual void AddLogLine(const QByteArray& text, bool withTimeStamp) = 0;
};
