// One focus-frame round trip (expose, receive, decode, measure) through the
// network camera plug-in against a local device server, and the same through
// the simulated camera plug-in for comparison. The network case is skipped
// when the server is not installed. The simulator checks a running exposure
// about once a second, so its figure is mostly that wait.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "bench_dialogs.h"
#include "camera/focus_figures.h"
#include "camera/plugin_host.h"
#include "indi/indi_server.h"
#include "sim/observatory.h"

namespace {

constexpr double kShortestExposure = 0.01;  // the plug-in takes 0 as unset; the simulator refuses less

void RoundTrips(benchmark::State& state, kv::CameraPlugin& camera, const std::string& plugin) {
    if (!camera.Initialize(plugin)) {
        state.SkipWithError("the camera did not initialise");
        return;
    }
    kv::TImageObject& frame = *camera.FocusImage();
    frame.SetExposureTime(kShortestExposure);
    camera.SetUpExpose();
    kv::FocusReading reading;
    for (auto _ : state) {
        if (!camera.GetFocusObject(640, 512, 1.0)) {
            state.SkipWithError("a frame failed");
            break;
        }
        kv::ComputeFocusFigures(frame, kv::FocusSettings{}, reading);
        benchmark::DoNotOptimize(reading.FWHM);
    }
    camera.Uninitialize();
}

void IndiFocusFrame(benchmark::State& state) {
    if (!kv::test::IndiServer::Installed()) {
        state.SkipWithError("indiserver is not installed");
        return;
    }
    kv::test::IndiServer server;
    kv::test::TempDir folder;
    std::filesystem::copy_file(std::string(KV_BIN_DIR) + "/indi_camera.so", folder.File("indi_camera.so"));
    folder.Write("indi_camera.ini", "Port=" + std::to_string(server.Port()) +
                                        "\nDevice=CCD Simulator\nFocusWidth=64\nFocusHeight=64\n");
    kvbench::NoDialogs dialogs;
    kv::CameraPlugin camera(dialogs, folder.Path().string());
    RoundTrips(state, camera, "indi_camera.so");
}
BENCHMARK(IndiFocusFrame)->Iterations(20)->Unit(benchmark::kMillisecond);

void SimFocusFrame(benchmark::State& state) {
    kvsim::Observatory::Instance().StartNight(kvsim::NightParameters{});
    kvbench::NoDialogs dialogs;
    kv::CameraPlugin camera(dialogs, KV_BIN_DIR);
    RoundTrips(state, camera, "sim_camera.so");
}
BENCHMARK(SimFocusFrame)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
