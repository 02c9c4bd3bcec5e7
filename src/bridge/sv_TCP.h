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


// The bridge's end towards the browser: a local TCP server that numbers every connection,
// gathers what each client sends and writes the one answer that ends the connection.
// A holder window that is never shown.
class TTCPForm : public QWidget, public TSettingsPart, public TLineClients {
public:
    TTCPForm(TFormParams* params, TLogSink* log, QObject* hub);
    ~TTCPForm() override;

    void LoadSettings() override;
    void SaveSettings() override;
    // Listens on Port and Listen instead, without dropping a connection: the client on the line
    // keeps its own, every other one still in the waiting room gets the 503 that the port (its
    // name in it) is not available, and its record goes. Returns how many were answered, and sets
    // failure to why the server listens nowhere when it cannot listen there.
    int MoveServer(int32_t onLine, const QString& portName, QString& failure);
    void TimerPresenceTimer();
    // Answers a refused request and logs why.
    void Refuse(int32_t id, const http::TRefusal& refusal);
    // Where the moments of each client's exchange are told; none: nowhere.
    void SetJournal(journal::TExchangeEvents* journal);
    // The host name a browser on this machine reaches the server by.
    QString BrowserHost() const;
    TServerConnection* FindConnection(int32_t id) const;
    void Log(const QString& text);

    // What the line asks of the TCP side (bridge/LineSides.h).
    bool FramesAnswers() const override;
    int QuietMs() const override;
    void StopServer() override;
    void RestartServer() override;
    std::optional<TTurn> TakeTurn(int32_t arrived) override;
    int32_t FirstWaiting() const override;
    QByteArray TakeRequest(int32_t id, int32_t& total) override;
    bool RequestArriving(int32_t id) const override;
    bool IsClientConnected(int32_t id) override;
    bool RequestOverdue(int32_t id) const override;
    void RefuseOverdue() override;
    TClientsDue Due(uint32_t now, int32_t onLine) const override;
    void SendAnswer(int32_t id, const QByteArray& answer) override;
    void StreamAnswer(int32_t id, const QByteArray& bytes) override;
    void EndAnswer(int32_t id) override;
    qsizetype Unsent(int32_t id) const override;
    void AnswerWaiting(const QByteArray& answer) override;

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
    QObject* Hub;
};
