#include "camera/focus_figures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

TEST(FocusFigures, StarAtTheRightEdgeCountsOnlyItsLeftSide) {
    Frame f(48, 48);
    f.AddStar(47, 20, 3.0, 30000);  // centred on the last column, which is measured
    const FocusReading r = Measure(f, Plain());
    EXPECT_EQ(r.PeakX, 47);
    const double half = kFwhmPerSigma * 3.0 / 2;
    EXPECT_NEAR(r.xFWHM, half, 0.02 * half);
    EXPECT_NEAR(r.yFWHM, 2 * half, 0.04 * half);
}

TEST(FocusFigures, LastRowAndFirstColumnAreNeverThePeak) {
    Frame f(20, 20);
    f.at(10, 19) = 60000;  // last row
    f.at(0, 5) = 60000;    // first column
    f.at(7, 8) = 1000;
    const FocusReading r = Measure(f, Plain());
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

TEST(FocusFigures, HalfFluxDiameterOfAConcentratedStarIsSmall) {
    // The centre pixel holds 80 % of the flux: half the flux lies within it.
    Frame f(9, 9);
    f.at(4, 4) = 80;
    f.at(3, 4) = f.at(5, 4) = f.at(4, 3) = f.at(4, 5) = 5;
    EXPECT_LT(HalfFluxDiameter(f.width, f.height, f.pixels.data(), 0), 1.0);

    // Ring: all flux at radius 2 -> diameter 4.
    Frame ring(9, 9);
    ring.at(2, 4) = ring.at(6, 4) = ring.at(4, 2) = ring.at(4, 6) = 100;
    EXPECT_NEAR(HalfFluxDiameter(ring.width, ring.height, ring.pixels.data(), 0), 4.0, 1e-9);
    // Background above everything: no flux, diameter 0.
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
    EXPECT_TRUE(LargerIsBetter(FomKind::Peak));
    EXPECT_FALSE(LargerIsBetter(FomKind::HFD));
}

}  // namespace
}  // namespace kv
