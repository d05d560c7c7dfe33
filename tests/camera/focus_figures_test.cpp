#include "camera/focus_figures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kv {
namespace {

constexpr double kFwhmPerSigma = 2.354820045;  // 2 sqrt(2 ln 2)

struct Frame {
    std::int32_t width, height;
    std::vector<std::uint16_t> pixels;

    Frame(std::int32_t w, std::int32_t h, std::uint16_t fill = 0)
        : width(w), height(h), pixels(static_cast<std::size_t>(w * h), fill) {}
    std::uint16_t& at(int x, int y) { return pixels[static_cast<std::size_t>(y * width + x)]; }
    void AddStar(double cx, double cy, double sigma, double amplitude) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                const double v = at(x, y) + amplitude * std::exp(-r2 / (2 * sigma * sigma));
                at(x, y) = static_cast<std::uint16_t>(std::lround(std::min(v, 65535.0)));
            }
        }
    }
    double Hfd(std::int64_t bg) const { return HalfFluxDiameter(width, height, pixels.data(), bg); }
};

FocusSettings Plain() { return FocusSettings{.RemoveBackground = false}; }

FocusReading Measure(Frame& f, const FocusSettings& s, FocusReading r = {}) {
    ComputeFocusFigures(f.width, f.height, f.pixels.data(), s, r);
    return r;
}

TEST(FocusFigures, GaussianStarsMeasureTheirTrueWidthAndHalfFluxDiameter) {
    double lastHfd = 0.0;
    for (const double sigma : {1.5, 2.0, 3.0, 4.5}) {
        SCOPED_TRACE(sigma);
        Frame f(64, 64);
        f.AddStar(32, 30, sigma, 40000);
        const FocusReading r = Measure(f, Plain());
        const double truth = kFwhmPerSigma * sigma;
        EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY), std::tuple(40000, 32, 30));
        EXPECT_NEAR(r.xFWHM, truth, 0.02 * truth);
        EXPECT_NEAR(r.yFWHM, truth, 0.02 * truth);
        EXPECT_DOUBLE_EQ(r.FOM, (r.xFWHM + r.yFWHM) / 2);
        // Each pixel's flux counts at its centre's radius, so the crossing
        // lands up to about half a ring inside the true one.
        EXPECT_NEAR(r.HFD, truth, 0.8);
        EXPECT_GT(r.HFD, lastHfd);
        lastHfd = r.HFD;
    }
}

TEST(FocusFigures, ProfileWidthsAreInterpolatedAndScaled) {
    // Row through the peak: left 30, peak 100, right 60, 40; 0 above and below.
    Frame f(9, 5);
    for (auto [x, v] : {std::pair{3, 30}, {4, 100}, {5, 60}, {6, 40}}) f.at(x, 2) = static_cast<std::uint16_t>(v);
    const FocusReading plain = Measure(f, Plain());
    const double dR = 1.5;          // 1 + |(50-60)/(40-60)|
    const double dL = 50.0 / 70.0;  // |(50-100)/(30-100)|
    EXPECT_NEAR(plain.xFWHM, dR + dL, 1e-12);
    EXPECT_NEAR(plain.yFWHM, 1.0, 1e-12);  // 0.5 up and down

    const FocusSettings s{.RemoveBackground = false, .FWHMFactorSetting = 3, .FWHMFactor = 0.5, .HorizPixel = 9.0,
                          .VertPixel = 6.0, .FocusBinning = 2, .FOMKind = FomKind::HFD};
    FocusReading r = Measure(f, s);
    EXPECT_NEAR(r.xFWHM, (dR + dL - 0.5) * 3 / 2, 1e-12);
    // The plug-in's factor is not subtracted from the column width.
    EXPECT_NEAR(r.yFWHM, 1.0 * 1.5 * 3 / 2, 1e-12);
    EXPECT_NEAR(r.HFD, plain.HFD / 2, 1e-12);
    EXPECT_EQ(std::pair(r.Peak, r.FOM), std::pair(100, r.HFD));
    for (auto [kind, want] : {std::pair{FomKind::xFWHM, r.xFWHM}, {FomKind::yFWHM, r.yFWHM},
                              {FomKind::Peak, 100.0}, {FomKind::FWHM, r.FWHM}}) {
        EXPECT_DOUBLE_EQ(GetFigureOfMerit(r, kind), want);
    }
}

TEST(FocusFigures, EmptyAndDegenerateFramesYieldTheFactorOnly) {
    FocusSettings s{.RemoveBackground = false, .FWHMFactorSetting = 2, .FWHMFactor = 1.5, .FocusBinning = 3};
    // An all-zero frame keeps a position left from a larger frame and must not walk from it.
    Frame zero(32, 24);
    FocusReading r = Measure(zero, s, FocusReading{.PeakX = 500, .PeakY = 400});
    EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY), std::tuple(0, 500, 400));
    EXPECT_EQ(std::tuple(r.xFWHM, r.yFWHM, r.HFD), std::tuple(-1.5 * 2 / 3, 0.0, 0.0));
    // Two rows have no measured pixel; no frame at all measures the same. Binning 0 is taken as 1.
    s.FocusBinning = 0;
    Frame twoRows(6, 2, 900);
    r = Measure(twoRows, s);
    EXPECT_EQ(std::pair(r.Peak, r.xFWHM), std::pair(0, -3.0));
    ComputeFocusFigures(0, 0, static_cast<const std::uint16_t*>(nullptr), s, r);
    EXPECT_EQ(std::pair(r.Peak, r.HFD), std::pair(0, 0.0));

    // A missing pixel size means square pixels.
    Frame star(40, 40);
    star.AddStar(20, 20, 2.0, 30000);
    s.VertPixel = 0;
    r = Measure(star, s);
    EXPECT_NEAR(r.yFWHM, kFwhmPerSigma * 2.0 * 2, 0.1);
}

TEST(FocusFigures, EdgesOfTheMeasuredArea) {
    // A star centred on the last column, which is measured, counts only its left side.
    Frame f(48, 48);
    f.AddStar(47, 20, 3.0, 30000);
    FocusReading r = Measure(f, Plain());
    EXPECT_EQ(r.PeakX, 47);
    const double half = kFwhmPerSigma * 3.0 / 2;
    EXPECT_NEAR(r.xFWHM, half, 0.02 * half);
    EXPECT_NEAR(r.yFWHM, 2 * half, 0.04 * half);
    // The last row and the first column are never the peak.
    Frame g(20, 20);
    g.at(10, 19) = g.at(0, 5) = 60000;
    g.at(7, 8) = 1000;
    r = Measure(g, Plain());
    EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY), std::tuple(1000, 7, 8));
}

TEST(FocusFigures, RegionOfInterestRestrictsPeakAndBackground) {
    Frame f(64, 64, 100);
    f.AddStar(32, 32, 2.0, 5000);  // inside a 20-pixel region
    f.AddStar(8, 10, 2.0, 20000);  // brighter, outside it
    FocusSettings s{.ROISize = 20, .ROIOn = true, .RemoveBackground = false};
    FocusReading r = Measure(f, s);
    EXPECT_EQ(std::pair(r.PeakX, r.PeakY), std::pair(32, 32));
    s.ROIOn = false;
    EXPECT_EQ(Measure(f, s).PeakX, 8);
    // A region larger than the frame has a negative border: all counts.
    s.ROIOn = true;
    s.ROISize = 75;
    EXPECT_EQ(Measure(f, s).PeakX, 8);

    // The background is the mean of the region only, and removed from the whole frame.
    s.RemoveBackground = true;
    Frame h(6, 6, 100);
    h.at(3, 3) = 400;
    s.ROISize = 4;  // border 1: x, y in 2..4, nine pixels: mean (8*100+400)/9 = 133
    r = Measure(h, s);
    EXPECT_EQ(r.Peak, 400 - 133);
    EXPECT_EQ(std::pair(h.at(0, 0), h.at(3, 3)), std::pair(std::uint16_t{0}, std::uint16_t{400 - 133}));
}

TEST(FocusFigures, BackgroundRemovalInPlaceMatchesTheReadOnlyMeasurement) {
    Frame f(64, 64, 1200);
    f.AddStar(30, 33, 2.5, 25000);
    const Frame original = f;
    FocusSettings s{.ROISize = 40, .ROIOn = true};  // background removal on
    FocusReading readOnly;
    ComputeFocusFigures(f.width, f.height, static_cast<const std::uint16_t*>(f.pixels.data()), s, readOnly);
    EXPECT_EQ(f.pixels, original.pixels);

    const FocusReading inPlace = Measure(f, s);
    EXPECT_EQ(std::tuple(inPlace.Peak, inPlace.xFWHM, inPlace.yFWHM, inPlace.HFD),
              std::tuple(readOnly.Peak, readOnly.xFWHM, readOnly.yFWHM, readOnly.HFD));
    EXPECT_NEAR(inPlace.Peak, 25000, 1000);  // over a sky now at (about) 0

    // Without removal the HFD is still taken over the background.
    s.RemoveBackground = false;
    Frame g = original;
    const FocusReading kept = Measure(g, s);
    EXPECT_EQ(g.pixels, original.pixels);
    EXPECT_EQ(kept.HFD, readOnly.HFD);
    EXPECT_EQ(kept.Peak, 25000 + 1200);
}

// The half-flux diameter as plainly as it can be written: every pixel sorted
// by distance from the centroid (ties in row-major order), then the first
// running flux sum above half the total.
double ReferenceHfd(const Frame& f, std::int64_t bg) {
    double total = 0, sx = 0, sy = 0;
    const auto flux = [&](int x, int y) { return double(std::max<std::int64_t>(0, f.pixels[y * f.width + x] - bg)); };
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) total += flux(x, y), sx += flux(x, y) * x, sy += flux(x, y) * y;
    }
    const double cx = total > 0 ? sx / total : 0, cy = total > 0 ? sy / total : 0;
    std::vector<std::pair<double, double>> entries;  // squared radius, flux
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) entries.emplace_back((x - cx) * (x - cx) + (y - cy) * (y - cy), flux(x, y));
    }
    std::stable_sort(entries.begin(), entries.end(), [](auto& l, auto& r) { return l.first < r.first; });
    const double half = total * 0.5;
    if (entries[0].second > half) return 2 * std::sqrt(entries[0].first) * half / entries[0].second;
    double previous = entries[0].second;
    for (std::size_t i = 1; i < entries.size(); previous += entries[i++].second) {
        const double current = previous + entries[i].second;
        if (current > half) {
            const double r0 = std::sqrt(entries[i - 1].first), r1 = std::sqrt(entries[i].first);
            return 2 * (r0 + std::fabs((half - previous) * (r1 - r0) / (current - previous)));
        }
    }
    return 0;
}

// A star shows against the sky's noise only when it stands clearly above it
// and keeps its light inside the frame; the figures themselves do not change.
TEST(FocusFigures, StarStatusFromNoiseAndExtent) {
    struct Case {
        const char* name;
        double sigma, amplitude;
        StarStatus expected;
    };
    const Case cases[] = {
        {"sharp star", 2.0, 3000, StarStatus::Ok},
        {"blurred but bright", 12.0, 400, StarStatus::Ok},
        {"sunk into the noise", 12.0, 15, StarStatus::NoStar},
        {"spread over the frame", 40.0, 4000, StarStatus::NoStar},
        {"sky only", 1.0, 0, StarStatus::NoStar},
    };
    for (const Case& c : cases) {
        for (const bool remove : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (remove ? " reduced" : ""));
            std::mt19937 rng(7);
            std::normal_distribution<double> noise(400.0, 15.0);
            Frame f(100, 100);
            for (auto& p : f.pixels) p = static_cast<std::uint16_t>(std::lround(noise(rng)));
            if (c.amplitude > 0) f.AddStar(50, 50, c.sigma, c.amplitude);
            FocusSettings s = Plain();
            s.RemoveBackground = remove;
            EXPECT_EQ(Measure(f, s).status, c.expected);
        }
    }
    Frame empty(32, 32);
    EXPECT_EQ(Measure(empty, Plain()).status, StarStatus::NoStar);
}

TEST(FocusFigures, HalfFluxDiameterMatchesAFullSortOnVariedFrames) {
    std::mt19937 rng(4);
    std::normal_distribution<double> noise(0.0, 30.0);
    std::vector<std::pair<Frame, std::int64_t>> frames;
    for (const int size : {5, 31, 64, 97}) {
        for (const double sigma : {0.6, 2.0, 7.0}) {
            Frame f(size, size + 3, 800);
            std::uniform_real_distribution<double> at(0, size);
            f.AddStar(at(rng), at(rng), sigma, 30000);
            for (auto& p : f.pixels) p = static_cast<std::uint16_t>(std::clamp(p + noise(rng), 0.0, 65535.0));
            frames.emplace_back(f, 830);
        }
    }
    Frame bright(40, 40), flat(40, 40, 1000), edge(64, 48, 100), ties(9, 9);
    bright.at(17, 9) = 5000;
    edge.AddStar(63, 0, 2.5, 40000);
    // Point-symmetric, so the centroid is exactly (4, 4) and many pixels share
    // a distance while their values differ.
    for (int u = -4; u <= 4; ++u) {
        for (int v = -4; v <= 4; ++v) ties.at(u + 4, v + 4) = static_cast<std::uint16_t>(100 + 37 * ((5 * u * u + 3 * u * v + v * v) % 11));
    }
    frames.insert(frames.end(), {{bright, 0}, {flat, 0}, {flat, 999}, {flat, 1000}, {Frame(40, 40), 0},
                                 {edge, 100}, {edge, 0}, {ties, 0}});
    // Small sparse frames, down to single rows and columns, put the crossing
    // at every kind of place among few pixels.
    std::uniform_int_distribution<int> side(1, 12), value(0, 1000);
    for (int n = 0; n < 300; ++n) {
        Frame f(side(rng), side(rng));
        for (auto& p : f.pixels) p = static_cast<std::uint16_t>(value(rng) < 600 ? 0 : value(rng));
        frames.emplace_back(f, n % 3 == 0 ? 200 : 0);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].first.Hfd(frames[i].second), ReferenceHfd(frames[i].first, frames[i].second)) << "frame " << i;
    }
    // Through the whole measurement, with the background taken inside a region.
    Frame star = frames[7].first;  // 64 x 67, sigma 2, on a noisy sky
    const FocusSettings s{.ROISize = 30, .ROIOn = true};
    const double hfd = Measure(star, s).HFD;  // reduces the frame in place
    EXPECT_EQ(hfd, ReferenceHfd(star, 0));
}

TEST(FocusFigures, HalfFluxDiameterCrossingsAndTies) {
    // Centroid (2, 2) holding 30; at radius 1: up 30, left, right, down 10; 10
    // more at radius 2. Half of 100 is passed at the ring's first pixel in
    // row-major order (up, 30): 20 of its 30, from the centre towards radius 1.
    Frame f(5, 5);
    f.at(2, 2) = f.at(2, 1) = 30;
    f.at(1, 2) = f.at(3, 2) = f.at(2, 3) = f.at(2, 4) = 10;
    EXPECT_DOUBLE_EQ(f.Hfd(0), 2.0 * 20.0 / 30.0);
    // The innermost pixel holds more than half: the crossing lies between the
    // centroid (2.375, 2) and that pixel, 80/100 of the way.
    Frame two(5, 5);
    two.at(2, 2) = 100;
    two.at(3, 2) = 60;
    EXPECT_DOUBLE_EQ(two.Hfd(0), 2 * 0.375 * 0.8);
}

}  // namespace
}  // namespace kv
