// Focus figures: accuracy against Gaussian stars of known size, and speed.
//
// Accuracy benchmarks report, as counters, the mean and worst relative error
// of FWHM and HFD against the true 2.3548 sigma over stars placed at random
// sub-pixel positions, on a sky of 1000 with background removal on, without
// and with noise (shot noise plus a read noise of 10).
//
// SmallStars prints a table: stars of FWHM 0.8 to 4 px integrated over each
// pixel, Gaussian and Moffat (beta 2.5 and 4.765), centred on a pixel and on
// a pixel's corner, without noise; FWHM and HFD as the focus figures and the
// star finder measure them against the continuous star's own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "camera/focus_figures.h"
#include "camera/star_finder.h"

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

// A star of sigma 2.5 px (FWHM 5.9, counted), or as the second argument in
// tenths of a pixel: 0.6 and 1.5 (FWHM 1.4 and 3.5) have their size fitted.
void Speed(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const double sigma = state.range(1) > 0 ? static_cast<double>(state.range(1)) / 10.0 : 2.5;
    std::mt19937 rng(7);
    const auto frame = Star(size, size / 2.0, size / 2.0, sigma, true, rng);
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
BENCHMARK(Speed)
    ->Args({64, 0})
    ->Args({128, 0})
    ->Args({256, 0})
    ->Args({64, 6})
    ->Args({64, 15})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

namespace {

// A round star of FWHM `fwhm`: a Gaussian (beta 0) or a Moffat of `beta`.
struct Analytic {
    double fwhm, beta;
    double Alpha() const { return fwhm / (2 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1)); }
    double At(double r2) const {
        if (beta == 0) return std::exp(-4 * std::log(2.0) * r2 / (fwhm * fwhm));
        return std::pow(1 + r2 / (Alpha() * Alpha()), -beta);
    }
    double Hfd() const { return beta == 0 ? fwhm : 2 * Alpha() * std::sqrt(std::pow(2.0, 1.0 / (beta - 1)) - 1); }
};

// The star integrated over each pixel (midpoints of 40 x 40 parts of it, 200
// x 200 near the middle), scaled so that its brightest pixel is `top` above a
// sky of kSky, rounded to counts.
std::vector<std::uint16_t> Integrated(int size, double cx, double cy, const Analytic& star, double top) {
    std::vector<double> light(static_cast<std::size_t>(size) * size);
    double brightest = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const int n = std::hypot(x - cx, y - cy) < 2.5 ? 200 : 40;
            double sum = 0;
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) {
                    const double dx = x - 0.5 + (i + 0.5) / n - cx, dy = y - 0.5 + (j + 0.5) / n - cy;
                    sum += star.At(dx * dx + dy * dy);
                }
            light[static_cast<std::size_t>(y * size + x)] = sum / (n * n);
            brightest = std::max(brightest, sum / (n * n));
        }
    std::vector<std::uint16_t> pixels(light.size());
    for (std::size_t i = 0; i < light.size(); ++i) pixels[i] = static_cast<std::uint16_t>(std::lround(kSky + top * light[i] / brightest));
    return pixels;
}

void SmallStars(benchmark::State& state) {
    constexpr int kSize = 48;
    double worst = 0;
    for (auto _ : state) {
        std::printf("%-8s %-6s %5s | %6s %6s | %6s %6s | %6s %6s\n", "profile", "centre", "FWHM", "fwhm", "HFD", "fig.fwhm",
                    "fig.hfd", "find.fwhm", "find.hfd");
        for (const double beta : {0.0, 2.5, 4.765})
            for (const bool corner : {false, true})
                for (const double fwhm : {0.8, 1.0, 1.1, 1.25, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0}) {
                    const Analytic star{fwhm, beta};
                    const double c = kSize / 2 + (corner ? 0.5 : 0.0);
                    auto pixels = Integrated(kSize, c, c, star, 30000);
                    const kv::StarField field = kv::FindStars(kSize, kSize, pixels.data(), {.focusFrame = 20});
                    kv::FocusSettings settings;
                    kv::FocusReading reading;
                    kv::ComputeFocusFigures(kSize, kSize, pixels.data(), settings, reading);
                    const double findFwhm = field.stars.empty() ? 0 : field.stars[0].fwhm;
                    const double findHfd = field.stars.empty() ? 0 : field.stars[0].hfd;
                    std::printf("%-8s %-6s %5.2f | %6.3f %6.3f | %+7.1f%% %+6.1f%% | %+7.1f%% %+7.1f%%\n",
                                beta == 0 ? "Gauss" : beta == 2.5 ? "Moff2.5" : "Moff4.8", corner ? "corner" : "pixel", fwhm,
                                fwhm, star.Hfd(), 100 * (reading.FWHM / fwhm - 1), 100 * (reading.HFD / star.Hfd() - 1),
                                100 * (findFwhm / fwhm - 1), 100 * (findHfd / star.Hfd() - 1));
                    worst = std::max({worst, std::fabs(reading.FWHM / fwhm - 1), std::fabs(reading.HFD / star.Hfd() - 1)});
                }
    }
    state.counters["figures_worst_err_pct"] = 100 * worst;
}
BENCHMARK(SmallStars)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same stars (Moffat, beta 3) on a sky of 1000 with a noise of 30, their
// brightest pixel 10, 30 and 100 noise widths up: the mean and spread of the
// focus figures' FWHM and HFD over 40 exposures, relative to the truth.
void NoisySmallStars(benchmark::State& state) {
    constexpr int kSize = 48;
    constexpr double kNoise = 30.0;
    for (auto _ : state) {
        std::printf("%-6s %5s %4s | %7s %6s | %7s %6s | stars\n", "centre", "FWHM", "snr", "fwhm", "sd", "hfd", "sd");
        for (const bool corner : {false, true})
            for (const double fwhm : {0.8, 1.1, 2.0, 3.5})
                for (const double snr : {10.0, 30.0, 100.0}) {
                    const Analytic star{fwhm, 3.0};
                    const double c = kSize / 2 + (corner ? 0.5 : 0.0);
                    const auto clean = Integrated(kSize, c, c, star, snr * kNoise);
                    std::mt19937 rng(11);
                    std::normal_distribution<double> unit(0.0, kNoise);
                    double f1 = 0, f2 = 0, h1 = 0, h2 = 0;
                    int n = 0;
                    for (int k = 0; k < 40; ++k) {
                        std::vector<std::uint16_t> pixels(clean.size());
                        for (std::size_t i = 0; i < clean.size(); ++i)
                            pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(clean[i] + unit(rng)), 0L, 65535L));
                        kv::FocusSettings settings;
                        kv::FocusReading reading;
                        kv::ComputeFocusFigures(kSize, kSize, pixels.data(), settings, reading);
                        if (reading.status != kv::StarStatus::Ok) continue;
                        const double fe = reading.FWHM / fwhm - 1, he = reading.HFD / star.Hfd() - 1;
                        f1 += fe, f2 += fe * fe, h1 += he, h2 += he * he, ++n;
                    }
                    const auto sd = [n](double s1, double s2) { return n > 1 ? std::sqrt(std::max(0.0, (s2 - s1 * s1 / n) / (n - 1))) : 0.0; };
                    std::printf("%-6s %5.2f %4.0f | %+6.1f%% %5.1f%% | %+6.1f%% %5.1f%% | %d\n", corner ? "corner" : "pixel", fwhm, snr,
                                n ? 100 * f1 / n : 0.0, 100 * sd(f1, f2), n ? 100 * h1 / n : 0.0, 100 * sd(h1, h2), n);
                }
    }
}
BENCHMARK(NoisySmallStars)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
