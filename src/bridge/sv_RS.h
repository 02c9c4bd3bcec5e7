#pragma once
#include <QByteArray>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "bridge/LineSides.h"
#include "platform/HubMessages.h"
#include "serial/LineSettings.h"
#include "settings/SettingsPart.h"

class TComm;
class TCustomComm;
class TLine;
class TLogSink;
class TFormParams;
class TsvProt;

// The bridge's end towards the device: opens the configured port with the line the device
// needs, writes request blocks with one reopen-and-retry, and queues every received block.
// A holder window that is never shown.
class TRSForm : public QWidget, public TSettingsPart, public TLinePort {
public:
    TRSForm(TFormParams* params, TLine* line, TLogSink* log, QObject* hub);
    ~TRSForm() override;

    void SetChannel(int32_t channel);
    // Opens the port with LineSettings; baud, when not 0, is the rate instead of LineSettings.Baud.
    bool OpenPort(const QString& name, uint32_t baud = 0) override;
    bool OpenConfiguredPort() override;
    void OpenSelectedPortOrWarn();
    void ClosePort() override;
    void ForgetPort() override;
    // reportEmpty: WM_SV_RS_TXEMPTY follows once the block has left (see TCustomComm::Write).
    bool WriteChunk(const QByteArray& block, bool reportEmpty = true) override;
    bool WriteOnce(const QByteArray& block, bool reportEmpty = true);
    void ResetOutput();
    void ResetInput() override;
    void PauseReceive() override;
    void ResumeReceive() override;
    bool IsReceivePaused() const override { return ReceivePaused; }
    void ReceiveInto(TsvProt* queue) override { ReceiveQueue = queue; }
    TPortFacts Facts() const override { return {PortNode, DetectIdentity}; }
    uint32_t LineBaud() const override { return LineSettings.Baud; }
    bool IsOpen() const override;
    void Log(const QString& text);
    void LoadSettings() override;
    void SaveSettings() override;
    // Background stores: only their own keys, never what stands unconfirmed in the settings dialog.
    void StoreDetection();
    // A port a detection pass or the follower found, "COMn=description", becomes the configured
    // one with its detection record, and baud, when not 0, the line's rate; false when its number
    // is not one of the list's.
    bool AdoptPort(const QString& entry, const QString& identity, uint32_t baud = 0);
    void StoreIdentity(const QString& identity);
    QString PortName() const override;
    // The line the port was last opened (or tried) with: LineSettings at the rate it was opened at.
    TLineSettings PortLine() const;
    // The port chosen in the settings as last loaded, saved or adopted, "COMn"; empty when none
    // is. What stands picked in the open settings dialog is not chosen until it is confirmed.
    QString ConfiguredPort() const override;

    void CommRSRxChar(TCustomComm* sender, int count);
    void CommRSTxEmpty(TCustomComm* sender);
    void CommRSError(TCustomComm* sender, int errors);

    TComm* CommRS;
    bool Receiving = false;
    bool ReceivePaused = false;
    int32_t Channel = 0;
    int32_t ReopenCount = 0;
    // Bytes of the block the last WriteOnce sent, also when it failed part way.
    int LastSent = 0;
    TsvProt* ReceiveQueue = nullptr;
    int32_t DetectCOM = 0;
    // The number of ConfiguredPort, 0: none.
    int32_t ConfiguredCom = 0;
    QString DetectName;
    QString DetectDescription;
    // RS\Detect\Identity: the body of the device's identity file, whose device the port is.
    QString DetectIdentity;
    // The port was chosen by hand: its first good probe records whose device it is.
    bool IdentityOwed = false;
    // The device node of the port last opened (or tried), for the journal.
    QString PortNode;
    // Why the last open failed, in a few words; empty once a port opened.
    QString OpenFailure;
    // A device that answers on a port that appeared becomes the configured one.
    bool Follow = true;
    // The line the port is opened with, as the settings were last loaded or saved.
    TLineSettings LineSettings;
    // The rate the port was last opened (or tried) at; the rate it refused there, 0: none.
    uint32_t OpenBaud = 0;
    uint32_t RefusedBaud = 0;
    // True when the port was opened with the line at this rate (0: the line's own), so that a
    // line changed since the open is applied by the next exchange.
    bool OpenWith(uint32_t baud) const override;

private:
    // A store made in the background that fails is logged; the bridge goes on with what it holds.
    template <typename F> void StoreOrLog(F store);
    void ReportOpenFailure(const QString& name, int error, const QString& message, uint32_t refusedBaud = 0);

    // The line the port was last opened (or tried) with.
    TLineSettings OpenedLine;
    TFormParams* FormParams;
    TLine* Line;
    TLogSink* LogSink;
    QObject* Hub;
};
