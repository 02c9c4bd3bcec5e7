#include "bridge/sv_TCP.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QLineEdit>
#include <limits>

#include "app/Hub.h"
#include "bridge/DistUnit.h"
#include "bridge/ServerSocket.h"
#include "platform/ErrorReport.h"
#include "platform/WinMessage.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

namespace {
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
        if (!record->Pending.isEmpty())
            return record->Id;
    return -1;
}

TTCPForm::TTCPForm(TFormParams* params, TDistForm* dist, QObject* hub)
    : ServerSocket1(new TServerSocket(this)), FormParams(params), DistForm(dist), Hub(hub) {
    setObjectName(QStringLiteral("TCPForm"));
    setWindowTitle(QStringLiteral("TCP"));
    ServerSocket1->setObjectName(QStringLiteral("ServerSocket1"));
    ServerSocket1->OnAccept = [this](TServerConnection& c) { ServerSocket1Accept(c); };
    ServerSocket1->OnClientRead = [this](TServerConnection& c) { ServerSocket1ClientRead(c); };
    ServerSocket1->OnClientWrite = [this](TServerConnection& c) { ServerSocket1ClientWrite(c); };
    ServerSocket1->OnClientDisconnect = [this](TServerConnection& c) { ServerSocket1ClientDisconnect(c); };
    ServerSocket1->OnClientError = [this](TServerConnection& c, int& code) { ServerSocket1ClientError(c, code); };
    ServerSocket1->OnListen = [this] { ServerSocket1Listen(); };
    FormParams->EditTCPPort->setText(QStringLiteral("24111"));
    FormParams->EditTCPSendDelay->setText(QStringLiteral("100"));
    LastClientId = 0;
}

TTCPForm::~TTCPForm() { ServerSocket1->SetActive(false); }

void TTCPForm::Log(const QString& text) { DistForm->AddLogLine(("TCP: " + text).toUtf8(), true); }

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
    Clients.Add(std::move(record));
}

void TTCPForm::ServerSocket1ClientRead(TServerConnection& connection) {
    const QByteArray data = ServerSocket1->ReceiveText(connection);
    if (ProgramClosing || ApplicationTerminating() || data.isEmpty())
        return;
    TMySocket* record = Clients.FindById(static_cast<int32_t>(connection.Data));
    if (!record)
        return;
    record->Pending += data;
    record->Received = static_cast<int32_t>(static_cast<uint32_t>(record->Received) + static_cast<uint32_t>(data.size()));
    PostWinMessage(Hub, WM_SV_TCP_READ, record->Id, 0);
}

void TTCPForm::ServerSocket1ClientWrite(TServerConnection& connection) {
    if (!ProgramClosing && Clients.FindById(static_cast<int32_t>(connection.Data)))
        PostWinMessage(Hub, WM_SV_TCP_WRITTEN, connection.Data, 0);
}

void TTCPForm::ServerSocket1ClientDisconnect(TServerConnection& connection) {
    const auto id = static_cast<int32_t>(connection.Data);
    Clients.RemoveById(id);
    PostWinMessage(Hub, WM_SV_TCP_CLOSE, id, 0);
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
        ServerSocket1->Port = Port;
        ServerSocket1->Address = Listen;
        ServerSocket1->SetActive(true);
    } catch (const std::exception& error) {
        Log(QStringLiteral("Open Socket Error"));
        Log(QStringLiteral("cannot listen on ") + QString::fromUtf8(error.what()));
    }
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
    SendAnswer(id, ForbiddenAnswer(refusal));
}

QString TTCPForm::BrowserHost() const {
    const QHostAddress address(Listen);
    if (address.isNull() || address.isLoopback())
        return QStringLiteral("localhost");
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + Listen + QLatin1Char(']') : Listen;
}

QByteArray TTCPForm::TakeRequest(int32_t id, int32_t& total) {
    QByteArray bytes;
    TMySocket* record = Clients.FindById(id);
    if (!record)
        return bytes;
    total = record->Received;
    if (TServerConnection* connection = FindConnection(id)) {
        if (connection->Connected())
            bytes = record->Pending;
        record->Pending.clear();
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

void TTCPForm::DropClient(int32_t id) {
    if (TServerConnection* connection = AnswerableConnection(id))
        ServerSocket1->Abort(*connection);
}

bool TTCPForm::IsClientConnected(int32_t id) {
    if (!Clients.FindById(id))
        return false;
    const TServerConnection* connection = FindConnection(id);
    return connection && connection->Connected();
}

int32_t TTCPForm::FirstPendingClient() const { return Clients.FirstPendingClient(); }

void TTCPForm::LoadSettings() {
    const int32_t port = SettingsReadInteger(QStringLiteral("TCP\\Port"), 24111);
    if (port < 0 || port > 65535)
        RaiseRangeError();
    Port = static_cast<uint16_t>(port);
    SendDelay = SettingsReadInteger(QStringLiteral("TCP\\Delay"), 100);
    Framing = SettingsReadInteger(QStringLiteral("TCP\\Framing"), 1) != 0;
    Listen = SettingsReadString(QStringLiteral("TCP\\Listen"), QString()).trimmed();
    AllowedHosts = SettingsReadString(QStringLiteral("TCP\\AllowedHosts"), QString());
    QByteArrayList own{QHostInfo::localHostName().toUtf8()};
    if (const QString domain = QHostInfo::localDomainName(); !domain.isEmpty())
        own << (QHostInfo::localHostName() + QLatin1Char('.') + domain).toUtf8();
    Guard = http::THostGuard(AllowedHosts.toUtf8(), own);
    FormParams->EditTCPPort->setText(QString::number(Port));
    FormParams->EditTCPSendDelay->setText(QString::number(SendDelay));
}

void TTCPForm::SaveSettings() {
    if (const auto port = NumberInRange(FormParams->EditTCPPort->text(), TcpPortRange))
        Port = static_cast<uint16_t>(*port);
    const QString delayText = FormParams->EditTCPSendDelay->text();
    if (const auto delay = NumberInRange(delayText, SendDelayRange))
        SendDelay = *delay;
    else if (!ParseInteger(delayText) && (SendDelay < 0 || SendDelay > 65535))
        RaiseRangeError();
    SettingsWriteInteger(QStringLiteral("TCP\\Port"), Port);
    SettingsWriteInteger(QStringLiteral("TCP\\Delay"), SendDelay);
    SettingsWriteInteger(QStringLiteral("TCP\\Framing"), Framing ? 1 : 0);
    SettingsWriteString(QStringLiteral("TCP\\Listen"), Listen);
    SettingsWriteString(QStringLiteral("TCP\\AllowedHosts"), AllowedHosts);
    LoadSettings();
}
