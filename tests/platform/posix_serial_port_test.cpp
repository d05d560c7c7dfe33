#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <future>
#include <thread>

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

// Modem lines for a port on a pseudo-terminal, which has none.
class FakeModem : public PosixSerialPort::ModemIo {
public:
    explicit FakeModem(bool counter) : counter_(counter) {}
    bool Get(int /*fd*/, int& bits) override {
        std::lock_guard lock(m_);
        bits = (cts_ ? TIOCM_CTS : 0) | (dsr_ ? TIOCM_DSR : 0) | (rts_ ? TIOCM_RTS : 0) | (dtr_ ? TIOCM_DTR : 0);
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
        return counter_;
    }
    void Edge(bool dsr) {
        std::lock_guard lock(m_);
        cts_ = !cts_;
        dsr_ = dsr;
        ++count_;
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
    const bool counter_;
    bool cts_ = false;
    bool dsr_ = false;
    bool rts_ = false;
    bool dtr_ = false;
    bool broken_ = false;
    std::uint64_t count_ = 0;
};

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

TEST(PosixSerialPort, CloseFromAnotherThreadReleasesABlockedReadAndWait) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(true);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    auto read = std::async(std::launch::async, [&] { return port.ReadExactly(10, kLong); });
    auto wait = std::async(std::launch::async, [&] { return port.WaitForCtsChange(kLong); });
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    port.Close();
    EXPECT_EQ(read.get(), "");
    EXPECT_EQ(wait.get(), SerialWait::Closed);
    EXPECT_LT(Clock::now() - start, kLong / 2);
    EXPECT_EQ(port.NativeHandle(), -1);
    // The same object opens again.
    ASSERT_TRUE(port.Open({}));
    EXPECT_TRUE(port.Write("x", kLong));
}

TEST(PosixSerialPort, LinesStartLowFollowTheCallsAndDropOnClose) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(true);
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

// Edges come in bursts faster than the port looks; every one must come out,
// with alternating levels and the DSR of the moment.
TEST(PosixSerialPort, EveryCtsEdgeIsReportedOnceFromTheDriverCounter) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(true);
    PosixSerialPort port(pty.Path(), modem);
    ASSERT_TRUE(port.Open({}));
    constexpr int kBursts = 100;
    constexpr int kPerBurst = 3;
    std::thread device([&] {
        for (int i = 0; i < kBursts; ++i) {
            for (int k = 0; k < kPerBurst; ++k) modem->Edge(true);
            std::this_thread::sleep_for(2ms);
        }
    });
    int edges = 0;
    bool level = false;
    bool alternating = true;
    while (edges < kBursts * kPerBurst && port.WaitForCtsChange(2s) == SerialWait::Changed) {
        const auto lines = port.GetModemLines();
        ASSERT_TRUE(lines);
        alternating = alternating && lines->cts != level && lines->dsr;
        level = lines->cts;
        ++edges;
    }
    device.join();
    EXPECT_EQ(edges, kBursts * kPerBurst);
    EXPECT_TRUE(alternating);
    EXPECT_EQ(port.WaitForCtsChange(50ms), SerialWait::TimedOut);
}

TEST(PosixSerialPort, WithoutCountersTheLevelIsWatchedAndAFailingDriverIsReported) {
    Pty pty;
    auto modem = std::make_shared<FakeModem>(false);
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
