#pragma once
#include <QByteArray>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>

#include "bridge/FixedAnswers.h"
#include "bridge/LineSides.h"
#include "bridge/WaitingRoom.h"
#include "http/HostGuard.h"
#include "platform/HubMessages.h"
#include "settings/SettingsPart.h"
#include "settings/SettingsTable.h"

namespace journal {
class TExchangeEvents;
}
class TLogSink;
class TFormParams;
class TServerConnection;
class TServerSocket;

// The line's name for a client's record.
using TMySocket = TClientRecord;

// The bridge's end towards the browser: a local TCP server that numbers every connection,
// gathers what each client sends and writes the one answer that ends the connection.
// A holder window that is never shown.
class TTCPForm : public QWidget, public TSettingsPart, public TLineClients {
public:
    TTCPForm(TFormParams* params, TLogSink* log, QObject* hub);
    ~TTCPForm() override;

    void LoadSettings() override;
    void SaveSettings() override;
    void RestartServer() override;
    // Listens on Port and Listen instead, without dropping a connection: the client on the line
    // keeps its own, every other one still in the waiting room gets the 503 that the port (its
    // name in it) is not available, and its record goes. Returns how many were answered, and sets
    // failure to why the server listens nowhere when it cannot listen there.
    int MoveServer(int32_t onLine, const QString& portName, QString& failure);
    // Whether a client's request may go to the line now. A request that is not yet whole first
    // waits while what its client already sent is read; a client that left is dropped with its
    // request. The end of that wait is posted as a read of the client.
    bool TurnMayBegin(int32_t id);
    void TimerPresenceTimer();
    QByteArray TakeRequest(int32_t id, int32_t& total) override;
    void SendAnswer(int32_t id, const QByteArray& answer) override;
    // An answer streamed as it arrives: its bytes so far, then its end, which closes the connection.
    void StreamAnswer(int32_t id, const QByteArray& bytes) override;
    void EndAnswer(int32_t id) override;
    // Bytes of the answer the client's socket has not taken yet.
    qsizetype Unsent(int32_t id) const override;
    // Answers a refused request and logs why.
    void Refuse(int32_t id, const http::TRefusal& refusal);
    // The head of a client's request; none for a client that is gone.
    const http::TRequestHead* RequestHead(int32_t id) const;
    bool RequestOverdue(int32_t id) const override;
    // Answers every client whose request waits in line unfinished past its deadline.
    void RefuseOverdue() override;
    // Milliseconds from now until the first client is overdue (the one on the line counted too);
    // none while no client can be.
    std::optional<int64_t> NextDeadline(uint32_t now, int32_t onLine) const;
    // Gives every client waiting in line with a request this answer.
    void AnswerWaiting(const QByteArray& answer) override;
    // Where the moments of each client's exchange are told; none: nowhere.
    void SetJournal(journal::TExchangeEvents* journal);
    // The host name a browser on this machine reaches the server by.
    QString BrowserHost() const;
    bool IsClientConnected(int32_t id) override;
    int32_t FirstPendingClient() const;
    TServerConnection* FindConnection(int32_t id) const;
    void Log(const QString& text);

    // The rest of what the line asks of the TCP side (bridge/LineSides.h).
    bool FramesAnswers() const override;
    int QuietMs() const override;
    void StopServer() override;
    std::optional<TTurn> TakeTurn(int32_t arrived) override;
    int32_t FirstWaiting() const override;
    bool RequestArriving(int32_t id) const override;
    TClientsDue Due(uint32_t now, int32_t onLine) const override;

    void ServerSocket1Accept(TServerConnection& connection);
    void ServerSocket1ClientRead(TServerConnection& connection);
    void ServerSocket1ClientEnd(TServerConnection& connection);
    void ServerSocket1ClientHeldEnd(TServerConnection& connection);
    void ServerSocket1ClientStalled(TServerConnection& connection);
    void ServerSocket1ClientWrite(TServerConnection& connection);
    void ServerSocket1ClientDisconnect(TServerConnection& connection);
    void ServerSocket1ClientError(TServerConnection& connection, int& errorCode);
    void ServerSocket1Listen();

    TServerSocket* ServerSocket1;
    int32_t LastClientId = 0;
    uint16_t Port = static_cast<uint16_t>(DefaultNumber(key::TcpPort));
    int32_t SendDelay = DefaultNumber(key::TcpDelay);
    // Answers end where their HTTP head says, and requests go to the device once their head is whole.
    bool Framing = true;
    // TCP\Listen: where the server listens (empty: every IPv4 address).
    QString Listen;
    // TCP\AllowedHosts: names besides this machine's that requests may name; "*" for any.
    QString AllowedHosts;
    // TCP\ReaderLimit: the seconds a client may take nothing of its answer.
    int32_t ReaderLimitS = DefaultNumber(key::TcpReaderLimit);
    // Checks the host each request names.
    http::THostGuard Guard{QByteArray(), {}};

private:
    // Made before the room, which reaches the connections through them.
    std::unique_ptr<TClientDoors> Doors;

public:
    TWaitingRoom Room;
    TClientList& Clients = Room.Clients;

private:
    TServerConnection* AnswerableConnection(int32_t id) const;
    bool TakeRequestBytes(TClientRecord& record, const QByteArray& data);

    TFormParams* FormParams;
    journal::TExchangeEvents* Journal = nullptr;
    TLogSink* LogSink;
    QObject* Hub;
};
