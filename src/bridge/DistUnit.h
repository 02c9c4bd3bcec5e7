#pragma once
#include <QByteArray>
#include <QStringList>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "http/HttpHead.h"

class QPlainTextEdit;
class QPushButton;
class QTimer;
class TsvProt;
class TFormParams;
class TTCPForm;
class TRSForm;
class TLogEcho;
class TDeviceFollow;
struct TEnumSources;

// The probe's request for the device's identity file.
QByteArray ProbeRequest();

enum TDistState : uint8_t { dsIdle = 0, dsRelayWait = 1, dsRelayAnswer = 2, dsProbeWait = 3, dsProbeAnswer = 4 };

// The Information window. It also hosts the request dispatcher, the one state machine of the
// serial line, and the device probe, which share its fields.
class TDistForm : public QWidget {
public:
    explicit TDistForm(QObject* hub, QWidget* parent = nullptr);
    ~TDistForm() override;

    void Attach(TFormParams* params, TTCPForm* tcp, TRSForm* rs, std::function<void()> updateStatus);

    // Dispatcher.
    void Init();
    void OnClientData(int32_t id);
    void ServeClient(int32_t id);
    void SendRequestChunk();
    void ContinueSending();
    void OnSerialData();
    void TimerEndTimer();
    void OnClientClosed(int32_t id);
    void TimerCheckTimer();
    void StartProbe(bool reopen);
    void SendProbeChunk();

    // Framing of answers and requests by their HTTP heads (bridge/DistFraming.cpp).
    void BeginExchange();
    bool HoldRequest(QByteArray& text);
    bool FrameAnswer();
    void FinishExchange();
    void ServeNextInLine();

    // Streaming of framed answers to their client (bridge/DistStreaming.cpp).
    void OnClientWritten(int32_t id);
    void TimerReaderTimer();

    // Device probe and detection pass.
    void ReportProbeResult();
    void StartDetection();
    void ArrangePorts(QStringList& list) const;
    void NextPort();

    // Window and log.
    void AddLogLine(const QByteArray& text, bool withTimeStamp);
    void BtEnumRSClick();
    void BtClearClick();
    void FormCanResize();

    QTimer* TimerEnd;
    QTimer* TimerCheck;
    // Runs while the line is held back for a client that does not read; drops it when it ends.
    QTimer* TimerReader;
    QPlainTextEdit* Memo1;
    QPushButton* BtEnumRS;
    QPushButton* BtClear;

    bool LogBusy = false;
    std::unique_ptr<TsvProt> ReceiveQueue;
    uint32_t CurrentClient = 0;
    int32_t ClientTotal = 0;
    QByteArray Answer;
    QByteArray RequestRest;
    QByteArray ProbeRest;
    uint8_t PassMode = 0;
    QStringList PortList;
    int32_t PortIndex = 0;
    bool ReopenBeforeProbe = false;
    int32_t WaitTicks = 0;
    int32_t IdleTicks = 0;
    uint8_t State = dsIdle;
    uint32_t LastRxTick = 0;
    uint32_t AnswerTime = 0;
    QByteArray StatusText;
    QByteArray LastLoggedStatus;
    uint8_t ProbeResult = 0;
    uint8_t BestResult = 0;
    int32_t BestIndex = 0;
    bool DeviceOk = false;
    // The exchange's answer framer; none while framing is off or no answer is awaited.
    std::optional<http::TAnswerFramer> Framer;
    qsizetype FramedBytes = 0;
    // Bytes of the exchange's answer already streamed to its client and gone from Answer.
    qsizetype Handed = 0;
    http::TRequestHead RequestHead;
    QByteArray RequestHeld;
    bool DeviceSpeaksHttp = false;
    bool LeftoverLogged = false;
    // Where the port enumeration looks; tests point it at trees of their own.
    std::unique_ptr<TEnumSources> EnumSources;
    // The copy of the log on standard error in a headless run; none otherwise.
    std::unique_ptr<TLogEcho> Echo;
    // Ports that come and go, and the device found again on another one (detect/DeviceFollow).
    std::unique_ptr<TDeviceFollow> Follower;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // After each chunk written: how long the line may stay quiet before a tick of the watchdog.
    static constexpr int WatchdogMs = 1000;

    void AppendMemoLines(const QStringList& lines);
    void TakeUpClient(int32_t id);
    void HandAnswer();
    void RestartTimerEnd(int interval);
    void EndRelay();
    void DropLeftover(qsizetype count, const char* where);
    bool FramingOn() const;
    void EndFramedArrival();
    void ArmAnswerTimer();
    void LogStall();
    bool Streams() const;
    void StreamArrived();
    void PauseStream();
    void ResumeStream();

    QObject* Hub;
    TFormParams* FormParams = nullptr;
    TTCPForm* TCPForm = nullptr;
    TRSForm* RSForm = nullptr;
    std::function<void()> UpdateStatus;
};
