// How fast the RoboFocus and Optec drivers take in what the line delivers: a
// focuser reports a step every few hundred microseconds while it moves, and
// each position reply is parsed, checked and turned into a count on the port's
// reader thread.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_dialogs.h"
#include "focuser/o_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "platform/dialogs.h"
#include "shell/log_channel.h"

namespace {

std::string RfFrame(const std::string& text8) {
    const auto f = kv::TRFFocusControl::Frame(text8);
    return std::string(f.data(), f.size());
}

void BM_RoboFocusFrame(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(kv::TRFFocusControl::Frame("FG012345"));
}
BENCHMARK(BM_RoboFocusFrame);

// One move as the focuser reports it: a step character per step, then the
// arrival frame.
void BM_RoboFocusReceiveMove(benchmark::State& state) {
    kvbench::NoDialogs dialogs;
    kv::TRFFocusControl focuser(dialogs);
    focuser.SetPaced(false);
    focuser.ResetPosition();
    focuser.ReceiveBytes(RfFrame("FD005000"));
    const std::string move = std::string(static_cast<std::size_t>(state.range(0)), 'I') + RfFrame("FD004900");
    for (auto _ : state) focuser.ReceiveBytes(move);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * move.size()));
    (void)kv::LogChannel::Instance().TakePending();
}
BENCHMARK(BM_RoboFocusReceiveMove)->Arg(0)->Arg(100);

// Position frames buried in line noise: every reply is checked and the
// buffer resynchronised.
void BM_RoboFocusReceiveNoisy(benchmark::State& state) {
    kvbench::NoDialogs dialogs;
    kv::TRFFocusControl focuser(dialogs);
    focuser.SetPaced(false);
    focuser.ResetPosition();
    std::string bad = RfFrame("FD004900");
    bad.back() = static_cast<char>(bad.back() + 1);
    const std::string burst = "#x?" + bad + RfFrame("FD004900");
    for (auto _ : state) focuser.ReceiveBytes(burst);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * burst.size()));
    (void)kv::LogChannel::Instance().TakePending();
}
BENCHMARK(BM_RoboFocusReceiveNoisy);

// Position replies with the device's line end, each followed by a step decision.
void BM_OptecReceivePosition(benchmark::State& state) {
    kvbench::NoDialogs dialogs;
    kv::TOFocusControl focuser(dialogs);
    focuser.SetPaced(false);
    focuser.ReceiveBytes("P=3200\n\r");
    const std::string reply = "P=3150\n\r*\n\r";
    for (auto _ : state) focuser.ReceiveBytes(reply);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_OptecReceivePosition);

}  // namespace

BENCHMARK_MAIN();
