#pragma once
#include <QByteArray>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bridge/LineSides.h"
#include "http/HostGuard.h"
#include "http/RequestMeter.h"
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
class QTimer;

// One client's record: its id, the bytes not yet taken by the dispatcher, and the total it sent.
// A request waits in line until it is whole, or, when its body is too large to hold, until its
// head is; once taken up it never goes to the line again.
struct TMySocket {
    int32_t Id = 0;
    QByteArray Pending;
    int32_t Received = 0;
    http::TRequestMeter Request;
    // The request's deadline counts from its first byte, and again from the moment it is taken up
    // with only the bytes that come from then on.
    uint32_t ClockStart = 0;
    qint64 SizeAtStart = 0;
    bool TakenUp = false;
    bool InputEnded = false;
    // Its connection is not read until there is room for what it sends.
    bool InputHeld = false;
    // Its turn came before its request was whole: what its client already sent is being read, and
    // then has been, to find a client that left behind those bytes.
    bool Checking = false;
    bool PresenceKnown = false;
    uint32_t CheckStart = 0;

    // Nothing more of the request can come.
    bool RequestWhole() const;
    // The request may go to the line.
    bool RequestReady() const;
    // The request did not arrive whole within its deadline; bytes that are not HTTP may keep
    // coming for the reader limit.
    bool RequestOverdue(uint32_t now, int64_t readerLimitMs) const;
    // How long after ClockStart the record is overdue: its request, or a connection that sent
    // nothing while it was read; none while nothing of it can be.
    std::optional<int64_t> Deadline(int64_t readerLimitMs) const;
};

// The client records in acceptance order; owns them.
class TMySocketList {
public:
    int IndexOfId(int32_t id) const;
    TMySocket* FindById(int32_t id) const;
    void RemoveById(int32_t id);
    int32_t FirstPendingClient() const;
    // The clients whose requests wait in line, in order.
    QList<int32_t> WaitingClients() const;
    // The clients whose connections are not read for want of room.
    QList<int32_t> HeldClients() const;
    // The memory the requests waiting in line take.
    qsizetype WaitingBytes() const;
    void Add(std::unique_ptr<TMySocket> record) { Records.push_back(std::move(record)); }
    void Clear() { Records.clear(); }
    int Count() const { return static_cast<int>(Records.size()); }

private:
    std::vector<std::unique_ptr<TMySocket>> Records;
};

extern const QByteArray DeviceNotRespondingAnswer;
extern const QByteArray DeviceNotAvailableAnswer;
// To a client whose request did not arrive whole within its deadline.
extern const QByteArray RequestIncompleteAnswer;
// To a client whose request's length cannot be read for certain.
extern const QByteArray BadLengthAnswer;
// A request body up to this size is held until it is whole; a larger one is written as it comes.
constexpr qsizetype MaxHeldBody = qsizetype(1) << 20;
// What one client's request may hold in memory, its head and a held body; beyond it, and beyond
// what all waiting requests together may hold, clients are not read and the system holds them back.
constexpr qsizetype MaxKeptRequest = MaxHeldBody + http::MaxHeadBytes;
constexpr qsizetype MaxWaitingBytes = qsizetype(32) << 20;
// When a request that is not yet whole gets its turn, up to this much of what its client already
// sent is read before its first byte goes to the line: a client that poured and left has no more
// on its way in the system's buffers, and its end is found behind them. The reading ends once
// nothing more came for the quiet time, and at the latest after the limit.
constexpr qsizetype LookAheadBytes = qsizetype(8) << 20;
constexpr int PresenceQuietMs = 50;
constexpr int PresenceLimitMs = 500;
// To a client whose request names a foreign host or comes from a foreign page.
QByteArray ForbiddenAnswer(const http::TRefusal& refusal);

// The bridge's end towards the browser: a local TCP server that numbers every connection,
// gathers what each client sends and writes the one answer that ends the connection.
// A holder window that is never shown.
class TTCPForm : public QWidget, public TSettingsPart, public TLineClients {
public:
    TTCPForm(TFormParams* params, TLogSink* log, QObject* hub);
    ~TTCPForm() override;

    void LoadSettings() override;
    void SaveSettings() override;
    void RestartServer();
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
    QByteArray TakeRequest(int32_t id, int32_t& total);
    void SendAnswer(int32_t id, const QByteArray& answer);
    // An answer streamed as it arrives: its bytes so far, then its end, which closes the connection.
    void StreamAnswer(int32_t id, const QByteArray& bytes);
    void EndAnswer(int32_t id);
    // Bytes of the answer the client's socket has not taken yet.
    qsizetype Unsent(int32_t id) const;
    // Answers a refused request and logs why.
    void Refuse(int32_t id, const http::TRefusal& refusal);
    // The head of a client's request; none for a client that is gone.
    const http::TRequestHead* RequestHead(int32_t id) const;
    bool RequestOverdue(int32_t id) const;
    // Answers every client whose request waits in line unfinished past its deadline.
    void RefuseOverdue();
    // Milliseconds from now until the first client is overdue (the one on the line counted too);
    // none while no client can be.
    std::optional<int64_t> NextDeadline(uint32_t now, int32_t onLine) const;
    // Gives every client waiting in line with a request this answer.
    void AnswerWaiting(const QByteArray& answer);
    // Where the moments of each client's exchange are told; none: nowhere.
    void SetJournal(journal::TExchangeEvents* journal) { Journal = journal; }
    // The host name a browser on this machine reaches the server by.
    QString BrowserHost() const;
    bool IsClientConnected(int32_t id);
    int32_t FirstPendingClient() const;
    TServerConnection* FindConnection(int32_t id) const;
    void Log(const QString& text);

    // What the line asks of the TCP side (bridge/LineSides.h) beyond the calls above.
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
    QTimer* TimerPresence;
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
    TMySocketList Clients;

private:
    TServerConnection* AnswerableConnection(int32_t id) const;
    bool TakeRequestBytes(TMySocket& record, const QByteArray& data);
    qsizetype Room(const TMySocket& record) const;
    void ReadHeldClients();
    bool LeftUnfinished(const TMySocket& record) const;
    void DropUnfinished(int32_t id);
    void StartPresenceCheck(TMySocket& record);
    void PresenceChecked(TMySocket& record);
    void ReadDuringCheck(TMySocket& record);
    // Tells the line that the client first in line may be taken up.
    void NudgeLine(int32_t id);
    int32_t CheckingClient = 0;

    TFormParams* FormParams;
    journal::TExchangeEvents* Journal = nullptr;
    TLogSink* LogSink;
    QObject* Hub;
};
