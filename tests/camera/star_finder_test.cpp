#include "camera/star_finder.h"

#include <gtest/gtest.h>

#include "camera/field_figure.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <random>
#include <tuple>
#include <vector>

namespace kv {
namespace {

constexpr double kFwhmPerSigma = 2.354820045;
constexpr double kNoise = 10.0;  // read noise of the synthetic sky, counts

struct TrueStar {
    double x, y;
    double sigma;       // Gaussian sigma, or that of the Gaussian of the same FWHM
    double amplitude;   // peak above the sky, counts
    double beta = 0.0;  // 0: Gaussian, else Moffat
    double elongation = 1.0;   // stretched across
    double elongationY = 1.0;  // stretched down
    // Far from focus behind a central obstruction of kObstruction: an evenly
    // lit ring of this outer radius, its edges blurred by the seeing (sigma).
    double ring = 0.0;
    static constexpr double kObstruction = 0.35;
    double Alpha() const { return kFwhmPerSigma * sigma / (2 * std::sqrt(std::pow(2.0, 1.0 / beta) - 1)); }
    double Hfd() const {
        if (ring > 0.0) {  // from the radial profile itself
            double total = 0, half = 0;
            for (double r = 0.0005; r < ring + 8 * sigma; r += 0.001) total += At(x + r, y) * r;
            for (double r = 0.0005; half < total / 2; r += 0.001) {
                half += At(x + r, y) * r;
                if (half >= total / 2) return 2 * r;
            }
        }
        if (beta == 0.0) return kFwhmPerSigma * sigma;  // a Gaussian's HFD equals its FWHM
        return 2 * Alpha() * std::sqrt(std::pow(2.0, 1.0 / (beta - 1)) - 1);
    }
    double At(double px, double py) const {
        const double dx = (px - x) / elongation, dy = (py - y) / elongationY;
        const double r2 = dx * dx + dy * dy;
        if (ring > 0.0) {
            const double r = std::sqrt(r2), edge = std::sqrt(2.0) * sigma;
            return amplitude * 0.5 * (std::erf((ring - r) / edge) - std::erf((kObstruction * ring - r) / edge));
        }
        if (beta == 0.0) return amplitude * std::exp(-r2 / (2 * sigma * sigma));
        return amplitude * std::pow(1 + r2 / (Alpha() * Alpha()), -beta);
    }
};

// A sky with a gradient, stars integrated over each pixel, read and photon noise.
struct Sky {
    int width, height;
    std::vector<double> light;
    Sky(int w, int h, double level, double gradient) : width(w), height(h), light(static_cast<std::size_t>(w * h)) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) light[static_cast<std::size_t>(y * w + x)] = level + gradient * (x + y);
    }
    void Add(const TrueStar& s) {
        const int reach = static_cast<int>(12 * s.sigma * std::max(s.elongation, s.elongationY) + s.ring) + 3;
        for (int y = std::max(0, static_cast<int>(s.y) - reach); y < std::min(height, static_cast<int>(s.y) + reach); ++y)
            for (int x = std::max(0, static_cast<int>(s.x) - reach); x < std::min(width, static_cast<int>(s.x) + reach); ++x) {
                double sum = 0;
                for (int j = 0; j < 5; ++j)
                    for (int i = 0; i < 5; ++i) sum += s.At(x - 0.4 + 0.2 * i, y - 0.4 + 0.2 * j);
                light[static_cast<std::size_t>(y * width + x)] += sum / 25;
            }
    }
    std::vector<std::uint16_t> Expose(std::uint32_t seed, double clip = 65535) const {
        std::mt19937 rng(seed);
        std::normal_distribution<double> unit(0.0, 1.0);
        std::vector<std::uint16_t> out(light.size());
        for (std::size_t i = 0; i < light.size(); ++i) {
            const double v = light[i] + unit(rng) * std::sqrt(kNoise * kNoise + light[i] / 20);
            out[i] = static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, std::lround(clip)));
        }
        return out;
    }
};

std::optional<FoundStar> Nearest(const StarField& field, double x, double y) {
    std::optional<FoundStar> best;
    for (const FoundStar& s : field.stars)
        if (!best || std::hypot(s.x - x, s.y - y) < std::hypot(best->x - x, best->y - y)) best = s;
    return best;
}

TEST(StarFinder, FindsEveryStarOfAFieldAndFlagsThePoorOnes) {
    Sky sky(400, 300, 800, 0.8);  // the sky brightens by 560 counts across the frame
    const std::vector<TrueStar> plain = {
        {200.3, 150.7, 2.0, 6000},          {120.6, 90.2, 1.5, 900},         {300.1, 80.9, 3.0, 400, 3.0},
        {90.8, 220.4, 2.0, 120},            {310.5, 200.5, 1.6, 90},         {250.2, 240.8, 1.8, 100, 2.5},
    };
    for (const TrueStar& s : plain) sky.Add(s);
    const TrueStar saturated{60.4, 60.6, 2.0, 200000};
    const TrueStar pairA{150.2, 250.3, 1.6, 3000}, pairB{156.9, 251.1, 1.6, 2500};
    const TrueStar edge{390.5, 150.2, 1.8, 3000};
    const TrueStar trailed{340.3, 260.7, 1.7, 2500, 0.0, 2.2};
    for (const TrueStar& s : {saturated, pairA, pairB, edge, trailed}) sky.Add(s);
    // A secondary maximum on a star's flank is part of it, while one twice
    // as bright at the same distance (the light between them dips below 70 %
    // of it) is a star of its own, the pair crowded; a neighbour with under 5 % of the light does not
    // crowd a bright star; a star drawn out downwards only is elongated.
    const TrueStar flanked{200.3, 50.6, 2.0, 5000}, bump{207.3, 50.6, 1.2, 800};
    const TrueStar bigOfPair{60.3, 150.6, 2.0, 5000}, smallOfPair{67.3, 150.6, 1.2, 1600};
    const TrueStar bright{260.5, 120.5, 1.8, 5000}, faint{270.5, 121.0, 1.8, 220};
    const TrueStar drawnDown{150.5, 120.5, 1.7, 2500, 0.0, 1.0, 2.2};
    for (const TrueStar& s : {flanked, bump, bigOfPair, smallOfPair, bright, faint, drawnDown}) sky.Add(s);
    // Defocused rings: two whose edges overlap are crowded, one clear of
    // its neighbour's light by a few pixels is not, and two whose ridges
    // cross are one crowded light.
    const TrueStar ringA{110.4, 30.3, 1.2, 1200, 0.0, 1.0, 1.0, 10.0}, ringB{132.2, 31.1, 1.2, 1000, 0.0, 1.0, 1.0, 10.0},
        ringC{166.3, 30.6, 1.2, 1200, 0.0, 1.0, 1.0, 10.0}, crossA{30.3, 270.2, 1.2, 1200, 0.0, 1.0, 1.0, 10.0},
        crossB{42.3, 270.9, 1.2, 1000, 0.0, 1.0, 1.0, 10.0};
    for (const TrueStar& s : {ringA, ringB, ringC, crossA, crossB}) sky.Add(s);
    std::vector<std::uint16_t> pixels = sky.Expose(7);
    pixels[static_cast<std::size_t>(40 * 400 + 250)] = 30000;  // a hot pixel

    const StarField field = FindStars(400, 300, pixels.data());
    EXPECT_NEAR(field.noise, 12.4, 1.5);  // read noise and the sky's photons
    const auto found = [&](const TrueStar& t, double within = 1.0) {
        const auto star = Nearest(field, t.x, t.y);
        EXPECT_TRUE(star && std::hypot(star->x - t.x, star->y - t.y) < within) << t.x << "," << t.y;
        return star.value_or(FoundStar{});
    };
    for (const TrueStar& t : plain) {
        const FoundStar star = found(t, 0.3);
        EXPECT_TRUE(star.Usable() && star.snr > 5.0) << t.x << "," << t.y << ": " << star.snr;
    }
    EXPECT_TRUE(found(saturated).saturated && found(pairA).crowded && found(pairB).crowded && found(edge).nearEdge &&
                found(trailed).elongated && !found(plain[0]).saturated);
    EXPECT_TRUE(found(flanked).Usable() && found(bigOfPair).crowded && found(smallOfPair).crowded);
    EXPECT_TRUE(found(bright).Usable() && found(faint, 1.5).crowded);
    EXPECT_TRUE(found(drawnDown).elongated && !found(drawnDown).crowded);
    EXPECT_TRUE(found(ringA, 0.3).crowded && found(ringB, 0.3).crowded && !found(ringC, 0.3).crowded);
    EXPECT_TRUE(found({36.3, 270.5, 1.2, 0}, 3.0).crowded);
    // Nothing but these: no hot pixel, no noise, no second star in a bright
    // one or its flank, none on the far side of a ring.
    EXPECT_EQ(field.stars.size(), plain.size() + 15);
    EXPECT_EQ(field.stars.front().flux, Nearest(field, saturated.x, saturated.y)->flux);
    // Worked out as a crowded field is, pixel by pixel over the whole frame:
    // the very same stars.
    const StarField whole = FindStars(400, 300, pixels.data(), {.wholeFrameBelow = 1e12});
    EXPECT_TRUE(whole.stars == field.stars && whole.found == field.found);
}

// Every star a median must not take is far larger than the good ones, so any
// that leaks in moves the median; the trailed one counts.
TEST(StarFinder, FieldMedianLeavesOutPoorStarsAndNeedsAFew) {
    const auto star = [](double hfd, double snr = 50.0) { return FoundStar{.hfd = hfd, .fwhm = hfd / 2, .snr = snr}; };
    StarField field;
    field.stars = {star(2), star(3), star(4), star(5), star(40), star(30), star(20), star(25, 9.0), star(6)};
    field.stars[4].saturated = field.stars[5].nearEdge = field.stars[6].crowded = field.stars[8].elongated = true;
    FieldFigures f = FieldMedian(field);
    EXPECT_EQ(std::tuple(f.stars, f.hfd, f.fwhm), std::tuple(5, 4.0, 2.0));
    field.stars.pop_back();  // an even count: the middle two
    f = FieldMedian(field);
    EXPECT_EQ(std::tuple(f.stars, f.hfd, f.fwhm), std::tuple(4, 3.5, 1.75));

    // The selected star's own HFD 9, FWHM 7, Peak 500; binning 2.
    const struct { FomKind kind; int stars; StarStatus status; double fom; int shownStars; } cases[] = {
        {FomKind::HFD, 4, StarStatus::Ok, 1.75, 4},     {FomKind::FWHM, 4, StarStatus::Ok, 1.75, 4},
        {FomKind::HFD, 2, StarStatus::TooFewStars, 9.0, 2}, {FomKind::Peak, 4, StarStatus::Ok, 500.0, 1},
        {FomKind::xFWHM, 4, StarStatus::Ok, 7.0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 10 + c.stars);
        FocusReading r{.Peak = 500, .xFWHM = 7.0, .FWHM = 7.0, .HFD = 9.0, .status = StarStatus::NoStar};
        const FocusSettings settings{.FWHMFactorSetting = 2, .FocusBinning = 2, .FOMKind = c.kind};
        GetFigureOfMerit(r, c.kind);
        if (c.kind == FomKind::Peak || c.kind == FomKind::xFWHM) r.status = StarStatus::Ok;
        ApplyFieldFigures({.hfd = 3.5, .fwhm = 1.75, .stars = c.stars}, settings, r);
        EXPECT_EQ(std::tuple(r.status, r.FOM, r.stars), std::tuple(c.status, c.fom, c.shownStars));
    }

    // The whole field: five stars at least, whatever the selected star
    // shows; its figure is a size even with Peak chosen.
    const struct { FomKind kind; int stars; StarStatus status; double fom; } whole[] = {
        {FomKind::HFD, 5, StarStatus::Ok, 1.75}, {FomKind::HFD, 4, StarStatus::TooFewStars, 9.0},
        {FomKind::Peak, 5, StarStatus::Ok, 1.75}, {FomKind::FWHM, 6, StarStatus::Ok, 1.75},
    };
    for (const auto& c : whole) {
        SCOPED_TRACE(static_cast<int>(c.kind) * 10 + c.stars);
        FocusReading r{.Peak = 500, .FWHM = 7.0, .HFD = 9.0, .FOM = 9.0, .status = StarStatus::NoStar};
        const FocusSettings settings{.FWHMFactorSetting = 2, .FocusBinning = 2, .FOMKind = c.kind};
        WholeField measured{.figures = {.hfd = 3.5, .fwhm = 1.75, .stars = c.stars}, .stars = {}};
        measured.stars.stars.resize(static_cast<std::size_t>(c.stars));
        ApplyWholeField(measured, settings, r);
        EXPECT_EQ(std::tuple(r.status, r.FOM, r.stars, r.field->stars.size()),
                  std::tuple(c.status, c.fom, c.stars, static_cast<std::size_t>(c.stars)));
    }
}

TEST(StarFinder, NoiseAndHotPixelsAreNeverStars) {
    Sky sky(256, 256, 1000, 0.5);
    int reported = 0;
    for (std::uint32_t seed = 1; seed <= 100; ++seed) {
        std::vector<std::uint16_t> pixels = sky.Expose(seed);
        pixels[static_cast<std::size_t>(seed * 7919 % 65536)] = 65535;  // hot pixels, some on the border
        pixels[static_cast<std::size_t>(seed * 37 % 65536)] = 5000;
        reported += static_cast<int>(FindStars(256, 256, pixels.data()).stars.size());
    }
    EXPECT_EQ(reported, 0);
}

// The sky of a tile is the middle of its 256 samples (of two middle ones,
// the upper), one from each 4x4 cell of a 64x64 tile, clipped at three
// widths until none is. Close together, spread over exactly 256 counts and
// far apart, the values are counted in blocks of one, two and four.
TEST(StarFinder, TheSkyIsTheMiddleOfItsSamples) {
    // How many cells of each value, and the sky they give.
    const struct { std::vector<std::pair<int, std::uint16_t>> cells; double sky; } cases[] = {
                       {{{128, 999}, {128, 1001}}, 1001},
                       {{{128, 1000}, {127, 1001}, {1, 1256}}, 1000},  // the one far out clipped, then the middle of 255
                       {{{64, 700}, {64, 1000}, {64, 1001}, {64, 1300}}, 1001},
                       // the middle in the last counters of its block of four
                       {{{64, 700}, {64, 1000}, {64, 1003}, {64, 1300}}, 1003}};
    for (const auto& c : cases) {
        std::vector<std::uint16_t> pixels(64 * 64);
        int cell = 0;
        for (const auto& [count, value] : c.cells)
            for (int k = 0; k < count; ++k, ++cell)
                for (int y = 0; y < 4; ++y)
                    for (int x = 0; x < 4; ++x) pixels[static_cast<std::size_t>((cell / 16 * 4 + y) * 64 + cell % 16 * 4 + x)] = value;
        EXPECT_EQ(FindStars(64, 64, pixels.data()).background, c.sky) << c.cells.size();
    }
}

// On a sky without noise (its noise taken as one count) the threshold is
// five counts: a star whose brightest pixel stands six above the sky is
// found, one that stands five is not. A single pixel 20 up is a star when
// its four sides stand 2.5 counts above the sky on average (five noise
// widths of their mean), a hot pixel when they stand less.
TEST(StarFinder, OnAFlatSkyAStarFromOneCountAboveTheThresholdAndAHotPixelByItsSides) {
    const auto find = [](const std::function<void(std::vector<std::uint16_t>&)>& add) {
        std::vector<std::uint16_t> pixels(64 * 64, 1000);
        add(pixels);
        return FindStars(64, 64, pixels.data()).stars.size();
    };
    const auto at = [](std::vector<std::uint16_t>& p, int x, int y) -> std::uint16_t& { return p[static_cast<std::size_t>(y * 64 + x)]; };
    for (const int peak : {6, 5}) {
        EXPECT_EQ(find([&](std::vector<std::uint16_t>& p) {
                      for (int y = 27; y <= 37; ++y)
                          for (int x = 27; x <= 37; ++x)
                              at(p, x, y) += static_cast<std::uint16_t>(
                                  std::lround(peak * std::exp(-((x - 32) * (x - 32) + (y - 32) * (y - 32)) / (2 * 1.2 * 1.2))));
                  }),
                  peak == 6 ? 1u : 0u)
            << peak;
    }
    for (const int lastSide : {3, 2}) {
        EXPECT_EQ(find([&](std::vector<std::uint16_t>& p) {
                      at(p, 32, 32) += 20;
                      at(p, 31, 32) += 3, at(p, 33, 32) += 2, at(p, 32, 31) += 2;
                      at(p, 32, 33) += static_cast<std::uint16_t>(lastSide);
                  }),
                  lastSide == 3 ? 1u : 0u)
            << lastSide;
    }
}

// A focused star of FWHM 1.1 px centred on a pixel gives each of its four
// sides under a fifth of its peak, yet far more light than the noise; a lone
// hot pixel's sides hold only the sky. On a noisy sky, over many exposures:
// the star found every time and measured at its size (picked when bright
// enough to pick), the hot pixel never.
TEST(StarFinder, AFocusedStarOfAPixelIsFoundAndALoneHotPixelIsNot) {
    // The peak above the sky (of a hot pixel without a star when hot); the
    // HFD within a share of 1.1 px that the noise allows.
    const struct { const char* name; double peak; bool hot, picked; double hfdWithin; } cases[] = {
                       {"bright star", 3000, false, true, 0.1},
                       {"modest star", 450, false, false, 0.2},
                       {"bright hot pixel", 30000, true, false, 0},
                       {"faint hot pixel", 150, true, false, 0}};
    for (const auto& c : cases) {
        int found = 0, picked = 0;
        for (std::uint32_t seed = 1; seed <= 20; ++seed) {
            Sky sky(64, 64, 1000, 0.0);
            if (!c.hot) sky.Add({32.0, 32.0, 1.1 / kFwhmPerSigma, c.peak});
            std::vector<std::uint16_t> pixels = sky.Expose(seed);
            if (c.hot) pixels[32 * 64 + 32] = static_cast<std::uint16_t>(1000 + c.peak);
            const StarField field = FindStars(64, 64, pixels.data(), {.focusFrame = 20});
            for (const FoundStar& s : field.stars) {
                ++found;
                EXPECT_NEAR(s.hfd, 1.1, c.hfdWithin * 1.1) << c.name << " " << seed;
            }
            picked += PickFocusStar(field, 64, 64, [](int, int) { return true; }).star ? 1 : 0;
        }
        EXPECT_EQ(std::pair(found, picked), std::pair(c.hot ? 0 : 20, c.picked ? 20 : 0)) << c.name;
    }
}

// A star whose brightest pixel lies on the second row or column from an
// edge, at each of the four: one star, on its centre.
TEST(StarFinder, AStarOnTheSecondRowFromAnyEdgeIsFoundOnItsCentre) {
    for (const auto& [x, y] : {std::pair{32.2, 1.3}, std::pair{32.2, 61.7}, std::pair{1.3, 32.2}, std::pair{61.7, 32.2}}) {
        Sky sky(64, 64, 1000, 0.0);
        sky.Add({x, y, 1.2, 3000});
        const std::vector<std::uint16_t> pixels = sky.Expose(7);
        const StarField field = FindStars(64, 64, pixels.data());
        ASSERT_EQ(field.stars.size(), 1u) << x << "," << y;
        EXPECT_LT(std::hypot(field.stars[0].x - x, field.stars[0].y - y), 0.3) << field.stars[0].x << "," << field.stars[0].y;
    }
}

// A fainter maximum on a bright star's flank with no clear dip between them
// is part of that star, whether the bright one lies first in the frame or
// last; the same maximum a little farther out, past a clear dip, is a star
// of its own.
TEST(StarFinder, AShoulderWithoutAClearDipJoinsTheBrighterStarEitherWayRound) {
    const struct { double brightY, faintY; std::size_t stars; } cases[] = {
        {20, 28, 1}, {40, 32, 1}, {20, 31, 2}, {40, 29, 2}};
    for (const auto& c : cases) {
        Sky sky(64, 64, 1000, 0.0);
        sky.Add({32, c.brightY, 2.5, 20000});
        sky.Add({32, c.faintY, 2.0, 6000});
        const std::vector<std::uint16_t> pixels = sky.Expose(5);
        for (const double wholeFrameBelow : {0.0, 1e12}) {
            const StarField field = FindStars(64, 64, pixels.data(), {.wholeFrameBelow = wholeFrameBelow});
            EXPECT_EQ(field.stars.size(), c.stars) << c.brightY << " and " << c.faintY << ", " << wholeFrameBelow;
        }
    }
}

// Stars cut by every edge and corner, brighter on one side of the frame than
// on the other: told apart by the light between their maxima (a field this
// small with 16 is crowded) or flooded out from each maximum, the same
// stars, and none joined to one on the far side. Only the four in the
// corners may be measured a little differently: the flood's light of a
// star cut by a corner lies off its maximum, as a ring's does.
TEST(StarFinder, CrowdedOrSparseTheSameStarsUpToTheFramesEdges) {
    Sky sky(120, 90, 1000, 0.0);
    int n = 0;
    for (const double y : {0.2, 30.5, 60.5, 89.7})
        for (const double x : {0.3, 40.5, 80.5, 119.6}) sky.Add({x, y, 1.8, 1000.0 + 700 * (n++ % 5)});
    const std::vector<std::uint16_t> pixels = sky.Expose(3);
    const StarField flooded = FindStars(120, 90, pixels.data(), {.wholeFrameBelow = 0});
    const StarField apart = FindStars(120, 90, pixels.data(), {.wholeFrameBelow = 1000});
    ASSERT_EQ(std::tuple(flooded.stars.size(), apart.stars.size()), std::tuple(16u, 16u));
    for (const FoundStar& s : apart.stars) {
        const FoundStar same = *Nearest(flooded, s.x, s.y);
        const bool corner = (s.x < 2 || s.x > 117) && (s.y < 2 || s.y > 87);
        EXPECT_TRUE(corner ? std::hypot(s.x - same.x, s.y - same.y) < 0.1 && std::abs(s.flux / same.flux - 1) < 0.05 : s == same)
            << s.x << "," << s.y;
        EXPECT_EQ(s.Usable(), same.Usable());
    }
    // Capped, the stars on the edges are ranked like the rest (their pixels
    // looked at up to the last row and column, not past them).
    for (const StarField* whole : {&flooded, &apart}) {
        const StarField capped = FindStars(120, 90, pixels.data(), {.maxStars = 4, .wholeFrameBelow = whole == &flooded ? 0.0 : 1000.0});
        ASSERT_EQ(std::tuple(capped.found, capped.stars.size()), std::tuple(16u, 4u));
        for (const FoundStar& s : capped.stars) EXPECT_EQ(Nearest(*whole, s.x, s.y)->flux, s.flux);
    }
}

// From a small star to a far-defocused one, a ring behind the central
// obstruction: one star each, centred, usable, and its size growing with the ring.
TEST(StarFinder, HalfFluxDiameterWithinFivePercentFromSmallToLargeStarsAndRings) {
    std::vector<TrueStar> stars;
    for (const double beta : {0.0, 3.0})
        for (const double sigma : {1.5, 2.5, 4.0, 6.0}) stars.push_back({80.37, 79.71, sigma, 8000, beta});
    for (const double ring : {4.0, 6.0, 10.0, 15.0, 20.0}) stars.push_back({80.37, 79.71, 1.2, 120000 / (ring * ring), 0.0, 1.0, 1.0, ring});
    double lastRingHfd = 0;
    for (const TrueStar& star : stars) {
        SCOPED_TRACE(testing::Message() << "beta " << star.beta << " sigma " << star.sigma << " ring " << star.ring);
        Sky sky(160, 160, 500, 0.0);
        sky.Add(star);
        const std::vector<std::uint16_t> pixels = sky.Expose(3);
        const StarField field = FindStars(160, 160, pixels.data(), {.focusFrame = 60});
        ASSERT_EQ(field.stars.size(), 1u);
        const FoundStar& s = field.stars.front();
        EXPECT_NEAR(s.hfd, star.Hfd(), 0.05 * star.Hfd());
        EXPECT_TRUE(std::hypot(s.x - star.x, s.y - star.y) < (star.ring > 0 ? 0.25 : 0.1) && s.Usable()) << s.x << "," << s.y;
        EXPECT_TRUE(star.beta != 0.0 || star.ring > 0 || std::abs(s.fwhm - kFwhmPerSigma * star.sigma) <= 0.15 * kFwhmPerSigma * star.sigma)
            << s.fwhm;
        if (star.ring > 0) {
            EXPECT_GT(s.hfd, lastRingHfd);
            lastRingHfd = s.hfd;
        }
    }
}

TEST(StarFinder, PicksTheBrightUnclippedStarNearestTheMiddleOrSaysWhyNone) {
    const auto everywhere = [](int, int) { return true; };
    const auto pick = [&](const std::vector<TrueStar>& stars, const std::function<bool(int, int)>& fits) {
        Sky sky(300, 200, 900, 0.0);
        for (const TrueStar& s : stars) sky.Add(s);
        const std::vector<std::uint16_t> pixels = sky.Expose(11);
        return PickFocusStar(FindStars(300, 200, pixels.data(), {.focusFrame = 40}), 300, 200, fits);
    };
    const TrueStar clipped{150.2, 100.3, 2.0, 300000}, offCentre{60.4, 50.6, 2.0, 9000}, central{200.6, 120.2, 2.0, 8000},
        faint{230.3, 150.8, 2.0, 1500}, rim{285.5, 100.5, 2.0, 20000};
    // Of two nearly equal stars the one nearer the middle; never the clipped,
    // the one at the rim, or the fainter one.
    StarPick p = pick({clipped, offCentre, central, faint, rim}, everywhere);
    ASSERT_TRUE(p.star);
    EXPECT_LT(std::hypot(p.star->x - central.x, p.star->y - central.y), 0.5);
    // The window's own frame rule has the last word.
    p = pick({clipped, offCentre, central, faint}, [](int x, int) { return x < 100; });
    ASSERT_TRUE(p.star);
    EXPECT_LT(std::hypot(p.star->x - offCentre.x, p.star->y - offCentre.y), 0.5);

    p = pick({}, everywhere);
    EXPECT_TRUE(!p.star && p.reason.find("No star was found") != std::string::npos) << p.reason;
    p = pick({clipped}, everywhere);
    EXPECT_TRUE(!p.star && p.reason.find("1 saturated") != std::string::npos &&
                p.reason.find("shorter exposure") != std::string::npos) << p.reason;
}

}  // namespace
}  // namespace kv
