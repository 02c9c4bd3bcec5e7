#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// One direction of a line at a rate in baud, 8N1 (ten bits a byte): a running schedule of the bytes
// the wire has carried since the transfer began, so that a late wake-up is made up at the next
// step instead of adding up. 0 baud paces nothing.
class TWirePace {
public:
    using TClock = std::chrono::steady_clock;
    TWirePace(uint32_t baud, TClock::time_point start) : Baud(baud), Start(start) {}
    bool Paced() const { return Baud != 0; }
    // How many bytes beyond those taken the wire has carried by then.
    qint64 Allowed(TClock::time_point now) const;
    // When the wire will have carried this many bytes beyond those taken.
    TClock::time_point Due(qint64 more) const;
    void Take(qint64 bytes) { Taken += bytes; }
    // The wire carried nothing until now (its far side had nothing to give or took nothing): the
    // schedule begins again, with no credit for the time it stood.
    void Restart(TClock::time_point now);
    // The bytes of about a millisecond of the wire, at least one: the step the device paces by.
    qint64 Step() const;

private:
    uint32_t Baud;
    TClock::time_point Start;
    qint64 Taken = 0;
};

// The rate the program under test set on the slave side, read on the master side; 0 when unknown.
uint32_t LineRate(int master);

// A simulated HTTP device on a pseudo-terminal: the program under test opens the slave side,
// the device answers on the master side from its own thread.
class TSimDevice {
public:
    enum class TMode {
        Device,    // serves its pages
        Silent,    // reads everything and never answers
        Garbage,   // answers every request with bytes that are not HTTP
        NotFound,  // answers every request with 404
    };

    struct TOptions {
        TMode Mode = TMode::Device;
        QString Link;                                 // a symbolic link made to the slave, if given
        std::chrono::milliseconds Late{0};            // wait before each answer
        int Pieces = 1;                               // send each answer in this many pieces...
        std::chrono::milliseconds PiecePause{0};      // ...with this pause between them
        bool Paced = false;                           // its output at the wire speed of 115200 baud 8N1
        uint32_t Baud = 0;                            // both directions at this rate 8N1 (0: Paced decides)
        uint32_t AnswerBaud = 0;                      // serves only while the line is at this rate
        bool LogRequests = false;                     // a line on standard error for each request
        std::chrono::milliseconds ProbeLate{0};       // wait before answering /id.txt
        std::chrono::milliseconds QuietLimit{3000};   // a request that stops coming this long is answered 408
    };

    explicit TSimDevice(TOptions options);
    ~TSimDevice();
    TSimDevice(const TSimDevice&) = delete;
    TSimDevice& operator=(const TSimDevice&) = delete;

    QString SlavePath() const;
    // The device goes away (its side of the line closes) in the middle of its next answer,
    // stays away for the time, then comes back on a new line, to which the link is moved.
    void VanishDuringNextAnswer(std::chrono::milliseconds away);
    // Goes away as soon as it is idle and comes back after the time.
    void Vanish(std::chrono::milliseconds away);
    QByteArray LastUpload() const;
    // The request line of every request served, in order.
    QList<QByteArray> Requests() const;
    // The line's rate at each request, in order; at a rate other than AnswerBaud a burst of input
    // counts as one request.
    QList<uint32_t> SeenRates() const;
    // How many requests stopped coming and were answered 408.
    int CutRequests() const;
    // Also serves the pages directly on 127.0.0.1:port, a thread a connection, until the process ends.
    void ServeOverTcp(int port);
    // The whole answer to a request, as the device would write it (without its pauses).
    QByteArray AnswerTo(const QByteArray& head, const QByteArray& body);

    // What the device serves.
    static QByteArray IdText();
    static QByteArray IndexPage();
    static QByteArray Image(int number);
    static QByteArray AllByteValues();
    static QByteArray Pattern(int size);
    // A whole answer as the device sends it, and its answer to GET /bin/pattern?size=N.
    static QByteArray Answer(const QByteArray& status, const QByteArray& type, const QByteArray& body);
    static QByteArray PatternAnswer(int size);
    // What the device writes for GET /frame/NAME[?ms=PAUSE] (pause 300 ms unless given), each piece
    // after its pause: pause, chunked, longer and shorter (than their Content-Length), nolength,
    // 204, 304 and continue (100 Continue before the final answer).
    using TPiece = std::pair<std::chrono::milliseconds, QByteArray>;
    static std::vector<TPiece> FramingCase(const QByteArray& target);

    static constexpr int WireBytesPerSecond = 11520;

private:
    void Open();
    void CloseMaster();
    void Run();
    void Serve(const QByteArray& request, const QByteArray& body);
    void AnswerWrongRate(uint32_t rate, qsizetype bytes);
    void Seen(uint32_t rate, const QByteArray& what);
    uint32_t OutputBaud() const;
    QByteArray AnswerFor(const QByteArray& method, const QByteArray& target, const QByteArray& body);
    void Send(const QByteArray& answer);
    bool WriteAll(const char* data, qsizetype size);
    void ComeBack();

    TOptions Options;
    int Master = -1;
    QString Slave;
    mutable std::mutex Mutex;
    QByteArray Upload;
    QList<QByteArray> Served;
    QList<uint32_t> Rates;
    int Cut = 0;
    std::atomic<bool> Stopping{false};
    std::atomic<bool> VanishMidAnswer{false};
    std::atomic<bool> VanishNow{false};
    std::atomic<long long> AwayMs{0};
    std::thread Thread;
};

// Opens a pseudo-terminal whose master side is raw, non-blocking and close-on-exec (programs
// started later must not hold it open: closing it is how a device vanishes); returns the slave's
// path, which nobody holds open yet.
QString OpenDeviceSide(int& master);

// Points the symbolic link at the target in one step: a program that reads it meanwhile finds the
// old target or the new one, never no link, which for a port-map entry means a real port.
bool PointLink(const QString& link, const QString& target);

// "name: value" of a header in a request head, empty when missing.
QByteArray HeaderValue(const QByteArray& head, const QByteArray& name);
