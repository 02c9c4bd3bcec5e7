#include "bridge/sv_TCP.h"

#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <limits>

#include "bridge/ServerDoors.h"
#include "bridge/ServerSocket.h"
#include "journal/Journal.h"
#include "platform/ErrorReport.h"
#include "platform/HeapRelease.h"
#include "platform/WinMessage.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

TTCPForm::TTCPForm(TFormParams* params, TLogSink* log, QObject* hub)
    : ServerSocket1(new TServerSocket(this)), Doors(std::make_unique<TServerDoors>(*ServerSocket1, log, hub)), Room(*Doors),
      FormParams(params), Hub(hub) {
    setObjectName(QStringLiteral("TCPForm"));
    setWindowTitle(QStringLiteral("TCP"));
    ServerSocket1->setObjectName(QStringLiteral("ServerSocket1"));
    ServerSocket1->OnAccept = [this](TServerConnection& c) { ServerSocket1Accept(c); };
    ServerSocket1->OnClientRead = [this](TServerConnection& c) { ServerSocket1ClientRead(c); };
    ServerSocket1->OnClientEnd = [this](TServerConnection& c) { ServerSocket1ClientEnd(c); };
    ServerSocket1->OnClientHeldEnd = [this](TServerConnection& c) { ServerSocket1ClientHeldEnd(c); };
    ServerSocket1->OnClientStalled = [this](TServerConnection& c) { ServerSocket1ClientStalled(c); };
    ServerSocket1->OnClientWrite = [this](TServerConnection& c) { ServerSocket1ClientWrite(c); };
    ServerSocket1->OnClientDisconnect = [this](TServerConnection& c) { ServerSocket1ClientDisconnect(c); };
    ServerSocket1->OnClientError = [this](TServerConnection& c, int& code) { ServerSocket1ClientError(c, code); };
    ServerSocket1->OnListen = [this] { ServerSocket1Listen(); };
    LastClientId = 0;
}

TTCPForm::~TTCPForm() { ServerSocket1->SetActive(false); }

void TTCPForm::SetJournal(journal::TExchangeEvents* journal) {
    Journal = journal;
    Room.SetJournal(journal);
}

void TTCPForm::Log(const QString& text) { Doors->Log(text); }

void TTCPForm::ServerSocket1Accept(TServerConnection& connection) {
    PostWinMessage(Hub, WM_SV_TCP_ACCEPT);
    if (Clients.FindById(static_cast<int32_t>(connection.Data)))
        return;
    if (LastClientId == std::numeric_limits<int32_t>::max())
        LastClientId = 0;
    ++LastClientId;
    connection.Data = LastClientId;
    Room.Admit(LastClientId);
    if (Journal)
        Journal->Accepted(LastClientId, connection.RemoteAddress());
}

void TTCPForm::ServerSocket1ClientRead(TServerConnection& connection) {
    const auto id = static_cast<int32_t>(connection.Data);
    TClientRecord* record = Clients.FindById(id);
    const qsizetype room = Room.Space(id);
    if (room == 0) {
        Room.HoldBack(*record);
        return;
    }
    const QByteArray data = ServerSocket1->ReceiveText(connection, room);
    if (ProgramClosing || ApplicationTerminating() || data.isEmpty() || !record)
        return;
    if (TakeRequestBytes(*record, data))
        Room.Read(*record);
}

// Keeps the bytes that belong to the request; false when none did or the request was refused,
// which ends the connection and its record with it. A head is checked the moment it is whole, so
// a refused request never waits in line.
bool TTCPForm::TakeRequestBytes(TClientRecord& record, const QByteArray& data) {
    const bool headWaited = record.Request.Head().State() == http::TRequest::NeedMore;
    const qsizetype belongs = Room.Take(record, data);
    const http::TRequestHead& head = record.Request.Head();
    if (Journal && headWaited && head.State() != http::TRequest::NeedMore) {
        const qint64 size = head.State() == http::TRequest::Complete ? head.HeadSize() : http::MaxHeadBytes;
        Journal->HeadRead(record.Id, QByteArrayView(record.Pending).first(std::min<qint64>(size, record.Pending.size())));
    }
    if (headWaited && head.State() != http::TRequest::NeedMore && head.State() != http::TRequest::NotHttp) {
        if (const auto refusal = Guard.Check(head)) {
            Refuse(record.Id, *refusal);
            return false;
        }
        // The device could find another end than the bridge, and answer a request of its own.
        if (record.Request.Unreadable()) {
            Log(QStringLiteral("refused a request whose length could not be read"));
            if (Journal)
                Journal->FixedAnswer(record.Id, journal::TFixed::BadLength, BadLengthAnswer);
            SendAnswer(record.Id, BadLengthAnswer);
            return false;
        }
    }
    return belongs > 0;
}

void TTCPForm::ServerSocket1ClientEnd(TServerConnection& connection) {
    if (Room.InputEnded(static_cast<int32_t>(connection.Data)))
        ServerSocket1->Close(connection);
}

void TTCPForm::ServerSocket1ClientHeldEnd(TServerConnection& connection) {
    Room.HeldInputEnded(static_cast<int32_t>(connection.Data));
}

void TTCPForm::TimerPresenceTimer() { Room.PresenceTimerFired(); }

void TTCPForm::ServerSocket1ClientStalled(TServerConnection& connection) {
    Log(QStringLiteral("client %1 took nothing of its answer for %2 s, dropped after %3 bytes")
            .arg(connection.Data)
            .arg(ServerSocket1->ReaderLimitMs / 1000)
            .arg(connection.SentBytes()));
}

void TTCPForm::ServerSocket1ClientWrite(TServerConnection& connection) {
    if (!ProgramClosing && Clients.FindById(static_cast<int32_t>(connection.Data)))
        PostWinMessage(Hub, WM_SV_TCP_WRITTEN, connection.Data, 0);
}

void TTCPForm::ServerSocket1ClientDisconnect(TServerConnection& connection) {
    const auto id = static_cast<int32_t>(connection.Data);
    if (Journal)
        Journal->Closed(id, connection.SentBytes());
    Room.Left(id);
    PostWinMessage(Hub, WM_SV_TCP_CLOSE, id, 0);
    if (Clients.Count() == 0)
        ReleaseFreeHeap();
}

void TTCPForm::ServerSocket1ClientError(TServerConnection& connection, int& errorCode) {
    Log(connection.RemoteAddress() + QStringLiteral(" Error") + QString::number(errorCode));
    errorCode = 0;
    PostWinMessage(Hub, WM_SV_TCP_CLOSE, connection.Data, 0);
    ServerSocket1->Close(connection);
}

void TTCPForm::ServerSocket1Listen() { Log(QStringLiteral("Listen")); }

TServerConnection* TTCPForm::FindConnection(int32_t id) const { return ServerSocket1->FindByData(id); }

void TTCPForm::RestartServer() {
    try {
        ServerSocket1->SetActive(false);
        Room.Clear();
        if (Journal)
            Journal->ServerRestarted();
        ServerSocket1->Port = Port;
        ServerSocket1->Address = Listen;
        ServerSocket1->ReaderLimitMs = ReaderLimitS * 1000;
        ServerSocket1->SetActive(true);
    } catch (const std::exception& error) {
        Log(QStringLiteral("Open Socket Error"));
        Log(QStringLiteral("cannot listen on ") + QString::fromUtf8(error.what()));
    }
}

int TTCPForm::MoveServer(int32_t onLine, const QString& portName, QString& failure) {
    ServerSocket1->StopListening();
    QByteArray answer = DeviceNotAvailableAnswer;
    answer.replace(answer.indexOf('~'), 1, portName.toUtf8());
    const int answered = Room.AnswerAllBut(onLine, journal::TFixed::NotAvailable, answer);
    failure.clear();
    try {
        ServerSocket1->Port = Port;
        ServerSocket1->Address = Listen;
        ServerSocket1->SetActive(true);
    } catch (const std::exception& error) {
        failure = QStringLiteral("cannot listen on ") + QString::fromUtf8(error.what());
        Log(QStringLiteral("Open Socket Error"));
        Log(failure);
    }
    return answered;
}

void TTCPForm::Refuse(int32_t id, const http::TRefusal& refusal) {
    // The name comes from the request: control bytes in it must not make lines of the log.
    QString name = QString::fromLatin1(refusal.Name);
    for (QChar& c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    switch (refusal.Kind) {
    case http::TRefusalKind::Host: Log(QStringLiteral("refused host ") + name); break;
    case http::TRefusalKind::Origin: Log(QStringLiteral("refused a request from pages of ") + name); break;
    case http::TRefusalKind::Head:
    case http::TRefusalKind::None: Log(QStringLiteral("refused a request whose head could not be checked")); break;
    }
    const QByteArray answer = ForbiddenAnswer(refusal);
    if (Journal)
        Journal->Refused(id, refusal.Kind, refusal.Name, answer);
    SendAnswer(id, answer);
}

bool TTCPForm::RequestOverdue(int32_t id) const { return Room.RequestOverdue(id); }

void TTCPForm::RefuseOverdue() { Room.RefuseOverdue(); }

void TTCPForm::AnswerWaiting(const QByteArray& answer) { Room.AnswerWaiting(answer); }

QString TTCPForm::BrowserHost() const {
    // "localhost" names 127.0.0.1 and ::1 alone, not the rest of 127.0.0.0/8.
    const QHostAddress address(Listen);
    if (address.isNull() || address == QHostAddress(QHostAddress::LocalHost) ||
        address == QHostAddress(QHostAddress::LocalHostIPv6))
        return QStringLiteral("localhost");
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + Listen + QLatin1Char(']') : Listen;
}

QByteArray TTCPForm::TakeRequest(int32_t id, int32_t& total) { return Room.TakeRequest(id, total); }

TServerConnection* TTCPForm::AnswerableConnection(int32_t id) const {
    if (ProgramClosing || ApplicationTerminating() || !Clients.FindById(id))
        return nullptr;
    TServerConnection* connection = FindConnection(id);
    return connection && connection->Connected() ? connection : nullptr;
}

// Only a client the waiting room still holds a record of is answered.
void TTCPForm::SendAnswer(int32_t id, const QByteArray& answer) {
    if (Clients.FindById(id))
        Doors->SendAnswer(id, answer);
}

void TTCPForm::StreamAnswer(int32_t id, const QByteArray& bytes) {
    if (TServerConnection* connection = AnswerableConnection(id); connection && !bytes.isEmpty())
        ServerSocket1->SendText(*connection, bytes);
}

void TTCPForm::EndAnswer(int32_t id) {
    if (TServerConnection* connection = AnswerableConnection(id))
        ServerSocket1->Close(*connection);
}

qsizetype TTCPForm::Unsent(int32_t id) const {
    const TServerConnection* connection = AnswerableConnection(id);
    return connection ? ServerSocket1->Unsent(*connection) : 0;
}

bool TTCPForm::IsClientConnected(int32_t id) { return Room.Connected(id); }

// Where the server listens, and whom it serves, are read before any value that may stop the load:
// a port out of range must not open the server to every address the file keeps it from.
void TTCPForm::LoadSettings() {
    Framing = SettingsReadInteger(key::TcpFraming, DefaultNumber(key::TcpFraming)) != 0;
    Listen = SettingsReadString(key::TcpListen, QString()).trimmed();
    AllowedHosts = SettingsReadString(key::TcpAllowedHosts, QString());
    QByteArrayList own{QHostInfo::localHostName().toUtf8()};
    if (const QString domain = QHostInfo::localDomainName(); !domain.isEmpty())
        own << (QHostInfo::localHostName() + QLatin1Char('.') + domain).toUtf8();
    Guard = http::THostGuard(AllowedHosts.toUtf8(), own);
    FormParams->ShowTcpAccess(Framing, Listen, AllowedHosts);
    const int32_t port = SettingsReadInteger(key::TcpPort, DefaultNumber(key::TcpPort));
    if (port < 0 || port > 65535)
        RaiseRangeError();
    Port = static_cast<uint16_t>(port);
    SendDelay = SettingsReadInteger(key::TcpDelay, DefaultNumber(key::TcpDelay));
    FormParams->ShowTcpPort(Port, SendDelay);
    // Last, so that a limit out of range costs no other setting; the dialog shows it, to be put right.
    const TSetting& limit = SettingOf(key::TcpReaderLimit);
    const int32_t readerLimit = SettingsReadInteger(limit.Key, DefaultNumber(limit.Key));
    FormParams->ShowReaderLimit(readerLimit);
    if (readerLimit < limit.Min || readerLimit > limit.Max)
        RaiseRangeError();
    ReaderLimitS = readerLimit;
}

void TTCPForm::SaveSettings() {
    const TTcpTyped typed = FormParams->TcpTyped();
    if (const auto port = NumberInRange(typed.Port, SettingOf(key::TcpPort)))
        Port = static_cast<uint16_t>(*port);
    if (const auto delay = NumberInRange(typed.SendDelay, SettingOf(key::TcpDelay)))
        SendDelay = *delay;
    else if (!ParseInteger(typed.SendDelay) && (SendDelay < 0 || SendDelay > 65535))
        RaiseRangeError();
    Framing = typed.Framing;
    Listen = typed.Listen.value_or(Listen);
    AllowedHosts = typed.AllowedHosts;
    ReaderLimitS = NumberInRange(typed.ReaderLimit, SettingOf(key::TcpReaderLimit)).value_or(ReaderLimitS);
    SettingsWriteInteger(key::TcpPort, Port);
    SettingsWriteInteger(key::TcpDelay, SendDelay);
    SettingsWriteInteger(key::TcpFraming, Framing ? 1 : 0);
    SettingsWriteString(key::TcpListen, Listen);
    SettingsWriteString(key::TcpAllowedHosts, AllowedHosts);
    SettingsWriteInteger(key::TcpReaderLimit, ReaderLimitS);
    LoadSettings();
}

bool TTCPForm::FramesAnswers() const { return Framing; }

int TTCPForm::QuietMs() const { return SendDelay; }

void TTCPForm::StopServer() { ServerSocket1->SetActive(false); }

std::optional<TTurn> TTCPForm::TakeTurn(int32_t arrived) { return Room.TakeTurn(arrived); }

int32_t TTCPForm::FirstWaiting() const { return Clients.FirstPendingClient(); }

bool TTCPForm::RequestArriving(int32_t id) const { return Room.RequestArriving(id); }

TClientsDue TTCPForm::Due(uint32_t now, int32_t onLine) const {
    return {Room.NextDeadline(now, onLine), FirstWaiting() > 0};
}
