#include "bridge/sv_TCP.h"

#include <QCheckBox>
#include <QHostAddress>
#include <QHostInfo>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <limits>

#include "bridge/LogSink.h"
#include "bridge/ServerSocket.h"
#include "journal/Journal.h"
#include "platform/ErrorReport.h"
#include "platform/HeapRelease.h"
#include "platform/TickCount.h"
#include "platform/WinMessage.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
// How long a request may take to arrive whole: a base, and a second more for every 500 bytes.
constexpr int64_t RequestBaseMs = 20000;
constexpr int64_t RequestMsPerByte = 2;

QByteArray FixedAnswer(const QByteArray& status, const QByteArray& text) {
    return "HTTP/1.1 " + status +
           "\r\n"
           "Connection: close\r\n"
           "Content-Type: text/html; charset=windows-1251\r\n"
           "Cache-Control: no-cache\r\n"
           "\r\n"
           "<html><body><b>Error!</b><p><b>" +
           text + "</b></p></body></html>\r\n";
}
} // namespace

const QByteArray DeviceNotRespondingAnswer = FixedAnswer("503 Service Unavailable", "Device is not responding.");
const QByteArray DeviceNotAvailableAnswer = FixedAnswer("503 Service Unavailable", "~ is not available.");
const QByteArray RequestIncompleteAnswer = FixedAnswer("408 Request Timeout", "The request did not arrive whole.");
const QByteArray BadLengthAnswer = FixedAnswer("400 Bad Request", "The request's length could not be read.");

QByteArray ForbiddenAnswer(const http::TRefusal& refusal) {
    const QByteArray name = QString::fromLatin1(refusal.Name).toHtmlEscaped().toLatin1();
    const QByteArray allow = " To allow it, add it to TCP\\AllowedHosts in the settings file.";
    switch (refusal.Kind) {
    case http::TRefusal::Host: return FixedAnswer("403 Forbidden", "The host name " + name + " is not allowed." + allow);
    case http::TRefusal::Origin:
        return FixedAnswer("403 Forbidden", "Pages of " + name + " may not send this request." + allow);
    case http::TRefusal::Head: break;
    }
    return FixedAnswer("403 Forbidden", "The request's head could not be checked.");
}

bool TMySocket::RequestWhole() const {
    if (Request.Whole())
        return true;
    return InputEnded && Request.Head().State() != http::TRequest::NeedMore && Request.BodyLength() < 0;
}

bool TMySocket::RequestReady() const {
    if (TakenUp || Pending.isEmpty())
        return false;
    switch (Request.Head().State()) {
    case http::TRequest::NeedMore: return false;
    case http::TRequest::Complete: return RequestWhole() || Request.BodyLength() < 0 || Request.BodyLength() > MaxHeldBody;
    default: return true;
    }
}

// Bytes that are not HTTP have no end to wait for; they may keep coming for the reader limit.
bool TMySocket::RequestOverdue(uint32_t now, int64_t readerLimitMs) const {
    if (Request.Size() == 0 || RequestWhole() || InputHeld)
        return false;
    const int64_t took = static_cast<uint32_t>(now - ClockStart);
    if (Request.Head().State() == http::TRequest::NotHttp)
        return took > readerLimitMs;
    return took > RequestBaseMs + RequestMsPerByte * (Request.Size() - SizeAtStart);
}

std::optional<int64_t> TMySocket::Deadline(int64_t readerLimitMs) const {
    if (Request.Size() == 0)
        return TakenUp || InputHeld ? std::nullopt : std::optional<int64_t>(RequestBaseMs);
    if (RequestWhole() || InputHeld || RequestReady())
        return std::nullopt;
    if (Request.Head().State() == http::TRequest::NotHttp)
        return readerLimitMs;
    return RequestBaseMs + RequestMsPerByte * (Request.Size() - SizeAtStart);
}

int TMySocketList::IndexOfId(int32_t id) const {
    for (size_t i = 0; i < Records.size(); ++i)
        if (Records[i]->Id == id)
            return static_cast<int>(i);
    return -1;
}

TMySocket* TMySocketList::FindById(int32_t id) const {
    const int index = IndexOfId(id);
    return index < 0 ? nullptr : Records[static_cast<size_t>(index)].get();
}

void TMySocketList::RemoveById(int32_t id) {
    const int index = IndexOfId(id);
    if (index >= 0)
        Records.erase(Records.begin() + index);
}

int32_t TMySocketList::FirstPendingClient() const {
    for (const auto& record : Records)
        if (record->RequestReady())
            return record->Id;
    return -1;
}

qsizetype TMySocketList::WaitingBytes() const {
    qsizetype total = 0;
    for (const auto& record : Records)
        if (!record->TakenUp && !record->Checking)
            total += record->Pending.capacity();
    return total;
}

QList<int32_t> TMySocketList::HeldClients() const {
    QList<int32_t> ids;
    for (const auto& record : Records)
        if (record->InputHeld)
            ids << record->Id;
    return ids;
}

QList<int32_t> TMySocketList::WaitingClients() const {
    QList<int32_t> ids;
    for (const auto& record : Records)
        if (!record->TakenUp)
            ids << record->Id;
    return ids;
}

TTCPForm::TTCPForm(TFormParams* params, TLogSink* log, QObject* hub)
    : ServerSocket1(new TServerSocket(this)), TimerPresence(new QTimer(this)), FormParams(params), LogSink(log), Hub(hub) {
    TimerPresence->setObjectName(QStringLiteral("TimerPresence"));
    TimerPresence->setSingleShot(true);
    connect(TimerPresence, &QTimer::timeout, this, &TTCPForm::TimerPresenceTimer);
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

void TTCPForm::Log(const QString& text) { LogSink->AddLogLine(("TCP: " + text).toUtf8(), true); }

void TTCPForm::ServerSocket1Accept(TServerConnection& connection) {
    PostWinMessage(Hub, WM_SV_TCP_ACCEPT);
    if (Clients.FindById(static_cast<int32_t>(connection.Data)))
        return;
    if (LastClientId == std::numeric_limits<int32_t>::max())
        LastClientId = 0;
    ++LastClientId;
    connection.Data = LastClientId;
    auto record = std::make_unique<TMySocket>();
    record->Id = LastClientId;
    record->ClockStart = GetTickCount();
    Clients.Add(std::move(record));
    if (Journal)
        Journal->Accepted(LastClientId, connection.RemoteAddress());
}

void TTCPForm::ServerSocket1ClientRead(TServerConnection& connection) {
    TMySocket* record = Clients.FindById(static_cast<int32_t>(connection.Data));
    const qsizetype room = record ? Room(*record) : MaxKeptRequest;
    if (room == 0) {
        record->InputHeld = true;
        ServerSocket1->HoldInput(connection, true);
        if (record->Checking)
            PresenceChecked(*record);
        return;
    }
    const QByteArray data = ServerSocket1->ReceiveText(connection, room);
    if (ProgramClosing || ApplicationTerminating() || data.isEmpty() || !record)
        return;
    record->Received = static_cast<int32_t>(static_cast<uint32_t>(record->Received) + static_cast<uint32_t>(data.size()));
    if (!TakeRequestBytes(*record, data))
        return;
    if (record->Checking)
        ReadDuringCheck(*record);
    else
        PostWinMessage(Hub, WM_SV_TCP_READ, record->Id, 0);
}

// Keeps the bytes that belong to the request; false when none did or the request was refused,
// which ends the connection and its record with it. A head is checked the moment it is whole, so
// a refused request never waits in line.
bool TTCPForm::TakeRequestBytes(TMySocket& record, const QByteArray& data) {
    if (record.Request.Size() == 0)
        record.ClockStart = GetTickCount();
    const bool headWaited = record.Request.Head().State() == http::TRequest::NeedMore;
    const qsizetype belongs = record.Request.Feed(data);
    record.Pending += QByteArrayView(data).first(belongs);
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

// Bytes past a whole request are not wanted; the rest of a request is read as there is room.
qsizetype TTCPForm::Room(const TMySocket& record) const {
    if (record.Request.Whole())
        return 0;
    if (record.Checking)
        return std::max<qsizetype>(LookAheadBytes - record.Pending.size(), 0);
    qsizetype room = MaxKeptRequest - record.Pending.size();
    if (!record.TakenUp)
        room = std::min(room, MaxWaitingBytes - Clients.WaitingBytes());
    return std::max<qsizetype>(room, 0);
}

// A client read again after waiting for room starts its request's deadline afresh.
void TTCPForm::ReadHeldClients() {
    for (const int32_t id : Clients.HeldClients()) {
        TMySocket* record = Clients.FindById(id);
        TServerConnection* connection = FindConnection(id);
        if (!record || !connection || Room(*record) == 0)
            continue;
        record->InputHeld = false;
        record->ClockStart = GetTickCount();
        record->SizeAtStart = record->Request.Size();
        ServerSocket1->HoldInput(*connection, false);
    }
}

// A client that half-closed after a whole request waits for its answer; one whose request can
// no longer become whole is dropped.
void TTCPForm::ServerSocket1ClientEnd(TServerConnection& connection) {
    TMySocket* record = Clients.FindById(static_cast<int32_t>(connection.Data));
    if (record)
        record->InputEnded = true;
    if (record && !record->TakenUp && !record->RequestWhole() && record->Request.Size() > 0)
        DropUnfinished(record->Id);
    else if (!record || !record->RequestWhole())
        ServerSocket1->Close(connection);
    else if (record->Checking)
        PresenceChecked(*record);
}

// A held client that left frees its place in the waiting room at once, not when its turn comes.
void TTCPForm::ServerSocket1ClientHeldEnd(TServerConnection& connection) {
    const TMySocket* record = Clients.FindById(static_cast<int32_t>(connection.Data));
    if (record && !record->TakenUp && LeftUnfinished(*record))
        DropUnfinished(record->Id);
}

// A client that is not read (held back, or whose end came while its turn was being taken) may
// have ended its input unseen: when all it sent is in, the bytes the system holds tell whether
// its request can still become whole. Its last bytes may still be on their way when its turn
// comes; such a request goes out and is cut once its end is read.
bool TTCPForm::LeftUnfinished(const TMySocket& record) const {
    const TServerConnection* connection = FindConnection(record.Id);
    if (!connection || record.RequestWhole())
        return false;
    const std::optional<QByteArray> rest = ServerSocket1->FinalInput(*connection);
    if (!rest)
        return false;
    TMySocket last;
    last.Request = record.Request;
    last.Request.Feed(*rest);
    last.InputEnded = true;
    return !last.RequestWhole();
}

// Only a request whose head came is worth a line; a connection that ends inside a head is no
// more than one that sends nothing.
void TTCPForm::DropUnfinished(int32_t id) {
    const TMySocket* record = Clients.FindById(id);
    if (record->Request.Head().State() != http::TRequest::NeedMore)
        Log(QStringLiteral("client %1 left before its request was whole, %2 bytes dropped")
                .arg(id)
                .arg(record->Request.Size()));
    if (Journal)
        Journal->DroppedUnfinished(id, record->Request.Size());
    Clients.RemoveById(id);
    if (TServerConnection* connection = FindConnection(id))
        ServerSocket1->Close(*connection);
}

bool TTCPForm::TurnMayBegin(int32_t id) {
    TMySocket* record = Clients.FindById(id);
    if (!record)
        return false;
    if (record->TakenUp)
        return true;
    if (LeftUnfinished(*record)) {
        DropUnfinished(id);
        return false;
    }
    if (record->RequestWhole() || record->PresenceKnown)
        return true;
    if (!record->Checking)
        StartPresenceCheck(*record);
    return false;
}

void TTCPForm::StartPresenceCheck(TMySocket& record) {
    record.Checking = true;
    record.CheckStart = GetTickCount();
    CheckingClient = record.Id;
    TimerPresence->start(PresenceQuietMs);
    if (TServerConnection* connection = FindConnection(record.Id)) {
        record.InputHeld = false;
        ServerSocket1->HoldInput(*connection, false);
        ServerSocket1ClientRead(*connection);
    }
}

// More came: the check goes on until the request is whole, or nothing more comes for the quiet
// time, or its limit has passed.
void TTCPForm::ReadDuringCheck(TMySocket& record) {
    if (record.RequestWhole()) {
        PresenceChecked(record);
        return;
    }
    const int elapsed = static_cast<int>(static_cast<uint32_t>(GetTickCount() - record.CheckStart));
    TimerPresence->start(std::clamp(PresenceLimitMs - elapsed, 0, PresenceQuietMs));
}

void TTCPForm::TimerPresenceTimer() {
    if (TMySocket* record = Clients.FindById(CheckingClient))
        PresenceChecked(*record);
}

// The client is still there; its request goes to the line when the line is free.
void TTCPForm::PresenceChecked(TMySocket& record) {
    record.Checking = false;
    record.PresenceKnown = true;
    CheckingClient = 0;
    TimerPresence->stop();
    NudgeLine(record.Id);
}

void TTCPForm::NudgeLine(int32_t id) {
    if (id > 0 && !ProgramClosing)
        PostWinMessage(Hub, WM_SV_TCP_READ, id, 0);
}

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
    Clients.RemoveById(id);
    if (id == CheckingClient) {
        CheckingClient = 0;
        TimerPresence->stop();
        NudgeLine(Clients.FirstPendingClient());
    }
    ReadHeldClients();
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

TServerConnection* TTCPForm::FindConnection(int32_t id) const {
    for (const auto& connection : ServerSocket1->ConnectionList())
        if (connection->Data == id)
            return connection;
    return nullptr;
}

void TTCPForm::RestartServer() {
    try {
        ServerSocket1->SetActive(false);
        Clients.Clear();
        CheckingClient = 0;
        TimerPresence->stop();
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
    int answered = 0;
    for (const int32_t id : Clients.WaitingClients()) {
        if (id == onLine)
            continue;
        if (TServerConnection* connection = FindConnection(id); connection && connection->Connected()) {
            ServerSocket1->HoldInput(*connection, false);
            if (Journal)
                Journal->FixedAnswer(id, journal::TFixed::NotAvailable, answer);
            SendAnswer(id, answer);
            ++answered;
        }
        Clients.RemoveById(id);
    }
    if (!Clients.FindById(CheckingClient)) {
        CheckingClient = 0;
        TimerPresence->stop();
    }
    ReadHeldClients();
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
    case http::TRefusal::Host: Log(QStringLiteral("refused host ") + name); break;
    case http::TRefusal::Origin: Log(QStringLiteral("refused a request from pages of ") + name); break;
    case http::TRefusal::Head: Log(QStringLiteral("refused a request whose head could not be checked")); break;
    }
    const QByteArray answer = ForbiddenAnswer(refusal);
    if (Journal) {
        const journal::TRefusal why = refusal.Kind == http::TRefusal::Host     ? journal::TRefusal::Host
                                      : refusal.Kind == http::TRefusal::Origin ? journal::TRefusal::Origin
                                                                               : journal::TRefusal::Head;
        Journal->Refused(id, why, refusal.Name, answer);
    }
    SendAnswer(id, answer);
}

const http::TRequestHead* TTCPForm::RequestHead(int32_t id) const {
    const TMySocket* record = Clients.FindById(id);
    return record ? &record->Request.Head() : nullptr;
}

bool TTCPForm::RequestOverdue(int32_t id) const {
    const TMySocket* record = Clients.FindById(id);
    return record && record->RequestOverdue(GetTickCount(), ServerSocket1->ReaderLimitMs);
}

// A request that may go to the line waits for its turn, not for its sender. A connection that
// sends nothing at all while it is read is closed without an answer once a request would have
// been overdue; one held back for want of room may have sent its request, and waits.
void TTCPForm::RefuseOverdue() {
    const uint32_t now = GetTickCount();
    for (const int32_t id : Clients.WaitingClients()) {
        const TMySocket* record = Clients.FindById(id);
        if (record && record->Request.Size() == 0 && !record->InputHeld &&
            static_cast<uint32_t>(now - record->ClockStart) > RequestBaseMs) {
            if (TServerConnection* connection = FindConnection(id))
                ServerSocket1->Close(*connection);
            continue;
        }
        if (!record || record->RequestReady() || !record->RequestOverdue(now, ServerSocket1->ReaderLimitMs))
            continue;
        Log(QStringLiteral("client %1 sent no whole request in %2 s, %3 bytes came")
                .arg(id)
                .arg(static_cast<uint32_t>(now - record->ClockStart) / 1000)
                .arg(record->Request.Size()));
        if (Journal)
            Journal->FixedAnswer(id, journal::TFixed::RequestTimeout, RequestIncompleteAnswer);
        SendAnswer(id, RequestIncompleteAnswer);
    }
}

// Only connections still read count: a closing one has had its answer.
std::optional<int64_t> TTCPForm::NextDeadline(uint32_t now, int32_t onLine) const {
    QList<int32_t> ids = Clients.WaitingClients();
    if (onLine > 0)
        ids << onLine;
    std::optional<int64_t> next;
    for (const int32_t id : ids) {
        const TMySocket* record = Clients.FindById(id);
        const TServerConnection* connection = FindConnection(id);
        const std::optional<int64_t> limit = record ? record->Deadline(ServerSocket1->ReaderLimitMs) : std::nullopt;
        if (!limit || !connection || !connection->Connected())
            continue;
        const int64_t left = std::max<int64_t>(0, *limit + 1 - static_cast<uint32_t>(now - record->ClockStart));
        next = std::min(next.value_or(left), left);
    }
    return next;
}

void TTCPForm::AnswerWaiting(const QByteArray& answer) {
    for (const int32_t id : Clients.WaitingClients())
        if (const TMySocket* record = Clients.FindById(id); record && record->RequestReady()) {
            if (Journal)
                Journal->FixedAnswer(id, journal::TFixed::NotResponding, answer);
            SendAnswer(id, answer);
        }
}

QString TTCPForm::BrowserHost() const {
    // "localhost" names 127.0.0.1 and ::1 alone, not the rest of 127.0.0.0/8.
    const QHostAddress address(Listen);
    if (address.isNull() || address == QHostAddress(QHostAddress::LocalHost) ||
        address == QHostAddress(QHostAddress::LocalHostIPv6))
        return QStringLiteral("localhost");
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + Listen + QLatin1Char(']') : Listen;
}

QByteArray TTCPForm::TakeRequest(int32_t id, int32_t& total) {
    QByteArray bytes;
    TMySocket* record = Clients.FindById(id);
    if (!record)
        return bytes;
    total = record->Received;
    if (!record->TakenUp) {
        record->TakenUp = true;
        record->ClockStart = GetTickCount();
        record->SizeAtStart = record->Request.Size();
    }
    if (TServerConnection* connection = FindConnection(id)) {
        if (connection->Connected())
            bytes = record->Pending;
        record->Pending = QByteArray();
        ReadHeldClients();
    }
    return bytes;
}

TServerConnection* TTCPForm::AnswerableConnection(int32_t id) const {
    if (ProgramClosing || ApplicationTerminating() || !Clients.FindById(id))
        return nullptr;
    TServerConnection* connection = FindConnection(id);
    return connection && connection->Connected() ? connection : nullptr;
}

void TTCPForm::SendAnswer(int32_t id, const QByteArray& answer) {
    TServerConnection* connection = AnswerableConnection(id);
    if (!connection || answer.isEmpty())
        return;
    ServerSocket1->SendText(*connection, answer);
    ServerSocket1->Close(*connection);
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

bool TTCPForm::IsClientConnected(int32_t id) {
    if (!Clients.FindById(id))
        return false;
    const TServerConnection* connection = FindConnection(id);
    return connection && connection->Connected();
}

int32_t TTCPForm::FirstPendingClient() const { return Clients.FirstPendingClient(); }

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
    FormParams->CheckBoxFraming->setChecked(Framing);
    FormParams->ShowListen(Listen);
    FormParams->EditAllowedHosts->setText(AllowedHosts);
    const int32_t port = SettingsReadInteger(key::TcpPort, DefaultNumber(key::TcpPort));
    if (port < 0 || port > 65535)
        RaiseRangeError();
    Port = static_cast<uint16_t>(port);
    SendDelay = SettingsReadInteger(key::TcpDelay, DefaultNumber(key::TcpDelay));
    FormParams->EditTCPPort->setText(QString::number(Port));
    FormParams->EditTCPSendDelay->setText(QString::number(SendDelay));
    // Last, so that a limit out of range costs no other setting; the dialog shows it, to be put right.
    const TSetting& limit = SettingOf(key::TcpReaderLimit);
    const int32_t readerLimit = SettingsReadInteger(limit.Key, DefaultNumber(limit.Key));
    FormParams->EditReaderLimit->setText(QString::number(readerLimit));
    if (readerLimit < limit.Min || readerLimit > limit.Max)
        RaiseRangeError();
    ReaderLimitS = readerLimit;
}

void TTCPForm::SaveSettings() {
    if (const auto port = NumberInRange(FormParams->EditTCPPort->text(), SettingOf(key::TcpPort)))
        Port = static_cast<uint16_t>(*port);
    const QString delayText = FormParams->EditTCPSendDelay->text();
    if (const auto delay = NumberInRange(delayText, SettingOf(key::TcpDelay)))
        SendDelay = *delay;
    else if (!ParseInteger(delayText) && (SendDelay < 0 || SendDelay > 65535))
        RaiseRangeError();
    Framing = FormParams->CheckBoxFraming->isChecked();
    Listen = FormParams->ListenSetting().value_or(Listen);
    AllowedHosts = FormParams->EditAllowedHosts->text();
    ReaderLimitS = NumberInRange(FormParams->EditReaderLimit->text(), SettingOf(key::TcpReaderLimit)).value_or(ReaderLimitS);
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

std::optional<TTurn> TTCPForm::TakeTurn(int32_t arrived) {
    const int32_t first = FirstPendingClient();
    const int32_t id = first > 0 ? first : arrived;
    const TMySocket* record = Clients.FindById(id);
    if (!record || !record->RequestReady() || !TurnMayBegin(id))
        return std::nullopt;
    const http::TRequestHead& head = record->Request.Head();
    return TTurn{id, head.State() == http::TRequest::Complete && head.Method() == "HEAD"};
}

int32_t TTCPForm::FirstWaiting() const { return FirstPendingClient(); }

bool TTCPForm::RequestArriving(int32_t id) const {
    const TMySocket* record = Clients.FindById(id);
    return record && record->Request.Head().State() == http::TRequest::Complete &&
           (!record->RequestWhole() || !record->Pending.isEmpty());
}

TClientsDue TTCPForm::Due(uint32_t now, int32_t onLine) const {
    return {NextDeadline(now, onLine), FirstPendingClient() > 0};
}
