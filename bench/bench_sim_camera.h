// The simulated camera through the real camera controller, for the benchmarks
// that measure focus figures on it, and the running statistics they print.
// Needs KV_BIN_DIR (where sim_camera.so is built) and the plug-in's folder on
// the include path.
#pragma once

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "bench_dialogs.h"
#include "camera/camera_control.h"
#include "sim/observatory.h"
#include "sim_camera/sim_camera.h"

namespace kvbench {

struct Stat {
    double sum = 0, sum2 = 0;
    int n = 0;
    void Add(double v) { sum += v; sum2 += v * v; ++n; }
    double Mean() const { return n ? sum / n : 0; }
    double Sd() const { return n > 1 ? std::sqrt(std::max(0.0, (sum2 - sum * sum / n) / (n - 1))) : 0; }
    double Rel() const { return Mean() > 0 ? Sd() / Mean() : 0; }
};

// A night whose best focus stays put, the simulated camera connected, and its
// settings within reach. `error` is empty when all of that worked.
struct SimCameraRig {
    NoDialogs dialogs;
    kv::TCameraControl camera{dialogs, KV_BIN_DIR};
    KVSimCameraSetConfigProc set = nullptr;
    KVSimCameraGetConfigProc get = nullptr;
    std::string error;

    SimCameraRig() {
        kvsim::NightParameters night;
        night.temperatureRateCPerHour = 0.0;
        kvsim::Observatory::Instance().StartNight(night);
        if (!camera.ToggleConnection("sim_camera.so")) {
            error = "the simulated camera did not connect";
            return;
        }
        void* plugin = dlopen((std::string(KV_BIN_DIR) + "/sim_camera.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (plugin != nullptr) {
            set = reinterpret_cast<KVSimCameraSetConfigProc>(dlsym(plugin, "KVSimCamera_SetConfig"));
            get = reinterpret_cast<KVSimCameraGetConfigProc>(dlsym(plugin, "KVSimCamera_GetConfig"));
        }
        if (set == nullptr || get == nullptr) error = "the simulated camera's settings are not reachable";
    }

    // False, with the benchmark skipped and told why, when the rig is not usable.
    bool Usable(benchmark::State& state) const {
        if (!error.empty()) state.SkipWithError(error.c_str());
        return error.empty();
    }

    KVSimCameraConfig Config() const {
        KVSimCameraConfig config;
        get(&config);
        return config;
    }

    // Instant frames around the field's brightest star, measured by HFD on a
    // background-free frame, as both figure benchmarks measure it.
    void AimAtTheStar() {
        camera.SetExposureTime(0.0);
        camera.SetFocusX(382);
        camera.SetFocusY(255);
        camera.SetRemoveBackground(true);
        camera.SetFOMKind(kv::FomKind::HFD);
    }
};

}  // namespace kvbench
