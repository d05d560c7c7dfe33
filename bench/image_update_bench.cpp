// Image update: the work one new frame causes (statistics, levels, stretch,
// grey rendering, display bitmap, zoom at magnification 1), against a plain
// copy of the same frame bytes timed in the same run. The frame's delivery
// into the image object (itself one such copy) is not counted.
//
// Counter x_memcpy is the update's time per frame divided by the time a
// memcpy of the frame's 16-bit pixels takes on this machine right now. The
// machine is shared, so each case runs five times and the best is reported.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "camera/image_object.h"

namespace {

// A noisy sky of 1000 with a few dozen Gaussian stars, as a camera would send.
std::vector<std::uint16_t> SkyFrame(int size) {
    std::mt19937 rng(99);
    std::normal_distribution<double> noise(1000.0, 30.0);
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    for (auto& p : pixels) {
        p = static_cast<std::uint16_t>(std::clamp(std::lround(noise(rng)), 0L, 65535L));
    }
    std::uniform_real_distribution<double> where(8.0, size - 8.0);
    for (int s = 0; s < 40; ++s) {
        const double cx = where(rng);
        const double cy = where(rng);
        for (int y = static_cast<int>(cy) - 8; y <= static_cast<int>(cy) + 8; ++y) {
            for (int x = static_cast<int>(cx) - 8; x <= static_cast<int>(cx) + 8; ++x) {
                const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                auto& p = pixels[static_cast<std::size_t>(y) * size + x];
                p = static_cast<std::uint16_t>(std::min(65535.0, p + 40000.0 * std::exp(-r2 / 4.5)));
            }
        }
    }
    return pixels;
}

// Seconds per memcpy of `bytes`, best of a few rounds so a busy moment on the
// machine does not flatter the ratio.
double MemcpySeconds(const std::vector<std::uint16_t>& source) {
    std::vector<std::uint16_t> target(source.size());
    const std::size_t bytes = source.size() * sizeof(std::uint16_t);
    const int repeats = std::max(4, static_cast<int>((256u << 20) / bytes));
    double best = 1e30;
    for (int round = 0; round < 5; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeats; ++i) {
            std::memcpy(target.data(), source.data(), bytes);
            benchmark::ClobberMemory();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / repeats);
    }
    benchmark::DoNotOptimize(target.data());
    return best;
}

void ImageUpdate(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const bool stretch = state.range(1) != 0;
    const auto frame = SkyFrame(size);
    kv::TImageObject image(size, size);
    image.SetStretchOn(stretch);
    image.SetGamma(stretch ? 0.7 : 1.0);
    const double copy = MemcpySeconds(frame);
    image.LoadPixels(frame.data());
    for (auto _ : state) {
        image.Update();
        benchmark::DoNotOptimize(image.DisplayBitmap().Data());
    }
    // Copy timed again after the run; the smaller of the two is the fair base.
    const double copyAfter = MemcpySeconds(frame);
    state.counters["memcpy_us"] = 1e6 * std::min(copy, copyAfter);
    state.counters["x_memcpy"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * std::min(copy, copyAfter), benchmark::Counter::kIsRate |
                                                                               benchmark::Counter::kInvert);
}
BENCHMARK(ImageUpdate)
    ->ArgNames({"size", "stretch"})
    ->ArgsProduct({{1024, 4096}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
