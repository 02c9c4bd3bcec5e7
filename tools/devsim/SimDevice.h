#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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
        bool Paced = false;                           // at the wire speed of 115200 baud 8N1
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
