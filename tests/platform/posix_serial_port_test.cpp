#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace kv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kLong = 10s;

// A pseudo-terminal: the port opens the slave, the test plays the device on the master.
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) == 0) path_ = name;
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& Path() const { return path_; }
    void Send(std::string_view s) const { ASSERT_EQ(::write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // What the port wrote, waiting up to `timeout` for `n` bytes.
    std::string Receive(std::size_t n, std::chrono::milliseconds timeout = 2s) const {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < n && Clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[256];
            const ssize_t r = ::read(master_, buf, sizeof buf);
            if (r > 0) out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }

private:
    int master_ = -1;
    std::string path_;
};

// Modem lines for a port on a pseudo-terminal, which has none, with a driver
// that keeps no counters, keeps them, or also lets a thread sleep until CTS
// changes. That sleep, like the real one, ends only at a change or a signal
// (never at close), unless the driver is made deaf to signals.
enum class Driver { Level, Counter, Waits };

class FakeModem : public PosixSerialPort::ModemIo {
public:
    explicit FakeModem(Driver driver) : driver_(driver), kick_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeModem() override { ::close(kick_); }

    bool Get(int /*fd*/, int& bits) override {
        std::lock_guard lock(m_);
        bits = (cts_ ? TIOCM_CTS : 0) | (dsr_ ? TIOCM_DSR : 0) | (rts_ ? TIOCM_RTS : 0) | (dtr_ ? TIOCM_DTR : 0);
        unread_ = false;
        looked_.notify_all();
        return !broken_;
    }
    bool Set(int /*fd*/, int bits, bool on) override {
        std::lock_guard lock(m_);
        if ((bits & TIOCM_RTS) != 0) rts_ = on;
        if ((bits & TIOCM_DTR) != 0) dtr_ = on;
        return true;
    }
    bool CtsCount(int /*fd*/, std::uint64_t& count) override {
        std::lock_guard lock(m_);
        count = count_;
        return driver_ != Driver::Level;
    }
    Wake WaitCtsChange(int /*fd*/) override {
        if (driver_ != Driver::Waits) return Wake::Unsupported;
        std::uint64_t from = 0;
        {
            std::lock_guard lock(m_);
            from = count_;
            ++waiting_;
        }
        struct Leave {
            FakeModem& m;
            ~Leave() {
                std::lock_guard lock(m.m_);
                --m.waiting_;
            }
        } leave{*this};
        for (;;) {
            pollfd p{kick_, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0) {
                if (errno == EINTR && !deaf_.load()) return Wake::Interrupted;
                continue;
            }
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t r = ::read(kick_, &drained, sizeof drained);
            std::lock_guard lock(m_);
            if (count_ != from) return Wake::Changed;
        }
    }

    // `n` CTS edges in a row, too fast for anyone to look in between, with
    // DSR at `dsr` after them.
    void Edges(int n, bool dsr) {
        {
            std::lock_guard lock(m_);
            for (int i = 0; i < n; ++i) cts_ = !cts_;
            count_ += static_cast<std::uint64_t>(n);
            dsr_ = dsr;
            unread_ = waiting_ > 0;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(kick_, &one, sizeof one);
    }
    void Edge(bool dsr) { Edges(1, dsr); }
    // DSR changes between edges. A thread that was sleeping for the last edge
    // is given time to read the lines first: how fast it wakes depends on the
    // machine, and the bench measures that; here the order is what is tested.
    void ChangeDsrAfterLook(bool dsr) {
        std::unique_lock lock(m_);
        looked_.wait_for(lock, 2s, [&] { return !unread_; });
        dsr_ = dsr;
    }
    bool Waiting() {
        std::lock_guard lock(m_);
        return waiting_ > 0;
    }
    void SetDeaf(bool deaf) {
        deaf_.store(deaf);
        if (!deaf) Edge(dsr_);
    }
    void SetOutputs(bool rts, bool dtr) { Set(0, TIOCM_RTS, rts) && Set(0, TIOCM_DTR, dtr); }
    std::pair<bool, bool> Outputs() {
        std::lock_guard lock(m_);
        return {rts_, dtr_};
    }
    void Break() {
        std::lock_guard lock(m_);
        broken_ = true;
    }

private:
    std::mutex m_;
    std::condition_variable looked_;
    const Driver driver_;
    const int kick_;
    std::atomic<bool> deaf_{false};
    bool cts_ = false;
    bool dsr_ = false;
    bool rts_ = false;
    bool dtr_ = false;
    bool broken_ = false;
    bool unread_ = false;
    int waiting_ = 0;
    std::uint64_t count_ = 0;
};

// Takes `n` edges off the port, as the focuser's counting thread does.
std::vector<ModemLines> TakeEdges(PosixSerialPort& port, int n) {
    std::vector<ModemLines> got;
    while (static_cast<int>(got.size()) < n && port.WaitForCtsChange(2s) == SerialWait::Changed) {
        const auto lines = port.GetModemLines();
        if (!lines) break;
        got.push_back(*lines);
    }
    return got;
}

TEST(PosixSerialPort, OpenFailsForWhatIsNotAUsableSerialDevice) {
    PosixSerialPort missing("/dev/kessivane-no-such-device");
    EXPECT_FALSE(missing.Open({}));
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_FALSE(missing.Write("x", 100ms));
    EXPECT_EQ(missing.ReadExactly(1, 10ms), "");
    EXPECT_EQ(missing.WaitForCtsChange(10ms), SerialWait::Closed);

    PosixSerialPort notATty("/dev/null");
    EXPECT_FALSE(notATty.Open({}));

    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    PosixSerialPort oddBaud(pty.Path());
    EXPECT_FALSE(oddBaud.Open({12345, false}));
}

TEST(PosixSerialPort, AppliesRawEightNoneOneWithoutFlowControlExclusively) {
    for (const int baud : {9600, 19200}) {
        Pty pty;
        PosixSerialPort port(pty.Path());
        ASSERT_TRUE(port.Open({baud, false}));
        termios t{};
        // On a pseudo-terminal the master reports the slave's settings.
        ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN] | t.c_cc[VTIME], 0);
        EXPECT_EQ(::cfgetospeed(&t), baud == 9600 ? B9600 : B19200);
        EXPECT_EQ(::cfgetispeed(&t), baud == 9600 ? B9600 : B19200);
        EXPECT_TRUE(::fcntl(port.NativeHandle(), F_GETFD) & FD_CLOEXEC);

        // Exclusive: another open is refused, except for a privileged user,
        // for whom the flag can at least be read back.
        const int other = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (other < 0) {
            EXPECT_EQ(errno, EBUSY);
        } else {
            int exclusive = 0;
            EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
            EXPECT_NE(exclusive, 0);
            ::close(other);
        }
    }
}

TEST(PosixSerialPort, WritesAndBoundedReads) {
    Pty pty;
    PosixSerialPort port(pty.Path());
    ASSERT_TRUE(port.Open({9600, true}));
    EXPECT_EQ(port.OutputFree(), PosixSerialPort::kNominalOutputBuffer);

    ASSERT_TRUE(port.Write("KTR02?????\r", kSerialWriteTimeout));
    EXPECT_EQ(pty.Receive(11), "KTR02?????\r");

    // Nine of ten bytes: nothing, after the whole second.
    pty.Send("KTR03YES!");
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadExactly(10, kSerialReadTimeout), "");
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);

    // NULs are dropped and do not count; what follows the ten stays queued.
    pty.Send(std::string("\0KTR03\0YES!!more", 16));
    EXPECT_EQ(port.ReadExactly(10, kLong), "KTR03YES!!");
    char buf[16];
    ASSERT_EQ(port.ReadSome(buf, sizeof buf, kLong), 4u);
    EXPECT_EQ(std::string(buf, 4), "more");

    pty.Send("stale reply");
    std::this_thread::sleep_for(100ms);
    port.Purge();
    EXPECT_EQ(port.ReadSome(buf, sizeof buf, 50ms), 0u);

    // A pseudo-terminal has no modem lines.
    EXPECT_FALSE(port.GetModemLines());
    EXPECT_EQ(port.WaitForCtsChange(100ms), SerialWait::Failed);
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds within = kLong) {
    const auto deadline = Clock::now() + within;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(PosixSerialPort, CloseFromAnotherThreadReleasesABlockedReadWaitAndWatcher) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Waits);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    auto read = std::async(std::launch::async, [&] { return port.ReadExactly(10, kLong); });
    auto wait = std::async(std::launch::async, [&] { return port.WaitForCtsChange(kLong); });
    ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    port.Close();
    EXPECT_EQ(read.get(), "");
    EXPECT_EQ(wait.get(), SerialWait::Closed);
    EXPECT_FALSE(modem->Waiting());
    EXPECT_LT(Clock::now() - start, kLong / 2);
    EXPECT_EQ(port.NativeHandle(), -1);
    // The same object opens again.
    ASSERT_TRUE(port.Open({}));
    EXPECT_TRUE(port.Write("x", kLong));
}

// A driver whose wait ignores signals: Close gives up on the watcher instead
// of hanging, and the descriptor the watcher is still using stays open (its
// number cannot be handed to another file) until the watcher lets go of it.
TEST(PosixSerialPort, CloseAbandonsAWatcherStuckInTheDriverWithoutClosingItsDescriptor) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Waits);
    modem->SetDeaf(true);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));
    const int fd = port.NativeHandle();
    port.Close();
    EXPECT_TRUE(modem->Waiting());
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
    modem->SetDeaf(false);
    EXPECT_TRUE(Eventually([&] { return ::fcntl(fd, F_GETFD) == -1 && !modem->Waiting(); }));
}

TEST(PosixSerialPort, LinesStartLowFollowTheCallsAndDropOnClose) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Counter);
    modem->SetOutputs(true, true);  // as the system leaves them after an open
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    EXPECT_EQ(modem->Outputs(), std::make_pair(false, false));
    EXPECT_TRUE(port.SetDtr(true));
    EXPECT_EQ(modem->Outputs(), std::make_pair(false, true));
    EXPECT_TRUE(port.SetRts(true));
    EXPECT_EQ(modem->Outputs(), std::make_pair(true, true));
    port.Close();
    EXPECT_EQ(modem->Outputs(), std::make_pair(false, false));
    EXPECT_FALSE(port.SetRts(true));
}

// The direction of each edge is the DSR level at that edge, and DSR changes
// between edges: one read per edge, right after it, is the only way to get
// every one right.
TEST(PosixSerialPort, EachCtsEdgeCarriesItsOwnDsrAtOneEdgePerMillisecond) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Waits);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    constexpr int kEdges = 400;
    auto direction = [](int i) { return (i / 7 + i / 3) % 2 == 0; };
    std::thread device([&] {
        const bool watched = Eventually([&] { return modem->Waiting(); }, 500ms);
        const auto start = Clock::now();
        for (int i = 0; i < kEdges; ++i) {
            std::this_thread::sleep_until(start + i * 1ms);
            if (watched) Eventually([&] { return modem->Waiting(); });
            modem->Edge(direction(i));
            modem->ChangeDsrAfterLook(!direction(i));
        }
    });
    const auto got = TakeEdges(port, kEdges);
    device.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kEdges));
    int wrong = 0;
    for (int i = 0; i < kEdges; ++i) {
        wrong += got[i].cts != (i % 2 == 0) || got[i].dsr != direction(i);
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(port.UncertainCtsEdges(), 0u);
    EXPECT_EQ(port.WaitForCtsChange(50ms), SerialWait::TimedOut);
}

// Edges that come faster than anyone can look are all counted, with
// alternating levels. The read after them gives its DSR to the edge it
// belongs to; the others take the DSR that lone edges of their kind had: the
// same for a direction level, the opposite for a quadrature partner.
TEST(PosixSerialPort, EdgesFasterThanTheReadsAreAllCountedInTheDirectionOfTheLoneOnes) {
    struct Case {
        bool quadrature;
        int burst;
        bool dsrAfter;
        std::vector<bool> expected;  // DSR of the burst's edges, the first one rising
    };
    for (const Case& c : {Case{true, 3, false, {false, true, false}}, Case{false, 2, true, {true, true}}}) {
        SCOPED_TRACE(c.quadrature ? "quadrature" : "direction level");
        Pty pty;
        auto modem = std::make_shared<FakeModem>(Driver::Waits);
        PosixSerialPort port(pty.Path(), modem);
        ASSERT_TRUE(port.Open({}));
        for (int i = 0; i < 4; ++i) {  // two lone pulses, moving one way
            ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));
            const bool rising = i % 2 == 0;
            modem->Edge(c.quadrature ? !rising : true);
            modem->ChangeDsrAfterLook(c.quadrature ? !rising : true);
        }
        ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));
        modem->Edges(c.burst, c.dsrAfter);
        const auto got = TakeEdges(port, 4 + c.burst);
        ASSERT_EQ(got.size(), 4u + c.burst);
        for (int k = 0; k < c.burst; ++k) {
            EXPECT_EQ(got[4 + k].cts, k % 2 == 0) << k;
            EXPECT_EQ(got[4 + k].dsr, c.expected[k]) << k;
        }
        EXPECT_EQ(port.UncertainCtsEdges(), static_cast<std::uint64_t>(c.burst - 1));
    }
}

// Without the wait the counter is polled: bursts between polls still come
// out edge by edge with alternating levels.
TEST(PosixSerialPort, WithACounterButNoWaitEveryEdgeIsStillReportedOnce) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Counter);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    constexpr int kBursts = 100;
    constexpr int kPerBurst = 3;
    std::thread device([&] {
        for (int i = 0; i < kBursts; ++i) {
            modem->Edges(kPerBurst, true);
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto got = TakeEdges(port, kBursts * kPerBurst);
    device.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kBursts * kPerBurst));
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i].cts == (i % 2 == 0) && got[i].dsr) << i;
    EXPECT_EQ(port.WaitForCtsChange(50ms), SerialWait::TimedOut);
}

TEST(PosixSerialPort, WithoutCountersTheLevelIsWatchedAndAFailingDriverIsReported) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(Driver::Level);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    for (int i = 0; i < 5; ++i) {
        std::thread device([&] {
            std::this_thread::sleep_for(20ms);
            modem->Edge(false);
        });
        EXPECT_EQ(port.WaitForCtsChange(kLong), SerialWait::Changed);
        EXPECT_EQ(port.GetModemLines()->cts, i % 2 == 0);
        device.join();
    }
    modem->Break();
    EXPECT_EQ(port.WaitForCtsChange(kLong), SerialWait::Failed);
    EXPECT_FALSE(port.GetModemLines());
}

}  // namespace
}  // namespace kv
