#include "camera/focus_figures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace kv {
namespace {

constexpr double kFwhmPerSigma = 2.354820045;  // 2 sqrt(2 ln 2)

struct Frame {
    std::int32_t width;
    std::int32_t height;
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
};

FocusSettings Plain() {
    FocusSettings s;
    s.RemoveBackground = false;
    return s;
}

FocusReading Measure(Frame& f, const FocusSettings& s) {
    FocusReading r;
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
        EXPECT_EQ(r.Peak, 40000);
        EXPECT_EQ(r.PeakX, 32);
        EXPECT_EQ(r.PeakY, 30);
        EXPECT_NEAR(r.xFWHM, truth, 0.02 * truth);
        EXPECT_NEAR(r.yFWHM, truth, 0.02 * truth);
        EXPECT_DOUBLE_EQ(r.FWHM, (r.xFWHM + r.yFWHM) / 2);
        // Each pixel's flux counts at its centre's radius, so the cumulative flux
        // steps up ring by ring and the half-flux crossing lands up to about
        // half a ring inside the true one.
        EXPECT_NEAR(r.HFD, truth, 0.8);
        EXPECT_GT(r.HFD, lastHfd);
        lastHfd = r.HFD;
        EXPECT_DOUBLE_EQ(r.FOM, r.FWHM);
    }
}

TEST(FocusFigures, ProfileWidthsAreInterpolatedAndScaled) {
    // Row through the peak: left 30, peak 100, right 60, 40. Above and below
    // the peak is 0.
    Frame f(9, 5);
    f.at(3, 2) = 30;
    f.at(4, 2) = 100;
    f.at(5, 2) = 60;
    f.at(6, 2) = 40;
    FocusSettings s = Plain();
    FocusReading r = Measure(f, s);
    const double dR = 1.5;              // 1 + |(50-60)/(40-60)|
    const double dL = 50.0 / 70.0;      // |(50-100)/(30-100)|
    EXPECT_EQ(r.Peak, 100);
    EXPECT_NEAR(r.xFWHM, dR + dL, 1e-12);
    EXPECT_NEAR(r.yFWHM, 1.0, 1e-12);  // 0.5 up and down

    s.FWHMFactor = 0.5;
    s.FWHMFactorSetting = 3;
    s.FocusBinning = 2;
    s.HorizPixel = 9.0;
    s.VertPixel = 6.0;
    const double hfdBinned = r.HFD / 2;
    r = Measure(f, s);
    EXPECT_NEAR(r.xFWHM, (dR + dL - 0.5) * 3 / 2, 1e-12);
    // The plug-in's factor is not subtracted from the column width.
    EXPECT_NEAR(r.yFWHM, 1.0 * 1.5 * 3 / 2, 1e-12);
    EXPECT_NEAR(r.HFD, hfdBinned, 1e-12);
    EXPECT_EQ(r.Peak, 100);
}

TEST(FocusFigures, ZeroFrameKeepsThePeakPositionAndYieldsTheFactorOnly) {
    Frame f(32, 24);
    FocusSettings s = Plain();
    s.FWHMFactor = 1.5;
    s.FWHMFactorSetting = 2;
    s.FocusBinning = 3;
    FocusReading r;
    // A position left from a larger frame must not be walked from.
    r.PeakX = 500;
    r.PeakY = 400;
    ComputeFocusFigures(f.width, f.height, f.pixels.data(), s, r);
    EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY), std::tuple(0, 500, 400));
    EXPECT_DOUBLE_EQ(r.xFWHM, -1.5 * 2 / 3);
    EXPECT_DOUBLE_EQ(r.yFWHM, 0.0);
    EXPECT_DOUBLE_EQ(r.HFD, 0.0);
}

TEST(FocusFigures, DegenerateInputsMeasureAsEmpty) {
    FocusSettings s = Plain();
    s.FocusBinning = 0;  // taken as 1
    s.FWHMFactor = 2.0;
    FocusReading r;
    // Two rows: no row is visited, so there is no measured pixel at all.
    Frame flat(6, 2, 900);
    ComputeFocusFigures(flat.width, flat.height, flat.pixels.data(), s, r);
    EXPECT_EQ(r.Peak, 0);
    EXPECT_DOUBLE_EQ(r.xFWHM, -2.0);
    EXPECT_TRUE(std::isfinite(r.HFD));

    ComputeFocusFigures(0, 0, static_cast<const std::uint16_t*>(nullptr), s, r);
    EXPECT_EQ(r.Peak, 0);
    EXPECT_DOUBLE_EQ(r.HFD, 0.0);

    // Binning 0 and missing pixel sizes behave as binning 1 and square pixels.
    Frame star(40, 40);
    star.AddStar(20, 20, 2.0, 30000);
    s.FWHMFactor = 0;
    s.VertPixel = 0;
    const FocusReading zero = Measure(star, s);
    s.FocusBinning = 1;
    s.VertPixel = 1;
    const FocusReading one = Measure(star, s);
    EXPECT_DOUBLE_EQ(zero.xFWHM, one.xFWHM);
    EXPECT_DOUBLE_EQ(zero.yFWHM, one.yFWHM);
    EXPECT_DOUBLE_EQ(zero.HFD, one.HFD);
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
    f.AddStar(32, 32, 2.0, 5000);   // inside a 20-pixel region
    f.AddStar(8, 10, 2.0, 20000);   // brighter, outside it
    FocusSettings s = Plain();
    s.ROISize = 20;

    s.ROIOn = true;
    FocusReading r = Measure(f, s);
    EXPECT_EQ(std::pair(r.PeakX, r.PeakY), std::pair(32, 32));

    s.ROIOn = false;
    r = Measure(f, s);
    EXPECT_EQ(std::pair(r.PeakX, r.PeakY), std::pair(8, 10));

    // A region larger than the frame has a negative border: all counts.
    s.ROIOn = true;
    s.ROISize = 75;
    r = Measure(f, s);
    EXPECT_EQ(r.PeakX, 8);

    // The background is the mean of the region only.
    s.RemoveBackground = true;
    Frame h(6, 6, 100);
    h.at(3, 3) = 400;
    s.ROISize = 4;  // border 1: x, y in 2..4, nine pixels: mean (8*100+400)/9 = 133
    ComputeFocusFigures(h.width, h.height, h.pixels.data(), s, r);
    EXPECT_EQ(r.Peak, 400 - 133);
    EXPECT_EQ(h.at(0, 0), 0);
    EXPECT_EQ(h.at(3, 3), 400 - 133);
}

TEST(FocusFigures, BackgroundRemovalInPlaceMatchesTheReadOnlyMeasurement) {
    Frame f(64, 64, 1200);
    f.AddStar(30, 33, 2.5, 25000);
    const Frame original = f;
    FocusSettings s;  // background removal on
    s.ROIOn = true;
    s.ROISize = 40;

    FocusReading readOnly;
    ComputeFocusFigures(f.width, f.height, static_cast<const std::uint16_t*>(f.pixels.data()), s, readOnly);
    EXPECT_EQ(f.pixels, original.pixels);

    const FocusReading inPlace = Measure(f, s);
    EXPECT_EQ(inPlace.Peak, readOnly.Peak);
    EXPECT_DOUBLE_EQ(inPlace.xFWHM, readOnly.xFWHM);
    EXPECT_DOUBLE_EQ(inPlace.yFWHM, readOnly.yFWHM);
    EXPECT_DOUBLE_EQ(inPlace.HFD, readOnly.HFD);
    // The sky is now (close to) 0 and the star kept its shape.
    EXPECT_EQ(f.at(0, 0), 0);
    EXPECT_LT(inPlace.Peak, 25000);
    EXPECT_GT(inPlace.Peak, 24000);
    EXPECT_NEAR(inPlace.HFD, kFwhmPerSigma * 2.5, 0.8);

    // Without removal the HFD is still taken over the background.
    s.RemoveBackground = false;
    Frame g = original;
    const FocusReading kept = Measure(g, s);
    EXPECT_EQ(g.pixels, original.pixels);
    EXPECT_DOUBLE_EQ(kept.HFD, readOnly.HFD);
    EXPECT_EQ(kept.Peak, 25000 + 1200);
}

// The half-flux diameter as plainly as it can be written: every pixel sorted
// by distance from the centroid (ties in row-major order), then the first
// running flux sum above half the total.
double ReferenceHfd(const Frame& f, std::int64_t bg) {
    struct Entry {
        double r2, a;
    };
    std::vector<Entry> entries;
    double total = 0, sx = 0, sy = 0;
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            const double a = static_cast<double>(std::max<std::int64_t>(0, f.pixels[y * f.width + x] - bg));
            total += a;
            sx += a * x;
            sy += a * y;
        }
    }
    const double cx = total > 0 ? sx / total : 0, cy = total > 0 ? sy / total : 0;
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            const double dx = x - cx, dy = y - cy;
            entries.push_back({dx * dx + dy * dy, static_cast<double>(std::max<std::int64_t>(0, f.pixels[y * f.width + x] - bg))});
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& l, const Entry& r) { return l.r2 < r.r2; });
    const double half = total * 0.5;
    if (entries[0].a > half) {
        return 2 * std::sqrt(entries[0].r2) * half / entries[0].a;
    }
    double previous = entries[0].a;
    for (std::size_t i = 1; i < entries.size(); previous += entries[i++].a) {
        const double current = previous + entries[i].a;
        if (current > half) {
            const double r0 = std::sqrt(entries[i - 1].r2), r1 = std::sqrt(entries[i].r2);
            return 2 * (r0 + std::fabs((half - previous) * (r1 - r0) / (current - previous)));
        }
    }
    return 0;
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
    Frame bright(40, 40, 0), flat(40, 40, 1000), edge(64, 48, 100), corner(33, 33, 0);
    bright.at(17, 9) = 5000;
    edge.AddStar(63, 20, 2.5, 40000);
    corner.AddStar(0, 0, 3.0, 40000);
    frames.insert(frames.end(), {{bright, 0}, {flat, 0}, {flat, 999}, {flat, 1000}, {Frame(40, 40), 0},
                                 {edge, 100}, {edge, 0}, {corner, 0}});
    // Point-symmetric, so the centroid is exactly (4, 4) and many pixels share
    // a distance while their values differ.
    Frame ties(9, 9, 0);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 9; ++x) {
            const int u = x - 4, v = y - 4;
            ties.at(x, y) = static_cast<std::uint16_t>(100 + 37 * ((5 * u * u + 3 * u * v + v * v) % 11));
        }
    }
    frames.emplace_back(ties, 0);
    // Small sparse frames, down to single rows and columns, put the crossing
    // at every kind of place among few pixels.
    std::uniform_int_distribution<int> side(1, 12), value(0, 1000);
    for (int n = 0; n < 300; ++n) {
        Frame f(side(rng), side(rng));
        for (auto& p : f.pixels) p = static_cast<std::uint16_t>(value(rng) < 600 ? 0 : value(rng));
        frames.emplace_back(f, n % 3 == 0 ? 200 : 0);
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& [f, bg] = frames[i];
        EXPECT_EQ(HalfFluxDiameter(f.width, f.height, f.pixels.data(), bg), ReferenceHfd(f, bg)) << "frame " << i;
    }

    // Through the whole measurement, with the background taken inside a region.
    Frame star = frames[7].first;  // 64 x 67, sigma 2, on a noisy sky
    FocusSettings s;
    s.ROIOn = true;
    s.ROISize = 30;
    const FocusReading r = Measure(star, s);
    EXPECT_EQ(r.HFD, ReferenceHfd(star, 0));
}

TEST(FocusFigures, HalfFluxDiameterCrossingsAndTies) {
    // Centroid (2, 2); at radius 1: up 30, left 10, right 10, down 10; 10 more at radius 2.
    const auto hfd = [](std::uint16_t centre) {
        Frame f(5, 5);
        f.at(2, 2) = centre;
        f.at(2, 1) = 30;
        f.at(1, 2) = f.at(3, 2) = f.at(2, 3) = f.at(2, 4) = 10;
        return HalfFluxDiameter(f.width, f.height, f.pixels.data(), 0);
    };
    // Half of 70 is passed inside the ring: the diameter is the ring's.
    EXPECT_DOUBLE_EQ(hfd(0), 2.0);
    // Half of 100 is passed at the ring's first pixel in row-major order (up,
    // 30): 20 of the missing flux over 30, from the centre towards radius 1.
    EXPECT_DOUBLE_EQ(hfd(30), 2.0 * 20.0 / 30.0);
    // The innermost pixel holds more than half: the crossing lies between the
    // centroid (2.375, 2) and that pixel, 80/100 of the way.
    Frame two(5, 5);
    two.at(2, 2) = 100;
    two.at(3, 2) = 60;
    EXPECT_DOUBLE_EQ(HalfFluxDiameter(two.width, two.height, two.pixels.data(), 0), 2 * 0.375 * 0.8);
    Frame ring(9, 9);
    ring.at(2, 4) = ring.at(6, 4) = ring.at(4, 2) = ring.at(4, 6) = 100;
    EXPECT_NEAR(HalfFluxDiameter(ring.width, ring.height, ring.pixels.data(), 0), 4.0, 1e-9);
    EXPECT_DOUBLE_EQ(HalfFluxDiameter(ring.width, ring.height, ring.pixels.data(), 200), 0.0);
}

TEST(FocusFigures, FactorSettingScalesWidthsOnlyAndFigureOfMeritFollowsKind) {
    Frame f(40, 40);
    f.AddStar(20, 20, 2.0, 30000);
    FocusSettings s = Plain();
    const FocusReading one = Measure(f, s);
    s.FWHMFactorSetting = 2;
    s.FOMKind = FomKind::HFD;
    FocusReading two = Measure(f, s);
    EXPECT_DOUBLE_EQ(two.xFWHM, 2 * one.xFWHM);
    EXPECT_DOUBLE_EQ(two.yFWHM, 2 * one.yFWHM);
    EXPECT_EQ(two.Peak, one.Peak);
    EXPECT_DOUBLE_EQ(two.HFD, one.HFD);
    EXPECT_DOUBLE_EQ(two.FOM, two.HFD);

    for (auto [kind, want] : {std::pair{FomKind::xFWHM, two.xFWHM}, {FomKind::yFWHM, two.yFWHM},
                              {FomKind::Peak, 30000.0}, {FomKind::FWHM, two.FWHM}}) {
        EXPECT_DOUBLE_EQ(GetFigureOfMerit(two, kind), want);
    }
}

}  // namespace
}  // namespace kv
