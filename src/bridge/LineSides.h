#pragma once
// What the line asks of its two neighbours, and all it may ask: the TCP side, where browsers'
// requests wait and their answers go, and the serial side, which holds the port. The line reads
// no field of either; the TCP side (TTCPForm) and the serial side (TRSForm) implement these.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

class TsvProt;

// A client whose request may go to the line now.
struct TTurn {
    int32_t Client = 0;
    // Its request is a complete HEAD request: the answer ends with its head.
    bool HeadOnly = false;
};

// What is due on the TCP side: the milliseconds until the first client is overdue (none while no
// client can be), and whether a request waits in line.
struct TClientsDue {
    std::optional<int64_t> Deadline;
    bool Waiting = false;
};

class TLineClients {
public:
    virtual ~TLineClients() = default;

    // Answers end where their HTTP head says, and requests go to the device once their head is whole.
    virtual bool FramesAnswers() const = 0;
    // The quiet time, in milliseconds, that ends an answer whose end its head does not tell.
    virtual int QuietMs() const = 0;
    virtual void StopServer() = 0;
    virtual void RestartServer() = 0;

    // The turn of the client first in line, or of this one when none waits before it; none while
    // its request may not go to the line yet (it is not ready, or it is being looked at to find a
    // client that left behind it).
    virtual std::optional<TTurn> TakeTurn(int32_t arrived) = 0;
    // The client first in line; none: 0 or less.
    virtual int32_t FirstWaiting() const = 0;
    // What the client sent since it was last taken from; total: all it has sent.
    virtual QByteArray TakeRequest(int32_t id, int32_t& total) = 0;
    // Its request's head is whole but more of the request is still to come or to be taken.
    virtual bool RequestArriving(int32_t id) const = 0;
    virtual bool IsClientConnected(int32_t id) = 0;
    virtual bool RequestOverdue(int32_t id) const = 0;
    // Answers every client whose request waits in line unfinished past its deadline.
    virtual void RefuseOverdue() = 0;
    // The client on the line (0: none) counts too.
    virtual TClientsDue Due(uint32_t now, int32_t onLine) const = 0;

    virtual void SendAnswer(int32_t id, const QByteArray& answer) = 0;
    // An answer streamed as it arrives: its bytes so far, then its end, which closes the connection.
    virtual void StreamAnswer(int32_t id, const QByteArray& bytes) = 0;
    virtual void EndAnswer(int32_t id) = 0;
    // Bytes of the answer the client's socket has not taken yet.
    virtual qsizetype Unsent(int32_t id) const = 0;
    // Gives every client waiting in line with a request this answer.
    virtual void AnswerWaiting(const QByteArray& answer) = 0;
};

// The port as the journal records it: its device node and whose device it is.
struct TPortFacts {
    QString Node;
    QString Identity;
};

class TLinePort {
public:
    virtual ~TLinePort() = default;

    // The port open (or last tried), "COMn"; the one browsers are served on; empty: none.
    virtual QString PortName() const = 0;
    virtual QString ConfiguredPort() const = 0;
    virtual TPortFacts Facts() const = 0;
    // The rate of the line as the settings hold it.
    virtual uint32_t LineBaud() const = 0;
    virtual bool IsOpen() const = 0;
    // The port was opened with the line at this rate (0: the line's own) as it stands now.
    virtual bool OpenWith(uint32_t baud) const = 0;
    // baud 0: the line's own rate.
    virtual bool OpenPort(const QString& name, uint32_t baud) = 0;
    virtual bool OpenConfiguredPort() = 0;
    virtual void ClosePort() = 0;
    // Closes the port and lets go of its name, so that no retry of a write reopens it.
    virtual void ForgetPort() = 0;
    // reportEmpty: the hub hears once the block has left the port.
    virtual bool WriteChunk(const QByteArray& block, bool reportEmpty) = 0;
    // Every block the port reads goes to this queue.
    virtual void ReceiveInto(TsvProt* queue) = 0;
    virtual void ResetInput() = 0;
    // While paused, received bytes stay in the port, so a device that is held back loses nothing.
    virtual void PauseReceive() = 0;
    virtual void ResumeReceive() = 0;
    virtual bool IsReceivePaused() const = 0;
};
