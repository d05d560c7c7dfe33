// Pulse-counted moves on the simulated hub: how long a move takes and how
// close it ends, and how long a nudge pulse really keeps the motor on.
//
// The hub runs with its default motor (fast 300 counts/s, slow 100 counts/s,
// 4 ms start lag, 2 counts of coasting) and the focuser with the factory
// settings, those of the catalogue's "Default" entry (NudgeTime 15 ms,
// CloseNudgeTime 10 ms, NudgeDelay 150 ms, StopFactor 12), in text mode
// (LX-200 commands) and line mode (RTS/DTR, the factory choice).
//
// Fine moves (1, 3, 5, 10 steps, what the fine buttons and a scan's steps
// ask) show the precision each mode gives: count_err and count_err_max
// against pulse_step and far_step, the least a close and a far pulse move.
// Measured (8 moves each): text mode ends at most 1 count past for 1, 3, 5 and
// 10 steps (close pulse 1.2 counts at the slow speed); line mode, where the
// motor nudges at its full speed, ends 3 past for 1 and 3 steps (close pulse
// 3.6 counts, far pulse 5.3) and at most 1 past for 5 and 10.
//
// Counters of Move/<steps>/<mode>:
//   ms          wall time from MoveBy until "GENERAL_DELAY_EVENT"
//   min_ms      what the motor allows: one start lag plus the distance at
//               the fast speed (as if it could stop dead on the target)
//   count_err   |CTSCount - target| once the motor stands
//   true_err    |true position moved - steps| (the observatory's shaft)
//   pulse_step  the least one close pulse can move, which bounds count_err
//               from below for a sequence that never reverses: a pulse of T
//               runs v (T - lag) and coasts min(coast, v (T - lag)) more, with
//               v the nudging speed (slow in text mode; line mode cannot
//               select a speed, so the hub's fast speed)
//
// Counters of Pulse/<priority>/<mode>: the mean and worst time the motor was
// on per far nudge pulse (hub record: ":F-#" to ":FQ#", or RTS high to low),
// the wanted NudgeTime, and the priority the system granted the nudge thread
// (0 normal, 1 highest, 2 time critical).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "bench_dialogs.h"
#include "focuser/j_focus_control.h"
#include "platform/worker_thread.h"
#include "sim/hub_simulator.h"
#include "sim/observatory.h"
#include "sim/sim_devices.h"

namespace {

using namespace std::chrono_literals;

constexpr int kFactoryStopFactor = 12;
constexpr double kFactoryNudgeS = 0.015;
constexpr double kFactoryCloseNudgeS = 0.010;
constexpr double kFactoryNudgeSleepS = 0.150;

// What one pulse of `seconds` moves: it runs v (T - lag) and coasts
// min(coast, v (T - lag)) more.
double PulseStep(const kvsim::HubParameters& p, bool lineMode, double seconds) {
    const double speed = lineMode ? p.fastSpeed : p.slowSpeed;
    const double run = std::max(0.0, speed * (seconds * 1000.0 - p.startLagMs) / 1000.0);
    return run + std::min(p.coastCounts, run);
}

struct Rig {
    explicit Rig(bool lineMode, const kvsim::HubParameters& p = {}) {
        kvsim::InstallSimulatedPorts();
        kvsim::ResetSimulatedDevices();
        hub = kvsim::HubFor("hubbench");
        hub->SetParameters(p);
        focuser = std::make_unique<kv::TJFocusControl>(dialogs);
        focuser->SetPortResolver([](int) { return std::string("sim:hubbench"); });
        focuser->SetJMIFlag(true);
        focuser->SetUseRTS_DTR(lineMode);
        focuser->SetStopFactor(kFactoryStopFactor);
        focuser->SetNudgeTime(kFactoryNudgeS);
        focuser->SetCloseNudgeTime(kFactoryCloseNudgeS);
        focuser->SetNudgeSleep(kFactoryNudgeSleepS);
        ok = focuser->OpenPort();
    }
    ~Rig() {
        focuser.reset();
        hub.reset();
        kvsim::ResetSimulatedDevices();
    }
    kvbench::NoDialogs dialogs;
    std::shared_ptr<kvsim::HubSimulator> hub;
    std::unique_ptr<kv::TJFocusControl> focuser;
    std::shared_ptr<kv::NamedEvent> done = kv::OpenNamedEvent(kv::kGeneralDelayEvent);
    bool ok = false;
};

void Move(benchmark::State& state) {
    const auto steps = static_cast<std::int32_t>(state.range(0));
    const bool lineMode = state.range(1) != 0;
    Rig rig(lineMode);
    if (!rig.ok) {
        state.SkipWithError("the simulated hub did not open");
        return;
    }
    const kvsim::HubParameters p = rig.hub->Parameters();
    double ms = 0, countErr = 0, trueErr = 0, worstCount = 0;
    int n = 0;
    for (auto _ : state) {
        // Alternate the direction so the focuser stays near home.
        const std::int32_t signedSteps = (n % 2 == 0) ? steps : -steps;
        const std::int32_t target = rig.focuser->CTSCount() + signedSteps;
        const std::int64_t trueStart = kvsim::Observatory::Instance().TruePosition();
        const auto t0 = std::chrono::steady_clock::now();
        rig.focuser->MoveBy(signedSteps);
        if (rig.done->Wait(60s) != kv::WaitResult::Signalled) {
            state.SkipWithError("the move did not end");
            return;
        }
        const double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        state.PauseTiming();
        rig.hub->WaitUntilStopped(5s);
        std::this_thread::sleep_for(50ms);  // the last counts reach the focuser
        const double ce = std::abs(rig.focuser->CTSCount() - target);
        ms += took;
        countErr += ce;
        worstCount = std::max(worstCount, ce);
        trueErr += std::abs(static_cast<double>(kvsim::Observatory::Instance().TruePosition() - trueStart - signedSteps));
        ++n;
        state.ResumeTiming();
    }
    state.counters["ms"] = ms / n;
    state.counters["min_ms"] = p.startLagMs + 1000.0 * steps / p.fastSpeed;
    state.counters["count_err"] = countErr / n;
    state.counters["count_err_max"] = worstCount;
    state.counters["true_err"] = trueErr / n;
    state.counters["pulse_step"] = PulseStep(p, lineMode, kFactoryCloseNudgeS);
    state.counters["far_step"] = PulseStep(p, lineMode, kFactoryNudgeS);
}

void Pulse(benchmark::State& state) {
    const auto priority = static_cast<kv::ThreadPriority>(state.range(0));
    const bool lineMode = state.range(1) != 0;
    kvsim::HubParameters p;
    p.fastSpeed = p.slowSpeed = 10.0;  // a pulse moves well under one count: every pulse is a far one
    Rig rig(lineMode, p);
    if (!rig.ok) {
        state.SkipWithError("the simulated hub did not open");
        return;
    }
    rig.focuser->SetNudgePriority(priority);
    rig.focuser->SetNudgeSleep(0.03);
    std::vector<double> lengths;
    for (auto _ : state) {
        rig.hub->ClearRecord();
        rig.focuser->MoveBy(9);  // nudging only, more than two counts away throughout
        std::vector<double> got;
        for (int tries = 0; tries < 400 && got.size() < 10; ++tries) {
            std::this_thread::sleep_for(10ms);
            got.clear();
            double on = -1;
            for (const auto& e : rig.hub->Record()) {
                const bool lines = e.kind == kvsim::HubRecordEntry::Kind::Lines;
                if (lines != lineMode) continue;
                const bool start = lines ? e.rts : e.bytes == kv::kFocusIn || e.bytes == kv::kFocusOut;
                const bool stop = lines ? !e.rts : e.bytes == kv::kFocusStop;
                if (start && on < 0) {
                    on = e.ms;
                } else if (stop && on >= 0) {
                    got.push_back(e.ms - on);
                    on = -1;
                }
            }
        }
        rig.focuser->CancelMovement();
        rig.done->Wait(10s);
        lengths.insert(lengths.end(), got.begin(), got.end());
    }
    if (lengths.empty()) {
        state.SkipWithError("no pulses recorded");
        return;
    }
    // What the system grants a thread asking for this priority.
    kv::ThreadPriority granted = kv::ThreadPriority::Normal;
    std::thread([&] { granted = kv::SetCurrentThreadPriority(priority); }).join();
    state.counters["nudge_ms"] = kFactoryNudgeS * 1000.0;
    state.counters["pulse_mean_ms"] = std::accumulate(lengths.begin(), lengths.end(), 0.0) / lengths.size();
    state.counters["pulse_max_ms"] = *std::max_element(lengths.begin(), lengths.end());
    state.counters["pulses"] = static_cast<double>(lengths.size());
    state.counters["granted"] = static_cast<double>(granted);
}

BENCHMARK(Move)
    ->ArgsProduct({{1, 3, 5, 10}, {0, 1}})
    ->ArgNames({"steps", "line"})
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Move)
    ->ArgsProduct({{200}, {0, 1}})
    ->ArgNames({"steps", "line"})
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Move)
    ->ArgsProduct({{2000}, {0, 1}})
    ->ArgNames({"steps", "line"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Pulse)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->ArgNames({"priority", "line"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
