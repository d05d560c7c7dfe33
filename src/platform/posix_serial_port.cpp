#include "platform/posix_serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <system_error>
#include <vector>

namespace kv {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Edges kept for a consumer that has stopped waiting; older ones are dropped.
constexpr std::size_t kMaxQueuedEdges = 1u << 16;
constexpr int kLookRetries = 3;  // line reads that may disagree with the count before one is taken

// Sent to the watcher thread to end its TIOCMIWAIT. The handler does nothing;
// what matters is that it is installed without SA_RESTART, so the ioctl
// returns EINTR instead of being restarted.
int WatcherSignal() { return SIGRTMIN + 4; }

// What a user refused a serial device can do about it. Serial devices belong
// to a group (dialout on most systems, uucp on some) whose members may open
// them; the device's own group is named when it tells, never root's.
std::string PermissionAdvice(const std::string& device) {
    std::string group = "dialout";
    struct stat st{};
    std::vector<char> buffer(16384);
    struct group entry{};
    struct group* found = nullptr;
    if (::stat(device.c_str(), &st) == 0 && st.st_gid != 0 &&
        ::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        group = found->gr_name;
        // A member whose session began before joining is not let in yet.
        std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
        const int n = std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0);
        const bool inSession = ::getegid() == st.st_gid || std::find(groups.begin(), groups.begin() + n, st.st_gid) != groups.begin() + n;
        // Already let in, and still refused: the device's own modes keep the group out.
        if (inSession) {
            return "you are in the " + group + " group, but the device does not let its group in: check its modes with \"ls -l " +
                   device + "\"";
        }
        const char* user = std::getenv("USER");
        for (char** m = found->gr_mem; user != nullptr && m != nullptr && *m != nullptr; ++m) {
            if (std::strcmp(*m, user) == 0) {
                return "you are in the " + group + " group, but this session started before you joined it: log out and back in";
            }
        }
    }
    return "add yourself to the " + group + " group with \"sudo usermod -aG " + group + " $USER\", then log out and back in";
}

void InstallWatcherSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(WatcherSignal(), &sa, nullptr);
    });
}

// Watchers that would not return from the driver: kept for the rest of the
// process, since destroying one would wait for it forever.
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

PosixSerialPort::ModemIo::Wake PosixSerialPort::ModemIo::WaitCtsChange(int fd) {
    if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS) == 0) return Wake::Changed;
    return errno == EINTR ? Wake::Interrupted : Wake::Unsupported;
}

// ---------------------------------------------------------------- CTS edges

struct PosixSerialPort::Edges {
    enum class Source { Watcher, Counter, Level };
    // How the lines were read: by the watcher just woken by the first new
    // edge, by a poll, or long after the edges.
    enum class Read { AfterWake, Poll, Late };
    struct Edge {
        bool cts;
        bool dsr;
    };

    Edges(std::shared_ptr<ModemIo> modem, int descriptor) : io(std::move(modem)), fd(descriptor) {
        int bits = 0;
        lastCts = io->Get(fd, bits) && (bits & TIOCM_CTS) != 0;
        source = io->CtsCount(fd, lastCount) ? Source::Watcher : Source::Level;
    }

    // Reads the lines once and queues the edges that happened since the last look.
    bool Look(Read read) {
        int bits = 0;
        std::uint64_t count = 0;
        // DSR first: it is the part that goes stale.
        if (!io->Get(fd, bits)) return false;
        std::lock_guard lock(mutex);
        const bool counted = source != Source::Level;
        if (counted && !io->CtsCount(fd, count)) return false;
        // Edges between the two reads would pair a count with the CTS level
        // from before them, and every edge would get the wrong level and
        // direction: read the lines again until they agree with the count.
        for (int tries = 0; counted && tries < kLookRetries; ++tries) {
            int again = 0;
            if (!io->Get(fd, again)) return false;
            if ((again & TIOCM_CTS) == (bits & TIOCM_CTS)) break;
            bits = again;
            if (!io->CtsCount(fd, count)) return false;
        }
        const bool cts = (bits & TIOCM_CTS) != 0;
        std::uint64_t n = 0;
        if (counted) {
            n = count > lastCount ? count - lastCount : 0;
            lastCount = std::max(lastCount, count);
        } else {
            n = cts != lastCts ? 1 : 0;
        }
        AddLocked(n, cts, (bits & TIOCM_DSR) != 0, read);
        return true;
    }

    // Behind a watcher: edges the driver counted that the watcher has not
    // taken for a whole poll slipped in just before it went back to sleep,
    // and would otherwise wait for the next edge to wake it.
    bool TakeStale() {
        std::uint64_t count = 0;
        if (!io->CtsCount(fd, count)) return false;
        {
            std::lock_guard lock(mutex);
            if (count <= lastCount) return true;
            if (count != staleCount) {
                staleCount = count;  // the watcher may be taking them right now
                return true;
            }
        }
        return Look(Read::Late);
    }

    // `n` new edges; the lines were read as `cts`, `dsr` somewhere among them.
    void AddLocked(std::uint64_t n, bool cts, bool dsr, Read read) {
        if (n == 0) return;
        const bool afterWake = read == Read::AfterWake;
        // The levels alternate from lastCts, so the CTS level read says whether
        // an odd or an even number of the edges came before the read. After a
        // wake the read most likely followed the first edge, else (a poll) the
        // last one; take the nearest edge that fits.
        const bool oddBefore = cts != lastCts;
        std::uint64_t anchor = 0;
        if (afterWake) {
            anchor = oddBefore ? 1 : 2;
        } else {
            anchor = ((n & 1) != 0) == oddBefore ? n : n - 1;
        }
        anchor = std::clamp<std::uint64_t>(anchor, 1, n);
        const bool anchorRising = lastCts != ((anchor & 1) != 0);
        // Edges of the other kind: a direction level (one DSR for both kinds)
        // or a quadrature partner (opposite DSR), as the lone edges showed.
        const bool opposite = loneDsr[0] && loneDsr[1] && *loneDsr[0] != *loneDsr[1];
        for (std::uint64_t k = 1; k <= n; ++k) {
            const bool rising = lastCts != ((k & 1) != 0);
            const bool level = rising == anchorRising ? dsr : dsr != opposite;
            queue.push_back(Edge{rising, k == anchor ? dsr : level});
            if (queue.size() > kMaxQueuedEdges) queue.pop_front();
        }
        if (n == 1 && afterWake) loneDsr[anchorRising ? 1 : 0] = dsr;
        uncertain.fetch_add(read == Read::Late ? n : n - 1);
        lastCts = lastCts != ((n & 1) != 0);
        lastEdgeAt = std::chrono::steady_clock::now();
        changed.notify_all();
    }

    void Watch(WorkerThread& self) {
        WatchUntilStopped(self);
        std::lock_guard lock(mutex);
        watchEnded = true;
        if (ownsFd) ::close(fd);
    }

    void WatchUntilStopped(WorkerThread& self) {
        thread.store(::pthread_self());
        started.store(true);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, WatcherSignal());
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        for (;;) {
            // TIOCMIWAIT only wakes for changes after it was entered: edges
            // since the last look are taken now, not after the next edge.
            if (!Look(Read::Poll)) return Fail();
            if (self.StopRequested()) return;
            const ModemIo::Wake wake = io->WaitCtsChange(fd);
            if (self.StopRequested()) return;
            if (wake == ModemIo::Wake::Unsupported) {
                std::lock_guard lock(mutex);
                source = Source::Counter;
                changed.notify_all();
                return;
            }
            if (wake == ModemIo::Wake::Changed && !Look(Read::AfterWake)) return Fail();
        }
    }

    void Fail() {
        std::lock_guard lock(mutex);
        failed = true;
        changed.notify_all();
    }

    const std::shared_ptr<ModemIo> io;
    const int fd;
    std::atomic<pthread_t> thread{};
    std::atomic<bool> started{false};
    std::atomic<std::uint64_t> uncertain{0};

    std::mutex mutex;
    std::condition_variable changed;
    Source source = Source::Level;
    bool closing = false;
    bool failed = false;
    bool watchEnded = false;
    bool ownsFd = false;  // the watcher was abandoned with the descriptor: it closes it when it ends
    std::uint64_t lastCount = 0;
    std::uint64_t staleCount = 0;
    bool lastCts = false;
    std::deque<Edge> queue;
    std::optional<Edge> reported;  // the edge handed out last, until the next wait
    std::chrono::steady_clock::time_point lastEdgeAt{};
    std::optional<bool> loneDsr[2];  // DSR read at the last lone falling [0] / rising [1] edge
};

// ---------------------------------------------------------------- one call's hold on the descriptor

class PosixSerialPort::Use {
public:
    explicit Use(const PosixSerialPort& port) : port_(port) {
        std::lock_guard lock(port_.mutex_);
        if (port_.fd_ >= 0 && !port_.closing_ && !port_.hungUp_) {
            fd = port_.fd_;
            wakeFd = port_.wakeFd_;
            discardNul = port_.settings_.discardNul;
            edges = port_.edges_;
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
    std::shared_ptr<Edges> edges;

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

    SetOpenError({});
    // Each refusal keeps the system's reason, for the message that names the device.
    auto refuse = [this](const char* step, int err) {
        SetOpenError(std::string(step) + ": " + std::generic_category().message(err));
        return false;
    };
    speed_t speed = B0;
    if (!BaudConstant(settings.baud, speed)) return refuse("baud rate", EINVAL);
    const int fd = ::open(Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        refuse("open", err);
        if (err == EACCES || err == EPERM) SetOpenError(OpenError() + "; " + PermissionAdvice(Device()));
        return false;
    }
    auto fail = [fd, &refuse](const char* step, int err) {
        ::close(fd);
        return refuse(step, err);
    };
    if (!::isatty(fd)) return fail("not a serial device", errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail("exclusive use", errno);

    termios t{};
    if (::tcgetattr(fd, &t) != 0) return fail("read line settings", errno);
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return fail("set speed", errno);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail("set line settings", errno);
    // tcsetattr succeeds when any part was applied; make sure the parts that matter were.
    termios check{};
    if (::tcgetattr(fd, &check) != 0 || (check.c_cflag & CSIZE) != CS8 || (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0 ||
        (check.c_iflag & (IXON | IXOFF)) != 0 || ::cfgetospeed(&check) != speed) {
        return fail("9600 baud, 8 data bits, no parity, 1 stop bit not accepted", EINVAL);
    }

    // Opening raises DTR on most systems, and a motor wired to the lines must
    // not start. Devices without modem lines refuse; that is fine.
    io_->Set(fd, TIOCM_RTS | TIOCM_DTR, false);
    ::tcflush(fd, TCIOFLUSH);

    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return fail("event descriptor", errno);

    auto edges = std::make_shared<Edges>(io_, fd);
    std::unique_ptr<WorkerThread> watcher;
    if (edges->source == Edges::Source::Watcher) {
        InstallWatcherSignal();
        // Highest priority: the sooner it wakes after an edge, the surer the DSR it reads.
        watcher = std::make_unique<WorkerThread>([edges](WorkerThread& self) { edges->Watch(self); },
                                                 ThreadPriority::Highest);
        try {
            watcher->Start();
        } catch (const std::system_error&) {
            watcher.reset();  // no thread to spare: poll the counter instead
            edges->source = Edges::Source::Counter;
        }
    }
    std::lock_guard lock(mutex_);
    fd_ = fd;
    wakeFd_ = wake;
    settings_ = settings;
    closing_ = false;
    edges_ = std::move(edges);
    watcher_ = std::move(watcher);
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
        std::lock_guard lines(edges_->mutex);
        edges_->closing = true;
    }
    edges_->changed.notify_all();
    const bool watcherEnded = StopWatcher();
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return users_ == 0; });
    }
    // Nobody uses the descriptor any more; the motor must not run on.
    io_->Set(fd, TIOCM_RTS | TIOCM_DTR, false);
    // An abandoned watcher may still be inside the driver with this
    // descriptor: it is closed when the watcher lets go of it, so its number
    // cannot be reused under it.
    if (watcherEnded) ::close(fd);
    ::close(wake);
    {
        std::lock_guard lines(edges_->mutex);
        edges_->queue.clear();
        edges_->reported.reset();
    }
    std::lock_guard lock(mutex_);
    fd_ = -1;
    wakeFd_ = -1;
    closing_ = false;
    hungUp_ = false;
}

bool PosixSerialPort::StopWatcher() {
    if (!watcher_) return true;
    watcher_->RequestStop();
    const auto giveUp = SteadyClock::now() + std::chrono::milliseconds(kWatcherReleaseMs);
    for (;;) {
        // A signal that lands just before the watcher enters the driver is
        // lost, so it is sent again until the watcher has ended.
        if (edges_->started.load()) ::pthread_kill(edges_->thread.load(), WatcherSignal());
        if (watcher_->JoinFor(2)) {
            watcher_.reset();
            return true;
        }
        if (SteadyClock::now() >= giveUp) break;
    }
    {
        std::lock_guard lock(edges_->mutex);
        if (!edges_->watchEnded) {
            edges_->ownsFd = true;
            AbandonWorker(std::move(watcher_));
            return false;
        }
    }
    watcher_->Join();  // it ended just now
    watcher_.reset();
    return true;
}

bool PosixSerialPort::IsOpen() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0 && !closing_ && !hungUp_;
}

int PosixSerialPort::NativeHandle() const {
    std::lock_guard lock(mutex_);
    return closing_ || hungUp_ ? -1 : fd_;
}

void PosixSerialPort::HangUp(const Use& use) const {
    {
        std::lock_guard lock(mutex_);
        if (hungUp_ || closing_ || fd_ != use.fd) return;
        hungUp_ = true;
    }
    // Released as Close releases them; the descriptor stays for Close to let
    // go, since calls under way still hold it.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(use.wakeFd, &one, sizeof one);
    {
        std::lock_guard lines(use.edges->mutex);
        use.edges->closing = true;
    }
    use.edges->changed.notify_all();
}

bool PosixSerialPort::HungUp(int fd) {
    // Asked for no events, poll reports only a hang-up, an error or a bad descriptor.
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1;
}

// ---------------------------------------------------------------- waiting

PosixSerialPort::Poll PosixSerialPort::WaitFor(int fd, int wakeFd, short events, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        const int r = ::poll(fds, 2, MillisecondsUntil(deadline));
        if (r < 0) {
            if (errno == EINTR) continue;
            return Poll::Failed;
        }
        if (fds[0].revents != 0) return Poll::Woken;
        if (r == 0) return Poll::TimedOut;
        if ((fds[1].revents & events) != 0) return Poll::Ready;
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Poll::Failed;
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
        std::lock_guard lines(use.edges->mutex);
        if (use.edges->reported) return ModemLines{use.edges->reported->cts, use.edges->reported->dsr};
    }
    int bits = 0;
    if (!io_->Get(use.fd, bits)) return std::nullopt;
    return ModemLines{(bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0};
}

SerialWait PosixSerialPort::WaitForCtsChange(std::chrono::milliseconds timeout) {
    Use use(*this);
    if (use.fd < 0) return SerialWait::Closed;
    Edges& e = *use.edges;
    const auto deadline = SteadyClock::now() + timeout;
    std::unique_lock lines(e.mutex);
    e.reported.reset();  // the consumer has finished with the edge it was given
    for (bool look = e.source != Edges::Source::Watcher;; look = true) {
        if (e.closing) return SerialWait::Closed;
        if (e.queue.empty() && look) {
            // Without a watcher this is how edges are found; with one it is a
            // rare safety net.
            const bool watched = e.source == Edges::Source::Watcher;
            lines.unlock();
            const bool ok = watched ? e.TakeStale() : e.Look(Edges::Read::Poll);
            // The lines of a device that has gone may still read fine (or
            // not at all, like a pseudo-terminal's): the descriptor tells.
            if (HungUp(use.fd)) {
                HangUp(use);
                return SerialWait::Closed;
            }
            lines.lock();
            if (!ok) return SerialWait::Failed;
        }
        if (!e.queue.empty()) {
            e.reported = e.queue.front();
            e.queue.pop_front();
            return SerialWait::Changed;
        }
        if (e.failed) return SerialWait::Failed;
        const auto now = SteadyClock::now();
        if (now >= deadline) return SerialWait::TimedOut;
        const bool busy = now - e.lastEdgeAt < kBusyFor;
        SteadyClock::duration slice = kIdlePoll;
        if (e.source == Edges::Source::Counter && busy) slice = kBusyPoll;
        if (e.source == Edges::Source::Level) slice = busy ? SteadyClock::duration(kLevelPoll) : kBusyPoll;
        e.changed.wait_until(lines, std::min(deadline, now + slice));
    }
}

std::uint64_t PosixSerialPort::UncertainCtsEdges() const {
    std::lock_guard lock(mutex_);
    return edges_ ? edges_->uncertain.load() : 0;
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
            const Poll p = WaitFor(use.fd, use.wakeFd, POLLOUT, deadline);
            if (p == Poll::Failed) HangUp(use);
            if (p != Poll::Ready) return false;
        } else {
            HangUp(use);
            return false;
        }
    }
    return true;
}

std::size_t PosixSerialPort::Read(const Use& use, char* buffer, std::size_t max, SteadyClock::time_point deadline) const {
    bool readable = false;  // the last wait said something had come
    for (;;) {
        const ssize_t n = ::read(use.fd, buffer, max);
        if (n > 0) {
            std::size_t kept = static_cast<std::size_t>(n);
            if (use.discardNul) {
                kept = static_cast<std::size_t>(std::remove(buffer, buffer + n, '\0') - buffer);
                readable = false;
                if (kept == 0) continue;
            }
            return kept;
        }
        if (n < 0 && errno == EINTR) continue;
        // With no minimum and no time set, a read of nothing is no news. A
        // hung-up terminal, though, waits as readable and reads empty (a
        // purge in between does too, so the descriptor is asked); that, or a
        // failed read (EIO once the device is gone), ends the port.
        if ((n == 0 && readable && HungUp(use.fd)) || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            HangUp(use);
            return 0;
        }
        const Poll p = WaitFor(use.fd, use.wakeFd, POLLIN, deadline);
        if (p == Poll::Failed) HangUp(use);
        if (p != Poll::Ready) return 0;
        readable = true;
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
