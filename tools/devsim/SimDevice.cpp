#include "SimDevice.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <limits>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

QByteArray TSimDevice::Answer(const QByteArray& status, const QByteArray& type, const QByteArray& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray TSimDevice::PatternAnswer(int size) { return Answer("200 OK", "application/octet-stream", Pattern(size)); }

qint64 TWirePace::Allowed(TClock::time_point now) const {
    if (!Paced())
        return std::numeric_limits<qint64>::max();
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - Start).count();
    if (elapsed <= 0)
        return -Taken;
    const auto carried = static_cast<__int128>(elapsed) * Baud / 10 / 1000000000;
    return static_cast<qint64>(carried - Taken);
}

TWirePace::TClock::time_point TWirePace::Due(qint64 more) const {
    if (!Paced())
        return Start;
    const auto bytes = static_cast<__int128>(Taken + more);
    // Rounded up: at that moment the wire has carried them all.
    const auto nanoseconds = (bytes * 10 * 1000000000 + Baud - 1) / Baud;
    return Start + std::chrono::nanoseconds(static_cast<long long>(nanoseconds));
}

void TWirePace::Restart(TClock::time_point now) {
    Start = now;
    Taken = 0;
}

qint64 TWirePace::Step() const { return std::max<qint64>(1, Baud / 10 / 1000); }

namespace {
QByteArray Garbage() { return QByteArray(150, '\x07').replace(40, 1, QByteArray(1, '\0')) + "no http here"; }

uint32_t Fnv1a(const QByteArray& bytes) {
    uint32_t hash = 2166136261u;
    for (char c : bytes)
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    return hash;
}
} // namespace

bool PointLink(const QString& link, const QString& target) {
    const QFileInfo info(link);
    const QString staged = info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".") +
                           QString::number(::getpid()) + QStringLiteral(".new");
    QFile::remove(staged);
    if (!QFile::link(target, staged))
        return false;
    if (::rename(QFile::encodeName(staged).constData(), QFile::encodeName(link).constData()) == 0)
        return true;
    QFile::remove(staged);
    return false;
}

QString OpenDeviceSide(int& master) {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    ::tcgetattr(master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::close(slave);
    return QString::fromLocal8Bit(name);
}

QByteArray HeaderValue(const QByteArray& head, const QByteArray& name) {
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

TSimDevice::TSimDevice(TOptions options) : Options(std::move(options)) {
    Open();
    Thread = std::thread(&TSimDevice::Run, this);
}

TSimDevice::~TSimDevice() {
    Stopping = true;
    Thread.join();
    CloseMaster();
    // Gone as an unplugged adapter is: the link leads nowhere, so a program still running writes
    // to no other port in its place.
    if (!Options.Link.isEmpty())
        PointLink(Options.Link, QStringLiteral("/nonexistent/quellor-devsim/") + QFileInfo(Options.Link).fileName());
}

void TSimDevice::Open() {
    const QString slave = OpenDeviceSide(Master);
    std::lock_guard lock(Mutex);
    Slave = slave;
    if (!Options.Link.isEmpty())
        PointLink(Options.Link, Slave);
}

void TSimDevice::CloseMaster() {
    if (Master >= 0)
        ::close(Master);
    Master = -1;
}

QString TSimDevice::SlavePath() const {
    std::lock_guard lock(Mutex);
    return Slave;
}

QByteArray TSimDevice::LastUpload() const {
    std::lock_guard lock(Mutex);
    return Upload;
}

QList<QByteArray> TSimDevice::Requests() const {
    std::lock_guard lock(Mutex);
    return Served;
}

QList<uint32_t> TSimDevice::SeenRates() const {
    std::lock_guard lock(Mutex);
    return Rates;
}

int TSimDevice::CutRequests() const {
    std::lock_guard lock(Mutex);
    return Cut;
}

void TSimDevice::VanishDuringNextAnswer(std::chrono::milliseconds away) {
    AwayMs = away.count();
    VanishMidAnswer = true;
}

void TSimDevice::Vanish(std::chrono::milliseconds away) {
    AwayMs = away.count();
    VanishNow = true;
}

void TSimDevice::ComeBack() {
    CloseMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(AwayMs.load()));
    Open();
}

QByteArray TSimDevice::IdText() { return "id=quellor-devsim\r\nmodel=Simulated HTTP device\r\nfirmware=1.0\r\n"; }

QByteArray TSimDevice::IndexPage() {
    QByteArray page = "<!DOCTYPE html>\n<html><head><title>Simulated device</title></head><body>\n"
                      "<h1>Simulated device</h1>\n<p>Served over the serial line.</p>\n";
    for (int i = 1; i <= 4; ++i)
        page += "<img src=\"/img/" + QByteArray::number(i) + ".bmp\" alt=\"picture " + QByteArray::number(i) + "\">\n";
    page += "<form method=\"post\" action=\"/upload\" enctype=\"text/plain\"><textarea name=\"t\"></textarea>"
            "<input type=\"submit\" value=\"Upload\"></form>\n<p><a href=\"/id.txt\">id.txt</a></p>\n</body></html>\n";
    return page;
}

// A small bitmap picture: a square of one colour per number.
QByteArray TSimDevice::Image(int number) {
    constexpr int side = 16;
    const int rowBytes = side * 3;
    const int pixels = rowBytes * side;
    QByteArray image;
    const auto put32 = [&image](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            image += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    image += "BM";
    put32(54 + pixels);
    put32(0);
    put32(54);
    put32(40);
    put32(side);
    put32(side);
    image += QByteArray("\x01\x00\x18\x00", 4);
    put32(0);
    put32(pixels);
    put32(2835);
    put32(2835);
    put32(0);
    put32(0);
    for (int i = 0; i < side * side; ++i)
        image += QByteArray::fromRawData("\x30\x60\xC0\x20\xA0\x40\xC0\x40\x20\x80\x80\x80", 12).mid(((number - 1) % 4) * 3, 3);
    return image;
}

QByteArray TSimDevice::AllByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

QByteArray TSimDevice::Pattern(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
    return bytes;
}

QByteArray TSimDevice::AnswerFor(const QByteArray& method, const QByteArray& target, const QByteArray& body) {
    switch (Options.Mode) {
    case TMode::Garbage: return Garbage();
    case TMode::NotFound: return Answer("404 Not Found", "text/plain", "not here\r\n");
    default: break;
    }
    const QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    if (method == "POST" && path == "/upload") {
        {
            std::lock_guard lock(Mutex);
            Upload = body;
        }
        return Answer("200 OK", "text/plain",
                      "received " + QByteArray::number(body.size()) + " bytes, fnv1a " + QByteArray::number(Fnv1a(body), 16) + "\r\n");
    }
    if (path == "/id.txt")
        return Answer("200 OK", "text/plain", IdText());
    if (path == "/" || path == "/index.html")
        return Answer("200 OK", "text/html", IndexPage());
    if (path.startsWith("/img/") && path.endsWith(".bmp"))
        return Answer("200 OK", "image/bmp", Image(path.mid(5, path.size() - 9).toInt()));
    if (path == "/bin/all256")
        return Answer("200 OK", "application/octet-stream", AllByteValues());
    if (path == "/bin/pattern") {
        const qsizetype at = target.indexOf("size=");
        const int size = at < 0 ? 0 : target.mid(at + 5).split('&').first().toInt();
        return PatternAnswer(size > 0 ? size : 1000000);
    }
    return Answer("404 Not Found", "text/plain", "not here\r\n");
}

uint32_t TSimDevice::OutputBaud() const { return Options.Baud != 0 ? Options.Baud : Options.Paced ? WireBytesPerSecond * 10 : 0; }

void TSimDevice::Run() {
    using TClock = TWirePace::TClock;
    QByteArray buffer;
    auto lastByte = TClock::now();
    // Input is taken no faster than the wire brings it; while nothing comes, the wire stands.
    TWirePace incoming(Options.Baud, lastByte);
    bool flowing = false;
    while (!Stopping) {
        if (VanishNow.exchange(false)) {
            buffer.clear();
            flowing = false;
            ComeBack();
        }
        char chunk[65536];
        qint64 room = sizeof chunk;
        const bool pacedRead = flowing;
        if (flowing) {
            int waiting = 0;
            ::ioctl(Master, FIONREAD, &waiting);
            std::this_thread::sleep_until(incoming.Due(std::clamp<qint64>(waiting, 1, incoming.Step())));
            room = std::clamp<qint64>(incoming.Allowed(TClock::now()), 0, room);
        } else {
            pollfd entry{Master, POLLIN, 0};
            ::poll(&entry, 1, 20);
            if (incoming.Paced()) {
                // What arrived is read once the wire has carried it, not now.
                room = 0;
                if ((entry.revents & POLLIN) != 0) {
                    incoming.Restart(TClock::now());
                    flowing = true;
                }
            }
        }
        const ssize_t n = Master >= 0 && room > 0 ? ::read(Master, chunk, static_cast<size_t>(room)) : -1;
        if (pacedRead && room > 0) {
            incoming.Take(std::max<ssize_t>(n, 0));
            flowing = n == room;
        }
        const auto now = TClock::now();
        if (n > 0) {
            buffer.append(chunk, n);
            lastByte = now;
        }
        if (Options.AnswerBaud != 0 && !buffer.isEmpty()) {
            // At another rate a real device hears noise: no request, but an answer to each burst of it.
            if (const uint32_t rate = LineRate(Master); rate != Options.AnswerBaud) {
                if (n <= 0 && now - lastByte >= std::chrono::milliseconds(20)) {
                    AnswerWrongRate(rate, buffer.size());
                    buffer.clear();
                }
                continue;
            }
        }
        if (n <= 0 && !buffer.isEmpty() && now - lastByte > Options.QuietLimit) {
            // Like a real device, it gives up on a request that stopped coming.
            buffer.clear();
            {
                std::lock_guard lock(Mutex);
                ++Cut;
            }
            Send(Answer("408 Request Timeout", "text/plain", "request incomplete\r\n"));
        }
        for (;;) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                break;
            const QByteArray head = buffer.left(end + 4);
            // A chunked body is taken as it came, up to its last chunk.
            qsizetype length = HeaderValue(head, "Content-Length").toLongLong();
            if (HeaderValue(head, "Transfer-Encoding").contains("chunked")) {
                const qsizetype last = buffer.indexOf("\r\n0\r\n\r\n", end + 2);
                if (last < 0)
                    break;
                length = last + 7 - (end + 4);
            }
            if (buffer.size() < end + 4 + length)
                break;
            const QByteArray body = buffer.mid(end + 4, length);
            buffer.remove(0, end + 4 + length);
            Serve(head, body);
        }
    }
}

void TSimDevice::Serve(const QByteArray& head, const QByteArray& body) {
    if (Options.Mode == TMode::Silent)
        return;
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    {
        std::lock_guard lock(Mutex);
        Served << head.left(head.indexOf("\r\n"));
    }
    Seen(LineRate(Master), head.left(head.indexOf("\r\n")));
    // Like a device that lost one request: it goes on with the next.
    if (target.contains("ignore=1"))
        return;
    if (Options.Late.count() > 0)
        std::this_thread::sleep_for(Options.Late);
    if (Options.ProbeLate.count() > 0 && target == "/id.txt")
        std::this_thread::sleep_for(Options.ProbeLate);
    if (const qsizetype late = target.indexOf("late="); late >= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(target.mid(late + 5).split('&').first().toInt()));
    if (Options.Mode == TMode::Device && target.startsWith("/frame/")) {
        for (const auto& [pause, bytes] : FramingCase(target)) {
            std::this_thread::sleep_for(pause);
            WriteAll(bytes.constData(), bytes.size());
        }
        return;
    }
    const QByteArray answer = AnswerFor(method, target, body);
    Send(method == "HEAD" ? answer.left(answer.indexOf("\r\n\r\n") + 4) : answer);
}

void TSimDevice::Seen(uint32_t rate, const QByteArray& what) {
    {
        std::lock_guard lock(Mutex);
        Rates << rate;
    }
    if (Options.LogRequests)
        std::fprintf(stderr, "quellor-devsim: %s: %s at %u baud\n", qPrintable(SlavePath()), what.constData(), rate);
}

void TSimDevice::AnswerWrongRate(uint32_t rate, qsizetype bytes) {
    Seen(rate, QByteArray::number(bytes) + " bytes not heard as a request (it answers at " +
                   QByteArray::number(Options.AnswerBaud) + " baud)");
    Send(Garbage());
}

QByteArray TSimDevice::AnswerTo(const QByteArray& head, const QByteArray& body) {
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    QByteArray answer;
    if (Options.Mode == TMode::Device && target.startsWith("/frame/")) {
        for (const auto& piece : FramingCase(target))
            answer += piece.second;
        return answer;
    }
    answer = AnswerFor(method, target, body);
    return method == "HEAD" ? answer.left(answer.indexOf("\r\n\r\n") + 4) : answer;
}

// Answers whose heads frame them in every way, some with pauses longer than any send delay.
std::vector<TSimDevice::TPiece> TSimDevice::FramingCase(const QByteArray& target) {
    using std::chrono::milliseconds;
    const qsizetype at = target.indexOf("ms=");
    const milliseconds pause(at < 0 ? 300 : target.mid(at + 3).toInt());
    const QByteArray body = Pattern(2000);
    const QByteArray name = target.mid(7, target.indexOf('?') < 0 ? -1 : target.indexOf('?') - 7);
    const QByteArray lengthHead = "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n";
    if (name == "pause")
        return {{milliseconds(0), lengthHead + body.left(700)}, {pause, body.mid(700)}};
    if (name == "chunked")
        return {{milliseconds(0), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" + body.left(1000)},
                {pause, body.mid(1000, 1000) + "\r\n10\r\n"},
                {pause, body.left(16) + "\r\n0\r\n\r\n"}};
    if (name == "longer")
        return {{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 4000\r\n\r\n" + body}};
    if (name == "shorter")
        return {{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + body}};
    if (name == "nolength")
        return {{milliseconds(0), "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body}};
    if (name == "204")
        return {{milliseconds(0), "HTTP/1.1 204 No Content\r\n\r\n"}};
    if (name == "304")
        return {{milliseconds(0), "HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n"}};
    if (name == "continue")
        return {{milliseconds(0), "HTTP/1.1 100 Continue\r\n\r\n"}, {pause, lengthHead + body}};
    return {{milliseconds(0), Answer("404 Not Found", "text/plain", "not here\r\n")}};
}

void TSimDevice::Send(const QByteArray& answer) {
    if (VanishMidAnswer.exchange(false)) {
        WriteAll(answer.constData(), answer.size() / 2);
        ComeBack();
        return;
    }
    const int pieces = std::max(1, Options.Pieces);
    const qsizetype pieceSize = std::max<qsizetype>(1, (answer.size() + pieces - 1) / pieces);
    for (qsizetype at = 0; at < answer.size(); at += pieceSize) {
        if (at > 0 && Options.PiecePause.count() > 0)
            std::this_thread::sleep_for(Options.PiecePause);
        if (!WriteAll(answer.constData() + at, std::min(pieceSize, answer.size() - at)))
            return;
    }
}

// Writes the bytes, at the wire speed when paced; false when the device is being stopped.
bool TSimDevice::WriteAll(const char* data, qsizetype size) {
    TWirePace outgoing(OutputBaud(), TWirePace::TClock::now());
    qsizetype done = 0;
    while (done < size) {
        if (Stopping || Master < 0)
            return false;
        qint64 step = size - done;
        if (outgoing.Paced()) {
            std::this_thread::sleep_until(outgoing.Due(std::min(step, outgoing.Step())));
            step = std::min(step, outgoing.Allowed(TWirePace::TClock::now()));
        }
        const ssize_t n = ::write(Master, data + done, static_cast<size_t>(step));
        if (n > 0) {
            done += n;
            outgoing.Take(n);
            continue;
        }
        pollfd entry{Master, POLLOUT, 0};
        ::poll(&entry, 1, 20);
        // The reader took nothing meanwhile: a wire would have lost those bytes, not sent them later at once.
        outgoing.Restart(TWirePace::TClock::now());
    }
    return true;
}

namespace {
void ServeConnection(TSimDevice& device, int fd) {
    QByteArray got;
    char buffer[65536];
    for (;;) {
        const qsizetype end = got.indexOf("\r\n\r\n");
        const qsizetype length = end < 0 ? 0 : HeaderValue(got.left(end), "Content-Length").toLongLong();
        if (end >= 0 && got.size() >= end + 4 + length) {
            const QByteArray answer = device.AnswerTo(got.left(end + 4), got.mid(end + 4, length));
            for (qsizetype done = 0; done < answer.size();) {
                const ssize_t n = ::send(fd, answer.constData() + done, static_cast<size_t>(answer.size() - done), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += n;
            }
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        got.append(buffer, n);
    }
    ::shutdown(fd, SHUT_WR);
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
}
} // namespace

void TSimDevice::ServeOverTcp(int port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        std::perror("quellor-devsim: --tcp");
        return;
    }
    std::thread([this, listener] {
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0)
                std::thread(ServeConnection, std::ref(*this), fd).detach();
        }
    }).detach();
}
