// Continuous focus through the camera controller with the simulated camera
// plug-in at zero exposure: focus frames delivered and measured per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "camera/camera_control.h"
#include "sim/observatory.h"

namespace {

class NoDialogs final : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string&, kv::DialogType, kv::DialogButtons) override {
        return kv::DialogResult::Ok;
    }
    void Defer(const kv::DeferredMessage&) override { ++failures; }
    void Beep() override {}
    std::atomic<int> failures{0};
};

void FramesPerSecond(benchmark::State& state) {
    kvsim::Observatory::Instance().StartNight(kvsim::NightParameters{});
    NoDialogs dialogs;
    kv::TCameraControl camera(dialogs, KV_BIN_DIR);
    if (!camera.ToggleConnection("sim_camera.so")) {
        state.SkipWithError("the simulated camera did not connect");
        return;
    }
    camera.SetExposureTime(0.0);
    camera.SetFocusX(382);
    camera.SetFocusY(255);
    std::atomic<int> frames{0};
    camera.SetOnFocusImageReady([&](kv::TCameraControl&) { ++frames; });
    double seconds = 0.0;
    int counted = 0;
    for (auto _ : state) {
        const int before = frames.load();
        const auto start = std::chrono::steady_clock::now();
        camera.SetContinuousFocus(true);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        camera.SetContinuousFocus(false);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        counted += frames.load() - before;
    }
    state.counters["frames_per_s"] = counted / seconds;
    state.counters["failures"] = dialogs.failures.load();
}
BENCHMARK(FramesPerSecond)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
