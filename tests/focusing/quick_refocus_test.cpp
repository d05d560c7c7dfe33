// The quick refocus on analytic curves: learning the shape, reading it
// around the prediction, and its fallback to the full curve fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "camera/camera_control.h"
#include "focusing/curve_fit_search.h"
#include "focusing/focus_log.h"
#include "focusing/focusing_runner.h"
#include "focusing/quick_refocus.h"
#include "focuser/focuser_factory.h"
#include "focuser/position_focus_control.h"
#include "focuser/rf_focus_control.h"
#include "platform/clock.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"
#include "focusing_fakes.h"

namespace kv {
namespace {

using Clock = std::chrono::system_clock;
const Clock::time_point kNow = Clock::time_point{} + std::chrono::hours(24 * 365 * 50);

// HFD of a star `d` steps from best focus, `width` its size at focus.
using Curve = std::function<double(double d, double width)>;
const Curve kHyperbola = [](double d, double w) { return std::sqrt(w * w + 4.0 * (d / 100) * (d / 100)); };
const Curve kVee = [](double d, double w) { return w + 2.0 * std::fabs(d) / 100; };
const Curve kLopsided = [](double d, double w) {
    const double k = d < 0 ? 1.2 : 3.0;
    return std::sqrt(w * w + k * k * (d / 100) * (d / 100));
};

// A fit of `curve` centred on `best`, as a curve-fit search leaves it.
FitSummary Learned(const Curve& curve, double best, double width = 2.5) {
    std::vector<FitPoint> points;
    for (int i = -6; i <= 6; ++i) points.push_back({best + 100.0 * i, curve(100.0 * i, width), 1.0});
    const CurveFit fit = FitFocusCurve(points);
    EXPECT_TRUE(fit.ok) << fit.why;
    FitSummary s;
    s.model = fit.model;
    s.parameters = fit.parameters;
    s.kind = FomKind::HFD;
    s.bestPosition = fit.minimumX;
    return s;
}

FitRecord Record(const FitSummary& fit, int minutesAgo, std::optional<double> temperature = 10.0) {
    return {fit, kNow - std::chrono::minutes(minutesAgo), 2.0, 1, temperature, true};
}

ShapeCriteria Criteria() {
    ShapeCriteria c;
    c.now = kNow;
    c.exposureSeconds = 2.0;
    return c;
}

TEST(LearnShape, TakesTonightsMatchingFitsNewestFirst) {
    const FitSummary a = Learned(kHyperbola, 1000);
    const FitSummary b = Learned(kHyperbola, 1040);
    FitSummary peak = b;
    peak.kind = FomKind::Peak;
    struct Case {
        const char* what;
        std::vector<FitRecord> records;
        int curves;        // 0: no shape
        double lastBest;
    };
    std::vector<Case> cases = {
        {"newest of two, any order", {Record(a, 90), Record(b, 20)}, 2, 1040},
        {"older than the night", {Record(a, 9 * 60)}, 0, 0},
        {"other figure of merit", {Record(peak, 10)}, 0, 0},
        {"a refused fit", {[&] { FitRecord r = Record(b, 10); r.good = false; return r; }()}, 0, 0},
        {"other binning", {[&] { FitRecord r = Record(b, 10); r.binning = 2; return r; }()}, 0, 0},
        {"exposure 3x", {[&] { FitRecord r = Record(b, 10); r.exposureSeconds = 6.0; return r; }()}, 0, 0},
        {"exposure 1.5x", {[&] { FitRecord r = Record(b, 10); r.exposureSeconds = 3.0; return r; }()}, 1, 1040},
        {"exposure 2x", {[&] { FitRecord r = Record(b, 10); r.exposureSeconds = 4.0; return r; }()}, 1, 1040},
        {"at most three", {Record(a, 10), Record(a, 20), Record(a, 30), Record(b, 5), Record(a, 40)}, 3, 1040},
        // An older fit under other seeing is another curve.
        {"other seeing left out", {Record(Learned(kHyperbola, 900, 3.5), 60), Record(b, 5)}, 1, 1040},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ShapeLearning l = LearnShape(c.records, Criteria());
        ASSERT_EQ(l.shape.has_value(), c.curves > 0);
        if (!l.shape) {
            EXPECT_NE(l.why.find("no good curve fit"), std::string::npos);
            continue;
        }
        EXPECT_EQ(static_cast<int>(l.shape->curves.size()), c.curves);
        EXPECT_NEAR(l.shape->lastBest, c.lastBest, 1.0);
        // Centred: the minimum at 0 whatever the fits' positions.
        EXPECT_NEAR(l.shape->bottom, l.shape->Figure(0.0), 1e-9);
        EXPECT_LT(l.shape->Figure(0.0), l.shape->Figure(-30.0));
        EXPECT_LT(l.shape->Figure(0.0), l.shape->Figure(30.0));
    }
}

// A fit's scatter is its readings' near the bottom, where the refocus reads:
// far out a fading star or a curve that leaves the model says nothing of it.
TEST(LearnShape, ScatterIsTheReadingsNearTheBottom) {
    const FitSummary fit = Learned(kHyperbola, 0);  // three times the bottom 354 steps out
    const auto at = [&](std::int32_t x, double off, bool star = true) {
        return CurveSample{x, FitValue(fit.model, fit.parameters, x) + off, 1, star};
    };
    std::vector<CurveSample> samples = {at(-100, 0.1), at(0, -0.1), at(100, 0.1), at(600, 5.0), at(50, 9.0, false)};
    EXPECT_NEAR(BottomScatter(fit, samples).value_or(0.0), 0.1, 1e-9);
    samples.erase(samples.begin());
    EXPECT_FALSE(BottomScatter(fit, samples).has_value()) << "two readings are no scatter";
}

TEST(QuickRefocus, PredictionAndShapeFit) {
    struct Prediction {
        std::optional<double> lastT, coefficient, nowT;
        double expected;
    } const predictions[] = {
        {10.0, -25.0, 7.0, 1075.0}, {10.0, 12.0, 11.5, 1018.0}, {std::nullopt, -25.0, 7.0, 1000.0},
        {10.0, std::nullopt, 7.0, 1000.0}, {10.0, -25.0, std::nullopt, 1000.0},
    };
    for (const Prediction& p : predictions)
        EXPECT_DOUBLE_EQ(PredictBestFocus(1000.0, p.lastT, p.coefficient, p.nowT), p.expected);

    // Readings of the learned curve moved and raised come back as exactly
    // that centre and level, on one flank pair or lopsided.
    for (const Curve& curve : {kHyperbola, kVee, kLopsided}) {
        const FitRecord record = Record(Learned(curve, 0), 10);
        const LearnedShape shape = *LearnShape(std::span(&record, 1), Criteria()).shape;
        std::vector<FitPoint> points;
        for (const double x : {-180.0, -60.0, 140.0, 260.0}) points.push_back({x, shape.Figure(x - 37.0) + 0.4, 1.0});
        const ShapeFit fit = FitShape(shape, points);
        ASSERT_TRUE(fit.ok);
        EXPECT_NEAR(fit.centre, 37.0, 0.5);
        EXPECT_NEAR(fit.level, 0.4, 0.01);
        EXPECT_LT(fit.rms, 0.01);
        EXPECT_LT(fit.centreSpread.value_or(99.0), 0.5);
    }
    // Readings that scatter about the curve leave the centre less certain.
    {
        const FitRecord record = Record(Learned(kVee, 0), 10);
        const LearnedShape shape = *LearnShape(std::span(&record, 1), Criteria()).shape;
        std::vector<FitPoint> points;
        double sign = 1.0;
        for (const double x : {-250.0, -125.0, 125.0, 250.0}) {
            points.push_back({x, shape.Figure(x) + 0.2 * sign, 1.0});
            sign = -sign;
        }
        const ShapeFit fit = FitShape(shape, points);
        ASSERT_TRUE(fit.ok && fit.centreSpread);
        EXPECT_GT(*fit.centreSpread, 3.0);
        EXPECT_LT(*fit.centreSpread, 20.0);
    }
}

TEST(QuickRefocus, ReadingsSitOnBothFlanksInTheApproachOrder) {
    const FitRecord record = Record(Learned(kLopsided, 0), 10);
    const LearnedShape shape = *LearnShape(std::span(&record, 1), Criteria()).shape;
    struct Case {
        int readings;
        int step;
        ApproachSide side;
        std::optional<double> cap;
    } const cases[] = {
        {3, 0, ApproachSide::FromBelow, {}}, {4, 0, ApproachSide::FromBelow, {}}, {5, 0, ApproachSide::FromAbove, {}},
        {4, 80, ApproachSide::FromAbove, {}}, {4, 0, ApproachSide::FromBelow, 5.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.readings << " readings, step " << c.step);
        QuickRefocusSettings s;
        s.readings = c.readings;
        s.step = c.step;
        s.fallback.approach = c.side;
        s.maxFigure = c.cap;
        const std::vector<std::int32_t> offsets = QuickReadingOffsets(shape, s);
        ASSERT_EQ(static_cast<int>(offsets.size()), c.readings);
        EXPECT_TRUE(c.side == ApproachSide::FromBelow ? std::is_sorted(offsets.begin(), offsets.end())
                                                      : std::is_sorted(offsets.rbegin(), offsets.rend()));
        EXPECT_LT(*std::min_element(offsets.begin(), offsets.end()), 0);
        EXPECT_GT(*std::max_element(offsets.begin(), offsets.end()), 0);
        EXPECT_EQ(std::count(offsets.begin(), offsets.end(), 0), c.readings % 2);
        for (const std::int32_t o : offsets) {
            if (c.step > 0) {
                EXPECT_EQ(o % c.step, 0);
            } else if (c.cap) {
                EXPECT_LE(shape.Figure(o), *c.cap + 0.05);
            } else if (o != 0) {
                // Between twice and three times the bottom, whichever flank; three readings
                // take the middle of that rise.
                EXPECT_GE(shape.Figure(o), (c.readings == 3 ? 2.45 : 1.95) * shape.bottom);
                EXPECT_LE(shape.Figure(o), 3.05 * shape.bottom);
            }
        }
    }
}

// A focuser with gear play and a star on an analytic curve.
struct Sky {
    Curve curve = kHyperbola;
    double best = 1075.0;
    double width = 2.5;
    double jitter = 0.0;
    int backlash = 0;
    std::function<bool(int frame)> noStar = [](int) { return false; };  // a field of 3 stars, too few
    std::int32_t counter = 1000;
    double mech = 1000.0;
    int frames = 0;
    std::mt19937 rng{7};
    std::vector<std::int32_t> visited;
    std::vector<int> approach;  // direction of the last move before each frame

    int lastDirection = 0;
    void MoveTo(std::int32_t p) {
        if (p != counter) lastDirection = p > counter ? 1 : -1;
        counter = p;
        visited.push_back(p);
        mech = std::clamp(mech, static_cast<double>(p - backlash), static_cast<double>(p));
    }
    FocusReading Frame() {
        ++frames;
        approach.push_back(lastDirection);
        if (noStar(frames)) return {.HFD = 80.0, .FOM = 80.0, .status = StarStatus::TooFewStars, .stars = 3};
        FocusReading r;
        std::normal_distribution<double> normal(0.0, 1.0);
        r.HFD = r.FOM = curve(mech - best, width * (1.0 + jitter * normal(rng)));
        return r;
    }
};

test::Walk Drive(TQuickRefocusSearch& search, Sky& sky) {
    return test::DriveSearch(
        search, sky.counter, [&](std::int32_t) { return sky.Frame(); }, 1,
        [&](std::int32_t) { return sky.curve(sky.mech - sky.best, sky.width); },
        [&](std::int32_t p) { sky.MoveTo(p); });
}

// Learned at 1000 and 10 °C, best focus now 1000 + drift at 10 - cooled °C;
// the learned fit's check frame read `checkAbove` of its bottom above it.
QuickRefocusSettings Settings(const Curve& curve, std::optional<double> coefficient, double cooled,
                              double checkAbove = 0.0, double scatter = 0.0) {
    static std::vector<FitRecord> records;
    records = {Record(Learned(curve, 1000), 30)};
    records[0].scatter = scatter * curve(0, 2.5);
    if (checkAbove > 0.0) {
        FitSummary& fit = records[0].fit;
        fit.checkPosition = 1000;
        fit.checkFom = (1.0 + checkAbove) * FitValue(fit.model, fit.parameters, 1000);
    }
    QuickRefocusSettings s;
    s.learned = LearnShape(records, Criteria());
    s.coefficient = coefficient;
    s.temperatureC = 10.0 - cooled;
    s.cfzSteps = 13.4;
    s.fallback.step = 100;
    return s;
}

TEST(QuickRefocus, FindsFocusOnTheLearnedCurveOrFallsBackWhenItChanged) {
    struct Case {
        const char* what;
        Curve curve;
        std::optional<double> coefficient;  // the true drift is -25 steps/°C
        double cooled;
        double width;   // the star's size at focus now; learned at 2.5
        double jitter;
        bool fallsBack;
        const char* why;
        // The star never shrinks below this share above its size at focus (0: the curve
        // holds to its bottom), and how far above it the learned check frame read.
        double tip = 0.0;
        double checkAbove = 0.0;
        double scatter = 0.0;  // the learned fit's readings' about its curve, over its bottom
        double raise = 0.0;    // the star larger by this much at every position
    } const cases[] = {
        {"shape known", kHyperbola, -25.0, 4, 2.5, 0.0, false, ""},
        {"shape known, star 12 % larger", kHyperbola, -25.0, 4, 2.5, 0.0, false, "", 0.0, 0.0, 0.0, 0.3},
        {"shape known, V, seeing wander", kVee, -25.0, 3, 2.5, 0.03, false, ""},
        {"shape known, lopsided", kLopsided, -25.0, 5, 2.5, 0.0, false, ""},
        {"coefficient 10 % high", kHyperbola, -27.5, 5, 2.5, 0.0, false, ""},
        {"coefficient 10 % low, V", kVee, -22.5, 5, 2.5, 0.0, false, ""},
        {"no coefficient", kHyperbola, std::nullopt, 4, 2.5, 0.0, false, ""},
        {"no coefficient, far drift", kVee, std::nullopt, 16, 2.5, 0.0, true, "beyond the quick readings"},
        {"seeing 30 % wider, hyperbola", kHyperbola, -25.0, 3, 3.25, 0.0, true, "check frame"},
        {"seeing 30 % wider, V", kVee, -25.0, 3, 3.25, 0.0, true, "higher than learned"},
        {"seeing 30 % sharper, V", kVee, -25.0, 3, 1.75, 0.0, true, "lower than learned"},
        {"check frame learned 25 % above the curve", kHyperbola, -25.0, 4, 2.5, 0.0, false, "", 0.25, 0.25},
        {"check frame learned 25 % above, seeing 30 % wider", kHyperbola, -25.0, 3, 3.25, 0.0, true,
         "above the learned curve (45 % allowed)", 0.25, 0.25},
        {"just over the allowance, to a tenth", kHyperbola, -25.0, 4, 2.5, 0.0, true,
         "reads 20.4 % above the learned curve (20.0 % allowed)", 0.204},
        {"readings learned to stray 12 %", kHyperbola, -25.0, 4, 2.5, 0.0, false, "", 0.25, 0.0, 0.12},
        {"readings learned to stray 12 %, seeing 50 % wider", kHyperbola, -25.0, 4, 3.75, 0.0, true,
         "above the learned curve (30 % allowed)", 0.0, 0.0, 0.12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sky sky;
        sky.curve = c.curve;
        if (c.tip > 0.0 || c.raise > 0.0) {
            sky.curve = [c](double d, double w) { return std::max(c.curve(d, w), (1.0 + c.tip) * w) + c.raise; };
        }
        sky.width = c.width;
        sky.jitter = c.jitter;
        sky.best = 1000 + 25.0 * c.cooled;
        TQuickRefocusSearch search(Settings(c.curve, c.coefficient, c.cooled, c.checkAbove, c.scatter), FomKind::HFD, 1000);
        const test::Walk o = Drive(search, sky);
        ASSERT_TRUE(o.Finished()) << o.last.message;
        EXPECT_EQ(search.FellBack(), c.fallsBack) << search.FallbackReason();
        EXPECT_NE(search.FallbackReason().find(c.why), std::string::npos) << search.FallbackReason();
        // Either way it ends at focus, within a third of the critical focus zone.
        EXPECT_NEAR(sky.mech, sky.best, 4.5);
        EXPECT_EQ(std::tuple(search.Found(), search.Frames()), std::tuple(o.last.position, sky.frames));
        if (!c.fallsBack) {
            EXPECT_LE(search.Frames(), 5);
            EXPECT_NEAR(*search.PredictionErrorCfz(), std::abs(o.last.position - search.Predicted()) / 13.4, 1e-9);
            // The learned curve drawn over the readings is moved and raised as they were.
            const FitSummary drawn = search.Fit().value();
            for (const double x : {-300.0, 300.0}) {
                const double at = drawn.bestPosition + x;
                EXPECT_NEAR(FitSummaryValue(drawn, at), sky.curve(at - sky.best, c.width), c.raise > 0.0 ? 0.1 : 1.0);
            }
        } else {
            EXPECT_TRUE(o.Noted("Quick refocus falls back to the full curve fit: ") && o.Noted(kCurveFitStartText));
        }
    }
}

TEST(QuickRefocus, TravelLimitsAndStarlessReadings) {
    // Best focus inside a travel limit: the readings slide inward whole, on both flanks, every
    // frame from the limit's side. 40 steps of room leave one flank unread, for the full fit too:
    // it says so, and the focuser goes back to where the refocus started.
    for (const int side : {1, -1}) {
        for (const std::int32_t room : {175, 40}) {
            SCOPED_TRACE(testing::Message() << side << " " << room);
            Sky sky;
            sky.best = 1000 + side * 75;
            sky.backlash = 30;
            QuickRefocusSettings s = Settings(kHyperbola, -25.0, side * 3);
            s.fallback.approach = side > 0 ? ApproachSide::FromBelow : ApproachSide::FromAbove;
            (side > 0 ? s.fallback.travelMax : s.fallback.travelMin) = side * (75 + room);  // from the start, 1000
            TQuickRefocusSearch search(s, FomKind::HFD, 1000);
            const test::Walk o = Drive(search, sky);
            const auto [low, high] = std::minmax_element(sky.visited.begin(), sky.visited.end());
            EXPECT_LE(side * ((side > 0 ? *high : *low) - 1000), 75 + room);
            EXPECT_EQ(std::count(sky.approach.begin(), sky.approach.end(), side), sky.frames);
            ASSERT_GE(search.Samples().size(), 4u);
            std::set<std::int32_t> quick;  // the quick readings
            for (std::size_t i = 0; i < 4; ++i) quick.insert(search.Samples()[i].position);
            EXPECT_TRUE(quick.size() == 4 && *quick.begin() < sky.best && *quick.rbegin() > sky.best)
                << testing::PrintToString(quick);
            EXPECT_EQ(search.FellBack(), room < 100) << search.FallbackReason();
            if (search.FellBack()) {
                EXPECT_NE(search.FallbackReason().find("beyond the quick readings"), std::string::npos);
                EXPECT_FALSE(o.Finished());
                EXPECT_NE(o.last.message.find("edge of the focuser's travel"), std::string::npos) << o.last.message;
                EXPECT_EQ(sky.counter, 1000);
            } else {
                ASSERT_TRUE(o.Finished()) << o.last.message;
                EXPECT_LE(search.Frames(), 5);
                EXPECT_NEAR(sky.mech, sky.best, 4.5);
            }
        }
    }
    // A reading with no star (a field with too few, which says so) leaves the quick readings for the
    // full fit, which finds focus once the star is back; with the star gone for good it fails, and the
    // focuser ends where the refocus found it. No learned shape: the full fit at once, saying why.
    const struct {
        std::function<bool(int frame)> noStar;
        bool learned;
        const char* why;
    } starless[] = {
        {[](int frame) { return frame == 2; }, true, "shows no star"},
        {[](int frame) { return frame >= 2; }, true, "shows no star"},
        {[](int) { return false; }, false, "no good curve fit"},
    };
    for (const auto& c : starless) {
        Sky sky;
        sky.noStar = c.noStar;
        QuickRefocusSettings s = Settings(kHyperbola, -25.0, 3);
        if (!c.learned) s.learned = LearnShape({}, Criteria());
        TQuickRefocusSearch search(s, FomKind::HFD, 1000);
        const test::Walk o = Drive(search, sky);
        EXPECT_TRUE(search.FellBack() && search.FallbackReason().find(c.why) != std::string::npos) << o.Notes();
        EXPECT_EQ(o.Noted("Curve: too few stars  Position: ") && o.Noted("  Stars: 3"), c.learned);
        if (c.noStar(3)) {
            EXPECT_EQ(std::tuple(o.Finished(), o.last.position, sky.counter, search.Found()),
                      std::tuple(false, 1000, 1000, std::nullopt));
            EXPECT_NE(o.last.message.find("showed a star"), std::string::npos) << o.last.message;
            continue;
        }
        ASSERT_TRUE(o.Finished()) << o.last.message;
        EXPECT_NEAR(sky.mech, sky.best, 4.5);
        EXPECT_EQ(search.Samples()[1].star, !c.learned);
    }
}

// The coefficient moves the counter: -25 steps a degree, 10 °C then and 7 °C
// now (the devices' temperature) make +75 counted steps from the last best.
TEST(QuickRefocus, TheRunnerPredictsOnTheFocusersOwnScaleWhicheverWayItCounts) {
    for (const int sense : {1, -1}) {
        SCOPED_TRACE(sense);
        ScaledClock clock{1000.0};
        test::RecordingDialogs dialogs;
        test::RecordingView view;
        TFocusingRunner runner{view, dialogs, clock};
        runner.SetSamples(1);
        test::TempDir dir;
        TFocusLog log(dir.File(kFocusLogFileName));
        runner.SetFocusLog(&log);
        // A lopsided curve learned on the focuser's own scale: where the
        // counter runs against it, its steep flank lies on the other side.
        const std::vector<FitRecord> records = {Record(Learned(kLopsided, 5000), 30)};
        SearchOptions options;
        options.method = FocusMethod::QuickRefocus;
        options.quick.learned = LearnShape(records, Criteria());
        options.quick.coefficient = -25.0;
        options.cfzSteps = 13.4;
        // The focuser stands 20 counted steps from 5000, best focus 75 steps from there.
        auto devices = std::make_unique<test::FakeDevices>();
        test::FakeDevices& d = *devices;
        d.sense = sense;
        d.absoluteZero = 5000;
        d.position = 20;
        d.temperature = 7.0;
        const double best = 5000 + sense * 75;
        d.hfdAt = [&d, best](std::int32_t) { return kLopsided(*d.AbsolutePosition() - best, 2.5); };
        ASSERT_TRUE(runner.StartSearch(std::move(devices), options));
        runner.Join();
        const SearchResult& r = view.search.value();
        ASSERT_EQ(r.outcome, FocusOutcome::Completed) << r.message;
        EXPECT_FALSE(r.fellBack) << r.fallbackReason;
        EXPECT_EQ(std::tuple(r.method, r.predicted, r.found, r.frames, r.cfzSteps),
                  std::tuple(FocusMethod::QuickRefocus, 75 - 20, r.position, d.frames.load(), 13.4));
        EXPECT_NEAR(*d.AbsolutePosition(), best, 1);
        EXPECT_LE(r.frames, 5);
        EXPECT_LT(r.errorSteps.value_or(99.0), 1.5);
        // The log keeps the prediction and the end on the focuser's own
        // scale, and no R^2: the learned curve was moved, none was fitted.
        const std::vector<FocusLogEntry> logged = TFocusLog::Read(log.Path());
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(std::tuple(logged[0].predicted, logged[0].absoluteFinal, logged[0].rSquared, logged[0].fallback),
                  std::tuple(best, *d.AbsolutePosition(), std::nullopt, ""));

        // A fit on the counter, as the window keeps it: its shape on the log's scale.
        FitSummary fit = Learned(kLopsided, 30);
        fit.checkPosition = 40;
        r.scale.ToLog(fit);
        EXPECT_EQ(std::tuple(std::lround(fit.bestPosition), *fit.checkPosition), std::tuple(r.scale.ToLog(30), r.scale.ToLog(40)));
        for (const double x : {-300.0, 300.0})
            EXPECT_NEAR(FitValue(fit.model, fit.parameters, r.scale.ToLog(x)), kLopsided(x - 30, 2.5), 0.05) << x;
    }
}

// Every focuser kind's counter, as its driver keeps it from the position
// replies (the start, then 10 steps lower), against its sense, both ways round.
TEST(QuickRefocus, EachFocuserKindsCounterRunsAsItsSenseSays) {
    test::RecordingDialogs dialogs;
    TCameraControl camera(dialogs, "");
    const auto frame = [](const char* c) { const auto f = TRFFocusControl::Frame(c); return std::string(f.begin(), f.end()); };
    const struct {
        FocuserKind kind;
        std::string first, next;
        int sense, reversedSense;
    } cases[] = {
        {FocuserKind::JMI, "", "", 1, 1},
        {FocuserKind::Indi, "", "", 1, 1},
        {FocuserKind::RoboFocus, frame("FD005000"), frame("FD004990"), -1, 1},
        {FocuserKind::Optec, "P=5000\n\r", "P=4990\n\r", 1, 1},
    };
    for (const auto& c : cases) {
        for (const bool reversed : {false, true}) {
            SCOPED_TRACE(testing::Message() << static_cast<int>(c.kind) << (reversed ? " reversed" : ""));
            std::unique_ptr<TFocusControl> focuser = CreateFocusControl(c.kind, dialogs);
            focuser->SetReverseDir(reversed);
            const int sense = reversed ? c.reversedSense : c.sense;
            EXPECT_EQ(CountSenseOf(focuser.get()), sense);
            // No temperature is kept before a device sent one, and no move was halted.
            EXPECT_FALSE(KeptTemperatureOf(focuser.get()) || KeptTemperatureOf(nullptr));
            EXPECT_FALSE(TFocuserCameraDevices(*focuser, camera).MoveHalted());
            auto* own = dynamic_cast<TPositionFocusControl*>(focuser.get());
            if (own == nullptr) continue;
            own->SetPaced(false);
            own->ResetPosition();
            own->ReceiveBytes(c.first);
            own->ReceiveBytes(c.next);
            EXPECT_EQ(*AbsolutePositionOf(own) - 5000, sense * own->CTSCount());
        }
    }
}

}  // namespace
}  // namespace kv
