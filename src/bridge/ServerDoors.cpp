#include "bridge/ServerDoors.h"

#include "bridge/LogSink.h"
#include "bridge/ServerSocket.h"
#include "platform/ErrorReport.h"
#include "platform/HubMessages.h"

TServerDoors::TServerDoors(TServerSocket& server, TLogSink* log, QObject* hub) : Server(server), LogSink(log), Hub(hub) {}

bool TServerDoors::Exists(int32_t id) const { return Server.FindByData(id) != nullptr; }

bool TServerDoors::Open(int32_t id) const {
    const TServerConnection* connection = Server.FindByData(id);
    return connection && connection->Connected();
}

void TServerDoors::Hold(int32_t id, bool hold) {
    if (TServerConnection* connection = Server.FindByData(id))
        Server.HoldInput(*connection, hold);
}

void TServerDoors::ReadNow(int32_t id) {
    if (TServerConnection* connection = Server.FindByData(id))
        Server.ReadNow(*connection);
}

std::optional<QByteArray> TServerDoors::FinalInput(int32_t id) const {
    const TServerConnection* connection = Server.FindByData(id);
    return connection ? Server.FinalInput(*connection) : std::nullopt;
}

void TServerDoors::Close(int32_t id) {
    if (TServerConnection* connection = Server.FindByData(id))
        Server.Close(*connection);
}

// The room answers only clients it holds a record of; a program that closes answers no one.
void TServerDoors::SendAnswer(int32_t id, const QByteArray& answer) {
    if (ProgramClosing || ApplicationTerminating() || answer.isEmpty())
        return;
    TServerConnection* connection = Server.FindByData(id);
    if (!connection || !connection->Connected())
        return;
    Server.SendText(*connection, answer);
    Server.Close(*connection);
}

void TServerDoors::Nudge(int32_t id) {
    if (id > 0 && !ProgramClosing)
        PostWinMessage(Hub, WM_SV_TCP_READ, id, 0);
}

void TServerDoors::Log(const QString& text) { LogSink->AddLogLine(("TCP: " + text).toUtf8(), true); }

int64_t TServerDoors::ReaderLimitMs() const { return Server.ReaderLimitMs; }
