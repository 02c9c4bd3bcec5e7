#pragma once
#include <QObject>

#include "bridge/WaitingRoom.h"

class TLogSink;
class TServerSocket;

// The waiting room's way to the server's connections, each found by its client's id. What is
// read of a connection reaches the TCP side by the server's own read event.
class TServerDoors final : public TClientDoors {
public:
    TServerDoors(TServerSocket& server, TLogSink* log, QObject* hub);

    bool Exists(int32_t id) const override;
    bool Open(int32_t id) const override;
    void Hold(int32_t id, bool hold) override;
    void ReadNow(int32_t id) override;
    std::optional<QByteArray> FinalInput(int32_t id) const override;
    void Close(int32_t id) override;
    void SendAnswer(int32_t id, const QByteArray& answer) override;
    void Nudge(int32_t id) override;
    void Log(const QString& text) override;
    int64_t ReaderLimitMs() const override;

private:
    TServerSocket& Server;
    TLogSink* LogSink;
    QObject* Hub;
};
