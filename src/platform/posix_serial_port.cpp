#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kv {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Edges kept for a consumer that has stopped waiting; older ones are dropped.
constexpr std::size_t kMaxQueuedEdges = 1u << 16;
// Attempts to read the line counter and level without an edge in between.
constexpr int kSampleAttempts = 3;

bool BaudConstant(int baud, speed_t& speed) {
    switch (baud) {
    case 1200: speed = B1200; return true;
    case 2400: speed = B2400; return true;
    case 4800: speed = B4800; return true;
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    case 57600: speed = B57600; return true;
    case 115200: speed = B115200; return true;
    case 230400: speed = B230400; return true;
    default: return false;
    }
}

int MillisecondsUntil(SteadyClock::time_point deadline) {
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return 0;
    // Rounded up, so a wait never ends just before its deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

}  // namespace

// ---------------------------------------------------------------- modem seam

bool PosixSerialPort::ModemIo::Get(int fd, int& bits) { return ::ioctl(fd, TIOCMGET, &bits) == 0; }

bool PosixSerialPort::ModemIo::Set(int fd, int bits, bool on) {
    int b = bits;
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &b) == 0;
}

bool PosixSerialPort::ModemIo::CtsCount(int fd, std::uint64_t& count) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    count = static_cast<std::uint32_t>(ic.cts);
    return true;
}

// ---------------------------------------------------------------- one call's hold on the descriptor

class PosixSerialPort::Use {
public:
    explicit Use(const PosixSerialPort& port) : port_(port) {
        std::lock_guard lock(port_.mutex_);
        if (port_.fd_ >= 0 && !port_.closing_) {
            fd = port_.fd_;
            wakeFd = port_.wakeFd_;
            discardNul = port_.settings_.discardNul;
            ++port_.users_;
        }
    }
    ~Use() {
        if (fd < 0) return;
        std::lock_guard lock(port_.mutex_);
        if (--port_.users_ == 0) port_.idle_.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    int fd = -1;
    int wakeFd = -1;
    bool discardNul = false;

private:
    const PosixSerialPort& port_;
};

// ---------------------------------------------------------------- life cycle

PosixSerialPort::PosixSerialPort(std::string device, std::shared_ptr<ModemIo> io)
    : ISerialPort(std::move(device)), io_(io ? std::move(io) : std::make_shared<ModemIo>()) {}

PosixSerialPort::~PosixSerialPort() { Close(); }

bool PosixSerialPort::Open(const SerialSettings& settings) {
    std::lock_guard openLock(openMutex_);
    CloseLocked();

    speed_t speed = B0;
    if (!BaudConstant(settings.baud, speed)) return false;
    const int fd = ::open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    auto fail = [fd] {
        ::close(fd);
        return false;
    };
    if (!::isatty(fd) || ::ioctl(fd, TIOCEXCL) != 0) return fail();

    termios t{};
    if (::tcgetattr(fd, &t) != 0) return fail();
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return fail();
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail();
    // tcsetattr succeeds when any part was applied; make sure the parts that matter were.
    termios check{};
    if (::tcgetattr(fd, &check) != 0 || (check.c_cflag & CSIZE) != CS8 || (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0 ||
        (check.c_iflag & (IXON | IXOFF)) != 0 || ::cfgetospeed(&check) != speed) {
        return fail();
    }

    // Opening raises DTR on most systems, and a motor wired to the lines must
    // not start. Devices without modem lines refuse; that is fine.
    io_->Set(fd, TIOCM_RTS | TIOCM_DTR, false);
    ::tcflush(fd, TCIOFLUSH);

    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail();

    {
        std::lock_guard lines(linesMutex_);
        edges_.clear();
        reported_.reset();
        int bits = 0;
        lastCts_ = io_->Get(fd, bits) && (bits & TIOCM_CTS) != 0;
        haveCounter_ = io_->CtsCount(fd, lastCount_);
        lastEdgeAt_ = {};
    }
    std::lock_guard lock(mutex_);
    fd_ = fd;
    wakeFd_ = wake;
    settings_ = settings;
    closing_ = false;
    return true;
}

void PosixSerialPort::Close() {
    std::lock_guard openLock(openMutex_);
    CloseLocked();
}

void PosixSerialPort::CloseLocked() {
    int fd = -1;
    int wake = -1;
    {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return;
        closing_ = true;
        fd = fd_;
        wake = wakeFd_;
    }
    // Every wait polls the wake descriptor too: this releases all of them.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return users_ == 0; });
    }
    // Nobody uses the descriptor any more; the motor must not run on.
    io_->Set(fd, TIOCM_RTS | TIOCM_DTR, false);
    ::close(fd);
    ::close(wake);
    {
        std::lock_guard lines(linesMutex_);
        edges_.clear();
        reported_.reset();
    }
    std::lock_guard lock(mutex_);
    fd_ = -1;
    wakeFd_ = -1;
    closing_ = false;
}

bool PosixSerialPort::IsOpen() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0 && !closing_;
}

int PosixSerialPort::NativeHandle() const {
    std::lock_guard lock(mutex_);
    return closing_ ? -1 : fd_;
}

// ---------------------------------------------------------------- waiting

PosixSerialPort::Poll PosixSerialPort::WaitFor(int fd, int wakeFd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        const nfds_t count = fd >= 0 ? 2 : 1;
        const int r = ::poll(fds, count, MillisecondsUntil(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Poll::Failed;
        }
        if (fds[0].revents != 0) return Poll::Woken;
        if (r == 0) return Poll::TimedOut;
        if (count == 2) {
            if ((fds[1].revents & events) != 0) return Poll::Ready;
            if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Poll::Failed;
        }
        if (SteadyClock::now() >= deadline) return Poll::TimedOut;
    }
}

// ---------------------------------------------------------------- modem lines

bool PosixSerialPort::SetRts(bool on) {
    Use use(*this);
    return use.fd >= 0 && io_->Set(use.fd, TIOCM_RTS, on);
}

bool PosixSerialPort::SetDtr(bool on) {
    Use use(*this);
    return use.fd >= 0 && io_->Set(use.fd, TIOCM_DTR, on);
}

std::optional<ModemLines> PosixSerialPort::GetModemLines() {
    Use use(*this);
    if (use.fd < 0) return std::nullopt;
    {
        std::lock_guard lines(linesMutex_);
        if (reported_) return ModemLines{reported_->cts, reported_->dsr};
    }
    int bits = 0;
    if (!io_->Get(use.fd, bits)) return std::nullopt;
    return ModemLines{(bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0};
}

bool PosixSerialPort::SampleLines(int fd) {
    bool cts = false;
    bool dsr = false;
    std::uint64_t edges = 0;
    std::uint64_t count = lastCount_;
    for (int attempt = 1;; ++attempt) {
        int bits = 0;
        if (!io_->Get(fd, bits)) return false;
        cts = (bits & TIOCM_CTS) != 0;
        dsr = (bits & TIOCM_DSR) != 0;
        if (!haveCounter_) {
            edges = cts != lastCts_ ? 1 : 0;
            break;
        }
        int after = 0;
        if (!io_->CtsCount(fd, count) || !io_->Get(fd, after)) return false;
        edges = count - lastCount_;
        // An odd number of edges flips the level, an even one keeps it; when
        // they disagree an edge slipped in between the looks, so look again.
        const bool consistent = ((after & TIOCM_CTS) != 0) == cts && ((edges & 1) != 0) == (cts != lastCts_);
        if (consistent) break;
        if (attempt == kSampleAttempts) {
            if (((edges & 1) != 0) != (cts != lastCts_)) ++edges;  // the level is the better witness
            break;
        }
    }
    lastCount_ = count;
    lastCts_ = cts;
    if (edges == 0) return true;
    lastEdgeAt_ = SteadyClock::now();
    // The levels alternate and the last one is the level now.
    for (std::uint64_t i = 0; i < edges; ++i) {
        const bool level = ((edges - 1 - i) & 1) != 0 ? !cts : cts;
        edges_.push_back(Edge{level, dsr});
        if (edges_.size() > kMaxQueuedEdges) edges_.pop_front();
    }
    return true;
}

SerialWait PosixSerialPort::WaitForCtsChange(std::chrono::milliseconds timeout) {
    Use use(*this);
    if (use.fd < 0) return SerialWait::Closed;
    const auto deadline = SteadyClock::now() + timeout;
    std::unique_lock lines(linesMutex_);
    reported_.reset();  // the consumer has finished with the edge it was given
    for (;;) {
        if (edges_.empty() && !SampleLines(use.fd)) return SerialWait::Failed;
        if (!edges_.empty()) {
            reported_ = edges_.front();
            edges_.pop_front();
            return SerialWait::Changed;
        }
        const auto now = SteadyClock::now();
        if (now >= deadline) return SerialWait::TimedOut;
        const bool busy = !haveCounter_ || now - lastEdgeAt_ < kBusyFor;
        const auto next = std::min(deadline, now + (busy ? kBusyPoll : kIdlePoll));
        lines.unlock();
        const Poll r = WaitFor(-1, use.wakeFd, 0, next);
        lines.lock();
        if (r == Poll::Woken) return SerialWait::Closed;
        if (r == Poll::Failed) return SerialWait::Failed;
    }
}

// ---------------------------------------------------------------- bytes

void PosixSerialPort::Purge() {
    Use use(*this);
    if (use.fd >= 0) ::tcflush(use.fd, TCIOFLUSH);
}

bool PosixSerialPort::Write(std::string_view bytes, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    Use use(*this);
    if (use.fd < 0) return false;
    std::unique_lock order(writeMutex_, std::defer_lock);
    if (!order.try_lock_until(deadline)) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(use.fd, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(use.fd, use.wakeFd, POLLOUT, deadline) != Poll::Ready) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::size_t PosixSerialPort::Read(const Use& use, char* buffer, std::size_t max, SteadyClock::time_point deadline) {
    for (;;) {
        const ssize_t n = ::read(use.fd, buffer, max);
        if (n > 0) {
            std::size_t kept = static_cast<std::size_t>(n);
            if (use.discardNul) {
                kept = static_cast<std::size_t>(std::remove(buffer, buffer + n, '\0') - buffer);
                if (kept == 0) continue;
            }
            return kept;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        if (WaitFor(use.fd, use.wakeFd, POLLIN, deadline) != Poll::Ready) return 0;
    }
}

std::string PosixSerialPort::ReadExactly(std::size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    Use use(*this);
    if (use.fd < 0 || n == 0) return {};
    std::unique_lock order(readMutex_, std::defer_lock);
    if (!order.try_lock_until(deadline)) return {};
    std::string out;
    out.reserve(n);
    char buf[256];
    while (out.size() < n) {
        // Never more than still wanted: what follows stays queued for the next read.
        const std::size_t got = Read(use, buf, std::min(sizeof buf, n - out.size()), deadline);
        if (got == 0) return {};
        out.append(buf, got);
    }
    return out;
}

std::size_t PosixSerialPort::ReadSome(char* buffer, std::size_t max, std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    Use use(*this);
    if (use.fd < 0 || max == 0) return 0;
    std::unique_lock order(readMutex_, std::defer_lock);
    if (!order.try_lock_until(deadline)) return 0;
    return Read(use, buffer, max, deadline);
}

std::size_t PosixSerialPort::OutputFree() const {
    Use use(*this);
    if (use.fd < 0) return 0;
    int queued = 0;
    if (::ioctl(use.fd, TIOCOUTQ, &queued) != 0) return 0;
    return kNominalOutputBuffer - std::min<std::size_t>(kNominalOutputBuffer, static_cast<std::size_t>(std::max(queued, 0)));
}

}  // namespace kv
