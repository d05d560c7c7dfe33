// The precision delay timer, for delays from 1 ms to 2 s: how late the timer
// ends a delay (end_*: the elapsed time its callback receives, minus the
// delay) and how late the thread waiting on its event wakes (wake_*), median
// and 99th percentile in microseconds; and the processor time the whole
// process spends during a 1 s delay while the caller sleeps on the event.
// On a machine shared with other busy processes the wake-up figures include
// the scheduler's delay in giving the waiter a processor.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/lum_delay.h"
#include "platform/named_event.h"

namespace {

using Steady = std::chrono::steady_clock;

struct Timer {
    Timer() {
        delay.SetEventName("LUMDELAY_BENCH");
        event = kv::OpenNamedEvent("LUMDELAY_BENCH");
        delay.SetCallBackAddress([this](double s) { elapsed = s; });
    }
    // Seconds from the start to the waiter's wake-up.
    double Run(double seconds) {
        delay.SetDelay(seconds);
        const auto start = Steady::now();
        delay.SetEnabled(true);
        event->Wait(std::chrono::milliseconds(60000));
        return std::chrono::duration<double>(Steady::now() - start).count();
    }
    kv::TlumDelay delay;
    std::shared_ptr<kv::NamedEvent> event;
    double elapsed = 0.0;  // written before the event is set
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

// Argument: the delay in milliseconds.
void WakeError(benchmark::State& state) {
    const double seconds = static_cast<double>(state.range(0)) / 1000.0;
    Timer timer;
    std::vector<double> wakeUs;
    std::vector<double> endUs;
    for (auto _ : state) {
        wakeUs.push_back((timer.Run(seconds) - seconds) * 1e6);
        endUs.push_back((timer.elapsed - seconds) * 1e6);
    }
    state.counters["end_med_us"] = Percentile(endUs, 0.5);
    state.counters["end_p99_us"] = Percentile(endUs, 0.99);
    state.counters["wake_med_us"] = Percentile(wakeUs, 0.5);
    state.counters["wake_p99_us"] = Percentile(wakeUs, 0.99);
}
BENCHMARK(WakeError)->Arg(1)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(WakeError)->Arg(2)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(WakeError)->Arg(10)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(WakeError)->Arg(100)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(WakeError)->Arg(500)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(WakeError)->Arg(2000)->Iterations(10)->Unit(benchmark::kMillisecond);

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void CpuShareOfOneSecond(benchmark::State& state) {
    Timer timer;
    double cpu = 0.0;
    double wall = 0.0;
    for (auto _ : state) {
        const double before = ProcessCpuSeconds();
        wall += timer.Run(1.0);
        cpu += ProcessCpuSeconds() - before;
    }
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
}
BENCHMARK(CpuShareOfOneSecond)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
