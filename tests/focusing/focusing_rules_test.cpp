// The focusing decisions without devices: running average, smoothing, scan
// plan and best point, and the auto-focus search driven by a focus curve.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "focusing/auto_focus_search.h"
#include "focusing/focus_scan.h"
#include "focusing/fom_average.h"
#include "focusing/measure_focus.h"
#include "focusing_fakes.h"

namespace kv {
namespace {

TEST(FomAverage, MeanOfTheLastTenAndResetOnCapacity) {
    TFomAverage avg;
    EXPECT_DOUBLE_EQ(avg.AverageFOM(4.0), 4.0);
    EXPECT_DOUBLE_EQ(avg.AverageFOM(2.0), 3.0);
    for (int i = 0; i < 8; ++i) avg.AverageFOM(3.0);
    EXPECT_DOUBLE_EQ(avg.AverageFOM(3.0), 2.9);  // the 4.0 is pushed out
    avg.SetCapacity(kFomAverageCapacity);
    EXPECT_DOUBLE_EQ(avg.AverageFOM(7.0), 7.0);
    EXPECT_EQ(AverageCaption(avg.Capacity()), "Average\n\r of 10");
}

// Samples with the given FOMs; PeakX = 10 * (index + 1) shows which were
// kept, and so does the field of index + 1 stars each carries.
std::vector<FocusReading> Samples(const std::vector<double>& foms) {
    std::vector<FocusReading> out;
    for (std::size_t i = 0; i < foms.size(); ++i) {
        const auto n = static_cast<std::int32_t>(i + 1);
        auto field = std::make_shared<FieldStars>(FieldStars{std::vector<FieldStar>(i + 1), 640, 480});
        out.push_back({.Peak = -n, .PeakX = 10 * n, .FWHM = foms[i], .FOM = foms[i], .field = field});
    }
    return out;
}

TEST(SmoothedAverage, DropsTheFirstLowestAndFirstHighestOnly) {
    // PeakX and Peak show which samples were kept; the means truncate toward zero.
    // So does the merged field: each kept frame's index + 1 stars.
    const struct { std::vector<double> foms; bool smooth; FomKind kind; double fom; int peakX, peak; std::size_t stars; } cases[] = {
        {{2, 3, 4, 5, 6}, true, FomKind::FWHM, 4.0, 30, -3, 9},    // 20, 30, 40
        {{2, 3, 4, 5, 6}, false, FomKind::FWHM, 4.0, 30, -3, 15},  // all five
        {{1, 1, 5, 9, 9}, true, FomKind::FWHM, 5.0, 33, -3, 10},   // 20, 30, 50
        {{3, 3, 3, 3, 3}, true, FomKind::FWHM, 3.0, 35, -3, 14},   // only the first left out: 20..50
        {{1, 9, 5, 4}, true, FomKind::FWHM, 4.5, 35, -3, 7},       // four are enough to drop the 1 and the 9
        {{1, 9, 5}, true, FomKind::FWHM, 5.0, 20, -2, 6},          // fewer than four: nothing dropped
        {{1, 9, 5}, true, FomKind::Peak, -2.0, 20, -2, 6},         // the figure follows the kind
    };
    for (const auto& c : cases) {
        const FocusReading r = SmoothedAverage(Samples(c.foms), c.smooth, c.kind);
        EXPECT_EQ(std::tuple(r.FOM, r.PeakX, r.Peak), std::tuple(c.fom, c.peakX, c.peak)) << c.foms.size() << c.smooth;
        ASSERT_NE(r.field, nullptr);
        EXPECT_EQ(std::tuple(r.field->stars.size(), r.field->width), std::tuple(c.stars, 640));
    }
    // The spread is of every sample, the dropped extremes included; one sample has none.
    EXPECT_EQ(std::pair(SmoothedAverage(Samples({1, 1, 5, 9, 9}), true, FomKind::FWHM).fomSpread,
                        SmoothedAverage(Samples({7}), true, FomKind::FWHM).fomSpread),
              std::pair(4.0, 0.0));
}

TEST(ScanPlan, PositionsAxisAndBestPoint) {
    const ScanSettings defaults;
    const auto positions = ScanPositions(defaults);
    ASSERT_EQ(positions.size(), 11u);
    EXPECT_EQ(std::pair(positions.front(), positions.back()), std::pair(-100, 100));
    EXPECT_EQ(ScanAxisRange(defaults), (AxisRange{-100, 100}));
    EXPECT_EQ(ScanPositions({-50, 5, 1}), (std::vector<std::int32_t>{-50, -45}));
    EXPECT_EQ(ScanPositions({-50, 5, 0}), (std::vector<std::int32_t>{-50}));
    EXPECT_EQ(ScanPositions({-50, 5, -3}), (std::vector<std::int32_t>{-50}));  // a negative count measures here

    const std::vector<ChartPoint> points{{-20, 3.0}, {0, 2.0}, {20, 2.0}, {40, 5.0}, {60, 5.0}};
    EXPECT_EQ(BestScanPosition(points, FomKind::HFD), 0);
    EXPECT_EQ(BestScanPosition(points, FomKind::Peak), 40);
    EXPECT_EQ(BestScanPosition(std::vector<ChartPoint>{}, FomKind::HFD), std::nullopt);
}

test::Walk RunSearch(TAutoFocusSearch& search, const std::function<double(double)>& fom) {
    return test::DriveSearch(search, 0, [&](std::int32_t at) { return FocusReading{.FOM = fom(at)}; }, 1, {});
}

double Curve(double p, double best) { return 2.0 + std::pow((p - best) / 50.0, 2.0); }

TEST(AutoFocusSearch, BracketsThenNarrowsToBestFocusAndMaximisesAPeak) {
    TAutoFocusSearch search(100, FomKind::HFD);
    const test::Walk d = RunSearch(search, [](double p) { return Curve(p, 30); });
    ASSERT_EQ(d.last.kind, TAutoFocusSearch::Action::Finished);
    ASSERT_GE(d.measured.size(), 5u);
    EXPECT_EQ(std::vector<std::int32_t>(d.measured.begin(), d.measured.begin() + 5),
              (std::vector<std::int32_t>{-100, 100, 0, 38, -15}));
    EXPECT_EQ(std::tuple(search.NarrowingSteps(), search.Points().size(), search.Points()[4], d.last.position),
              std::tuple(8, 14u, SearchPoint{5, -15, Curve(-15, 30)}, 30));
    EXPECT_EQ(std::tuple(d.notes[3], d.notes[5]),
              std::tuple("Assuring that optimum focus is within range", "Ra FOM: 8.7600  Position: -100"));
    const std::vector<std::string> tail(d.notes.end() - 8, d.notes.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Focus Search Complete....", "", "Getting Final Values....", "",
                                              "Final Position = 30", "Final Focus = 2.0000",
                                              " Focus Search Complete....", ""}));

    // The nearer best focus lies to the start, the longer the search narrows.
    TAutoFocusSearch near(100, FomKind::HFD);
    EXPECT_EQ(RunSearch(near, [](double p) { return Curve(p, 1); }).last.position, 1);
    EXPECT_EQ(near.NarrowingSteps(), 14);

    // A field figure shows its star count; a field with too few stars shows
    // those words, never its number, and puts no point on the chart.
    TAutoFocusSearch field(100, FomKind::HFD);
    const auto statusAfter = [&](const FocusReading& r, std::int32_t at) {
        while (field.Next().kind != TAutoFocusSearch::Action::Measure) {
        }
        field.TakeNotes();
        field.Report(r, at);
        std::string status;
        for (const auto& n : field.TakeNotes())
            if (n.kind == TAutoFocusSearch::Note::Status) status = n.text;
        return status;
    };
    EXPECT_EQ(statusAfter({.FOM = 3.0, .status = StarStatus::TooFewStars, .stars = 2}, -100),
              "Ra FOM: too few stars  Position: -100  Stars: 2");
    EXPECT_EQ(statusAfter({.FOM = 4.0, .stars = 7}, 100), "Rc FOM: 4.0000  Position: 100  Stars: 7");
    EXPECT_EQ(field.Points().size(), 1u) << "no point for too few stars";

    // A peak is maximised, and charted as read.
    TAutoFocusSearch peak(100, FomKind::Peak, 1000);
    const test::Walk p = RunSearch(peak, [](double x) { return 60000.0 - 10.0 * (x - 1030) * (x - 1030); });
    EXPECT_EQ(std::tuple(p.last.kind, p.last.position, p.measured.front()),
              std::tuple(TAutoFocusSearch::Action::Finished, 1030, 900));
    EXPECT_DOUBLE_EQ(peak.Points().back().fom, 60000.0);
}

TEST(AutoFocusSearch, MiddleNotStrictlyBestIsNotInRange) {
    TAutoFocusSearch search(50, FomKind::FWHM);
    const test::Walk d = RunSearch(search, [](double p) { return p < 0 ? 3.0 : p == 0 ? 3.0 : 4.0; });
    EXPECT_EQ(std::pair(d.last.kind, d.measured),
              std::pair(TAutoFocusSearch::Action::Failed, std::vector<std::int32_t>{-50, 50, 0}));
    EXPECT_EQ(std::vector<std::string>(d.notes.end() - 3, d.notes.end()),
              (std::vector<std::string>{"Focus operation cancelled...", "Final posiiton = 0", ""}));
    EXPECT_EQ(d.last.message,
              "The optimum focus point does not appear to be within the specified \r\nrange....  Please do a rough "
              "refocus manually by recentering the \r\nfocuser in its range and using the telescope manual focus");
}

TEST(AutoFocusSearch, ChartAxesForEveryInitialStep) {
    const double expected[] = {10, 10, 10, 10, 10, 15, 20, 20, 20, 20};
    for (int item = 0; item < 10; ++item) {
        const int s = InitialStepForItem(item);
        const SearchChartAxes axes = SearchAxesFor(s, FomKind::FWHM);
        EXPECT_EQ(axes.bottomMax, expected[item]) << s;
        EXPECT_EQ(axes.position, (AxisRange{-1.0 * s, 1.0 * s}));
    }
    EXPECT_EQ(std::tuple(InitialStepForItem(0), InitialStepForItem(kDefaultInitialStepItem), InitialStepForItem(9)),
              std::tuple(10, 100, 750));  // the list's ends are steps of their own
    for (const int outside : {-1, 10, 42}) EXPECT_EQ(InitialStepForItem(outside), 100);
    EXPECT_EQ(std::tuple(SearchAxesFor(100, FomKind::Peak).quality.max, SearchAxesFor(100, FomKind::HFD).quality.title),
              std::tuple(64000.0, "Figure of Merit  ( HFD )"));
}

}  // namespace
}  // namespace kv
