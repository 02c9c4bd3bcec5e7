#include "serial/CommInt.h"

#include <asm/termbits.h>
#include <cerrno>
#include <QFile>
#include <chrono>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include "platform/SyncQueue.h"
#include "platform/Tracing.h"
#include "serial/OpenFailure.h"
#include "serial/PortNames.h"

std::atomic<bool> CommShutdown{false};

namespace {
constexpr uint32_t BaudValues[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                   38400, 56000, 57600,  115200, 128000, 256000, 230400, 460800, 921600};
constexpr uint32_t EventBits[] = {EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};
constexpr uint32_t OptionFlags[] = {dcb::fParity, dcb::fDsrSensitivity, dcb::fTXContinueOnXoff, dcb::fErrorChar,
                                    dcb::fNull};

bool NoModemLines(int error) { return error == ENOTTY || error == EINVAL; }
} // namespace

uint32_t BaudRateValue(TBaudrate rate) { return BaudValues[rate]; }

uint32_t EventMask(TCommEventTypes events) {
    uint32_t mask = 0;
    for (int type = evBreak; type <= evTxEmpty; ++type)
        if (events & (1u << type))
            mask |= EventBits[type];
    return mask;
}

void TCommEventChars::Assign(const TCommEventChars& source) {
    for (int i = 0; i < 5; ++i)
        Chars[i] = source.Chars[i];
}

void TCommEventChars::SetChar(int index, char c) {
    Chars[index - 1] = c;
    if (Owner)
        Owner->UpdateDataControlBlock();
}

TCustomComm::TCustomComm(QObject* owner) : QObject(owner), FEventChars(std::make_unique<TCommEventChars>(this)) {}

TCustomComm::~TCustomComm() { Close(); }

bool TCustomComm::Enabled() const { return !CommShutdown && FHandle >= 0; }

void TCustomComm::RaiseCommError(const QString& message, int32_t errorCode) const {
    throw ECommError(message + QString::asprintf(" (Error: %d) ", errorCode) + QStringLiteral("\r\n") + FDeviceName,
                     errorCode);
}

void TCustomComm::CheckOpen() {
    if (Enabled())
        RaiseCommError(QStringLiteral("Port already assigned (open)"), -1);
}

void TCustomComm::CreateHandle() {
    TSerialSys& sys = SerialSys();
    const QByteArray path = QFile::encodeName(DeviceNodeFor(FDeviceName));
    const int fd = sys.Open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        RaiseCommError(QStringLiteral("Error accessing specified device"), errno);
    if (sys.IsTty(fd) != 1) {
        sys.Close(fd);
        RaiseCommError(QStringLiteral("Invalid device handle, access denied"), -1);
    }
    int error = 0;
    if (sys.Flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno;
    else if (sys.SetExclusive(fd) != 0 && !NoModemLines(errno))
        error = errno;
    auto saved = std::make_unique<termios2>();
    if (!error && sys.GetAttr(fd, *saved) != 0)
        error = errno;
    if (!error)
        error = MakeRaw(fd);
    if (error) {
        sys.Close(fd);
        RaiseCommError(QStringLiteral("Error accessing specified device"), error);
    }
    // Bytes that came before the port was opened answer nothing asked on it, so it starts empty.
    sys.Flush(fd, TCIFLUSH);
    SavedTerminal = std::move(saved);
    LowLatencySet = RequestLowLatency(fd);
    FHandle = fd;
    ForgetOpenFailure(FDeviceName);
    qCDebug(lcSerial) << "opened" << FDeviceName << "as" << path;
    HasModemLines = true;
}

void TCustomComm::DestroyHandle() {
    if (FHandle < 0)
        return;
    if (LowLatencySet)
        EndLowLatency(FHandle);
    LowLatencySet = false;
    if (SavedTerminal)
        SerialSys().SetAttr(FHandle, *SavedTerminal);
    SerialSys().Close(FHandle);
    SavedTerminal.reset();
    FHandle = -1;
}

void TCustomComm::Open() {
    if (CommShutdown)
        return;
    CheckOpen();
    CreateHandle();
    if (!Enabled())
        return;
    Watcher = std::make_unique<TCommEventThread>(FHandle, EventMask(FMonitorEvents), EventMask(PolledEvents()));
    Watcher->OnSignal = [this](TCommEventThread* sender, uint32_t mask) { HandleCommEvent(sender, mask); };
    Watcher->Start();
    UpdateCommTimeouts();
    UpdateDataControlBlock();
    if (FReadBufSize < 0 || FReadBufSize > 262143 || FWriteBufSize < 0)
        RaiseRangeError();
    // Linux tty buffers have a fixed size; asking for the queue state proves the driver answers.
    int queued = 0;
    if (SerialSys().OutputCount(FHandle, queued) != 0)
        RaiseCommError(QStringLiteral("Error initializing Read/Write Buffers"), errno);
    GetCounters(SavedCounters);
}

TCommEventTypes TCustomComm::PolledEvents() const {
    TCommEventTypes events = 0;
    const auto add = [&events](TCommEventType type, bool handled) {
        if (handled)
            events |= EventBit(type);
    };
    add(evBreak, bool(OnBreak));
    add(evCts, bool(OnCts));
    add(evDsr, bool(OnDsr));
    add(evError, bool(OnError));
    add(evRing, bool(OnRing));
    add(evRlsd, bool(OnRlsd));
    return events;
}

void TCustomComm::Close() {
    if (FHandle < 0)
        return;
    if (Watcher) {
        Watcher->Stop();
        while (!Watcher->Finished())
            TSyncQueue::Instance().CheckSynchronize(20);
        Watcher->Join();
        Watcher.reset();
    }
    DestroyHandle();
}

void TCustomComm::UpdateCommTimeouts() {
    termios2 attr{};
    if (SerialSys().GetAttr(FHandle, attr) != 0)
        RaiseCommError(QStringLiteral("Error updating CommTimeouts"), errno);
    attr.c_cc[VMIN] = 0;
    attr.c_cc[VTIME] = 0;
    if (SerialSys().SetAttr(FHandle, attr) != 0)
        RaiseCommError(QStringLiteral("Error updating CommTimeouts"), errno);
}

void TCustomComm::AmendDCB(TDCB& record, TBaudrate baud, TParity parity, TStopbits stopbits, TDatabits databits,
                           const TCommEventChars& chars, int readBufSize, TFlowControl flow, TCommOptions& options) {
    record.BaudRate = BaudRateValue(baud);
    record.Parity = parity;
    record.StopBits = stopbits;
    record.ByteSize = static_cast<uint8_t>(4 + databits);
    record.XonChar = chars.XonChar();
    record.XoffChar = chars.XoffChar();
    record.ErrorChar = chars.ErrorChar();
    record.EofChar = chars.EofChar();
    record.EvtChar = chars.EvtChar();
    const int quarter = readBufSize / 4;
    if (quarter < 0 || quarter > 0xFFFF)
        RaiseRangeError();
    record.XonLim = record.XoffLim = static_cast<uint16_t>(quarter);
    if (flow != fcDefault) {
        record.Flags &= ~dcb::FlowControlMask;
        switch (flow) {
        case fcCTS: record.Flags |= dcb::fOutxCtsFlow; break;
        case fcDTR: record.Flags |= dcb::fOutxDsrFlow; break;
        case fcSoftware: record.Flags |= dcb::fOutX | dcb::fInX; break;
        case fcCTSDTR: record.Flags |= dcb::fOutxCtsFlow | dcb::fOutxDsrFlow; break;
        case fcRS485: dcb::SetRtsControl(record, dcb::RTS_CONTROL_TOGGLE); break;
        default: break;
        }
        record.Flags |= dcb::fBinary;
    }
    if (record.Parity != dcb::NOPARITY)
        options |= OptionBit(coParityCheck);
    else
        options &= static_cast<TCommOptions>(~OptionBit(coParityCheck));
    for (int option = coParityCheck; option <= coNullStrip; ++option) {
        if (options & (1u << option))
            record.Flags |= OptionFlags[option];
        else
            record.Flags &= ~OptionFlags[option];
    }
}

void TCustomComm::UpdateDataControlBlock() {
    if (!Enabled())
        return;
    GetCommState(FHandle, FDCB);
    AmendDCB(FDCB, FBaudRate, FParity, FStopbits, FDatabits, *FEventChars, FReadBufSize, FFlowControl, FOptions);
    FDCB.BaudRate = BaudValue();
    const int error = SetCommState(FHandle, FDCB);
    FSettingsRefused = error == EINVAL;
    if (error)
        RaiseCommError(QStringLiteral("Error updating DataControlBlock"), error);
    if (Watcher)
        Watcher->SetCharacterTime(CharacterNanos(FDCB));
}

void TCustomComm::EscapeFunction(int function) {
    if (!Enabled())
        return;
    unsigned long request;
    int bits;
    switch (function) {
    case SETDTR: request = TIOCMBIS; bits = TIOCM_DTR; break;
    case CLRDTR: request = TIOCMBIC; bits = TIOCM_DTR; break;
    case 3: request = TIOCMBIS; bits = TIOCM_RTS; break;  // SETRTS
    case 4: request = TIOCMBIC; bits = TIOCM_RTS; break;  // CLRRTS
    default: RaiseCommError(QStringLiteral("EscapeCommFunction failure"), EINVAL);
    }
    if (!HasModemLines)
        return;
    if (SerialSys().ModemBits(FHandle, request, bits) == 0)
        return;
    if (!NoModemLines(errno))
        RaiseCommError(QStringLiteral("EscapeCommFunction failure"), errno);
    HasModemLines = false;
}

void TCustomComm::SetDTR(bool state) { EscapeFunction(state ? SETDTR : CLRDTR); }

void TCustomComm::PurgeIn() {
    if (Enabled())
        SerialSys().Flush(FHandle, TCIFLUSH);
}

void TCustomComm::PurgeOut() {
    if (Enabled())
        SerialSys().Flush(FHandle, TCOFLUSH);
}

int TCustomComm::Read(char* buffer, int count) {
    if (count < 0 || FReadTimeout < 0)
        RaiseRangeError();
    std::lock_guard guard(Lock);
    int total = 0;
    while (total < count) {
        const ssize_t n = SerialSys().Read(FHandle, buffer + total, static_cast<size_t>(count - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && total == 0)
            RaiseCommError(QStringLiteral("Read error"), errno);
        break;
    }
    qCDebug(lcSerial).noquote() << FDeviceName << "read" << total << "of" << count << QByteArray(buffer, total).toHex(' ');
    return total;
}

int TCustomComm::Write(const char* buffer, int count, bool reportEmpty) {
    if (count < 0 || FWriteTimeout < 0)
        RaiseRangeError();
    std::lock_guard guard(Lock);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(FWriteTimeout);
    int& total = FLastWritten;
    total = 0;
    bool timedOut = false;
    while (total < count) {
        const ssize_t n = SerialSys().Write(FHandle, buffer + total, static_cast<size_t>(count - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut = true;
                break;
            }
            pollfd entry{FHandle, POLLOUT, 0};
            ::poll(&entry, 1, static_cast<int>(left.count()));
            continue;
        }
        if (total == 0)
            RaiseCommError(QStringLiteral("Write error"), n < 0 ? errno : EIO);
        break;
    }
    qCDebug(lcSerial).noquote() << FDeviceName << "wrote" << total << "of" << count << (timedOut ? "(timed out)" : "")
                               << QByteArray(buffer, total).toHex(' ');
    if (total > 0 && Watcher && reportEmpty)
        Watcher->NoteWrite();
    return timedOut ? -1 : total;
}

void TCustomComm::GetCounters(int (&counters)[5]) const {
    serial_icounter_struct now{};
    if (SerialSys().GetCounters(FHandle, now) != 0)
        return;
    counters[0] = now.buf_overrun;
    counters[1] = now.overrun;
    counters[2] = now.parity;
    counters[3] = now.frame;
    counters[4] = now.brk;
}

int TCustomComm::LineErrors() {
    int now[5];
    for (int i = 0; i < 5; ++i)
        now[i] = SavedCounters[i];
    GetCounters(now);
    constexpr int Flags[5] = {CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK};
    int errors = 0;
    for (int i = 0; i < 5; ++i) {
        if (now[i] != SavedCounters[i])
            errors |= Flags[i];
        SavedCounters[i] = now[i];
    }
    return errors;
}

int TCustomComm::OutQueCount() const {
    int queued = 0;
    if (!Enabled() || SerialSys().OutputCount(FHandle, queued) != 0)
        return 0;
    return queued;
}

int TCustomComm::InQueCount() const {
    int queued = 0;
    if (!Enabled() || SerialSys().InputCount(FHandle, queued) != 0)
        return 0;
    return queued;
}

void TCustomComm::HandleCommEvent(TCommEventThread*, uint32_t mask) {
    if (CommShutdown)
        return;
    const int errors = LineErrors();
    int queued = 0;
    if (SerialSys().InputCount(FHandle, queued) != 0)
        queued = 0;
    const auto notify = [&](uint32_t bit, const std::function<void(TCustomComm*)>& handler) {
        if ((mask & bit) && handler)
            handler(this);
    };
    notify(EV_BREAK, OnBreak);
    notify(EV_CTS, OnCts);
    notify(EV_DSR, OnDsr);
    if ((mask & EV_ERR) && OnError)
        OnError(this, errors);
    notify(EV_RING, OnRing);
    notify(EV_RLSD, OnRlsd);
    if ((mask & EV_RXCHAR) && OnRxChar && queued > 0)
        OnRxChar(this, queued);
    notify(EV_RXFLAG, OnRxFlag);
    notify(EV_TXEMPTY, OnTxEmpty);
}

void TCustomComm::SetDeviceName(const QString& value) {
    if (value == FDeviceName)
        return;
    CheckOpen();
    FDeviceName = value;
}

void TCustomComm::SetReadBufSize(int value) {
    if (value == FReadBufSize)
        return;
    CheckOpen();
    FReadBufSize = value;
}

void TCustomComm::SetWriteBufSize(int value) {
    if (value == FWriteBufSize)
        return;
    CheckOpen();
    FWriteBufSize = value;
}

void TCustomComm::SetMonitorEvents(TCommEventTypes value) {
    if (value == FMonitorEvents)
        return;
    CheckOpen();
    FMonitorEvents = value;
}

template <typename T> static bool Change(T& field, T value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

void TCustomComm::SetBaudRate(TBaudrate value) {
    if (Change(FBaudRate, value))
        UpdateDataControlBlock();
}

void TCustomComm::SetBaudValue(uint32_t value) {
    if (value != 0 && (value < 50 || value > 4000000))
        RaiseRangeError();
    const uint32_t before = BaudValue();
    FBaudValue = value;
    if (BaudValue() != before)
        UpdateDataControlBlock();
}

void TCustomComm::SetParity(TParity value) {
    if (Change(FParity, value))
        UpdateDataControlBlock();
}

void TCustomComm::SetStopbits(TStopbits value) {
    if (Change(FStopbits, value))
        UpdateDataControlBlock();
}

void TCustomComm::SetDatabits(TDatabits value) {
    if (Change(FDatabits, value))
        UpdateDataControlBlock();
}

void TCustomComm::SetOptions(TCommOptions value) {
    if (Change(FOptions, value))
        UpdateDataControlBlock();
}

void TCustomComm::SetFlowControl(TFlowControl value) {
    if (Change(FFlowControl, value))
        UpdateDataControlBlock();
}
