// Star finding on whole frames: 1024² and 4096² pixels with 50 and 500 stars.
//
// Each case also times one plain pass over the same pixels (their sum), and
// reports the finder's time as a multiple of it ("passes"): the figure that
// says whether the finder can run on every main image, whatever the machine.
// The counters "found" and "worst_px" say it found the stars it was given and
// how far its worst centroid lies from the truth.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "camera/star_finder.h"

namespace {

struct Truth {
    double x, y;
};

std::vector<std::uint16_t> Field(int side, int stars, std::vector<Truth>& truth) {
    std::mt19937 rng(static_cast<std::uint32_t>(side * 7 + stars));
    std::uniform_real_distribution<double> where(60.0, side - 60.0), sigma(1.5, 3.0), peak(300.0, 20000.0);
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<double> light(static_cast<std::size_t>(side) * side, 1000.0);
    truth.clear();
    while (static_cast<int>(truth.size()) < stars) {
        const Truth t{where(rng), where(rng)};
        // Keep them apart, so that "found" counts stars and not blends.
        if (std::any_of(truth.begin(), truth.end(), [&](const Truth& o) { return std::hypot(o.x - t.x, o.y - t.y) < 30; }))
            continue;
        truth.push_back(t);
        const double s = sigma(rng), a = peak(rng);
        for (int y = static_cast<int>(t.y) - 15; y <= static_cast<int>(t.y) + 15; ++y)
            for (int x = static_cast<int>(t.x) - 15; x <= static_cast<int>(t.x) + 15; ++x)
                light[static_cast<std::size_t>(y) * side + x] +=
                    a * std::exp(-((x - t.x) * (x - t.x) + (y - t.y) * (y - t.y)) / (2 * s * s));
    }
    std::vector<std::uint16_t> pixels(light.size());
    for (std::size_t i = 0; i < light.size(); ++i)
        pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(light[i] + unit(rng) * std::sqrt(100 + light[i] / 10)), 0L, 65535L));
    return pixels;
}

void FindStarsOnAFrame(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0)), stars = static_cast<int>(state.range(1));
    std::vector<Truth> truth;
    const std::vector<std::uint16_t> pixels = Field(side, stars, truth);

    // One plain pass, timed the same way, for the ratio.
    const auto passStart = std::chrono::steady_clock::now();
    constexpr int kPasses = 20;
    std::uint64_t sum = 0;
    for (int i = 0; i < kPasses; ++i) {
        for (const std::uint16_t p : pixels) sum += p;
        benchmark::DoNotOptimize(sum);
    }
    const double pass = std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count() / kPasses;

    kv::StarField field;
    for (auto _ : state) {
        field = kv::FindStars(side, side, pixels.data());
        benchmark::DoNotOptimize(field.stars.data());
    }
    double worst = 0.0;
    int found = 0;
    for (const Truth& t : truth) {
        double nearest = 1e9;
        for (const kv::FoundStar& s : field.stars) nearest = std::min(nearest, std::hypot(s.x - t.x, s.y - t.y));
        if (nearest < 2.0) {
            ++found;
            worst = std::max(worst, nearest);
        }
    }
    state.counters["found"] = found;
    state.counters["reported"] = static_cast<double>(field.stars.size());
    state.counters["worst_px"] = worst;
    state.counters["pass_ms"] = pass * 1e3;
    // pass x iterations / time, inverted: the time of one search in passes.
    state.counters["passes"] = benchmark::Counter(pass, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(FindStarsOnAFrame)
    ->Args({1024, 50})
    ->Args({1024, 500})
    ->Args({4096, 50})
    ->Args({4096, 500})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
