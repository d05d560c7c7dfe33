// How steady one focus reading is at a fixed focuser position: the selected
// star's own HFD against the median HFD of the field (the main image's
// stars), on the simulated camera with seeing that wanders from frame to
// frame. Run once with the same seeing for every star of a frame and once
// with each star's seeing differing a little (as the air does across a
// field). Prints mean, standard deviation and relative spread over 40 frames
// at best focus and defocused; the counters hold the ratios of the spreads.
// A third column measures the selected star alone the way the field measures
// each of its stars (the star finder's HFD on the same main image), which
// tells the median's gain apart from the difference of the two measurements.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "bench_sim_camera.h"
#include "camera/image_object.h"
#include "camera/star_finder.h"

namespace {

using kvbench::Stat;

constexpr int kFrames = 40;

void FieldScatter(benchmark::State& state) {
    const double patch = static_cast<double>(state.range(0)) / 100.0;
    kvbench::SimCameraRig rig;
    if (!rig.Usable(state)) return;
    kvsim::Observatory& sky = kvsim::Observatory::Instance();
    kv::TCameraControl& camera = rig.camera;
    KVSimCameraConfig config = rig.Config();
    config.Noise = 1;
    config.SeeingPatch = patch;
    rig.AimAtTheStar();

    const int distances[] = {0, 100, 300, 600};
    std::printf("\nseeing jitter %.0f %% per frame, %.0f %% star to star; HFD over %d frames\n",
                config.SeeingJitter * 100, patch * 100, kFrames);
    std::printf("%9s %22s %22s %22s %7s %10s\n", "distance", "single star", "field median", "finder, one star",
                "stars", "sd ratio");
    for (auto _ : state) {
        double ratioSum = 0;
        for (const int d : distances) {
            sky.SetTruePosition(static_cast<std::int64_t>(std::lround(sky.BestFocus())) + d);
            Stat figure[2];
            Stat stars;
            Stat alone;
            for (int field = 0; field < 2; ++field) {
                config.Seed = 4242u + static_cast<unsigned>(d);  // the same seed for both: deterministic
                rig.set(&config);
                camera.SetFieldFigure(field != 0);
                for (int i = 0; i < kFrames; ++i) {
                    camera.GetFocusFrame();
                    const kv::FocusReading r = camera.Reading();
                    if (r.status != kv::StarStatus::Ok) continue;
                    figure[field].Add(r.HFD);
                    if (!field) continue;
                    stars.Add(r.stars);
                    const kv::StarField found = kv::FindStars(*camera.MainImage());
                    const kv::FoundStar* nearest = nullptr;
                    for (const kv::FoundStar& s : found.stars) {
                        if (std::hypot(s.x - 382, s.y - 255) < 5) nearest = &s;
                    }
                    if (nearest != nullptr) alone.Add(nearest->hfd);
                }
            }
            const double ratio = figure[1].Sd() > 0 ? figure[0].Sd() / figure[1].Sd() : 0;
            ratioSum += ratio;
            std::printf("%9d %6.3f +-%5.3f (%4.1f%%) %6.3f +-%5.3f (%4.1f%%) %6.3f +-%5.3f (%4.1f%%) %7.1f %9.2fx\n",
                        d, figure[0].Mean(), figure[0].Sd(), figure[0].Rel() * 100, figure[1].Mean(), figure[1].Sd(),
                        figure[1].Rel() * 100, alone.Mean(), alone.Sd(), alone.Rel() * 100, stars.Mean(), ratio);
            state.counters["sd_ratio_" + std::to_string(d)] = ratio;
        }
        state.counters["sd_ratio_mean"] = ratioSum / std::size(distances);
    }
}
BENCHMARK(FieldScatter)->Arg(0)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
