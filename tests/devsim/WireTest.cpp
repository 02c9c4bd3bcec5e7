// The simulated device as a wire at a rate: its schedule, the line rate it reads on the master
// side, and a device that answers only at one rate.
#include <QFile>
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SimDevice.h"

namespace {
using namespace std::chrono_literals;
using TClock = TWirePace::TClock;

const TClock::time_point T0 = TClock::time_point() + 1000s;

// The program's side of the line: the slave, opened as a serial port is, at the rate given.
class TSlave {
public:
    explicit TSlave(const QString& path)
        : Fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~TSlave() { ::close(Fd); }
    TSlave(const TSlave&) = delete;
    TSlave& operator=(const TSlave&) = delete;

    bool SetRate(tcflag_t constant, uint32_t baud) const {
        termios2 attr{};
        if (::ioctl(Fd, TCGETS2, &attr) != 0)
            return false;
        attr.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
        attr.c_cflag |= constant;
        attr.c_ispeed = baud;
        attr.c_ospeed = baud;
        return ::ioctl(Fd, TCSETS2, &attr) == 0;
    }
    void Write(const QByteArray& bytes) const {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(Fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n > 0) {
                done += n;
                continue;
            }
            pollfd entry{Fd, POLLOUT, 0};
            ::poll(&entry, 1, 100);
        }
    }
    // What arrives until there are `size` bytes, or nothing came for the time.
    QByteArray Read(qsizetype size, std::chrono::milliseconds quiet = 3000ms) const {
        QByteArray got;
        while (got.size() < size) {
            pollfd entry{Fd, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(quiet.count())) <= 0)
                break;
            char chunk[65536];
            const ssize_t n = ::read(Fd, chunk, sizeof chunk);
            if (n > 0)
                got.append(chunk, n);
        }
        return got;
    }

    int Fd;
};

QByteArray Get(const QByteArray& target) { return "GET " + target + " HTTP/1.1\r\nHost: device\r\n\r\n"; }
} // namespace

TEST(WireSchedule, CarriesTheRateFromTheStartOfTheTransferAndMakesUpLateSteps) {
    TWirePace pace(3000000, T0);
    EXPECT_EQ(pace.Allowed(T0), 0);
    EXPECT_EQ(pace.Allowed(T0 + 1ms), 300);
    EXPECT_EQ(pace.Allowed(T0 + 1s), 300000);
    EXPECT_EQ(pace.Allowed(T0 + 3us), 0) << "less than a byte's ten bits";
    EXPECT_EQ(pace.Allowed(T0 + 4us), 1);
    pace.Take(300);
    EXPECT_EQ(pace.Allowed(T0 + 1ms), 0);
    EXPECT_EQ(pace.Due(300), T0 + 2ms);
    EXPECT_EQ(pace.Allowed(T0 + 5ms), 1200) << "a step taken late is made up by the next";
    EXPECT_EQ(pace.Allowed(T0 - 1ms), -300) << "a clock read before the start allows nothing";
    EXPECT_EQ(pace.Step(), 300);

    TWirePace slow(300, T0);
    EXPECT_EQ(slow.Step(), 1) << "below 10000 baud a step is still a byte";
    EXPECT_EQ(slow.Due(1), T0 + 33333334ns) << "due when the byte is wholly carried, rounded up";
    EXPECT_EQ(slow.Allowed(slow.Due(1)), 1);
    EXPECT_EQ(slow.Allowed(slow.Due(1) - 1ns), 0);

    TWirePace hours(4000000, T0);
    EXPECT_EQ(hours.Allowed(T0 + 10h), 400000LL * 36000) << "long transfers do not overflow";

    TWirePace none(0, T0);
    EXPECT_FALSE(none.Paced());
    EXPECT_GT(none.Allowed(T0), qint64(1) << 40);
    EXPECT_LE(none.Due(1 << 20), T0);
}

TEST(WireSchedule, NeverRunsAheadOfTheWireNorFallsBehindItWhateverTheWakeUps) {
    for (const uint32_t baud : {115200u, 921600u, 3000000u}) {
        TWirePace pace(baud, T0);
        qint64 taken = 0;
        TClock::time_point now = T0;
        uint32_t jitter = 12345;
        for (int step = 0; step < 20000; ++step) {
            // Woken at the step's due time, late by up to 700 us, as a loaded machine wakes.
            jitter = jitter * 1103515245u + 12345u;
            now = std::max(now, pace.Due(pace.Step())) + std::chrono::microseconds((jitter >> 16) % 700);
            const qint64 allowed = pace.Allowed(now);
            ASSERT_GE(allowed, 0);
            taken += allowed;
            pace.Take(allowed);
            const qint64 carried = std::chrono::duration_cast<std::chrono::nanoseconds>(now - T0).count() * (baud / 10) / 1000000000;
            ASSERT_EQ(taken, carried) << baud << " baud, step " << step;
        }
    }
}

TEST(WireSchedule, ARestartGivesNoCreditForTheTimeTheWireStood) {
    TWirePace pace(921600, T0);
    pace.Take(pace.Allowed(T0 + 10ms));
    pace.Restart(T0 + 2s);
    EXPECT_EQ(pace.Allowed(T0 + 2s), 0);
    EXPECT_EQ(pace.Allowed(T0 + 2s + 10ms), 921);
    EXPECT_EQ(pace.Due(92160), T0 + 3s);
}

TEST(LineRate, IsTheRateTheProgramSetOnTheSlaveReadOnTheMaster) {
    int master = -1;
    const QString slavePath = OpenDeviceSide(master);
    {
        TSlave slave(slavePath);
        ASSERT_GE(slave.Fd, 0);
        ASSERT_TRUE(slave.SetRate(B921600, 921600));
        EXPECT_EQ(LineRate(master), 921600u);
        ASSERT_TRUE(slave.SetRate(B3000000, 3000000));
        EXPECT_EQ(LineRate(master), 3000000u);
        ASSERT_TRUE(slave.SetRate(BOTHER, 250000));
        EXPECT_EQ(LineRate(master), 250000u) << "a rate of its own, through BOTHER";
        ASSERT_TRUE(slave.SetRate(B9600, 9600));
        EXPECT_EQ(LineRate(master), 9600u);
    }
    ::close(master);
    EXPECT_EQ(LineRate(master), 0u) << "no line";
}

TEST(OnlyAtBaud, ServesAtItsRateAndAnswersEachBurstAtAnotherWithBytesThatAreNotHttp) {
    TSimDevice::TOptions options;
    options.AnswerBaud = 921600;
    TSimDevice device(options);
    TSimDevice::TOptions noise;
    noise.Mode = TSimDevice::TMode::Garbage;
    const QByteArray garbage = TSimDevice(noise).AnswerTo(Get("/id.txt"), {});
    const QByteArray id = TSimDevice::Answer("200 OK", "text/plain", TSimDevice::IdText());

    TSlave slave(device.SlavePath());
    ASSERT_TRUE(slave.SetRate(B921600, 921600));
    slave.Write(Get("/id.txt"));
    EXPECT_EQ(slave.Read(id.size()), id);

    ASSERT_TRUE(slave.SetRate(B9600, 9600));
    slave.Write(Get("/id.txt"));
    EXPECT_EQ(slave.Read(garbage.size()), garbage);
    EXPECT_TRUE(slave.Read(1, 200ms).isEmpty()) << "one answer to one burst";

    ASSERT_TRUE(slave.SetRate(BOTHER, 921600));
    slave.Write(Get("/bin/all256"));
    const QByteArray all = TSimDevice::Answer("200 OK", "application/octet-stream", TSimDevice::AllByteValues());
    EXPECT_EQ(slave.Read(all.size()), all);

    EXPECT_EQ(device.SeenRates(), (QList<uint32_t>{921600, 9600, 921600}));
    EXPECT_EQ(device.Requests(), (QList<QByteArray>{"GET /id.txt HTTP/1.1", "GET /bin/all256 HTTP/1.1"}))
        << "what came at the wrong rate was not taken for a request";
}

// Both directions paced, each byte arrives as sent; the device is never faster than the wire, so
// the lower bounds hold on any machine.
TEST(PacedDevice, CarriesUploadsAndAnswersWholeAndNoFasterThanTheWire) {
    TSimDevice::TOptions options;
    options.Baud = 3000000;
    TSimDevice device(options);
    TSlave slave(device.SlavePath());
    const QByteArray body = TSimDevice::Pattern(60000);
    const QByteArray post = "POST /upload HTTP/1.1\r\nContent-Length: 60000\r\n\r\n" + body;
    const QByteArray received = device.AnswerTo(post.left(post.indexOf("\r\n\r\n") + 4), body);

    auto start = TClock::now();
    slave.Write(post);
    EXPECT_EQ(slave.Read(received.size()), received);
    EXPECT_GE(TClock::now() - start, std::chrono::nanoseconds(post.size() * 10 * 1000000000LL / 3000000));
    EXPECT_EQ(device.LastUpload(), body);

    start = TClock::now();
    slave.Write(Get("/bin/pattern?size=60000"));
    const QByteArray answer = TSimDevice::PatternAnswer(60000);
    EXPECT_EQ(slave.Read(answer.size()), answer);
    EXPECT_GE(TClock::now() - start, std::chrono::nanoseconds(answer.size() * 10 * 1000000000LL / 3000000));
}
