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

int ConnectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

bool Resets(TAct act) { return act == TAct::ResetBefore || act == TAct::ResetDuring || act == TAct::ResetAfter; }

void Finish(TFaultClient& client) {
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
    default: return false;
    }
}

void SendRequest(TFaultClient& client) {
    QByteArray request = client.Act == TAct::Silent ? QByteArray() : RequestFor(client);
    if (client.Act == TAct::Half)
        request.truncate(request.size() / 2);
    if (!request.isEmpty())
        ::send(client.Fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL);
    client.Sent = true;
    client.SentAt = TClock::now();
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
    if (client.Sent && (revents & (POLLIN | POLLERR | POLLHUP)) && !ReadSome(client)) {
        Finish(client);
        return;
    }
    if (client.Sent && GoesAwayNow(client, now))
        Finish(client);
}
} // namespace

QByteArray RequestFor(const TFaultClient& client) {
    return "GET /bin/pattern?size=" + QByteArray::number(client.Size) + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
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
                client.Fd = ConnectTo(port);
            if (client.Fd < 0)
                continue;
            entries.push_back({client.Fd, static_cast<short>(client.Sent ? POLLIN : POLLOUT), 0});
            owners.push_back(&client);
        }
        if (std::all_of(Clients.begin(), Clients.end(), [](const TFaultClient& c) { return c.Finished; }))
            return;
        ::poll(entries.data(), entries.size(), 5);
        for (size_t i = 0; i < entries.size(); ++i)
            Step(*owners[i], entries[i].revents, TClock::now());
    }
}
