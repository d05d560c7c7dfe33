// The aberration inspector on synthetic whole-field runs at f/5 with 5 µm
// steps: tilt of 0, 20, 50 and 100 µm across the sensor in four directions,
// field curvature of 0 and 30 µm, 20 to 300 stars at random places.
//
// Each star's HFD follows a defocus law around its own best focus (the plane
// and paraboloid of the case) with noise. Every run draws one of two worlds:
//   A  a hyperbola (seeing and geometric blur in quadrature), 6 % noise on
//      each star;
//   B  a sharper V (the two added as 1.5-norms), seeing drawn at random, a
//      common wander of the seeing each frame, 0.15 px of additive noise and
//      one star in fifty read at twice its size (a blend or a satellite).
// The whole field's fit is the project's curve fit on the readings' medians;
// its shape is every region's.
//
// Accuracy prints a table per case: tilt within ±20 % or ±5 µm (all runs,
// and those of 60 stars or more: "t60+"), direction
// (the corner or edge too far out) right, curvature within ±30 % or ±8 µm,
// the stated uncertainty covering the truth, and the errors' median, 90 %
// and worst. For the cases with neither, the share of runs whose tilt and
// curvature both read "within the critical focus zone". Speed times one
// inspection of 13 readings of 300 stars.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "focusing/aberration.h"
#include "focusing/critical_focus_zone.h"
#include "focusing/curve_fit.h"

namespace {

using namespace kv;

constexpr int kWidth = 4144;
constexpr int kHeight = 2822;
constexpr double kPixel = 4.63;
constexpr double kFocalRatio = 5.0;
constexpr double kStep = 5.0;
constexpr int kReadings = 13;
constexpr double kSpacing = 10.0;  // steps between readings

struct Truth {
    double tiltX = 0.0;  // µm outward, right edge less left
    double tiltY = 0.0;  // µm outward, bottom edge less top
    double curvature = 0.0;  // µm outward, corners less centre
};

InspectInput Run(const Truth& t, std::mt19937& rng) {
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const bool worldB = uni(rng) < 0.5;
    const int stars = 20 + static_cast<int>(uni(rng) * 281);
    const double seeing = worldB ? 1.8 + 2.2 * uni(rng) : 2.6;
    const double centre = 1000.0 + (uni(rng) - 0.5) * 40.0;  // steps, best focus at the sensor's centre
    const double halfW = kWidth * kPixel / 2000.0;
    const double halfH = kHeight * kPixel / 2000.0;
    const double cornerR2 = halfW * halfW + halfH * halfH;
    std::vector<InspectStar> field;
    std::vector<double> best;
    for (int i = 0; i < stars; ++i) {
        const InspectStar s{uni(rng) * kWidth, uni(rng) * kHeight, 0.0};
        const double u = (s.x - kWidth / 2.0) * kPixel / 1000.0;
        const double v = (s.y - kHeight / 2.0) * kPixel / 1000.0;
        const double microns = t.tiltX * u / (2 * halfW) + t.tiltY * v / (2 * halfH) + t.curvature * (u * u + v * v) / cornerR2;
        field.push_back(s);
        best.push_back(centre + microns / kStep);
    }
    InspectInput in;
    in.sensorWidth = kWidth;
    in.sensorHeight = kHeight;
    in.pixelMicrons = kPixel;
    in.focalRatio = kFocalRatio;
    in.stepMicrons = kStep;
    const double first = 1000.0 - kSpacing * (kReadings - 1) / 2.0;
    std::vector<FitPoint> medians;
    for (int k = 0; k < kReadings; ++k) {
        InspectReading reading;
        reading.position = first + k * kSpacing;
        const double wander = worldB ? 1.0 + 0.04 * gauss(rng) : 1.0;
        for (std::size_t i = 0; i < field.size(); ++i) {
            if (uni(rng) < 0.05) continue;  // missed in this frame
            // A defocus of d µm at f/N blurs to a disc of d / N µm, whose HFD is 1 / sqrt(2) of it.
            const double blur = std::fabs(reading.position - best[i]) * kStep / kFocalRatio / std::sqrt(2.0) / kPixel;
            double hfd = worldB ? std::pow(std::pow(seeing * wander, 1.5) + std::pow(blur, 1.5), 1.0 / 1.5)
                                : std::hypot(seeing, blur);
            hfd = worldB ? hfd + 0.15 * gauss(rng) : hfd * (1.0 + 0.06 * gauss(rng));
            if (worldB && uni(rng) < 0.02) hfd *= 2.0;
            reading.stars.push_back({field[i].x, field[i].y, std::max(0.5, hfd)});
        }
        std::vector<double> sizes;
        for (const InspectStar& s : reading.stars) sizes.push_back(s.hfd);
        std::nth_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2), sizes.end());
        medians.push_back({reading.position, sizes[sizes.size() / 2], 1.0});
        in.readings.push_back(std::move(reading));
    }
    in.fieldFit = FitFocusCurve(medians);
    return in;
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(std::min<double>(static_cast<double>(v.size()) - 1, std::floor(q * static_cast<double>(v.size()))))];
}

void Accuracy(benchmark::State& state) {
    constexpr int kRuns = 200;
    for (auto _ : state) {
        std::mt19937 rng(20261210);
        std::printf("\n%5s %-10s %4s | %5s %5s %5s %5s %5s | %5s %5s | %-17s | %-17s | %s\n", "tilt", "towards", "curv",
                    "tilt", "t60+", "dir", "curv", "cover", "both", "zone", "tilt err med/90/max", "curv err med/90/max",
                    "runs absent");
        const struct {
            const char* name;
            double x, y;
        } directions[] = {{"right", 1, 0}, {"top", 0, -1}, {"bot-right", 0.5, 0.5}, {"bot-left", -0.5, 0.5}};
        for (const double curvature : {0.0, 30.0}) {
            for (const double tilt : {0.0, 20.0, 50.0, 100.0}) {
                for (const auto& d : directions) {
                    if (tilt == 0.0 && d.x != 1) continue;
                    const Truth truth{tilt * d.x, tilt * d.y, curvature};
                    // The truth's tilt is |x| + |y| and its place names the part that sits too far out.
                    const std::string place = PhysicalPlace(-truth.tiltX, -truth.tiltY, {});
                    int absent = 0, richRuns = 0, richOk = 0, tiltOk = 0, placeOk = 0, curvOk = 0, covered = 0, within = 0, both = 0, runs = 0;
                    std::vector<double> tiltErr, curvErr;
                    for (int r = 0; r < kRuns; ++r) {
                        const InspectInput in = Run(truth, rng);
                        const bool rich = in.readings.front().stars.size() >= 60;
                        const AberrationReport rep = Inspect(in);
                        ++runs;
                        richRuns += rich;
                        if (!rep.ok || rep.tilt.state == FigureState::Absent) {
                            ++absent;
                            continue;
                        }
                        const double te = std::fabs(rep.tilt.microns - tilt);
                        tiltErr.push_back(te);
                        const bool tOk = te <= std::max(0.2 * tilt, 5.0);
                        tiltOk += tOk;
                        richOk += tOk && rich;
                        covered += te <= rep.tilt.uncertainty;
                        const bool pOk = tilt == 0.0 || rep.tiltPlace == place;
                        placeOk += pOk;
                        bool cOk = false;
                        if (rep.curvature.state != FigureState::Absent) {
                            const double ce = std::fabs(rep.curvature.microns - curvature);
                            curvErr.push_back(ce);
                            cOk = ce <= std::max(0.3 * curvature, 8.0);
                            curvOk += cOk;
                        }
                        both += tOk && pOk && cOk;
                        within += rep.tilt.state == FigureState::WithinZone &&
                                  rep.curvature.state == FigureState::WithinZone;
                    }
                    const auto pct = [&](int n) { return 100.0 * n / runs; };
                    char zone[16] = "    -";
                    if (tilt == 0.0 && curvature == 0.0) std::snprintf(zone, sizeof zone, "%4.0f%%", pct(within));
                    std::printf("%5.0f %-10s %4.0f | %4.0f%% %4.0f%% %4.0f%% %4.0f%% %4.0f%% | %4.0f%% %5s | %5.1f %5.1f %5.1f | "
                                "%5.1f %5.1f %5.1f | %d %d\n",
                                tilt, tilt == 0.0 ? "-" : d.name, curvature, pct(tiltOk), 100.0 * richOk / std::max(1, richRuns), pct(placeOk), pct(curvOk),
                                pct(covered), pct(both), zone, Quantile(tiltErr, 0.5), Quantile(tiltErr, 0.9),
                                Quantile(tiltErr, 1.0), Quantile(curvErr, 0.5), Quantile(curvErr, 0.9),
                                Quantile(curvErr, 1.0), runs, absent);
                }
            }
        }
        std::printf("CFZ at f/%.0f: %.1f µm; %d readings %g steps of %g µm apart\n", kFocalRatio,
                    *CriticalFocusZoneMicrons(kFocalRatio), kReadings, kSpacing, kStep);
    }
}
BENCHMARK(Accuracy)->Iterations(1)->Unit(benchmark::kSecond);

void Speed(benchmark::State& state) {
    std::mt19937 rng(7);
    InspectInput in;
    do in = Run({50, 0, 30}, rng);
    while (in.readings.front().stars.size() < 250);
    for (auto _ : state) benchmark::DoNotOptimize(Inspect(in));
}
BENCHMARK(Speed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
