// Focus figures: accuracy against Gaussian stars of known size, and speed.
//
// Accuracy benchmarks report, as counters, the mean and worst relative error
// of FWHM and HFD against the true 2.3548 sigma over stars placed at random
// sub-pixel positions, on a sky of 1000 with background removal on, without
// and with noise (shot noise plus a read noise of 10).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "camera/focus_figures.h"

namespace {

constexpr double kFwhmPerSigma = 2.354820045;
constexpr int kSky = 1000;
constexpr double kStarPeak = 20000.0;
constexpr double kReadNoise = 10.0;

std::vector<std::uint16_t> Star(int size, double cx, double cy, double sigma, bool noisy, std::mt19937& rng) {
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
    std::normal_distribution<double> unit(0.0, 1.0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            double v = kSky + kStarPeak * std::exp(-r2 / (2 * sigma * sigma));
            if (noisy) {
                v += unit(rng) * std::sqrt(v + kReadNoise * kReadNoise);
            }
            pixels[static_cast<std::size_t>(y * size + x)] = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
        }
    }
    return pixels;
}

void Accuracy(benchmark::State& state) {
    const double sigma = static_cast<double>(state.range(0)) / 10.0;
    const bool noisy = state.range(1) != 0;
    constexpr int kSize = 64;
    constexpr int kTrials = 32;
    const double truth = kFwhmPerSigma * sigma;
    double fwhmSum = 0.0;
    double hfdSum = 0.0;
    double fwhmWorst = 0.0;
    double hfdWorst = 0.0;
    int measured = 0;
    for (auto _ : state) {
        std::mt19937 rng(12345);
        std::uniform_real_distribution<double> offset(-0.5, 0.5);
        for (int t = 0; t < kTrials; ++t) {
            auto pixels = Star(kSize, 32 + offset(rng), 32 + offset(rng), sigma, noisy, rng);
            kv::FocusSettings settings;  // background removal on, no region
            kv::FocusReading reading;
            kv::ComputeFocusFigures(kSize, kSize, pixels.data(), settings, reading);
            const double fwhmErr = (reading.FWHM - truth) / truth;
            const double hfdErr = (reading.HFD - truth) / truth;
            fwhmSum += fwhmErr;
            hfdSum += hfdErr;
            fwhmWorst = std::max(fwhmWorst, std::fabs(fwhmErr));
            hfdWorst = std::max(hfdWorst, std::fabs(hfdErr));
            ++measured;
        }
    }
    state.counters["sigma_px"] = sigma;
    state.counters["fwhm_mean_err_pct"] = 100.0 * fwhmSum / measured;
    state.counters["fwhm_worst_err_pct"] = 100.0 * fwhmWorst;
    state.counters["hfd_mean_err_pct"] = 100.0 * hfdSum / measured;
    state.counters["hfd_worst_err_pct"] = 100.0 * hfdWorst;
}
BENCHMARK(Accuracy)
    ->ArgNames({"sigma_x10", "noisy"})
    ->ArgsProduct({{8, 10, 15, 20, 30, 40, 60}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void Speed(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    std::mt19937 rng(7);
    const auto frame = Star(size, size / 2.0, size / 2.0, 2.5, true, rng);
    kv::FocusSettings settings;
    kv::FocusReading reading;
    std::vector<std::uint16_t> work(frame.size());
    for (auto _ : state) {
        // The measurement reduces the frame in place, so each pass starts from a fresh copy.
        std::copy(frame.begin(), frame.end(), work.begin());
        kv::ComputeFocusFigures(size, size, work.data(), settings, reading);
        benchmark::DoNotOptimize(reading);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Speed)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
