#include "bridge/sv_RS.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QThread>
#include <algorithm>

#include "bridge/Line.h"
#include "bridge/LineStore.h"
#include "bridge/LogSink.h"
#include "bridge/sv_Prot.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/WinMessage.h"
#include "serial/CommInt.h"
#include "serial/OpenFailure.h"
#include "serial/PortNames.h"
#include "settings/SettingsTable.h"
#include "settings/UtilsRegistry.h"
#include "settings/sv_params.h"

TRSForm::TRSForm(TFormParams* params, TLine* line, TLogSink* log, QObject* hub)
    : CommRS(new TComm(this)), FormParams(params), Line(line), LogSink(log), Hub(hub) {
    setObjectName(QStringLiteral("RSForm"));
    setWindowTitle(QStringLiteral("RS"));
    CommRS->setObjectName(QStringLiteral("CommRS"));
    CommRS->SetWriteTimeout(2000);
    CommRS->SetReadBufSize(16384);
    CommRS->SetMonitorEvents(AllCommEvents);
    CommRS->SetBaudRate(br19200);
    CommRS->SetFlowControl(fcNone);
    CommRS->SetOptions(0);
    CommRS->OnRxChar = [this](TCustomComm* sender, int count) { CommRSRxChar(sender, count); };
    CommRS->OnTxEmpty = [this](TCustomComm* sender) { CommRSTxEmpty(sender); };
    CommRS->OnError = [this](TCustomComm* sender, int errors) { CommRSError(sender, errors); };
    FormParams->ListPorts();
}

TRSForm::~TRSForm() { CommRS->Close(); }

void TRSForm::SetChannel(int32_t channel) { Channel = channel; }

bool TRSForm::IsOpen() const { return CommRS->Enabled(); }

QString TRSForm::PortName() const { return CommRS->DeviceName(); }

TLineSettings TRSForm::PortLine() const { return OpenBaud != 0 ? OpenedLine : LineSettings; }

bool TRSForm::OpenWith(uint32_t baud) const {
    TLineSettings wanted = LineSettings;
    wanted.Baud = baud ? baud : LineSettings.Baud;
    return PortLine() == wanted;
}

void TRSForm::Log(const QString& text) { LogSink->AddLogLine(("RS: " + text).toUtf8(), true); }

bool TRSForm::OpenPort(const QString& name, uint32_t baud) {
    OpenBaud = baud ? baud : LineSettings.Baud;
    OpenedLine = LineSettings;
    OpenedLine.Baud = OpenBaud;
    RefusedBaud = 0;
    ReopenCount = 0;
    ReceivePaused = false;
    PostWinMessage(Hub, WM_SV_RS_PORT, Channel, 0);
    try {
        ClosePort();
        CommRS->Close();
        CommRS->SetDeviceName(name);
        PortNode = DeviceNodeFor(name);
        if (const QString target = QFileInfo(PortNode).canonicalFilePath(); !target.isEmpty())
            PortNode = target;
        CommRS->SetParity(LineSettings.Parity);
        CommRS->SetStopbits(LineSettings.StopBits);
        CommRS->SetDatabits(static_cast<TDatabits>(da5 + std::clamp<int>(LineSettings.DataBits, 5, 8) - 5));
        CommRS->SetFlowControl(LineSettings.RtsCts ? fcCTS : fcNone);
        CommRS->SetBaudValue(OpenBaud);
        CommRS->Open();
        if (LineSettings.RaiseDtr)
            CommRS->SetDTR(true);
        OpenFailure.clear();
        Log(QStringLiteral("Open ") + name);
        return true;
    } catch (const ECommError& error) {
        if (CommRS->Enabled() && CommRS->SettingsRefused())
            RefusedBaud = OpenBaud;
        ReportOpenFailure(name, error.ErrorCode, error.Message, RefusedBaud);
        // Nothing may go out at a rate other than the one asked for.
        if (RefusedBaud != 0)
            CommRS->Close();
    } catch (const std::exception& error) {
        ReportOpenFailure(name, 0, QString::fromUtf8(error.what()));
    }
    return false;
}

// A node that opened and then failed is still open: its error is the line settings', not the open's.
// Drivers refuse a line for its rate, so a refusal names the rate.
void TRSForm::ReportOpenFailure(const QString& name, int error, const QString& message, uint32_t refusedBaud) {
    const bool setUp = CommRS->Enabled() || error == 0;
    QString setUpError = setUp ? message.section(QLatin1Char('\r'), 0, 0).trimmed() : QString();
    if (refusedBaud != 0)
        setUpError = QStringLiteral("%1 baud").arg(refusedBaud);
    const TOpenFailure failure = ExplainOpenFailure(name, error, setUpError);
    OpenFailure = refusedBaud != 0 ? QStringLiteral("the port refused %1 baud").arg(refusedBaud) : failure.Short;
    Log(name + QStringLiteral(" Open Error!"));
    Log(failure.Line);
    Line->PortFailed();
}

QString TRSForm::ConfiguredPort() const {
    return ConfiguredCom <= 0 ? QString() : QStringLiteral("COM%1").arg(ConfiguredCom);
}

bool TRSForm::OpenConfiguredPort() {
    const QString name = ConfiguredPort();
    return !name.isEmpty() && OpenPort(name);
}

void TRSForm::OpenSelectedPortOrWarn() {
    if (!OpenConfiguredPort())
        ShowErrorBox(QStringLiteral("Error oppening COM port!"));
}

void TRSForm::ClosePort() {
    if (!CommRS->Enabled())
        return;
    CommRS->Close();
    if (CommRS->Enabled()) {
        ShowErrorBox(QStringLiteral("Error (3)"));
        return;
    }
    PostWinMessage(Hub, WM_SV_RS_PORT, Channel, 0);
    // Gives a USB adapter's driver time to release the port before it is opened again.
    QThread::msleep(100);
}

void TRSForm::ForgetPort() {
    ClosePort();
    if (CommRS->Enabled())
        return;
    CommRS->SetDeviceName(QString());
    PortNode.clear();
    PostWinMessage(Hub, WM_SV_RS_PORT, Channel, 0);
}

bool TRSForm::WriteOnce(const QByteArray& block, bool reportEmpty) {
    LastSent = 0;
    if (block.isEmpty())
        return false;
    int written = -1;
    if (CommRS->Enabled()) {
        try {
            written = CommRS->Write(block.constData(), static_cast<int>(block.size()), reportEmpty);
        } catch (const std::exception&) {
            written = -1;
        }
    }
    if (written == block.size()) {
        ReopenCount = 0;
        LastSent = written;
        return true;
    }
    // What the driver still held is lost with the purge; what left the port is on its way.
    if (CommRS->Enabled())
        LastSent = std::max(0, CommRS->LastWritten() - CommRS->OutQueCount());
    ResetOutput();
    Log(PortName() + QStringLiteral(" Tx Error!"));
    Line->PortFailed();
    return false;
}

// The retry sends only what had not gone out, so the device never sees a part twice.
bool TRSForm::WriteChunk(const QByteArray& block, bool reportEmpty) {
    if (WriteOnce(block, reportEmpty))
        return true;
    if (ReopenCount != 0)
        return false;
    const qsizetype sent = LastSent;
    OpenPort(PortName(), OpenBaud);
    ++ReopenCount;
    return WriteOnce(block.mid(sent), reportEmpty);
}

void TRSForm::ResetOutput() {
    try {
        CommRS->PurgeOut();
        if (LineSettings.RaiseDtr)
            CommRS->SetDTR(true);
    } catch (const std::exception&) {
    }
}

void TRSForm::ResetInput() {
    try {
        CommRS->PurgeIn();
    } catch (const std::exception&) {
    }
}

void TRSForm::PauseReceive() { ReceivePaused = true; }

// Reads what waited in the port: it raised its event while paused and will not raise it again.
void TRSForm::ResumeReceive() {
    if (!ReceivePaused)
        return;
    ReceivePaused = false;
    if (const int waiting = CommRS->InQueCount(); waiting > 0)
        CommRSRxChar(CommRS, waiting);
}

void TRSForm::CommRSRxChar(TCustomComm*, int count) {
    if (ProgramClosing || ApplicationTerminating() || ReceivePaused)
        return;
    if (Receiving) {
        ShowErrorBox(QStringLiteral("Error (2)"));
        return;
    }
    Receiving = true;
    const auto clear = qScopeGuard([this] { Receiving = false; });
    QByteArray block(count, '\0');
    int got;
    try {
        got = CommRS->Read(block.data(), count);
    } catch (const std::exception&) {
        got = -1;
    }
    if (got < count) {
        ResetInput();
        return;
    }
    if (ReceiveQueue && ReceiveQueue->PutChunk(block))
        PostWinMessage(Hub, WM_SV_RS_RXCHAR, Channel, 0);
}

void TRSForm::CommRSTxEmpty(TCustomComm*) { PostWinMessage(Hub, WM_SV_RS_TXEMPTY, Channel, 0); }

void TRSForm::CommRSError(TCustomComm*, int) { Log(PortName() + QStringLiteral(" Error!")); }

void TRSForm::LoadSettings() {
    const int32_t com = SettingsReadInteger(key::RsCom, DefaultNumber(key::RsCom));
    FormParams->ShowPort(com);
    ConfiguredCom = FormParams->ChosenCom();
    DetectCOM = SettingsReadInteger(key::DetectCom, DefaultNumber(key::DetectCom));
    DetectName = SettingsReadString(key::DetectName, QString());
    DetectDescription = SettingsReadString(key::DetectDescription, QString());
    Follow = SettingsReadInteger(key::RsFollow, DefaultNumber(key::RsFollow)) != 0;
    FormParams->ShowFollow(Follow);
    DetectIdentity = SettingsReadString(key::DetectIdentity, QString());
    IdentityOwed = DetectIdentity.isEmpty();
    LineSettings = ReadLineSettings();
}

// A port chosen by hand may hold another device: its first good probe says whose it is. The
// dialog has stored the line already.
void TRSForm::SaveSettings() {
    const int32_t com = FormParams->ChosenCom();
    if (com != SettingsReadInteger(key::RsCom, DefaultNumber(key::RsCom)))
        IdentityOwed = true;
    ConfiguredCom = com;
    StoreDetection();
    Follow = FormParams->FollowChosen();
    SettingsWriteInteger(key::RsFollow, Follow ? 1 : 0);
    LineSettings = ReadLineSettings();
}

void TRSForm::StoreDetection() {
    SettingsWriteInteger(key::RsCom, FormParams->ChosenCom());
    SettingsWriteInteger(key::DetectCom, DetectCOM);
    SettingsWriteString(key::DetectName, DetectName);
    SettingsWriteString(key::DetectDescription, DetectDescription);
    SettingsWriteString(key::DetectIdentity, DetectIdentity);
}

bool TRSForm::AdoptPort(const QString& entry, const QString& identity, uint32_t baud) {
    const QString name = entry.section(QLatin1Char('='), 0, 0);
    const int number = ComNumber(name);
    if (number <= 0 || number > FormParams->PortCount())
        return false;
    FormParams->ShowPort(number);
    ConfiguredCom = number;
    DetectCOM = number;
    DetectName = name;
    DetectDescription = entry.section(QLatin1Char('='), 1);
    if (!identity.isEmpty()) {
        DetectIdentity = identity;
        IdentityOwed = false;
    }
    if (baud != 0) {
        LineSettings.Baud = baud;
        FormParams->ShowValue(key::RsBaud, QString::number(baud));
    }
    // The rate first: a port stored without its rate would be asked at the wrong one next time.
    StoreOrLog([&] {
        if (baud != 0)
            WriteNumber(key::RsBaud, static_cast<int32_t>(baud));
        StoreDetection();
        FormParams->MarkSaved();
    });
    return true;
}

void TRSForm::StoreIdentity(const QString& identity) {
    DetectIdentity = identity;
    StoreOrLog([&] { SettingsWriteString(key::DetectIdentity, DetectIdentity); });
}

template <typename F> void TRSForm::StoreOrLog(F store) {
    try {
        store();
    } catch (const ESettingsError& error) {
        Log(QStringLiteral("the settings file was not written (") + error.Message +
            QStringLiteral("); the bridge goes on with what it holds"));
    }
}
