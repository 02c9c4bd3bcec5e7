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

// Why the rest of an answer goes to no one.
enum TOrphan : uint8_t { orNone, orClientLeft, orClientAnswered };

// One exchange: a request and its answer on the line, from the moment a client or the probe is
// taken up until the line is free for the next. The exchange belongs to the line, not to the
// client: a client that leaves, or that was given a fixed answer, leaves the exchange running
// until the device's answer has ended or the device stayed silent through the settle limit.
//
// State          under way                            CurrentClient              TimerEnd
// dsIdle         no exchange (all below is empty)     0                          stopped
// dsRelayWait    request written, answer awaited      the client; 0 once it left watchdog, 1000 ms
//                                                     or got a fixed answer
// dsRelayAnswer  answer arriving                      where it goes; 0: dropped  quiet (send delay) or
//                                                                                stall limit (framed);
//                                                                                stopped while held back
// dsProbeWait    probe written, answer awaited        0                          watchdog, 1000 ms
// dsProbeAnswer  probe answer arriving                0                          quiet or stall limit
//
// Bytes the device sends unasked make a dsRelayAnswer exchange without a client. BeginExchange
// starts an exchange, EndExchange ends it whatever the way, and then serves the next in line.
struct TExchange {
    uint32_t CurrentClient = 0;
    // Bytes the client had sent when it was last taken from.
    int32_t ClientTotal = 0;
    QByteArray Answer;
    QByteArray RequestRest;
    // Where the answer ends; none while framing is off.
    std::optional<http::TAnswerFramer> Framer;
    // Bytes of Answer the framer has read.
    qsizetype FramedBytes = 0;
    // Bytes of the answer gone from Answer: streamed to the client, or dropped.
    qsizetype Handed = 0;
    qsizetype Dropped = 0;
    TOrphan Orphan = orNone;
    bool LeftoverLogged = false;
};

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

    void BeginExchange(uint32_t client);
    void EndExchange();
    void ServeNextInLine();
    // The port was reopened: whatever was under way on the line went with it.
    void LineReset();

    // Framing of answers by their HTTP heads (bridge/DistFraming.cpp).
    bool FrameAnswer();

    // Streaming of framed answers to their client (bridge/DistStreaming.cpp).
    void OnClientWritten(int32_t id);

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
    QPlainTextEdit* Memo1;
    QPushButton* BtEnumRS;
    QPushButton* BtClear;

    bool LogBusy = false;
    std::unique_ptr<TsvProt> ReceiveQueue;
    TExchange Exchange;
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
    bool DeviceSpeaksHttp = false;
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
    void RelayWatchdogTick();
    void AnswerEnded();
    void ProbeEnded(uint8_t result);
    void Release(TOrphan why);
    void CutOverdueRequest();
    int SettleTicks() const;
    void DropLeftover(qsizetype count, const char* where);
    bool FramingOn() const;
    void EndFramedArrival();
    void ArmAnswerTimer();
    void LogStall();
    void LogDropped();
    bool Streams() const;
    void PassOn();
    void StreamArrived();
    void DropArrived();
    void PauseStream();
    void ResumeStream();

    QObject* Hub;
    TFormParams* FormParams = nullptr;
    TTCPForm* TCPForm = nullptr;
    TRSForm* RSForm = nullptr;
    std::function<void()> UpdateStatus;
};
