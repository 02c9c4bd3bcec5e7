#pragma once
#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Exception.h"
#include "serial/CommObjs.h"
#include "serial/CommThread.h"
#include "serial/SerialSys.h"
#include "serial/TermiosLayer.h"

enum TBaudrate : uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000, br57600,
    br115200, br128000, br256000, br230400, br460800, br921600
};
enum TParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits : uint8_t { sb10, sb15, sb20 };
enum TDatabits : uint8_t { da4, da5, da6, da7, da8 };
enum TFlowControl : uint8_t { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault, fcCTSDTR, fcRS485 };

enum TCommOption : uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
using TCommOptions = uint8_t;  // set of TCommOption, bit = ordinal
constexpr TCommOptions OptionBit(TCommOption option) { return static_cast<TCommOptions>(1u << option); }

enum TCommEventType : uint8_t { evBreak, evCts, evDsr, evError, evRing, evRlsd, evRxChar, evRxFlag, evTxEmpty };
using TCommEventTypes = uint16_t;  // set of TCommEventType, bit = ordinal
constexpr TCommEventTypes EventBit(TCommEventType type) { return static_cast<TCommEventTypes>(1u << type); }
constexpr TCommEventTypes AllCommEvents = 0x1FF;

// Line-error flags passed to OnError.
constexpr int CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008, CE_BREAK = 0x0010;
// EscapeFunction codes.
constexpr int SETDTR = 5, CLRDTR = 6;

uint32_t BaudRateValue(TBaudrate rate);
uint32_t EventMask(TCommEventTypes events);

// Set when the program is closing: from then on the component neither opens, re-applies
// settings, purges nor delivers events.
extern std::atomic<bool> CommShutdown;

class TCustomComm;

class ECommError : public EQuellorError {
public:
    ECommError(const QString& message, int32_t errorCode) : EQuellorError(message), ErrorCode(errorCode) {}
    int32_t ErrorCode;
};

// The five special characters; each change re-applies the line settings of the owner.
class TCommEventChars {
public:
    explicit TCommEventChars(TCustomComm* owner) : Owner(owner) {}
    // Copies the characters without touching the line.
    void Assign(const TCommEventChars& source);

    char XonChar() const { return Chars[0]; }
    char XoffChar() const { return Chars[1]; }
    char ErrorChar() const { return Chars[2]; }
    char EofChar() const { return Chars[3]; }
    char EvtChar() const { return Chars[4]; }
    void SetXonChar(char c) { SetChar(1, c); }
    void SetXoffChar(char c) { SetChar(2, c); }
    void SetErrorChar(char c) { SetChar(3, c); }
    void SetEofChar(char c) { SetChar(4, c); }
    void SetEvtChar(char c) { SetChar(5, c); }
    void SetChar(int index, char c);

private:
    TCustomComm* Owner;
    char Chars[5] = {17, 19, 0, 0, 0};
};

// A serial port: line settings, buffer sizes, time-outs, DTR, purges, transfers and events.
class TCustomComm : public QObject {
public:
    explicit TCustomComm(QObject* owner = nullptr);
    ~TCustomComm() override;

    bool Enabled() const;
    void Open();
    void Close();
    void CheckOpen();
    virtual void CreateHandle();
    void DestroyHandle();
    void UpdateDataControlBlock();
    void UpdateCommTimeouts();
    void EscapeFunction(int function);
    void SetDTR(bool state);
    void PurgeIn();
    void PurgeOut();
    int Read(char* buffer, int count);
    // Bytes received and not read yet; 0 when that cannot be told.
    int InQueCount() const;
    // reportEmpty: OnTxEmpty follows once these bytes have left. A write whose end nobody waits
    // for does not wake the watcher.
    int Write(const char* buffer, int count, bool reportEmpty = true);
    // Bytes the last Write handed to the driver, also when it timed out or failed part way.
    int LastWritten() const { return FLastWritten; }
    // Bytes handed to the driver and not sent yet; 0 when that cannot be told.
    int OutQueCount() const;
    // The component's side of the watcher's deliveries, on the GUI thread.
    void HandleCommEvent(TCommEventThread* sender, uint32_t mask);

    QString DeviceName() const { return FDeviceName; }
    void SetDeviceName(const QString& value);
    int ReadTimeout() const { return FReadTimeout; }
    void SetReadTimeout(int value) { FReadTimeout = value; }
    int WriteTimeout() const { return FWriteTimeout; }
    void SetWriteTimeout(int value) { FWriteTimeout = value; }
    int ReadBufSize() const { return FReadBufSize; }
    void SetReadBufSize(int value);
    int WriteBufSize() const { return FWriteBufSize; }
    void SetWriteBufSize(int value);
    TCommEventTypes MonitorEvents() const { return FMonitorEvents; }
    void SetMonitorEvents(TCommEventTypes value);
    TBaudrate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudrate value);
    // Any rate from 50 to 4000000 baud; while one is set it is the line's rate instead of BaudRate's,
    // 0 gives the line back to BaudRate.
    uint32_t BaudValue() const { return FBaudValue ? FBaudValue : BaudRateValue(FBaudRate); }
    void SetBaudValue(uint32_t value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity value);
    TStopbits Stopbits() const { return FStopbits; }
    void SetStopbits(TStopbits value);
    TDatabits Databits() const { return FDatabits; }
    void SetDatabits(TDatabits value);
    TCommEventChars& EventChars() { return *FEventChars; }
    TCommOptions Options() const { return FOptions; }
    void SetOptions(TCommOptions value);
    TFlowControl FlowControl() const { return FFlowControl; }
    void SetFlowControl(TFlowControl value);

    int Handle() const { return FHandle; }
    const TDCB& DCB() const { return FDCB; }
    // The last line-settings update failed because the port refused them (EINVAL).
    bool SettingsRefused() const { return FSettingsRefused; }

    // The line is polled for breaks, errors and modem-line changes only where their handler is set
    // when the port opens; a handler for them set while it is open is called with other deliveries.
    std::function<void(TCustomComm*)> OnBreak, OnCts, OnDsr, OnRing, OnRlsd, OnRxFlag, OnTxEmpty;
    std::function<void(TCustomComm*, int errors)> OnError;
    std::function<void(TCustomComm*, int count)> OnRxChar;

    // Amends a line-settings record by the component's rules; used by UpdateDataControlBlock.
    static void AmendDCB(TDCB& record, TBaudrate baud, TParity parity, TStopbits stopbits, TDatabits databits,
                         const TCommEventChars& chars, int readBufSize, TFlowControl flow, TCommOptions& options);

protected:
    [[noreturn]] void RaiseCommError(const QString& message, int32_t errorCode) const;

private:
    int LineErrors();
    TCommEventTypes PolledEvents() const;
    void GetCounters(int (&counters)[5]) const;

    int FHandle = -1;
    TDCB FDCB;
    QString FDeviceName = QStringLiteral("Com2");
    TCriticalSection Lock;
    int FReadTimeout = 1000;
    int FWriteTimeout = 1000;
    int FLastWritten = 0;
    int FReadBufSize = 4096;
    int FWriteBufSize = 2048;
    TCommEventTypes FMonitorEvents = AllCommEvents;
    TBaudrate FBaudRate = br9600;
    uint32_t FBaudValue = 0;
    bool FSettingsRefused = false;
    TParity FParity = paNone;
    TStopbits FStopbits = sb10;
    TDatabits FDatabits = da8;
    std::unique_ptr<TCommEventThread> Watcher;
    std::unique_ptr<TCommEventChars> FEventChars;
    TCommOptions FOptions = 0;
    TFlowControl FFlowControl = fcDefault;
    bool HasModemLines = true;
    bool LowLatencySet = false;
    int SavedCounters[5] = {};
    std::unique_ptr<termios2> SavedTerminal;
};

class TComm : public TCustomComm {
public:
    using TCustomComm::TCustomComm;
};
