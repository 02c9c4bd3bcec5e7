#include "faults/FaultClients.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SimDevice.h"

namespace {
using TClock = std::chrono::steady_clock;
constexpr qsizetype SimWireBytesPerTenth = TSimDevice::WireBytesPerSecond / 10;

// A client that reads nothing gets a small receive buffer, so that the system cannot take its
// whole answer off the server's hands.
int ConnectTo(uint16_t port, TAct act) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (act == TAct::NoReader) {
        const int buffer = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

bool Resets(TAct act) { return act == TAct::ResetBefore || act == TAct::ResetDuring || act == TAct::ResetAfter; }

void Finish(TFaultClient& client) {
    client.Took = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - client.SentAt);
    if (Resets(client.Act)) {
        linger reset{1, 0};
        ::setsockopt(client.Fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ::close(client.Fd);
    client.Fd = -1;
    client.Finished = true;
}

// True once the bytes hold a whole answer to the client's request.
bool AnswerComplete(const TFaultClient& client) {
    return client.Got.size() >= TSimDevice::PatternAnswer(client.Size).size();
}

bool GoesAwayNow(const TFaultClient& client, TClock::time_point now) {
    switch (client.Act) {
    case TAct::Silent:
    case TAct::CloseBefore:
    case TAct::ResetBefore: return now - client.SentAt >= client.Hold;
    case TAct::CloseDuring:
    case TAct::ResetDuring: return !client.Got.isEmpty();
    case TAct::CloseAfter:
    case TAct::ResetAfter: return AnswerComplete(client);
    case TAct::NoReader:
    case TAct::Pour: return now - client.SentAt >= client.Stay;
    case TAct::Abandon: return now - client.SentAt >= client.Hold;
    default: return false;
    }
}

bool Posts(TAct act) {
    return act == TAct::Trickle || act == TAct::Paced || act == TAct::Upload || act == TAct::Pause || act == TAct::Abandon;
}

void SendBytes(TFaultClient& client, const QByteArray& bytes) {
    if (!bytes.isEmpty())
        ::send(client.Fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
}

void SendRequest(TFaultClient& client) {
    QByteArray request = client.Act == TAct::Silent ? QByteArray() : RequestFor(client);
    if (client.Act == TAct::Half)
        request.truncate(request.size() / 2);
    if (Posts(client.Act)) {
        client.Rest = request.mid(request.indexOf("\r\n\r\n") + 4);
        request.chop(client.Rest.size());
    }
    if (client.Act == TAct::Pause || client.Act == TAct::Abandon) {
        const qsizetype first = client.FirstPart > 0 ? client.FirstPart : client.Rest.size() / 2;
        request += client.Rest.left(first);
        client.Rest.remove(0, first);
        if (client.Act == TAct::Abandon)
            client.Rest.clear();
    }
    SendBytes(client, request);
    if (client.Act == TAct::HalfClose)
        ::shutdown(client.Fd, SHUT_WR);
    client.Sent = true;
    client.SentAt = TClock::now();
    client.NextPieceAt = client.SentAt;
}

// Sends what the socket takes of a body poured without end.
void Pour(TFaultClient& client) {
    static const QByteArray flood(1 << 16, 'p');
    while (::send(client.Fd, flood.constData(), static_cast<size_t>(flood.size()), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
    }
}

// Sends what the socket takes of the rest of a body.
void SendUpload(TFaultClient& client) {
    const ssize_t n = ::send(client.Fd, client.Rest.constData(), static_cast<size_t>(client.Rest.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    client.Rest.remove(0, std::max<ssize_t>(n, 0));
}

// A trickle sends a byte every half second; a paced post 1152 bytes every tenth of a second.
void SendPiece(TFaultClient& client, TClock::time_point now) {
    if (client.Act == TAct::Upload) {
        SendUpload(client);
        return;
    }
    if (client.Rest.isEmpty() || now < client.NextPieceAt)
        return;
    if (client.Act == TAct::Pause) {
        if (now - client.SentAt >= client.Hold)
            SendUpload(client);
        return;
    }
    const bool trickle = client.Act == TAct::Trickle;
    const qsizetype piece = trickle ? 1 : SimWireBytesPerTenth;
    SendBytes(client, client.Rest.left(piece));
    client.Rest.remove(0, piece);
    client.NextPieceAt += trickle ? std::chrono::milliseconds(500) : std::chrono::milliseconds(100);
}

void SendExtraByte(TFaultClient& client, TClock::time_point now) {
    if (client.Act == TAct::NoReader && !client.ExtraSent && now - client.SentAt >= client.Hold) {
        SendBytes(client, "!");
        client.ExtraSent = true;
    }
}

// Reads what waits; false once the server closed or the connection failed.
bool ReadSome(TFaultClient& client) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(client.Fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            client.Got.append(buffer, n);
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

void Step(TFaultClient& client, short revents, TClock::time_point now) {
    if (!client.Sent && (revents & (POLLOUT | POLLERR | POLLHUP)))
        SendRequest(client);
    if (client.Sent && (revents & (POLLIN | POLLERR | POLLHUP)) &&
        (client.Act == TAct::NoReader ? (revents & (POLLERR | POLLHUP)) != 0 : !ReadSome(client))) {
        Finish(client);
        return;
    }
    if (client.Sent && Posts(client.Act))
        SendPiece(client, now);
    if (client.Sent && client.Act == TAct::Pour)
        Pour(client);
    if (client.Sent)
        SendExtraByte(client, now);
    if (client.Sent && GoesAwayNow(client, now))
        Finish(client);
}
} // namespace

QByteArray RequestFor(const TFaultClient& client) {
    const QByteArray post = client.Ignored ? "POST /upload?ignore=1 HTTP/1.1\r\nHost: localhost\r\n" : "POST /upload HTTP/1.1\r\nHost: localhost\r\n";
    if (client.Act == TAct::Pour)
        return post + "Content-Length: " + QByteArray::number(client.DeclaredBody) + "\r\n\r\n";
    if (Posts(client.Act) && client.Chunked)
        return post + "Transfer-Encoding: chunked\r\n\r\n" + InChunks(TSimDevice::Pattern(client.Size));
    if (Posts(client.Act))
        return post + "Content-Length: " +
               QByteArray::number(client.DeclaredBody ? client.DeclaredBody : client.Size) + "\r\n\r\n" +
               TSimDevice::Pattern(client.Size);
    QByteArray late = client.LateMs > 0 ? "&late=" + QByteArray::number(client.LateMs) : QByteArray();
    if (client.Ignored)
        late += "&ignore=1";
    return "GET /bin/pattern?size=" + QByteArray::number(client.Size) + late + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

QByteArray InChunks(const QByteArray& body) {
    QByteArray chunked;
    for (qsizetype at = 0; at < body.size(); at += 500) {
        const QByteArray piece = body.mid(at, 500);
        chunked += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return chunked + "0\r\n\r\n";
}

int TWave::DistinctSize(int minSize, int maxSize) {
    std::uniform_int_distribution<int> pick(minSize, maxSize);
    int size = pick(Random);
    while (std::find(UsedSizes.begin(), UsedSizes.end(), size) != UsedSizes.end())
        size = pick(Random);
    UsedSizes.push_back(size);
    return size;
}

void TWave::Add(TAct act, int count, std::chrono::milliseconds spread, int minSize, int maxSize) {
    std::uniform_int_distribution<int> start(0, static_cast<int>(spread.count()));
    std::uniform_int_distribution<int> hold(0, 3000);
    for (int i = 0; i < count; ++i) {
        TFaultClient client;
        client.Act = act;
        client.Size = DistinctSize(minSize, maxSize);
        client.StartAt = std::chrono::milliseconds(start(Random));
        client.Hold = std::chrono::milliseconds(act == TAct::Silent ? hold(Random) : hold(Random) / 30);
        Clients.push_back(client);
    }
}

void TWave::AddSweep(TAct act, int count, std::chrono::milliseconds interval, std::chrono::microseconds holdFrom,
                     std::chrono::microseconds holdStep) {
    for (int i = 0; i < count; ++i) {
        TFaultClient client;
        client.Act = act;
        client.Size = DistinctSize(100, 2000);
        client.StartAt = interval * i;
        client.Hold = holdFrom + holdStep * i;
        Clients.push_back(client);
    }
}

TFaultClient& TWave::AddOne(TAct act, std::chrono::milliseconds at, int size) {
    TFaultClient client;
    client.Act = act;
    client.Size = size;
    client.StartAt = at;
    UsedSizes.push_back(size);
    Clients.push_back(client);
    return Clients.back();
}

void TWave::Run(uint16_t port, std::chrono::seconds limit) {
    const TClock::time_point begin = TClock::now();
    for (;;) {
        const TClock::time_point now = TClock::now();
        std::vector<pollfd> entries;
        std::vector<TFaultClient*> owners;
        for (TFaultClient& client : Clients) {
            if (client.Finished)
                continue;
            if (now - begin > limit) {
                client.TimedOut = true;
                if (client.Fd >= 0)
                    Finish(client);
                client.Finished = true;
                continue;
            }
            if (client.Fd < 0 && now - begin >= client.StartAt)
                client.Fd = ConnectTo(port, client.Act);
            if (client.Fd < 0)
                continue;
            const short events = !client.Sent ? POLLOUT : client.Act == TAct::NoReader ? 0 : POLLIN;
            entries.push_back({client.Fd, events, 0});
            owners.push_back(&client);
        }
        if (std::all_of(Clients.begin(), Clients.end(), [](const TFaultClient& c) { return c.Finished; }))
            return;
        ::poll(entries.data(), entries.size(), 5);
        for (size_t i = 0; i < entries.size(); ++i)
            Step(*owners[i], entries[i].revents, TClock::now());
    }
}
