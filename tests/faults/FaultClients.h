#pragma once
#include <QByteArray>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

// What one client of a fault wave does with its connection.
enum class TAct {
    Normal,       // sends its request and reads until the server closes
    Silent,       // connects, sends nothing, goes away after a while
    Half,         // sends the first half of its request and waits for whatever comes
    CloseBefore,  // sends its request and closes before the answer
    ResetBefore,  // the same with a reset
    CloseDuring,  // closes after the first bytes of its answer
    ResetDuring,
    CloseAfter,   // closes as soon as the whole answer is in, before the server's close
    ResetAfter,
    HalfClose,    // sends its request, ends its sending side and reads until the server closes
    NoReader,     // sends its request, reads nothing, sends one more byte after Hold, leaves after Stay
    Trickle,      // posts a body of Size bytes, a byte every half second
    Paced,        // posts a body of Size bytes at the wire rate of 11520 bytes a second
    Upload,       // posts a body of Size bytes at once
    Pour,         // declares a body of DeclaredBody bytes and pours it as fast as it goes, leaves after Stay
    Pause,        // posts a body of Size bytes: half at once, the rest after Hold
    Abandon,      // posts a body of Size bytes: sends half of it and leaves after Hold
};

struct TFaultClient {
    TAct Act = TAct::Normal;
    int Size = 0;  // of the pattern it asks for
    std::chrono::milliseconds StartAt{0};
    std::chrono::microseconds Hold{0};  // Silent and Before: how long it stays before going away
    std::chrono::milliseconds Stay{0};  // NoReader: when it goes away
    int LateMs = 0;                     // how long the device waits before it answers
    bool Ignored = false;               // the device never answers its request
    bool Chunked = false;               // posts its body in chunks of 500 bytes
    qint64 DeclaredBody = 0;            // Trickle and Paced: the Content-Length its head declares
    qsizetype FirstPart = 0;            // Pause: the bytes of its body it sends at once; 0: half
    QByteArray Got;
    bool TimedOut = false;
    std::chrono::milliseconds Took{0};  // from its request to the end of its connection

    // Runtime state of the driver.
    int Fd = -1;
    bool Sent = false;
    bool Finished = false;
    std::chrono::steady_clock::time_point SentAt;
    QByteArray Rest;  // of its request, still to send
    bool ExtraSent = false;
    std::chrono::steady_clock::time_point NextPieceAt;
};

// Clients asking for patterns of distinct sizes, so that each answer can be told from all others.
class TWave {
public:
    explicit TWave(uint32_t seed) : Random(seed) {}
    // Adds clients of one kind; they start at random times within the spread.
    void Add(TAct act, int count, std::chrono::milliseconds spread, int minSize = 500, int maxSize = 40000);
    // Connects every client to 127.0.0.1:port at its time and runs them all until each is done.
    // Adds clients one after another, each alone on the line, that go away ever later after their
    // request: some of them at the very moment their answer is handed over.
    void AddSweep(TAct act, int count, std::chrono::milliseconds interval, std::chrono::microseconds holdFrom,
                  std::chrono::microseconds holdStep);
    // Adds one client of a kind at a set time, and returns it to be shaped further.
    TFaultClient& AddOne(TAct act, std::chrono::milliseconds at, int size);
    void Run(uint16_t port, std::chrono::seconds limit);

    std::vector<TFaultClient> Clients;

private:
    int DistinctSize(int minSize, int maxSize);
    std::mt19937 Random;
    std::vector<int> UsedSizes;
};

// The request for a client's pattern.
QByteArray RequestFor(const TFaultClient& client);
// A body as it goes in chunks of 500 bytes, with its last chunk.
QByteArray InChunks(const QByteArray& body);
