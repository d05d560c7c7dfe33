// The curve fit, its search and the backlash approach, on curves without devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "focusing/backlash.h"
#include "focusing/curve_fit.h"
#include "focusing/curve_fit_search.h"
#include "focusing_fakes.h"

namespace kv {
namespace {

std::vector<FitPoint> Sampled(const std::function<double(double)>& f, double from, double step, int n) {
    std::vector<FitPoint> points;
    for (int i = 0; i < n; ++i) points.push_back({from + i * step, f(from + i * step), 1.0});
    return points;
}

TEST(CurveFit, NoiseFreeCurvesGiveTheirMinimum) {
    struct Case {
        const char* name;
        std::function<double(double)> f;
        double best;
    };
    const auto hyperbola = [](double x) { return 2.5 * std::sqrt(1 + std::pow((x - 37) / 120, 2)); };
    const Case cases[] = {
        {"hyperbola", hyperbola, 37},
        {"parabola", [](double x) { return 3 + 0.5 * std::pow((x + 212) / 100, 2); }, -212},
        {"V on a pedestal", [](double x) { return 2.5 + 0.02 * std::fabs(x - 61); }, 61},
        {"lopsided", [](double x) { return std::sqrt(6.25 + std::pow((x - 15) / 100 * (x < 15 ? 1.2 : 3.0), 2)); }, 15},
        // Peak as charted: a star's peak falls with the square of its width.
        {"peak", [&](double x) { return SizeFromPeak(40000 / std::pow(hyperbola(x) / 2.5, 2)); }, 37},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CurveFit fit = FitFocusCurve(Sampled(c.f, c.best - 480, 100, 11));
        ASSERT_TRUE(fit.ok) << fit.why;
        EXPECT_NEAR(fit.minimumX, c.best, 0.5);
        EXPECT_NEAR(fit.predicted, c.f(c.best), 0.02 * c.f(c.best));
        EXPECT_TRUE(fit.rSquared > 0.999 && fit.rejected == -1) << fit.rSquared << " " << fit.rejected;
    }
    // A wide parabola is the hyperbola's business too; only its own shape
    // steeper than any hyperbola makes the parabola win, and its bottom is
    // found where it lies, also when the samples do not straddle it evenly.
    EXPECT_EQ(FitFocusCurve(Sampled([](double x) { return 1 + std::pow(x / 100, 4); }, -300, 50, 13)).model,
              FitModel::Parabola);
    const CurveFit offCentre = FitFocusCurve(Sampled([](double x) { return 1 + std::pow((x - 70) / 100, 4); }, -200, 50, 13));
    EXPECT_EQ(offCentre.model, FitModel::Parabola);
    EXPECT_NEAR(offCentre.minimumX, 70, 8);
    // A V whose tip reads sharper than its flanks point to keeps its tip: the
    // lowest reading is never the wild one.
    std::vector<FitPoint> vee = Sampled([](double x) { return 2.5 + 0.02 * std::fabs(x - 100); }, -400, 100, 11);
    vee[5].y = 0.5;
    const CurveFit tip = FitFocusCurve(vee);
    ASSERT_TRUE(tip.ok);
    EXPECT_EQ(tip.rejected, -1);
    EXPECT_NEAR(tip.minimumX, 100, 2);

    // A region's readings take the field's shape, moved and raised: four
    // place it, three do not.
    const CurveFit field = FitFocusCurve(Sampled(hyperbola, -443, 100, 11));
    const std::vector<FitPoint> four = Sampled([&](double x) { return hyperbola(x - 50) + 0.3; }, -113, 100, 4);
    const ShapedFit shaped = FitShapedCurve(four, field);
    EXPECT_TRUE(shaped.ok && std::fabs(shaped.centre - 87) < 1 && std::fabs(shaped.level - 0.3) < 0.05) << shaped.why;
    EXPECT_EQ(FitShapedCurve(std::span(four).first(3), field).why, "too few points to fit");

    // Peak is fitted as a size: 1000 / sqrt(peak), and back.
    for (const double peak : {4.0, 100.0, 40000.0}) EXPECT_NEAR(PeakFromSize(SizeFromPeak(peak)), peak, 1e-9 * peak);
    EXPECT_EQ(std::tuple(SizeFromPeak(0.25), SizeFromPeak(1.0), PeakFromSize(0.0), PeakFromSize(-1.0)),
              std::tuple(1000.0, 1000.0, 0.0, 0.0));
}

// The far readings weigh more, up to the cap: with the cap at 1 every reading
// weighs the same, as without size weighting.
TEST(CurveFit, SizeWeightsAreCapped) {
    std::vector<FitPoint> points = Sampled([](double x) { return std::sqrt(6.25 + std::pow(x / 60, 2)); }, -500, 100, 11);
    const double bumps[] = {0.0, 0.3, -0.2, 0.1, 0.0, 0.05, -0.1, 0.2, -0.3, 0.6, -0.4};
    for (std::size_t i = 0; i < points.size(); ++i) points[i].y += bumps[i];
    FitOptions uniform;
    uniform.sizeWeighting = 0.0;
    FitOptions capped;
    capped.maxSizeWeight = 1.0;
    const double plain = FitFocusCurve(points, uniform).minimumX;
    EXPECT_NEAR(FitFocusCurve(points, capped).minimumX, plain, 1e-9);
    EXPECT_GT(std::fabs(FitFocusCurve(points).minimumX - plain), 0.01) << "the default weights change the answer";
}

TEST(CurveFit, OneWildPointIsLeftOutAndTooFewPointsFail) {
    std::vector<FitPoint> points = Sampled([](double x) { return 2.5 + 0.02 * std::fabs(x - 40); }, -500, 100, 11);
    points[3].y *= 1.8;
    points[8].y *= 1.02;  // ordinary noise stays
    const CurveFit fit = FitFocusCurve(points);
    ASSERT_TRUE(fit.ok);
    EXPECT_EQ(fit.rejected, 3);
    EXPECT_NEAR(fit.minimumX, 40, 3);
    // A point of no weight counts for nothing, not even as the edge of the readings.
    std::vector<FitPoint> weightless = points;
    weightless.push_back({2000.0, 1.0, 0.0});
    const CurveFit light = FitFocusCurve(weightless);
    ASSERT_TRUE(light.ok) << light.why;
    EXPECT_EQ(std::tuple(light.minimumX, light.depth), std::tuple(fit.minimumX, fit.depth));
    EXPECT_EQ(FitShapedCurve(weightless, fit).centre, FitShapedCurve(points, fit).centre);
    // Six points are enough to leave one out.
    std::vector<FitPoint> six = Sampled([](double x) { return std::sqrt(6.25 + std::pow((x - 20) / 80, 2)); }, -250, 100, 6);
    six[1].y *= 1.8;
    EXPECT_EQ(FitFocusCurve(six).rejected, 1);
    EXPECT_FALSE(FitFocusCurve(Sampled([](double x) { return x; }, 0, 1, 3)).ok ||
                 FitFocusCurve(Sampled([](double x) { return 10 - x; }, 0, 1, 8)).ok);
    // The golden section's refinement leaves out readings without a figure (0 or none at all).
    std::vector<SearchPoint> golden = {{0, -50, 0.0}, {0, 150, 0.0}, {0, 350, std::numeric_limits<double>::infinity()}};
    for (const FitPoint& p : Sampled([](double x) { return std::hypot(2.5, (x - 20) / 80); }, -250, 100, 6))
        golden.push_back({0, static_cast<std::int32_t>(p.x), p.y});
    EXPECT_NEAR(RefineSearchPoints(golden, FomKind::HFD).value().bestPosition, 20, 3);
}

TEST(Backlash, EveryMoveEndsFromTheConfiguredSide) {
    using V = std::vector<std::int32_t>;
    EXPECT_EQ(BacklashMoves(0, 100, 50, ApproachSide::FromBelow), V{100});
    EXPECT_EQ(BacklashMoves(100, 0, 50, ApproachSide::FromBelow), (V{-50, 0}));
    EXPECT_EQ(BacklashMoves(100, 0, 50, ApproachSide::FromAbove), V{0});
    EXPECT_EQ(BacklashMoves(0, 100, 50, ApproachSide::FromAbove), (V{150, 100}));
    EXPECT_EQ(BacklashMoves(100, 0, 0, ApproachSide::FromBelow), V{0});
    EXPECT_EQ(BacklashMoves(7, 7, 50, ApproachSide::FromBelow), V{});
}

using FrameFn = std::function<FocusReading(std::int32_t)>;
using ImageFn = std::function<std::optional<double>(std::int32_t)>;

// A search from `start` driven to its end, kept for what it says after.
struct Walk : test::Walk {
    std::shared_ptr<TCurveFitSearch> search;
};

Walk Drive(const CurveFitSettings& settings, const FrameFn& frame, int frames = 1, const ImageFn& image = {},
           FomKind kind = FomKind::HFD, std::int32_t start = 0) {
    Walk w;
    w.search = std::make_shared<TCurveFitSearch>(settings, kind, start);
    static_cast<test::Walk&>(w) = test::DriveSearch(*w.search, start, frame, frames, image);
    return w;
}

// A star of HFD `hfd` that is lost beyond HFD 20, as light wider than the
// frame when `large`.
FrameFn Lost(const std::function<double(std::int32_t)>& hfd, bool large = false) {
    return [=](std::int32_t p) {
        FocusReading r{.HFD = hfd(p)};
        if (r.HFD > 20) r = {.HFD = 80, .status = StarStatus::NoStar, .tooLarge = large};
        r.FOM = r.HFD;
        return r;
    };
}

// One whose HFD follows a V around `best`.
FrameFn Star(double best, double slope = 0.02, bool large = false) {
    return Lost([=](std::int32_t p) { return 2.5 + slope * std::fabs(p - best); }, large);
}

CurveFitSettings Settings(int step, std::optional<std::int32_t> travelMax = {}, bool coarse = false,
                          int maxPoints = 21) {
    CurveFitSettings s;
    s.step = step;
    s.maxPoints = maxPoints;
    s.travelMax = travelMax;
    s.coarse = coarse;
    return s;
}

TEST(CurveFitSearch, StartsFarFromFocusStillEndInFocus) {
    for (const int away : {-6, -1, 0, 3, 6}) {
        SCOPED_TRACE(away);
        const double best = 1000 - away * 100 + 13;
        const Walk w = Drive({}, Star(best), 1, {}, FomKind::HFD, 1000);
        const TCurveFitSearch& search = *w.search;
        ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
        EXPECT_NEAR(w.last.position, best, 1);
        ASSERT_TRUE(search.Fit().has_value());
        // The focuser is left at the answer, which the check frame measured.
        EXPECT_EQ(std::tuple(w.at, search.Fit()->checkPosition, search.FinalReading().FOM, search.Frames()),
                  std::tuple(w.last.position, w.last.position, Star(best)(w.last.position).FOM,
                             static_cast<int>(w.measured.size())));
        EXPECT_TRUE(std::abs(away) > 1 || search.Frames() <= 12) << search.Frames();
    }
}

// Far from focus the focus frame loses the star; the main image still shows
// it, and its HFD there leads the walk back. Every failure of that phase goes
// back to where the user started, and a start the focus frame can read never
// takes a main image.
TEST(CurveFitSearch, TheCoarsePhaseBringsAFarStarIntoTheFocusFrame) {
    const auto v = [](double best, double slope) {
        return [=](std::int32_t p) -> std::optional<double> { return 2.5 + slope * std::fabs(p - best); };
    };
    const auto hyperbola = [](double best) {
        return [=](std::int32_t p) -> std::optional<double> { return std::hypot(2.5, 0.03 * (p - best)); };
    };
    const ImageFn none = [](std::int32_t) { return std::nullopt; };
    // The V around 1513 on the main images whose number (from 1) `shows`.
    const auto seen = [](bool (*shows)(int)) -> ImageFn {
        return [n = std::make_shared<int>(0), shows](std::int32_t p) -> std::optional<double> {
            if (!shows(++*n)) return std::nullopt;
            return 2.5 + 0.02 * std::fabs(p - 1513);
        };
    };
    struct Case {
        const char* name;
        double best;
        ImageFn image;
        bool coarse;
        std::optional<std::int32_t> travelMax;
        std::string failure;  // empty: ends in focus
        int step = 100;
        double slope = 0.02;  // of the focus frame's V
        int maxCoarse = 8;    // whole images a failure may take
    };
    const std::string back = "\r\nThe focuser is back at its starting position. ";
    const Case cases[] = {
        {"V 1500 above", 1513, v(1513, 0.02), true, {}, ""},
        {"V 2000 below", -1987, v(-1987, 0.02), true, {}, ""},
        {"hyperbola 1300 below", -1293, hyperbola(-1293), true, {}, ""},
        // Not far, but a step that walks the star out of the frame is halved.
        {"step 500 outgrows the frame", 100, none, true, {}, "", 500, 0.05},
        // A flank so gentle that the first probe changes the blur too little:
        // the probes lengthen downhill before a jump.
        {"gentle flank", 4013, v(4013, 0.004), true, {}, ""},
        // A star the frame shows, so gentle a curve that the walk runs out of
        // readings still falling: the whole image says how far.
        {"still falling after 21 readings", 3013, v(3013, 0.005), true, {}, "", 100, 0.005},
        {"still falling, coarse off", 3013, v(3013, 0.005), false, {}, "No focus minimum was found within 21 readings.",
         100, 0.005},
        {"coarse off", 1513, v(1513, 0.02), false, {}, "Too few focus frames showed a star (0 of 3 readings)."},
        {"no star anywhere", 1513, none, true, {}, "At position 0 the star is blurred beyond what the whole image shows."},
        // Seen once and never again, by no focus frame either: not the star.
        {"lost on the way", 1513, seen([](int n) { return n == 1; }), true, {},
         "At position 0 the star is blurred beyond what the whole image shows."},
        // The first jump's frame misses the star (a gust, a noisy frame).
        {"a jump's frame missed it: half the jump", 1513, seen([](int n) { return n != 3; }), true, {}, ""},
        {"lost for good after the first jump", 1513, seen([](int n) { return n <= 2; }), true, {},
         "The star was lost on the whole image at position 352"},
        {"faded on the probe outward", -1487,
         [](std::int32_t p) -> std::optional<double> {
             if (p > 100) return std::nullopt;
             return 2.5 + 0.02 * std::fabs(p + 1487);
         },
         true, {}, ""},
        // Far out the blur reads too small, so its flank too flat: the jump
        // lands as far past focus, and a blur that hardly fell says so.
        {"crossed on a flank read too flat", 1513,
         [](std::int32_t p) -> std::optional<double> { return 2.5 + 40.0 * (1.0 - std::exp(-std::fabs(p - 1513) / 1200.0)); },
         true, {}, ""},
        // The landing at the edge reads as if it crossed focus; the check
        // says it did not, and the walk ends there.
        {"beyond travel", 1513, v(1513, 0.02), true, 700,
         "Best focus lies at or beyond the edge of the focuser's travel (near position 700).", 100, 0.02, 4},
        {"flat", 1513, [](std::int32_t) -> std::optional<double> { return 30.0; }, true, {},
         "The star still blurred larger than the focus frame after 8 whole-image frames (HFD 30.0, 12.0 wanted)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walk w = Drive(Settings(c.step, c.travelMax, c.coarse), Star(c.best, c.slope, true), 1, c.image);
        const TCurveFitSearch& search = *w.search;
        EXPECT_EQ(search.CoarseFrames(), static_cast<int>(w.imaged.size()));
        if (c.failure.empty()) {
            ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
            EXPECT_NEAR(w.last.position, c.best, 2);
            EXPECT_LE(search.CoarseFrames(), 5) << w.Notes();
            const std::string said = c.step == 100 ? "Coarse phase: " + std::to_string(search.CoarseFrames()) +
                                                         " whole-image frames"
                                                   : "walking again around position 0 with a step of 250";
            EXPECT_NE(w.Notes().find(said), std::string::npos) << w.Notes();
            continue;
        }
        ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Failed) << w.Notes();
        EXPECT_EQ(w.last.message.rfind(c.failure, 0), 0u) << w.last.message;
        EXPECT_NE(w.last.message.find(back), std::string::npos) << w.last.message;
        EXPECT_EQ(w.at, 0);
        EXPECT_EQ(w.imaged.empty(), !c.coarse);
        EXPECT_LE(search.CoarseFrames(), c.maxCoarse);
        for (const std::int32_t p : w.imaged) EXPECT_LE(p, c.travelMax.value_or(1000000));
    }
    // A star the focus frame reads: no main image at all.
    const CurveFitSettings coarse = Settings(100, {}, true);
    const Walk w = Drive(coarse, Star(130), 1, none);
    EXPECT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
    EXPECT_TRUE(w.imaged.empty());
    // A side that outgrows the frame one reading past the lowest is walked
    // again with half the step; past a sharp bottom so is one that outgrows it
    // two readings past, and three are enough.
    for (const int side : {1, -1}) {
        for (const auto& [steep, finer] : {std::pair{0.15, true}, std::pair{0.1, true}, std::pair{0.06, false}}) {
            SCOPED_TRACE(std::to_string(side) + " " + std::to_string(steep));
            const Walk l = Drive({}, Lost([steep, side](std::int32_t p) {
                return 2.5 + ((p - 30) * side > 0 ? steep : 0.02) * std::fabs(p - 30.0);
            }, true));
            EXPECT_EQ(l.Notes().find("with a step of 50") != std::string::npos, finer) << l.Notes();
        }
    }
    // A jump that crossed focus (30 at 200, then 35 at 710): the walk starts
    // between, nearer the smaller blur.
    const ImageFn crossed = [](std::int32_t p) -> std::optional<double> {
        return p == 0 ? 40.0 : p == 200 ? 30.0 : p == 710 ? 35.0 : 10.0;
    };
    EXPECT_EQ(Drive(coarse, Star(440, 0.05, true), 1, crossed).imaged, (std::vector<std::int32_t>{0, 200, 710, 435}));
    // The halved step walks again the side the travel's edge closed: 150 lies
    // inside it, between the old grid's 100 and 200.
    const Walk c =
        Drive(Settings(100, 150), Lost([](std::int32_t p) { return 2.5 + (p < 20 ? 0.1 : 0.05) * std::abs(p - 20); }));
    EXPECT_NE(c.Notes().find("with a step of 50"), std::string::npos) << c.Notes();
    EXPECT_EQ(*std::max_element(c.measured.begin(), c.measured.end()), 150) << c.Notes();
}

// A large step loses a sharp star, into the sky or past the frame's edge,
// or jumps across the bottom: the step is halved from the lowest reading,
// no position is read twice and the whole image never leads away.
TEST(CurveFitSearch, ALargeStepThatLosesASharpStarIsHalved) {
    for (const int step : {250, 500})
        for (const bool large : {false, true})
            for (const double best : {60.0, -200.0}) {
                SCOPED_TRACE(std::to_string(step) + (large ? " large " : " faded ") + std::to_string(best));
                Walk w = Drive(Settings(step, {}, true), Star(best, 0.04, large), 1, [](std::int32_t) { return 40.0; });
                ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
                EXPECT_NEAR(w.last.position, best, 3);
                EXPECT_TRUE(w.imaged.empty());
                w.measured.pop_back();  // the check frame
                std::sort(w.measured.begin(), w.measured.end());
                EXPECT_EQ(std::adjacent_find(w.measured.begin(), w.measured.end()), w.measured.end()) << w.Notes();
            }
    // So is a blurred star the walk lost to the sky one reading in and past
    // the frame's edge three readings out, with too few readings to fit.
    const Walk b = Drive({}, [](std::int32_t p) {
        FocusReading r{.HFD = 13.0 + p / 50.0};
        if (p < 0 || p > 250) r = {.HFD = 80, .status = StarStatus::NoStar, .tooLarge = p > 0};
        r.FOM = r.HFD;
        return r;
    });
    EXPECT_NE(b.Notes().find("walking again around position 0 with a step of 50"), std::string::npos) << b.Notes();
}

// Noise taken for a star lands anywhere in the frame: a reading whose centre
// jumps from where the run's star stood counts as none; a drift does not,
// nor a figure over the field's stars, which has no one centre.
TEST(CurveFitSearch, AReadingAwayFromTheStarsCentreIsNoStar) {
    const Walk w = Drive({}, [](std::int32_t p) {
        FocusReading r = Star(0)(p);
        r.PeakX = p == 300 || p == -300 ? 12 : 32 + p / 100;
        r.PeakY = 32;
        r.stars = p == -300 ? 5 : 1;
        return r;
    });
    for (const CurveSample& s : w.search->Samples()) EXPECT_EQ(s.star, s.position != 300) << s.position;
}

// Each side walks until it has its points and reads half again the bottom:
// on a shallow V that takes a third reading each side, not only two.
TEST(CurveFitSearch, EachSideWalksUntilItReadsHalfAgainTheBottom) {
    CurveFitSettings settings;
    settings.pointsPerSide = 2;
    const Walk w = Drive(settings, Star(0, 0.005));
    ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
    EXPECT_EQ(*std::min_element(w.measured.begin(), w.measured.end()), -300);
    EXPECT_EQ(*std::max_element(w.measured.begin(), w.measured.end()), 300);
}

// The peak, larger when better, is searched and checked as a size.
TEST(CurveFitSearch, PeakFindsFocusAndItsCheckFrameIsGated) {
    const auto peak = [](double best, double checkedAt) {
        return [=](std::int32_t p) {
            FocusReading r = Star(best)(p);
            r.Peak = static_cast<std::int32_t>(40000.0 / std::pow(r.HFD / 2.5, 2));
            r.FOM = r.Peak;
            if (p == checkedAt) r.FOM = r.Peak = 5000;  // a gust on the check frame only
            return r;
        };
    };
    const Walk w = Drive({}, peak(140, -1), 1, {}, FomKind::Peak);
    ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Finished) << w.Notes();
    EXPECT_NEAR(w.last.position, 140, 2);
    const Walk g = Drive({}, peak(140, 140), 1, {}, FomKind::Peak);
    ASSERT_EQ(g.last.kind, TCurveFitSearch::Action::Failed) << g.Notes();
    EXPECT_NE(g.last.message.find("The check frame at the fitted best focus (position 140) reads 5000.0000"),
              std::string::npos) << g.last.message;
}

// A refused answer returns to the start and says why; its advice follows what its readings showed. A star
// lost to the blur is not a star missing from the frame, and a curve that
// rose too little for the scatter wants a longer walk, not more frames,
// unless the frames' own scatter is what the curve could not explain.
TEST(CurveFitSearch, FailureAdviceFollowsWhatTheReadingsShowed) {
    struct Case {
        const char* name;
        CurveFitSettings settings;
        int frames;
        FrameFn frame;
        std::string failed, advice;
    };
    // A V whose odd grid positions read `bump` high, each reading averaged
    // from frames that scatter by `spread`.
    const auto bumpy = [](double slope, double bump, double spread) {
        return [=](std::int32_t p) {
            FocusReading r{.HFD = 2.5 + slope * std::abs(p) + (p / 100 % 2 != 0 ? bump : 0.0), .fomSpread = spread};
            r.FOM = r.HFD;
            return r;
        };
    };
    // Four readings with a star that no curve fits, the star lost beyond them.
    const auto fewSeen = [](std::int32_t p) {
        const std::map<std::int32_t, double> seen{{-250, 15.06}, {0, 6.81}, {250, 19.94}, {500, 26.11}};
        FocusReading r{.HFD = 80, .status = StarStatus::NoStar, .tooLarge = true};
        if (seen.contains(p)) r = {.HFD = seen.at(p)};
        r.FOM = r.HFD;
        return r;
    };
    const std::string checkFrame =
        "Check that the star is inside the focus frame, or lengthen the exposure, and start again.";
    const std::string walkedPast = "The star blurred larger than the focus frame beyond the positions where it showed: "
                                   "use a smaller step or a larger focus frame, and start again.";
    const std::string noisy = "The focus readings are too noisy to fit a curve: the curve explains ";
    const std::string moreSamples = "Take more samples per focus measurement.";
    const Case cases[] = {
        {"flat", Settings(100, {}, false, 9), 1, Star(30, 0.0005),
         "The focus curve is too flat to find best focus: its edges read only 7 % above its bottom (50 % needed).",
         "Use a larger step."},
        {"beyond travel", Settings(100, 250), 1, Star(600),
         "Best focus lies at or beyond the edge of the focuser's travel (near position 200).",
         "Move it by hand towards best focus, or widen the travel limits, and start again."},
        {"check frame", {}, 1, [](std::int32_t p) {
             FocusReading r = Star(40)(p);
             if (p == 40) r.FOM = r.HFD = 5.0;  // the check frame, only there
             return r;
         }, "The check frame at the fitted best focus (position 40) reads 5.0000, worse than the 2.5135 the fit predicts.",
         "Take more samples per focus measurement or wait for steadier seeing, and start again."},
        {"no star anywhere", {}, 1, [](std::int32_t) { return FocusReading{.FOM = 80, .status = StarStatus::NoStar}; },
         "Too few focus frames showed a star (0 of 3 readings).", checkFrame},
        {"too few stars", {}, 1, [](std::int32_t) { return FocusReading{.FOM = 3, .status = StarStatus::TooFewStars}; },
         "Too few focus frames showed a star (0 of 3 readings).", checkFrame},
        // Started far out: these used to be told to check the frame.
        {"larger than the frame from the start", {}, 1, Star(1000, 0.02, true),
         "Too few focus frames showed a star (0 of 3 readings).",
         "The star had blurred larger than the focus frame around the starting position: focus roughly by hand "
         "nearer to best focus, or use a larger focus frame, and start again."},
        {"a large step walked past it, even halved three times", Settings(500), 1, Star(30, 0.2, true),
         "Too few focus frames showed a star (2 of 9 readings).", walkedPast},
        // A sharp star would be walked again with half the step; this one is not.
        {"a large step walked it into the sky", Settings(500), 1, Star(-300, 0.05, false),
         "Too few focus frames showed a star (2 of 4 readings).",
         "The star blurred into the sky beyond the positions where it showed: use a smaller step, or lengthen the "
         "exposure, and start again."},
        // This one was called a flat curve. Walked again finer, it lacks the
        // star between positions that showed it: not the blur, the frame.
        {"no curve through the few it showed", Settings(250), 1, fewSeen,
         "Too few focus frames showed a star (4 of 12 readings).", checkFrame},
        {"deep, the frames' scatter", {}, 4, bumpy(0.01, 2.5, 6.0),
         noisy + "72 % of their spread (80 % needed).", moreSamples},
        {"deep, single frames", {}, 1, bumpy(0.01, 2.5, 0.0),
         noisy + "72 % of their spread (80 % needed).", moreSamples},
        {"deep, steady frames", {}, 4, bumpy(0.01, 2.5, 0.2),
         noisy + "72 % of their spread (80 % needed).",
         "The readings stray from the curve further than their own frames scatter, so more samples would not "
         "steady them: wait for steadier seeing, or use a larger step."},
        {"shallow, the frames' scatter", {}, 4, bumpy(0.004, 1.0, 3.0),
         noisy + "71 % of their spread (80 % needed).",
         "Across the positions read the curve rose only 65 % above its bottom, too little for the readings' "
         "scatter: use a larger step, or take more samples per focus measurement."},
        {"shallow, steady frames", {}, 4, bumpy(0.004, 1.0, 0.05),
         noisy + "71 % of their spread (80 % needed).",
         "Across the positions read the curve rose only 65 % above its bottom, too little for the readings' "
         "scatter: use a larger step."},
        // Readings from 2.7 to 12.85 that no curve follows well: the fit's
        // outer points sat low, and this was called a shallow walk.
        {"deep, wild single frames", {}, 1, [](std::int32_t p) {
             const double wild[] = {0.0, 3.0, -1.5, 4.5, 0.5, -2.0, 5.0, 1.0, -0.5, 2.5, 0.0};
             FocusReading r{.HFD = 2.7 + 0.0203 * std::abs(p) + wild[(p / 100 + 50) % 11]};
             r.FOM = r.HFD;
             return r;
         }, noisy + "70 % of their spread (80 % needed).", moreSamples},
        // Below the depth gate more frames cannot help: these were told to take them.
        {"flatter than the gate, the frames' scatter", {}, 4, bumpy(0.0008, 0.3, 2.0),
         noisy + "69 % of their spread (80 % needed).",
         "Across the positions read the curve rose only 25 % above its bottom, too little for the readings' "
         "scatter: use a larger step."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walk w = Drive(c.settings, c.frame, c.frames);
        ASSERT_EQ(w.last.kind, TCurveFitSearch::Action::Failed) << w.Notes();
        EXPECT_EQ(std::tuple(w.last.message, w.at),
                  std::tuple(c.failed + "\r\nThe focuser is back at its starting position. " + c.advice, 0))
            << w.Notes();
        for (const std::int32_t p : w.measured) EXPECT_LE(p, c.settings.travelMax.value_or(100000));
    }
}

}  // namespace
}  // namespace kv
