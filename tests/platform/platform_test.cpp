// The platform layer: named events, the stop-aware waits, worker threads, the
// delay timer that signals an event, deferred messages and the serial port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <functional>
#include <future>

#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/lum_delay.h"
#include "platform/named_event.h"
#include "platform/posix_serial_port.h"
#include "platform/waits.h"
#include "platform/worker_thread.h"
#include "support/eventually.h"
#include "support/pty.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;
using test::Eventually;

// Generous: only ever reached when the code under test is wrong.
constexpr auto kLong = 10s;

TEST(NamedEvent, SetReleasesOneWaiterAbandonWakesAllAndStaysUntilReset) {
    NamedEvent event("one-set");
    for (const bool abandon : {false, true}) {
        SCOPED_TRACE(abandon ? "abandon" : "set");
        std::atomic<int> signalled{0}, abandoned{0}, timedOut{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                const WaitResult r = event.Wait(abandon ? kLong : 1500ms);
                (r == WaitResult::Signalled ? signalled : r == WaitResult::Abandoned ? abandoned : timedOut)++;
            });
        }
        std::this_thread::sleep_for(100ms);  // let them block
        abandon ? event.Abandon() : event.Set();
        for (auto& t : waiters) t.join();
        EXPECT_EQ(std::tuple(signalled.load(), abandoned.load(), timedOut.load()),
                  abandon ? std::tuple(0, 3, 0) : std::tuple(1, 0, 2));
    }
    EXPECT_EQ(event.Wait(0ms), WaitResult::Abandoned);
    event.Reset();
    EXPECT_EQ(event.Wait(0ms), WaitResult::TimedOut);
    event.Set();
    EXPECT_EQ(event.Wait(0ms), WaitResult::Signalled);
}

TEST(NamedEvent, SetBeforeWaitIsOneSignalTimeoutsAreBoundedAndTheSameNameGivesTheSameEvent) {
    NamedEvent event("set-first");
    event.Set(), event.Set();  // still one signal, not two
    EXPECT_EQ(event.Wait(-1ms), WaitResult::Failed);
    EXPECT_EQ(event.Wait(0ms), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(20ms), WaitResult::TimedOut);

    std::jthread setter([&] { std::this_thread::sleep_for(20ms), event.Set(); });
    // Must not overflow into an instant time-out.
    EXPECT_EQ(event.Wait(std::chrono::milliseconds::max()), WaitResult::Signalled);

    auto here = OpenNamedEvent("named-event-test-shared");
    ASSERT_NE(here, nullptr);
    EXPECT_NE(OpenNamedEvent("named-event-test-other"), here);
    EXPECT_EQ(OpenNamedEvent("named-event-test-shared"), here);

    // A signal survives while nobody holds the event.
    OpenNamedEvent("named-event-test-unheld")->Set();
    EXPECT_EQ(OpenNamedEvent("named-event-test-unheld")->Wait(0ms), WaitResult::Signalled);
}

TEST(Waits, StopEndsAWaitEarlyAndAnEventEndsItWithItsOutcome) {
    NamedEvent event("waits-test-2");
    std::atomic<bool> stop{false};
    std::jthread stopper([&] { std::this_thread::sleep_for(50ms), stop = true; });
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock(), [&] { return stop.load(); }), std::nullopt);
    EXPECT_FALSE(SleepFor(DefaultClock(), 60000.0, [] { return true; }));

    event.Set();
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock()), WaitResult::Signalled);
    event.Abandon();
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock()), WaitResult::Abandoned);
}

TEST(ThreadSet, JoinsEveryThreadAndAbandonsOnlyTheOneThatNeverReturns) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto polite = std::make_shared<std::atomic<int>>(0);
    ThreadSet set;
    for (int i = 0; i < 3; ++i) {
        set.Start([polite](WorkerThread& self) {
            while (!self.StopRequested()) std::this_thread::sleep_for(1ms);
            polite->fetch_add(1);
        });
    }
    // A call that ignores every stop request, like a driver stuck in a read.
    set.Start([release](WorkerThread&) {
        while (!release->load()) std::this_thread::sleep_for(1ms);
    });
    EXPECT_EQ(set.Running(), 4u);
    const auto start = Steady::now();
    // Long enough for the polite ones on a loaded machine; the stuck one costs it once.
    EXPECT_FALSE(set.StopAndJoinAllFor(2000));
    EXPECT_LT(Steady::now() - start, kLong / 2);  // gave up on the stuck one, did not hang
    EXPECT_EQ(std::tuple(polite->load(), set.Running()), std::tuple(3, 0u));
    release->store(true);  // the abandoned thread may still end on its own
}

TEST(WorkerThread, DestructorStopsAndJoinsARunningProcedureAndReleasesAHeldOne) {
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "running");
        std::atomic<bool> started{false}, ended{false};
        {
            WorkerThread worker([&](WorkerThread& self) {
                started.store(true);
                while (self.Checkpoint()) std::this_thread::sleep_for(1ms);
                ended.store(self.StopRequested());
            });
            if (held) worker.Hold();
            worker.Start();
            ASSERT_TRUE(Eventually([&] { return started.load(); }));
        }
        // The procedure, told by Checkpoint, must have ended before the destructor returned.
        EXPECT_TRUE(ended.load());
    }
}

TEST(WorkerThread, HoldBlocksAtCheckpointAndReleaseContinues) {
    std::atomic<int> step{0};
    WorkerThread worker([&](WorkerThread& self) {
        for (int i = 0; i < 3; ++i) {
            step.store(i + 1);
            if (!self.Checkpoint()) return;
        }
    });
    worker.Hold();
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return step.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(step.load() == 1 && !worker.Finished()) << "a held worker went past its checkpoint";

    worker.Release();
    worker.Join();
    EXPECT_TRUE(step.load() == 3 && worker.Finished());
}

TEST(WorkerThread, StartsOnceAndAThrowingProcedureEndsTheWorkerNotTheProcess) {
    std::atomic<int> runs{0};
    WorkerThread worker([&](WorkerThread&) {
        runs.fetch_add(1);
        throw std::runtime_error("boom");
    });
    worker.Start(), worker.Start();
    worker.Join();
    EXPECT_TRUE(worker.Finished());
    worker.Start(), worker.Join();  // after the end as well
    EXPECT_EQ(runs.load(), 1);
}

// A timer on an event of its own; renaming creates the event unsignalled.
struct Timer {
    explicit Timer(const char* stem) {
        static std::atomic<int> n{0};
        const std::string name = std::string("LUMDELAY_TEST_") + stem + "_" + std::to_string(n++);
        delay.SetEventName(name);
        event = OpenNamedEvent(name);
        delay.SetCallBackAddress([this](double s) { elapsed.store(s); });
    }
    void Start(double seconds) { delay.SetDelay(seconds), delay.SetEnabled(true); }
    TlumDelay delay;
    std::shared_ptr<NamedEvent> event;
    std::atomic<double> elapsed{-1.0};
};

TEST(LumDelay, ShortDelayEndsBeforeTheSetterReturns) {
    OpenNamedEvent(kLumDelayDefaultEvent)->Reset();
    Timer t("short");
    // A fresh component signalled its default event once.
    EXPECT_EQ(OpenNamedEvent(kLumDelayDefaultEvent)->Wait(milliseconds(0)), WaitResult::Signalled);
    EXPECT_EQ(t.event->Wait(milliseconds(0)), WaitResult::TimedOut);
    for (const double d : {0.0005, 0.0, -3.0}) {
        t.Start(d);
        EXPECT_FALSE(t.delay.Enabled());
        EXPECT_EQ(t.event->Wait(milliseconds(0)), WaitResult::Signalled);
        EXPECT_GE(t.elapsed.load(), std::max(d, 0.0));
    }
}

TEST(LumDelay, LongDelayRunsOnThePollThreadAndNeverEndsEarly) {
    Timer t("long");
    const auto start = Steady::now();
    t.Start(0.4);
    // A second start while running is ignored: the running delay ends as it was.
    t.Start(30.0), t.delay.SetEnabled(false);
    EXPECT_TRUE(t.delay.Enabled());

    // Neither may change under a running delay, and the delay goes on.
    EXPECT_THROW(t.delay.SetPriority(ThreadPriority::TimeCritical), LumDelayError);
    EXPECT_THROW(t.delay.SetEventName("ELSEWHERE"), LumDelayError);
    EXPECT_EQ(t.delay.Priority(), ThreadPriority::Normal);

    ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled);
    EXPECT_GE(Steady::now() - start, milliseconds(400));
    EXPECT_TRUE(t.elapsed.load() >= 0.4 && !t.delay.Enabled()) << t.elapsed.load();
    EXPECT_NO_THROW(t.delay.SetPriority(ThreadPriority::Highest));  // free again once the delay has ended

    // A waiter can start the next delay as soon as it is woken.
    t.delay.SetDelay(0.003);
    for (int i = 0; i < 40; ++i) {
        t.delay.SetEnabled(true);
        ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled) << "delay " << i;
    }
}

TEST(LumDelay, CancelledOrDestroyedDelayEndsWithoutSignalOrCallback) {
    std::atomic<int> calls{0};
    {
        Timer t("cancel");
        t.delay.SetCallBackAddress([&](double) { ++calls; });
        t.Start(0.05);
        t.delay.Cancel();
        EXPECT_TRUE(!t.delay.Enabled() && t.event->Wait(milliseconds(150)) == WaitResult::TimedOut);

        // The next start is not ignored, and ends on its own time.
        const auto start = Steady::now();
        t.Start(0.2);
        ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled);
        EXPECT_TRUE(Steady::now() - start >= milliseconds(200) && calls.load() == 1);

        t.Start(600.0);
    }
    EXPECT_EQ(calls.load(), 1);
}

TEST(DeferredMessageQueue, KeepsMessagesInOrderCountsRepeatsCutsAFloodAndMayBeTakenFromTheArmFunction) {
    DeferredMessageQueue queue;
    int armed = 0;
    queue.SetArmTimer([&] { ++armed; });
    const DeferredMessage timeOut{"Time out during scanning", DialogType::Error, DialogButtons::Ok};
    for (const DeferredMessage& m : {timeOut, {"Abandoned event during scanning", DialogType::Warning, DialogButtons::Ok},
                                     timeOut, timeOut}) {
        queue.Post(m);
    }
    EXPECT_EQ(std::tuple(armed, queue.Waiting()), std::tuple(4, std::size_t{2}));

    EXPECT_EQ(queue.Take().value().text, "Time out during scanning\r\n\r\n(2 more times)");
    const DeferredMessage second = queue.Take().value();
    EXPECT_EQ(std::tuple(second.text, second.type), std::tuple(std::string("Abandoned event during scanning"), DialogType::Warning));
    EXPECT_FALSE(queue.Take().has_value());

    // A flood is cut; the last box says how much was left out.
    for (std::size_t i = 0; i < kMaxDeferredMessages + 3; ++i) {
        queue.Post({"failure " + std::to_string(i), DialogType::Error, DialogButtons::Ok});
    }
    std::optional<DeferredMessage> last;
    for (std::size_t i = 0; i < kMaxDeferredMessages; ++i) last = queue.Take();
    EXPECT_EQ(last.value().text, "failure " + std::to_string(kMaxDeferredMessages - 1) +
                              "\r\n\r\n(3 further messages are in the program log)");
    EXPECT_FALSE(queue.Take().has_value());

    DeferredMessageQueue reentrant;
    std::optional<DeferredMessage> seen;
    reentrant.SetArmTimer([&] { seen = reentrant.Take(); });  // would deadlock if called under the lock
    reentrant.Post({"An error occurred during scanning", DialogType::Error, DialogButtons::Ok});
    EXPECT_EQ(seen.value().text, "An error occurred during scanning");
}

using test::Pty;

// Modem lines for a pseudo-terminal, which has none: a driver without CTS
// counters, with them, or also with a sleep until CTS changes that, like the
// real one, ends only at a change or a signal (unless made deaf to signals).
enum class Driver { Level, Counter, Waits };

class FakeModem : public PosixSerialPort::ModemIo {
public:
    explicit FakeModem(Driver driver) : driver_(driver), kick_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeModem() override { ::close(kick_); }

    bool Get(int /*fd*/, int& bits) override {
        std::lock_guard lock(m_);
        bits = (cts_ ? TIOCM_CTS : 0) | (dsr_ ? TIOCM_DSR : 0) | (rts_ ? TIOCM_RTS : 0) | (dtr_ ? TIOCM_DTR : 0);
        unread_ = false;
        cv_.notify_all();
        return !broken_;
    }
    bool Set(int /*fd*/, int bits, bool on) override {
        std::lock_guard lock(m_);
        rts_ = (bits & TIOCM_RTS) != 0 ? on : rts_;
        dtr_ = (bits & TIOCM_DTR) != 0 ? on : dtr_;
        return true;
    }
    bool CtsCount(int /*fd*/, std::uint64_t& count) override {
        std::lock_guard lock(m_);
        count = count_;
        return driver_ != Driver::Level;
    }
    Wake WaitCtsChange(int /*fd*/) override {
        if (driver_ != Driver::Waits) return Wake::Unsupported;
        std::unique_lock lock(m_);
        const std::uint64_t from = count_;
        ++waiting_;
        sleeperSeen_ = true;
        cv_.notify_all();
        Wake wake = Wake::Changed;
        while (count_ == from) {
            lock.unlock();
            pollfd p{kick_, POLLIN, 0};
            const bool interrupted = ::poll(&p, 1, -1) < 0 && errno == EINTR && !deaf_.load();
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t r = ::read(kick_, &drained, sizeof drained);
            lock.lock();
            if (interrupted) {
                wake = Wake::Interrupted;
                break;
            }
        }
        --waiting_;
        return wake;
    }

    // `n` CTS edges in a row, too fast for anyone to look in between, with
    // DSR at `dsr` after them. Without `wake` they come just before a sleeper
    // entered the driver, which then sleeps on.
    void Edges(int n, bool dsr, bool wake = true) {
        std::unique_lock lock(m_);
        EdgesLocked(n, dsr, lock, wake);
    }
    // One edge with DSR at `dsr`, then DSR turns `dsrAfter` once a sleeper
    // has read the lines (its wake-up speed is the bench's business).
    void LoneEdge(bool dsr, bool dsrAfter) {
        std::unique_lock lock(m_);
        if (sleeperSeen_) cv_.wait_for(lock, 2s, [&] { return waiting_ > 0; });
        EdgesLocked(1, dsr, lock);
        cv_.wait_for(lock, 2s, [&] { return !unread_; });
        dsr_ = dsrAfter;
    }
    template <typename F>
    auto Locked(F f) {
        std::lock_guard lock(m_);
        return f();
    }
    bool Waiting() { return Locked([&] { return waiting_ > 0; }); }
    void SetDeaf(bool deaf) {
        deaf_.store(deaf);
        if (!deaf) Edges(1, false);
    }
    std::pair<bool, bool> Outputs() { return Locked([&] { return std::pair(rts_, dtr_); }); }
    void Break() { Locked([&] { broken_ = true; }); }

private:
    void EdgesLocked(int n, bool dsr, std::unique_lock<std::mutex>& lock, bool wake = true) {
        cts_ = cts_ != (n % 2 != 0);
        count_ += static_cast<std::uint64_t>(n);
        dsr_ = dsr;
        unread_ = wake && waiting_ > 0;
        if (!wake) return;
        lock.unlock();
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(kick_, &one, sizeof one);
        lock.lock();
    }

    std::mutex m_;
    std::condition_variable cv_;
    const Driver driver_;
    const int kick_;
    std::atomic<bool> deaf_{false};
    bool cts_ = false, dsr_ = false, rts_ = false, dtr_ = false, broken_ = false, sleeperSeen_ = false;
    bool unread_ = false;  // an edge woke a sleeper that has not read the lines yet
    int waiting_ = 0;
    std::uint64_t count_ = 0;
};

struct Rig {
    explicit Rig(Driver driver) : modem(std::make_shared<FakeModem>(driver)), port(pty.Path(), modem) {}
    Pty pty;
    std::shared_ptr<FakeModem> modem;
    PosixSerialPort port;
};

// Takes up to `n` edges off the port, as the focuser's counting thread does.
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
    EXPECT_FALSE(missing.Open({}) || missing.Write("x", 100ms));
    EXPECT_EQ(std::tuple(missing.WaitForCtsChange(10ms), missing.OpenError()),
              std::tuple(SerialWait::Closed, "open: No such file or directory"));
    // A refused device says how to be let in; a read-only kernel attribute is
    // refused even to root, as a serial device is to a user outside its group.
    const char* refusedPath = "/sys/kernel/uevent_seqnum";
    const int probe = ::open(refusedPath, O_RDWR);
    const bool refusedHere = probe < 0 && errno == EACCES;
    if (probe >= 0) ::close(probe);
    if (refusedHere) {
        PosixSerialPort refused(refusedPath);
        EXPECT_FALSE(refused.Open({}));
        EXPECT_EQ(refused.OpenError(), "open: Permission denied; add yourself to the dialout group with "
                                       "\"sudo usermod -aG dialout $USER\", then log out and back in");
    }
    Pty pty;
    ASSERT_FALSE(pty.Path().empty());
    EXPECT_FALSE(PosixSerialPort("/dev/null").Open({}) || PosixSerialPort(pty.Path()).Open({12345, false}));
}

TEST(PosixSerialPort, AppliesRawEightNoneOneWithoutFlowControlExclusively) {
    for (const int baud : {9600, 19200}) {
        Pty pty;
        PosixSerialPort port(pty.Path());
        ASSERT_TRUE(port.Open({baud, false}));
        termios t{};
        // On a pseudo-terminal the master reports the slave's settings.
        ASSERT_EQ(::tcgetattr(pty.Master(), &t), 0);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD), static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ((t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (t.c_oflag & OPOST) | t.c_cc[VMIN] | t.c_cc[VTIME], 0u);
        const speed_t speed = baud == 9600 ? B9600 : B19200;
        EXPECT_EQ(std::tuple(::cfgetospeed(&t), ::cfgetispeed(&t)), std::tuple(speed, speed));
        EXPECT_TRUE(::fcntl(port.NativeHandle(), F_GETFD) & FD_CLOEXEC);

        // Exclusive: another open is refused, except for a privileged user,
        // for whom the flag can at least be read back.
        const int other = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = 0;
        EXPECT_TRUE(other < 0 ? errno == EBUSY : ::ioctl(other, TIOCGEXCL, &exclusive) == 0 && exclusive != 0);
        if (other >= 0) ::close(other);
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
    const auto start = Steady::now();
    EXPECT_EQ(port.ReadExactly(10, kSerialReadTimeout), "");
    EXPECT_GE(Steady::now() - start, 900ms);

    // NULs are dropped and do not count; what follows the ten stays queued.
    pty.Send(std::string("\0KTR03\0YES!!more", 16));
    EXPECT_EQ(port.ReadExactly(10, kLong), "KTR03YES!!");
    char buf[16];
    EXPECT_EQ(std::string(buf, port.ReadSome(buf, sizeof buf, kLong)), "more");

    pty.Send("stale reply");
    std::this_thread::sleep_for(100ms);
    port.Purge();
    EXPECT_EQ(port.ReadSome(buf, sizeof buf, 50ms), 0u);
    // A pseudo-terminal has no modem lines.
    EXPECT_TRUE(!port.GetModemLines() && port.WaitForCtsChange(100ms) == SerialWait::Failed);
}

TEST(PosixSerialPort, LinesStartLowAndCloseFromAnotherThreadReleasesEveryWaitAndDropsThem) {
    Rig rig(Driver::Waits);
    auto& [pty, modem, port] = rig;
    modem->Set(0, TIOCM_RTS | TIOCM_DTR, true);  // as the system leaves them after an open
    ASSERT_TRUE(port.Open({}));
    EXPECT_EQ(modem->Outputs(), std::make_pair(false, false));
    EXPECT_TRUE(port.SetDtr(true));
    EXPECT_EQ(modem->Outputs(), std::make_pair(false, true));  // each line on its own
    EXPECT_TRUE(port.SetRts(true) && modem->Outputs() == std::make_pair(true, true));

    auto read = std::async(std::launch::async, [&] { return port.ReadExactly(10, kLong); });
    auto wait = std::async(std::launch::async, [&] { return port.WaitForCtsChange(kLong); });
    ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));  // the watcher sleeps in the driver
    std::this_thread::sleep_for(50ms);
    const auto start = Steady::now();
    port.Close();
    EXPECT_EQ(std::tuple(read.get(), wait.get()), std::tuple(std::string(), SerialWait::Closed));
    EXPECT_LT(Steady::now() - start, kLong / 2);
    EXPECT_FALSE(modem->Waiting() || port.SetRts(true));
    EXPECT_EQ(std::tuple(port.NativeHandle(), modem->Outputs()), std::tuple(-1, std::make_pair(false, false)));

    // Reopened, on a driver whose wait ignores signals: Close gives up on the
    // watcher instead of hanging, and keeps its descriptor (so the number goes
    // to no other file) until the watcher lets go.
    ASSERT_TRUE(port.Open({}));
    EXPECT_TRUE(port.Write("x", kLong));
    modem->SetDeaf(true);
    ASSERT_TRUE(Eventually([&] { return modem->Waiting(); }));
    const int fd = port.NativeHandle();
    port.Close();
    EXPECT_TRUE(modem->Waiting() && ::fcntl(fd, F_GETFD) != -1);
    modem->SetDeaf(false);
    EXPECT_TRUE(Eventually([&] { return ::fcntl(fd, F_GETFD) == -1 && !modem->Waiting(); }));
}

// A device that hangs up closes the port, whichever call finds it out (the
// stand-in lines go on reading well, as a gone adapter's may): every wait
// returns, and every later call answers as on a closed port.
TEST(PosixSerialPort, AHangUpClosesThePortForWhicheverCallFindsIt) {
    const std::pair<const char*, std::function<bool(PosixSerialPort&)>> calls[] = {
        {"read", [](PosixSerialPort& p) { char b[4]; return p.ReadSome(b, sizeof b, kLong) == 0; }},
        {"line wait", [](PosixSerialPort& p) { return p.WaitForCtsChange(kLong) == SerialWait::Closed; }},
        {"write", [](PosixSerialPort& p) { return Eventually([&] { return !p.Write("x", kLong); }); }},
    };
    for (const auto& [name, call] : calls) {
        Rig rig(Driver::Level);
        ASSERT_TRUE(rig.port.Open({}));
        auto found = std::async(std::launch::async, [&, &call = call] { return call(rig.port); });
        std::this_thread::sleep_for(50ms);
        rig.pty.CloseMaster();
        ASSERT_EQ(found.wait_for(kLong / 2), std::future_status::ready) << name;
        EXPECT_TRUE(found.get()) << name;
        EXPECT_EQ(std::tuple(rig.port.IsOpen(), rig.port.NativeHandle(), rig.port.WaitForCtsChange(kLong)),
                  std::tuple(false, -1, SerialWait::Closed))
            << name;
    }
}

// Edges faster than the reads, or slept through, are all counted with
// alternating levels. The read after them gives its DSR to its own edge; the
// others take that of lone edges of their kind: the same for a direction
// level, the opposite for a quadrature partner.
TEST(PosixSerialPort, EdgesFasterThanTheReadsOrSleptThroughAreAllCountedInTheDirectionOfTheLoneOnes) {
    // Expected: the DSR of the burst's edges, the first one rising.
    struct Case { bool quadrature; int burst; bool dsrAfter; std::vector<bool> expected; };
    for (const Case& c : {Case{true, 3, false, {false, true, false}}, Case{false, 2, true, {true, true}}}) {
        SCOPED_TRACE(c.quadrature ? "quadrature" : "direction level");
        Rig rig(Driver::Waits);
        ASSERT_TRUE(rig.port.Open({}));
        ASSERT_TRUE(Eventually([&] { return rig.modem->Waiting(); }));
        // Two lone pulses, moving one way; DSR turns right after each edge is
        // read, so only a read at the edge itself gets its direction.
        const auto loneDsr = [&](int i) { return c.quadrature ? i % 2 == 1 : true; };
        for (int i = 0; i < 4; ++i) rig.modem->LoneEdge(loneDsr(i), !loneDsr(i));
        ASSERT_TRUE(Eventually([&] { return rig.modem->Waiting(); }));
        rig.modem->Edges(c.burst, c.dsrAfter);
        const auto got = TakeEdges(rig.port, 4 + c.burst);
        ASSERT_EQ(got.size(), 4u + c.burst);
        for (int i = 0; i < 4 + c.burst; ++i) {
            EXPECT_TRUE(got[i].cts == (i % 2 == 0) && got[i].dsr == (i < 4 ? loneDsr(i) : c.expected[i - 4])) << i;
        }
        EXPECT_EQ(rig.port.UncertainCtsEdges(), static_cast<std::uint64_t>(c.burst - 1));

        // An edge the watcher slept through is found late, and is not sure.
        rig.modem->Edges(1, c.dsrAfter, false);
        EXPECT_EQ(TakeEdges(rig.port, 1).size(), 1u);
        EXPECT_EQ(rig.port.UncertainCtsEdges(), static_cast<std::uint64_t>(c.burst));
    }
}

// Without the wait the counter is polled: bursts between polls come out edge
// by edge, also when more come in the middle. Without a counter the level is
// polled, and a failing driver is reported.
TEST(PosixSerialPort, DriversWithoutTheWaitOrTheCounterArePolled) {
    Rig counted(Driver::Counter);
    ASSERT_TRUE(counted.port.Open({}));
    counted.modem->Edges(3, true);
    auto got = TakeEdges(counted.port, 1);
    counted.modem->Edges(4, true);
    for (const auto& lines : TakeEdges(counted.port, 6)) got.push_back(lines);
    ASSERT_EQ(got.size(), 7u);
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i].cts == (i % 2 == 0) && got[i].dsr) << i;
    EXPECT_EQ(counted.port.WaitForCtsChange(50ms), SerialWait::TimedOut);

    Rig levels(Driver::Level);
    ASSERT_TRUE(levels.port.Open({}));
    for (int i = 0; i < 5; ++i) {
        std::thread edge([&] {
            std::this_thread::sleep_for(20ms);
            levels.modem->Edges(1, false);
        });
        EXPECT_EQ(levels.port.WaitForCtsChange(kLong), SerialWait::Changed);
        EXPECT_EQ(levels.port.GetModemLines()->cts, i % 2 == 0);
        edge.join();
    }
    levels.modem->Break();
    EXPECT_TRUE(levels.port.WaitForCtsChange(kLong) == SerialWait::Failed && !levels.port.GetModemLines());
}

}  // namespace
}  // namespace kv
