// The highest CTS edge rate the serial port counts with the right count and
// direction. A fake driver over a pseudo-terminal stands in for the modem
// lines: it counts CTS edges and wakes a thread sleeping for them, as a real
// driver does, and its DSR changes halfway between edges, as a quadrature
// encoder's does, so an edge's direction is only right when it is read within
// half a period. The port's consumer runs as the focuser's counting thread.
//
// Arguments: edge rate in Hz; driver: 1 = counter and wait (the watcher),
// 0 = counter only (polled every millisecond).
// Counters: counted = edges handed out / edges made; right = edges with the
// right level and direction / edges made; uncertain = edges the port could not
// read on their own / edges made.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

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
    const std::string& Path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

class FakeDriver : public kv::PosixSerialPort::ModemIo {
public:
    explicit FakeDriver(bool waits) : waits_(waits), kick_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeDriver() override { ::close(kick_); }

    bool Get(int /*fd*/, int& bits) override {
        std::lock_guard lock(m_);
        bits = (cts_ ? TIOCM_CTS : 0) | (dsr_ ? TIOCM_DSR : 0);
        return true;
    }
    bool Set(int /*fd*/, int /*bits*/, bool /*on*/) override { return true; }
    bool CtsCount(int /*fd*/, std::uint64_t& count) override {
        std::lock_guard lock(m_);
        count = count_;
        return true;
    }
    Wake WaitCtsChange(int /*fd*/) override {
        if (!waits_) return Wake::Unsupported;
        std::uint64_t from = 0;
        {
            std::lock_guard lock(m_);
            from = count_;
        }
        for (;;) {
            pollfd p{kick_, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0) {
                if (errno == EINTR) return Wake::Interrupted;
                continue;
            }
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t r = ::read(kick_, &drained, sizeof drained);
            std::lock_guard lock(m_);
            if (count_ != from) return Wake::Changed;
        }
    }
    void Edge(bool dsr) {
        {
            std::lock_guard lock(m_);
            cts_ = !cts_;
            dsr_ = dsr;
            ++count_;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(kick_, &one, sizeof one);
    }
    void SetDsr(bool dsr) {
        std::lock_guard lock(m_);
        dsr_ = dsr;
    }

private:
    const bool waits_;
    const int kick_;
    std::mutex m_;
    bool cts_ = false;
    bool dsr_ = false;
    std::uint64_t count_ = 0;
};

// The encoder turns one way for a while, then the other.
bool Direction(int i) { return (i / 50) % 2 == 0; }

void SleepUntil(Clock::time_point t) {
    // Short sleeps, then a spin for the last few microseconds, so the edges
    // keep their timing without taking a core.
    while (t - Clock::now() > std::chrono::microseconds(60)) std::this_thread::sleep_for(std::chrono::microseconds(20));
    while (Clock::now() < t) {
    }
}

void BM_CtsEdgeRate(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    const bool waits = state.range(1) != 0;
    const int edges = static_cast<int>(std::min(4000.0, rate * 0.5 + 500));
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    double counted = 0;
    double right = 0;
    double uncertain = 0;
    for (auto _ : state) {
        Pty pty;
        auto driver = std::make_shared<FakeDriver>(waits);
        kv::PosixSerialPort port(pty.Path(), driver);
        if (!port.Open({})) {
            state.SkipWithError("cannot open a pseudo-terminal");
            return;
        }
        std::vector<kv::ModemLines> got;
        got.reserve(static_cast<std::size_t>(edges));
        std::thread consumer([&] {
            while (static_cast<int>(got.size()) < edges &&
                   port.WaitForCtsChange(std::chrono::milliseconds(500)) == kv::SerialWait::Changed) {
                if (const auto lines = port.GetModemLines()) got.push_back(*lines);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the watcher goes to sleep
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        const auto start = Clock::now();
        for (int i = 0; i < edges; ++i) {
            SleepUntil(start + i * period);
            driver->Edge(Direction(i));
            SleepUntil(start + i * period + period / 2);
            driver->SetDsr(!Direction(i));
        }
        consumer.join();
        int ok = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            ok += got[i].cts == (i % 2 == 0) && got[i].dsr == Direction(static_cast<int>(i));
        }
        counted += static_cast<double>(got.size()) / edges;
        right += static_cast<double>(ok) / edges;
        uncertain += static_cast<double>(port.UncertainCtsEdges()) / edges;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["counted"] = counted / runs;
    state.counters["right"] = right / runs;
    state.counters["uncertain"] = uncertain / runs;
}
BENCHMARK(BM_CtsEdgeRate)
    ->ArgsProduct({{500, 1000, 2000, 4000, 8000, 16000, 32000}, {1, 0}})
    ->ArgNames({"hz", "wait"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
