// The focus figures of a frame, and the camera controller that takes the
// frames (on a plug-in whose every step can fail or take time).
#include "camera/focus_figures.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "camera/camera_control.h"
#include "camera/star_finder.h"
#include "camera/fault_camera/fault_camera.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"

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
        AddStar(cx, cy, sigma, sigma, amplitude);
    }
    // A star trailed or astigmatic along one axis.
    void AddStar(double cx, double cy, double sigmaX, double sigmaY, double amplitude) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const double e = (x - cx) * (x - cx) / (2 * sigmaX * sigmaX) +
                                 (y - cy) * (y - cy) / (2 * sigmaY * sigmaY);
                const double v = at(x, y) + amplitude * std::exp(-e);
                at(x, y) = static_cast<std::uint16_t>(std::lround(std::min(v, 65535.0)));
            }
        }
    }
    double Hfd(std::int64_t bg) const { return HalfFluxDiameter(width, height, pixels.data(), bg); }
};

FocusSettings Plain(bool removeBackground = false) { return FocusSettings{.RemoveBackground = removeBackground}; }

FocusReading Measure(Frame& f, const FocusSettings& s, FocusReading r = {}) {
    ComputeFocusFigures(f.width, f.height, f.pixels.data(), s, r);
    return r;
}

// Stars a pixel or two wide, integrated over each pixel as a sensor does:
// Gaussian and Moffat (beta 2.5 and 4.765), centred on a pixel and on a
// pixel's corner. The focus figures and the star finder measure the
// continuous star's own FWHM and HFD within a tenth, down to a star of 0.8 px
// on a corner, which lights four pixels almost as a point would.
TEST(FocusFigures, SmallStarsMeasureTheirOwnSizeOnAPixelOrItsCorner) {
    for (const double beta : {0.0, 2.5, 4.765})
        for (const double centre : {16.0, 16.5})
            for (const double fwhm : {0.8, 1.1, 1.6, 2.5, 4.0}) {
                SCOPED_TRACE(testing::Message() << "beta " << beta << " at " << centre << " FWHM " << fwhm);
                const double alpha = fwhm / (2 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1));
                const auto at = [&](double r2) {
                    return beta == 0 ? std::exp(-4 * std::log(2.0) * r2 / (fwhm * fwhm)) : std::pow(1 + r2 / (alpha * alpha), -beta);
                };
                const double hfd = beta == 0 ? fwhm : 2 * alpha * std::sqrt(std::pow(2.0, 1.0 / (beta - 1)) - 1);
                Frame f(33, 33, 1000);
                for (int y = 0; y < 33; ++y)
                    for (int x = 0; x < 33; ++x) {
                        const int n = std::hypot(x - centre, y - centre) < 3 ? 32 : 6;
                        double sum = 0;
                        for (int j = 0; j < n; ++j)
                            for (int i = 0; i < n; ++i)
                                sum += at(std::pow(x - 0.5 + (i + 0.5) / n - centre, 2) + std::pow(y - 0.5 + (j + 0.5) / n - centre, 2));
                        f.at(x, y) = static_cast<std::uint16_t>(std::lround(1000 + 20000 * sum / (n * n)));
                    }
                const StarField field = FindStars(33, 33, f.pixels.data(), {.focusFrame = 16});
                ASSERT_EQ(field.stars.size(), 1u);
                EXPECT_NEAR(field.stars[0].hfd, hfd, 0.1 * hfd);
                const FocusReading r = Measure(f, FocusSettings{});
                EXPECT_EQ(r.status, StarStatus::Ok);
                EXPECT_TRUE(centre != 16.0 || std::pair(r.PeakX, r.PeakY) == std::pair(16, 16)) << r.PeakX << "," << r.PeakY;
                EXPECT_DOUBLE_EQ(r.FOM, (r.xFWHM + r.yFWHM) / 2);
                EXPECT_NEAR(r.FWHM, fwhm, 0.1 * fwhm);
                EXPECT_NEAR(r.HFD, hfd, 0.1 * hfd);
            }
}

TEST(FocusFigures, ProfileWidthsAreInterpolatedAndScaled) {
    // Row through the peak: left 30, peak 100, right 60, 40; 0 above and below.
    Frame f(9, 5);
    for (auto [x, v] : {std::pair{3, 30}, {4, 100}, {5, 60}, {6, 40}}) f.at(x, 2) = static_cast<std::uint16_t>(v);
    const FocusReading plain = Measure(f, Plain());
    const double dR = 1.5, dL = 50.0 / 70.0;  // 1 + |(50-60)/(40-60)| and |(50-100)/(30-100)|
    EXPECT_NEAR(plain.xFWHM, dR + dL, 1e-12);
    EXPECT_NEAR(plain.yFWHM, 1.0, 1e-12);  // 0.5 up and down

    const FocusSettings s{.RemoveBackground = false, .FWHMFactorSetting = 3, .FWHMFactor = 0.5, .HorizPixel = 9.0,
                          .VertPixel = 6.0, .FocusBinning = 2, .FOMKind = FomKind::HFD};
    FocusReading r = Measure(f, s);
    EXPECT_NEAR(r.xFWHM, (dR + dL - 0.5) * 3 / 2, 1e-12);
    // The plug-in's factor is not subtracted from the column width.
    EXPECT_NEAR(r.yFWHM, 1.0 * 1.5 * 3 / 2, 1e-12);
    EXPECT_NEAR(r.HFD, plain.HFD / 2, 1e-12);
    EXPECT_EQ(std::tuple(r.Peak, r.FOM), std::tuple(100, r.HFD));
    for (auto [kind, want] : {std::pair{FomKind::xFWHM, r.xFWHM}, {FomKind::yFWHM, r.yFWHM},
                              {FomKind::Peak, 100.0}, {FomKind::FWHM, r.FWHM}}) {
        EXPECT_DOUBLE_EQ(GetFigureOfMerit(r, kind), want);
    }
}

TEST(FocusFigures, DegenerateFramesYieldTheFactorOnlyAndTheEdgesOfTheMeasuredArea) {
    FocusSettings s{.RemoveBackground = false, .FWHMFactorSetting = 2, .FWHMFactor = 1.5, .FocusBinning = 3};
    // An all-zero frame keeps a position left from a larger frame and must not walk from it.
    Frame zero(32, 24);
    FocusReading r = Measure(zero, s, FocusReading{.PeakX = 500, .PeakY = 400});
    EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY, r.status), std::tuple(0, 500, 400, StarStatus::NoStar));
    EXPECT_EQ(std::tuple(r.xFWHM, r.yFWHM, r.HFD), std::tuple(-1.5 * 2 / 3, 0.0, 0.0));
    // Two rows have no measured pixel; no frame at all measures the same. Binning 0 is taken as 1.
    s.FocusBinning = 0;
    Frame twoRows(6, 2, 900);
    r = Measure(twoRows, s);
    EXPECT_EQ(std::tuple(r.Peak, r.xFWHM), std::tuple(0, -3.0));
    ComputeFocusFigures(0, 0, static_cast<const std::uint16_t*>(nullptr), s, r);
    EXPECT_EQ(std::tuple(r.Peak, r.HFD), std::tuple(0, 0.0));

    // A missing pixel size means square pixels.
    Frame star(40, 40);
    star.AddStar(20, 20, 2.0, 30000);
    s.VertPixel = 0;
    EXPECT_NEAR(Measure(star, s).yFWHM, kFwhmPerSigma * 2.0 * 2, 0.1);

    // A star centred on the last column, which is measured, counts only its left side.
    Frame f(48, 48);
    f.AddStar(47, 20, 3.0, 30000);
    r = Measure(f, Plain());
    EXPECT_EQ(r.PeakX, 47);
    const double half = kFwhmPerSigma * 3.0 / 2;
    EXPECT_NEAR(r.xFWHM, half, 0.02 * half);
    EXPECT_NEAR(r.yFWHM, 2 * half, 0.04 * half);
    // The last row and the first column are never the peak.
    Frame g(20, 20);
    g.at(10, 19) = g.at(0, 5) = 60000, g.at(7, 8) = 1000;
    r = Measure(g, Plain());
    EXPECT_EQ(std::tuple(r.Peak, r.PeakX, r.PeakY), std::tuple(1000, 7, 8));
}

TEST(FocusFigures, RegionOfInterestRestrictsPeakAndBackground) {
    Frame f(64, 64, 100);
    f.AddStar(32, 32, 2.0, 5000);  // inside a 20-pixel region
    f.AddStar(8, 10, 2.0, 20000);  // brighter, outside it
    FocusSettings s{.ROISize = 20, .ROIOn = true, .RemoveBackground = false};
    const FocusReading inside = Measure(f, s);
    EXPECT_EQ(std::tuple(inside.PeakX, inside.PeakY), std::tuple(32, 32));
    s.ROIOn = false;
    EXPECT_EQ(Measure(f, s).PeakX, 8);
    // A region larger than the frame has a negative border: all counts.
    s.ROIOn = true, s.ROISize = 75;
    EXPECT_EQ(Measure(f, s).PeakX, 8);

    // The background is the mean of the region only, and removed from the whole frame.
    s.RemoveBackground = true;
    Frame h(6, 6, 100);
    h.at(3, 3) = 400;
    s.ROISize = 4;  // border 1: x, y in 2..4, nine pixels: mean (8*100+400)/9 = 133
    EXPECT_EQ(Measure(h, s).Peak, 400 - 133);
    EXPECT_EQ(std::tuple(h.at(0, 0), h.at(3, 3)), std::tuple(std::uint16_t{0}, std::uint16_t{400 - 133}));
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
// Light that stands out but spreads past the frame, even as a glow no single
// pixel of which stands out, is a star too large for the frame; a faint
// sharp star, a small one at the edge, the wing of one beyond the edge and the
// sky's own gradient are not. A width at half height over 0.4 of the frame in
// either axis is too large. The glows at that limit lie on a noiseless sky:
// on a noisy one, a glow faint enough that no pixel stands out has its width
// jittered by blocks.
TEST(FocusFigures, StarStatusFromNoiseAndExtent) {
    const struct {
        const char* name;
        double x, y, sigmaX, sigmaY, amplitude, ramp, noise;
        StarStatus expected;
        bool tooLarge;
    } cases[] = {
        {"sharp star", 50, 50, 2.0, 2.0, 3000, 0, 15, StarStatus::Ok, false},
        {"blurred but bright", 50, 50, 12.0, 12.0, 400, 0, 15, StarStatus::Ok, false},
        {"sunk into the noise", 50, 50, 12.0, 12.0, 15, 0, 15, StarStatus::NoStar, false},
        {"spread over the frame", 50, 50, 40.0, 40.0, 4000, 0, 15, StarStatus::NoStar, true},
        {"a glow wider than the frame", 50, 50, 60.0, 60.0, 80, 0, 15, StarStatus::NoStar, true},
        {"faint and sharp", 50, 50, 1.5, 1.5, 60, 0, 15, StarStatus::NoStar, false},
        {"small, cut by the right edge", 99, 50, 2.0, 2.0, 3000, 0, 15, StarStatus::NoStar, false},
        {"small, cut by the left edge", 0, 50, 2.0, 2.0, 3000, 0, 15, StarStatus::NoStar, false},
        {"small, cut by the top edge", 50, 0, 2.0, 2.0, 3000, 0, 15, StarStatus::NoStar, false},
        {"small, cut by the bottom edge", 50, 99, 2.0, 2.0, 3000, 0, 15, StarStatus::NoStar, false},
        {"wing of a star beyond the right edge", 110, 50, 8.0, 8.0, 150, 0, 15, StarStatus::NoStar, false},
        {"wing of a star beyond the bottom edge", 50, 110, 8.0, 8.0, 150, 0, 15, StarStatus::NoStar, false},
        {"trailed along the rows", 50, 50, 25.0, 3.0, 3000, 0, 15, StarStatus::NoStar, true},
        {"trailed along the columns", 50, 50, 3.0, 25.0, 3000, 0, 15, StarStatus::NoStar, true},
        {"trailed, within the limit", 50, 50, 15.0, 3.0, 3000, 0, 15, StarStatus::Ok, false},
        {"a glow just narrower than the limit", 50, 50, 16.8, 16.8, 5, 0, 0, StarStatus::NoStar, false},
        {"a glow just wider than the limit along the rows", 50, 50, 18.0, 10.0, 5, 0, 0, StarStatus::NoStar, true},
        {"a glow just wider than the limit along the columns", 50, 50, 10.0, 18.0, 5, 0, 0, StarStatus::NoStar, true},
        {"the sky's gradient", 50, 50, 1.0, 1.0, 0, 1.0, 15, StarStatus::NoStar, false},
        {"sky only", 50, 50, 1.0, 1.0, 0, 0, 15, StarStatus::NoStar, false},
    };
    for (const auto& c : cases) {
        for (const bool remove : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (remove ? " reduced" : ""));
            std::mt19937 rng(7);
            std::normal_distribution<double> noise(400.0, c.noise > 0 ? c.noise : 1.0);
            Frame f(100, 100);
            for (std::size_t i = 0; i < f.pixels.size(); ++i) {
                const double sky = (c.noise > 0 ? noise(rng) : 400.0) + c.ramp * static_cast<double>(i % 100);
                f.pixels[i] = static_cast<std::uint16_t>(std::lround(sky));
            }
            if (c.amplitude > 0) f.AddStar(c.x, c.y, c.sigmaX, c.sigmaY, c.amplitude);
            const FocusReading r = Measure(f, Plain(remove));
            EXPECT_EQ(std::pair(r.status, r.tooLarge), std::pair(c.expected, c.tooLarge));
        }
    }
}

// On a sky of 1000 with noise 300 in a 64 x 64 frame, the whole frame's HFD
// reads the noise's spread far beyond any star's FWHM. Such a reading is a
// star only when the light within the largest HFD a star of its FWHM can have
// stands five noise widths of that sum above the sky: pure noise never is, a
// blur of FWHM 5.9 peaking 6.5 noise widths up is not, one 8.3 up is (its
// HFD its own, not the noise's), and focused stars 10 noise widths up are.
// (The "noise" of the blurs is a checkerboard of +-300, the same for every
// row.)
TEST(FocusFigures, AReadingIsAStarOnlyWhenItsLightStandsClearlyAboveTheNoise) {
    const struct { const char* name; double sigma, amplitude; bool checkerboard; StarStatus expected; } cases[] = {
        {"pure noise", 1.0, 0, false, StarStatus::NoStar},
        {"a blur the noise outweighs", 2.5, 1950, true, StarStatus::NoStar},
        {"a blur standing out", 2.5, 2500, true, StarStatus::Ok},
        {"a focused star of 1.1 px", 1.1 / kFwhmPerSigma, 3000, false, StarStatus::Ok},
        {"a focused star of 2.5 px", 2.5 / kFwhmPerSigma, 3000, false, StarStatus::Ok},
    };
    for (const auto& c : cases) {
        for (std::uint32_t seed = 1; seed <= (c.checkerboard ? 1u : 5u); ++seed) {
            std::mt19937 rng(seed);
            std::normal_distribution<double> noise(1000.0, 300.0);
            Frame f(64, 64);
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x)
                    f.at(x, y) = static_cast<std::uint16_t>(std::clamp(
                        std::lround(c.checkerboard ? 1000.0 + ((x + y) % 2 != 0 ? 300 : -300) : noise(rng)), 0L, 65535L));
            if (c.amplitude > 0) f.AddStar(32, 32, c.sigma, c.amplitude);
            for (const bool remove : {false, true}) {
                const FocusReading r = Measure(f, Plain(remove));
                EXPECT_EQ(r.status, c.expected) << c.name << " seed " << seed << (remove ? " reduced" : "");
                if (c.checkerboard && c.expected == StarStatus::Ok) {
                    EXPECT_NEAR(r.HFD, kFwhmPerSigma * c.sigma, 0.6) << c.name;
                }
            }
        }
    }
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
    EXPECT_NEAR(inPlace.HFD, kFwhmPerSigma * 2.5, 0.15);  // the star's own, over the sky around it

    // Without removal the HFD is still taken over the background.
    s.RemoveBackground = false;
    Frame g = original;
    const FocusReading kept = Measure(g, s);
    EXPECT_EQ(g.pixels, original.pixels);
    EXPECT_EQ(std::tuple(kept.HFD, kept.Peak), std::tuple(readOnly.HFD, 25000 + 1200));
}

using std::chrono::milliseconds;
using test::Eventually;

// What the controller told the desktop.
struct Recorder {
    std::mutex mutex;
    std::vector<bool> busy;
    std::vector<std::string> statuses;
    std::atomic<int> imageReady{0}, focusReady{0};

    template <typename F>
    auto Locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
    void Attach(TCameraControl& camera) {
        camera.SetOnBusyChange([this](TCameraControl&, bool idle) { Locked([&] { busy.push_back(idle); }); });
        camera.SetOnStatusMessage(
            [this](TCameraControl&, const std::string& text, int) { Locked([&] { statuses.push_back(text); }); });
        camera.SetOnImageReady([this](TCameraControl&) { ++imageReady; });
        camera.SetOnFocusImageReady([this](TCameraControl&) { ++focusReady; });
    }
    std::vector<bool> Busy() { return Locked([&] { return busy; }); }
    std::vector<std::string> Statuses() { return Locked([&] { return statuses; }); }
};

class CameraControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = std::string(KV_FAULT_CAMERA_DIR) + "/fault_camera.so";
        library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        auto stateOf = reinterpret_cast<FaultCameraStateProc>(dlsym(library_, "FaultCamera_State"));
        ASSERT_NE(stateOf, nullptr);
        (state_ = stateOf())->Reset();
        // No stale signals from an earlier test.
        for (const char* name : {kDelayEvent, kFocusDelayEvent, kFocuserWaitEvent, kGeneralDelayEvent}) {
            OpenNamedEvent(name)->Reset();
        }
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }

    std::unique_ptr<TCameraControl> Connected(IClock& clock = DefaultClock()) {
        auto camera = std::make_unique<TCameraControl>(dialogs_, KV_FAULT_CAMERA_DIR, clock);
        EXPECT_TRUE(camera->ToggleConnection("fault_camera.so"));
        rec_.Attach(*camera);
        return camera;
    }

    void* library_ = nullptr;
    FaultCameraState* state_ = nullptr;
    test::RecordingDialogs dialogs_;
    Recorder rec_;
};

TEST_F(CameraControlTest, ConnectsAndDisconnects) {
    TCameraControl camera(dialogs_, KV_FAULT_CAMERA_DIR);
    EXPECT_TRUE(camera.Idle() && OpenNamedEvent(kDelayEvent)->Wait(milliseconds(0)) == WaitResult::TimedOut);

    ASSERT_TRUE(camera.ToggleConnection("fault_camera.so"));
    ASSERT_NE(camera.MainImage(), nullptr);
    EXPECT_EQ(std::tuple(camera.FocusImage()->Height(), camera.IsSBIG()), std::tuple(kFaultFocusHeight, false));
    EXPECT_FALSE(camera.ToggleConnection("fault_camera.so") || camera.MainImage() != nullptr);

    // A camera that does not come up leaves nothing bound and says so.
    state_->initResult = 0;
    EXPECT_FALSE(camera.ToggleConnection("fault_camera.so") || camera.FocusImage() != nullptr);
    EXPECT_FALSE(camera.ToggleConnection("no_such_camera.so"));
    EXPECT_EQ(dialogs_.Texts(), (std::vector<std::string>{kCouldNotInitializeText, kCouldNotInitializeText}));

    state_->initResult = 1, state_->sbig = 1;
    EXPECT_TRUE(camera.ToggleConnection("fault_camera.so") && camera.IsSBIG());
}

TEST_F(CameraControlTest, ExposuresAreTimedDeliveredAndMeasured) {
    auto camera = Connected();
    camera->SetExposureTime(0.0);  // ends before the timer's setter returns: no time-out
    camera->SetFocusX(300), camera->SetFocusY(200), camera->SetFocusGain(1.5), camera->SetFOMKind(FomKind::HFD);

    EXPECT_TRUE(camera->GetFocusFrame());
    for (const char* event : {kFocuserWaitEvent, kFocusDelayEvent}) {
        EXPECT_EQ(OpenNamedEvent(event)->Wait(milliseconds(0)), WaitResult::Signalled) << event;
    }
    EXPECT_EQ(std::tuple(rec_.focusReady.load(), rec_.Busy(), rec_.Statuses()),
              std::tuple(1, std::vector<bool>{false, true}, std::vector<std::string>{"Acquiring Focus Image", "Focus Image Ready"}));
    EXPECT_EQ(std::tuple(state_->lastX.load(), state_->lastY.load(), state_->lastGain.load()), std::tuple(300, 200, 1.5));

    const FocusReading r = camera->Reading();
    EXPECT_EQ(std::tuple(r.PeakX, r.PeakY), std::tuple(kFaultFocusWidth / 2, kFaultFocusHeight / 2));
    EXPECT_NEAR(r.FWHM, 2 * kFwhmPerSigma, 0.1 * 2 * kFwhmPerSigma);
    EXPECT_DOUBLE_EQ(r.FOM, r.HFD);

    // Frames that end at once are never lost by the waiting side.
    state_->setUpExposeResult = 0;
    for (int i = 0; i < 25; ++i) {
        camera->GetFocusFrame();
        ASSERT_EQ(rec_.focusReady.load(), 2 + i);
    }

    // The mask blanks everything not strictly inside the region's border.
    camera->SetRemoveBackground(false), camera->SetROIOn(true), camera->SetMaskROI(true);
    camera->SetROISize(20);  // border 14: 14 < x < 34, 14 < y < 26
    camera->GetFocusFrame();
    const TImageObject& image = *camera->FocusImage();
    for (auto [x, y] : {std::pair{0, 0}, {14, 20}, {24, 26}}) EXPECT_EQ(image.Pixel(x, y), 0) << x << "," << y;
    EXPECT_EQ(std::tuple(image.Pixel(15, 15), image.Pixel(33, 25)), std::tuple(std::uint16_t{300}, std::uint16_t{300}));
    EXPECT_EQ(camera->Reading().Peak, 20300);

    state_->setUpExposeResult = 1;
    camera->SetExposureTime(0.05);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 1; }));
    EXPECT_EQ(std::tuple(camera->Idle(), state_->lastImageExposure.load(),
                         camera->MainImage()->Pixel(kFaultMainWidth / 2, kFaultMainHeight / 2)),
              std::tuple(true, 0.05, 20300));
    const auto statuses = rec_.Statuses();
    EXPECT_EQ(std::vector<std::string>(statuses.end() - 2, statuses.end()),
              (std::vector<std::string>{"Acquiring Image", "Image Ready"}));
    EXPECT_TRUE(dialogs_.Deferred().empty());
}

TEST_F(CameraControlTest, EveryFailingStepIsReportedAndTheFrameStillEnds) {
    auto camera = Connected();
    camera->SetExposureTime(0.0);

    state_->focusResult = 0, state_->imageResult = 0;
    camera->GetFocusFrame();
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 1; }));
    EXPECT_TRUE(rec_.focusReady.load() == 1 && OpenNamedEvent(kFocusDelayEvent)->Wait(milliseconds(0)) == WaitResult::Signalled);

    // The delay timer signals an event nobody waits on: both waits run out.
    state_->focusResult = 1, state_->imageResult = 1;
    camera->DelayTimer().SetEventName("CAMERA_TEST_ELSEWHERE");
    camera->SetExposureTime(0.02);
    camera->GetFocusFrame();
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 2; }));
    // An abandoned event is told apart from a time-out.
    OpenNamedEvent(kDelayEvent)->Abandon();
    camera->GetFocusFrame();
    OpenNamedEvent(kDelayEvent)->Reset();
    EXPECT_EQ(dialogs_.Deferred(),
              (std::vector<std::string>{kFocusExposureFailedText, kImageExposureFailedText,
                                        "Time out during focus exposing", "Time out during exposing",
                                        "Abandoned event during focus exposing"}));
    // Each frame was still fetched after its failed wait.
    EXPECT_EQ(std::tuple(state_->focusCalls.load(), state_->imageCalls.load()), std::tuple(3, 2));

    // A plug-in that starts no exposure is not timed at all.
    state_->setUpExposeResult = 0;
    camera->SetExposureTime(1000.0);
    camera->GetFocusFrame();
    EXPECT_EQ(std::tuple(state_->focusCalls.load(), dialogs_.Deferred().size()), std::tuple(4, std::size_t{5}));
    // Success without pixels in the image already sized: the old picture is not this exposure's.
    state_->skipLoad = 1;
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 3; }));
    EXPECT_EQ(std::tuple(dialogs_.Deferred().back(), camera->MainImageFailure()), std::tuple(kImageNotLoadedText, kImageNotLoadedText));
    EXPECT_TRUE(dialogs_.Texts().empty());
}

TEST_F(CameraControlTest, ContinuousFocusRunsOneLoopAndFinishesTheFrameInFlight) {
    auto camera = Connected();
    state_->focusDelayMs = 20;
    camera->SetContinuousFocus(true), camera->SetContinuousFocus(true);
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() >= 3; }));
    // One loop: frames never overlap, and the camera stays busy throughout.
    EXPECT_EQ(rec_.Busy(), (std::vector<bool>{false}));

    ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
    camera->SetContinuousFocus(false);
    const int frames = state_->focusCalls.load();
    EXPECT_TRUE(camera->Idle() && rec_.focusReady.load() == frames);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(std::tuple(state_->focusCalls.load(), rec_.Busy(), dialogs_.Deferred().size()),
              std::tuple(frames, std::vector<bool>{false, true}, 0ul));
}

TEST_F(CameraControlTest, InterlockedLoopWaitsForTheFocuserBetweenFrames) {
    ScaledClock clock(100.0);  // the 30 s wait for the focuser lasts 0.3 s
    auto camera = Connected(clock);
    camera->SetFocuserIdle([] { return false; }), camera->SetSBIGInterlock(true);

    camera->SetContinuousFocus(true);
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() == 1; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(state_->focusCalls.load(), 1);  // held until the move ends
    OpenNamedEvent(kGeneralDelayEvent)->Set();
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() >= 2; }));

    // A move that never ends is reported once, and the loop takes no more frames.
    ASSERT_TRUE(Eventually([&] { return !dialogs_.Deferred().empty(); }));
    const int frames = state_->focusCalls.load();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(std::tuple(state_->focusCalls.load(), dialogs_.Deferred(), camera->Idle()),
              std::tuple(frames, std::vector<std::string>{kCycleTimedOutText}, false));
    camera->SetContinuousFocus(false);
    EXPECT_TRUE(camera->Idle());
    camera->SetFocuserIdle({});
}

TEST_F(CameraControlTest, FrameWaitingBehindAMainExposureKeepsTheCameraBusy) {
    auto camera = Connected();
    camera->SetExposureTime(0.1);
    state_->focusDelayMs = 200;
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    camera->StartFocusFrame();
    // The main exposure has ended; the frame that waited for it is reading out.
    ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
    EXPECT_TRUE(rec_.imageReady.load() == 1 && !camera->Idle());
    ASSERT_TRUE(Eventually([&] { return rec_.focusReady.load() == 1; }));
    EXPECT_EQ(std::tuple(camera->Idle(), rec_.Busy()), std::tuple(true, std::vector<bool>{false, true}));
}

TEST_F(CameraControlTest, DisconnectAndDestructionStopEveryThread) {
    auto camera = Connected();
    camera->SetContinuousFocus(true), camera->SetExposureTime(30.0);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    ASSERT_FALSE(camera->ToggleConnection("fault_camera.so"));
    // The exposure cut short left the timer free for the next one.
    EXPECT_FALSE(camera->ContinuousFocus() || camera->DelayTimer().Enabled());
    // Frames asked for without a camera fail cleanly.
    camera->GetFocusFrame();
    EXPECT_EQ(dialogs_.Deferred(), (std::vector<std::string>{kFocusExposureFailedText}));

    // The next exposure is timed by its own delay, not by what was left of the last.
    ASSERT_TRUE(camera->ToggleConnection("fault_camera.so"));
    camera->SetExposureTime(0.05);
    const auto start = std::chrono::steady_clock::now();
    camera->GetFocusFrame();
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));
    EXPECT_EQ(dialogs_.Deferred().size(), 1u);

    // Freed in the middle of both: nothing is reported afterwards.
    std::atomic<int> afterwards{0};
    camera->SetContinuousFocus(true), camera->SetExposureTime(60.0);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    const auto count = [&](TCameraControl&) { ++afterwards; };
    camera->SetOnFocusImageReady(count), camera->SetOnImageReady(count);
    camera.reset();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(afterwards.load(), 0);
}

// A camera unplugged during a download: the plug-in call never returns.
TEST_F(CameraControlTest, StuckPluginIsGivenUpWithoutHangingTheCaller) {
    const std::vector<std::pair<const char*, std::function<void(std::unique_ptr<TCameraControl>&)>>> ways{
        {"continuous focus off", [](auto& camera) { camera->SetContinuousFocus(false); }},
        {"disconnect", [](auto& camera) { EXPECT_FALSE(camera->ToggleConnection("fault_camera.so")); }},
        {"close", [](auto& camera) { camera.reset(); }},
    };
    for (const auto& [way, stop] : ways) {
        SCOPED_TRACE(way);
        auto camera = Connected();
        camera->SetCameraAnswerMs(100);
        const int frames = state_->focusCalls.load();
        const auto reported = dialogs_.Deferred().size();
        const auto newMessages = [&] {
            const auto all = dialogs_.Deferred();
            return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(reported), all.end());
        };
        state_->hang = 1;
        camera->SetContinuousFocus(true);
        ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
        stop(camera);
        EXPECT_EQ(newMessages(), (std::vector<std::string>{kCameraNotAnsweringText}));
        if (camera) {  // unbound and usable: it connects again
            EXPECT_TRUE(!camera->Initialized() && camera->Idle() && !camera->ContinuousFocus());
            EXPECT_TRUE(camera->ToggleConnection("fault_camera.so"));
        }
        // The camera comes back: the thread given up ends without a word.
        state_->hang = 0;
        ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 0; }));
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_EQ(std::tuple(state_->focusCalls.load(), newMessages().size()), std::tuple(frames + 1, 1ul));
    }
}

}  // namespace
}  // namespace kv
