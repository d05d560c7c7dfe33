// How the focus figures behave away from best focus on the simulated camera:
// FWHM, HFD and Peak (mean and spread over 20 frames) and the share of frames
// read as "no star", from best focus to 800 steps out, for the default sky
// and for a faint star on a bright, noisy sky. Prints a table.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_sim_camera.h"

namespace {

using kvbench::Stat;

void Profile(benchmark::State& state) {
    const bool faint = state.range(0) != 0;
    kvbench::SimCameraRig rig;
    if (!rig.Usable(state)) return;
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    kv::TCameraControl& camera = rig.camera;
    KVSimCameraConfig config = rig.Config();
    config.Seed = 42;
    config.Noise = 1;
    if (faint) {
        config.SkyPerSecond = 3000.0;
        config.FluxScale = 0.05;
    }
    rig.set(&config);
    rig.AimAtTheStar();

    const int distances[] = {0, 50, 100, 200, 300, 400, 500, 600, 800};
    std::printf("\n%s: sky %.0f ADU/s, star flux x%.2f, seeing jitter %.0f %%, 20 frames each\n",
                faint ? "faint star, bright sky" : "default sky", config.SkyPerSecond, config.FluxScale,
                config.SeeingJitter * 100);
    std::printf("%9s %16s %16s %18s %8s\n", "distance", "FWHM", "HFD", "Peak", "no star");
    for (auto _ : state) {
        for (const int d : distances) {
            sky.SetTruePosition(static_cast<std::int64_t>(std::lround(sky.BestFocus())) + d);
            Stat fwhm, hfd, peak;
            int noStar = 0;
            for (int i = 0; i < 20; ++i) {
                camera.GetFocusFrame();
                const kv::FocusReading r = camera.Reading();
                fwhm.Add(r.FWHM);
                hfd.Add(r.HFD);
                peak.Add(r.Peak);
                noStar += r.status == kv::StarStatus::NoStar ? 1 : 0;
            }
            std::printf("%9d %8.2f +-%5.2f %8.2f +-%5.2f %9.0f +-%6.0f %7d%%\n", d, fwhm.Mean(), fwhm.Sd(), hfd.Mean(),
                        hfd.Sd(), peak.Mean(), peak.Sd(), noStar * 5);
            if (d == 800) {
                state.counters["hfd_800"] = hfd.Mean();
                state.counters["no_star_800_pct"] = noStar * 5;
            }
        }
    }
}
BENCHMARK(Profile)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
