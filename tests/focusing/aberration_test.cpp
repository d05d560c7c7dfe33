// The aberration inspector on synthetic runs whose optics are known.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "focusing/aberration.h"

namespace kv {
namespace {

constexpr int kWidth = 1200;  // px of 5 µm: 6 × 4.5 mm
constexpr int kHeight = 900;

struct Optics {
    double tiltX = 0.0;  // µm outward, right edge less left
    double tiltY = 0.0;  // bottom edge less top
    double curvature = 0.0;  // corners less centre
};

// Best focus of a place, in steps of 5 µm, around 1000.
double BestFocus(const Optics& o, double x, double y) {
    const double u = (x - kWidth / 2.0) / kWidth;
    const double v = (y - kHeight / 2.0) / kHeight;
    const double r2 = (x - kWidth / 2.0) * (x - kWidth / 2.0) + (y - kHeight / 2.0) * (y - kHeight / 2.0);
    const double corner = (kWidth * kWidth + kHeight * kHeight) / 4.0;
    return 1000.0 + (o.tiltX * u + o.tiltY * v + o.curvature * r2 / corner) / 5.0;
}

// A 12 × 9 lattice of stars (4 × 3 to a region), 13 readings 10 steps apart
// at f/3, with a percent of fixed jitter so that every fit has a scatter.
InspectInput FocusRun(const Optics& o, const std::vector<std::pair<double, double>>& extra = {}, double jitterScale = 1.0) {
    std::vector<std::pair<double, double>> places = extra;
    if (extra.empty())
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 12; ++i) places.emplace_back((i + 0.5) * 100.0, (j + 0.5) * 100.0);
    InspectInput in;
    in.sensorWidth = kWidth;
    in.sensorHeight = kHeight;
    in.pixelMicrons = 5.0;
    in.focalRatio = 3.0;  // a zone of 24 µm
    in.stepMicrons = 5.0;
    in.columns = in.rows = 3;  // 108 stars would choose 5 × 5
    std::vector<FitPoint> field;
    for (int k = 0; k < 13; ++k) {
        InspectReading r{940.0 + 10.0 * k, {}};
        for (std::size_t i = 0; i < places.size(); ++i) {
            const auto [x, y] = places[i];
            const double blur = std::fabs(r.position - BestFocus(o, x, y)) * 5.0 / 3.0 / std::sqrt(2.0) / 5.0;
            const double jitter =
                1.0 + jitterScale * (0.01 * static_cast<double>((i * 7 + static_cast<std::size_t>(k) * 3) % 5) - 0.02);
            r.stars.push_back({x, y, std::hypot(2.5, blur) * jitter});
        }
        field.push_back({r.position, std::hypot(2.5, std::fabs(r.position - 1000.0) / 3.0 / std::sqrt(2.0)), 1.0});
        in.readings.push_back(std::move(r));
    }
    in.fieldFit = FitFocusCurve(field);
    return in;
}

TEST(Aberration, RegionsAndFiguresFollowAKnownPlaneAndParaboloid) {
    struct Case {
        const char* name;
        Optics optics;
        bool outward;
        SensorOrientation orientation;
        std::optional<double> flattener;
        const char* tiltVerdict;
        const char* backFocusVerdict;
    };
    const Case cases[] = {
        {"right edge focuses further out", {40, 0, 0}, true, {}, std::nullopt,
         "tilt of 40 µm across the long side, the left edge is 20 µm too far out: shim there",
         "left out: no flattener back focus is set"},
        {"positions growing inwards", {40, 0, 0}, false, {}, std::nullopt,
         "tilt of 40 µm across the long side, the right edge is 20 µm too far out: shim there",
         "left out: no flattener back focus is set"},
        {"top focuses further out, camera turned", {0, -40, 0}, true, {1, false, false}, std::nullopt,
         "tilt of 40 µm across the short side, the left edge is 20 µm too far out: shim there",
         "left out: no flattener back focus is set"},
        {"diagonal", {30, 30, 0}, true, {}, 55.0,
         "tilt of 60 µm across the diagonal, the top-left corner is 30 µm too far out: shim there",
         "within the critical focus zone: nothing to do"},
        {"corners nearer the lens", {0, 0, -40}, true, {}, 55.0, "within the critical focus zone: nothing to do",
         "the corners focus nearer the lens: the flattener looks too close to the sensor, try more than 55.0 mm"},
        {"corners further out", {0, 0, 40}, true, {}, 55.0, "within the critical focus zone: nothing to do",
         "the corners focus further from the lens: the flattener looks too far from the sensor, try less than 55.0 mm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InspectInput in = FocusRun(c.optics);
        in.positionsGrowOutward = c.outward;
        in.orientation = c.orientation;
        in.flattenerMillimetres = c.flattener;
        const AberrationReport report = Inspect(in);
        ASSERT_TRUE(report.ok) << report.why;
        ASSERT_EQ(report.regions.size(), 9u);
        for (const RegionResult& r : report.regions) {
            ASSERT_TRUE(r.ok) << r.why;
            // Against the mean best focus of the 4 × 3 stars its cell holds.
            double truth = 0.0;
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 4; ++i)
                    truth += BestFocus(c.optics, (r.column * 4 + i + 0.5) * 100.0, (r.row * 3 + j + 0.5) * 100.0) / 12;
            EXPECT_NEAR(r.bestFocus, truth, 0.3) << r.column << "," << r.row;
            EXPECT_EQ(r.stars, 12);
        }
        const double sign = c.outward ? 1.0 : -1.0;
        EXPECT_EQ(report.outwardMicronsPerStep, sign * 5.0);
        EXPECT_NEAR(report.tiltXMicrons, sign * c.optics.tiltX, 2.0);
        EXPECT_NEAR(report.tiltYMicrons, sign * c.optics.tiltY, 2.0);
        EXPECT_NEAR(report.curvature.microns, sign * c.optics.curvature, 2.0);
        EXPECT_EQ(report.tilt.verdict, c.tiltVerdict);
        EXPECT_EQ(report.backFocus.verdict, c.backFocusVerdict);
    }

    // On a noisy run a tilt along y inside its own uncertainty, though half
    // the one along x, does not make the left edge a corner; the size and its
    // uncertainty still hold both, so that the interval covers the truth.
    const AberrationReport noisy = Inspect(FocusRun({25, 12, 0}, {}, 25.0));
    EXPECT_GT(noisy.tiltYMicrons / noisy.tiltXMicrons, std::tan(std::numbers::pi / 8.0));
    EXPECT_EQ(noisy.tilt.verdict, "tilt of 37 µm across the long side, the left edge is 19 µm too far out: shim there");
}

TEST(Aberration, TooFewStarsGiveNoFigureAndSayWhy) {
    // Three stars to a cell except the top-left's one; a star on a boundary
    // (x = 400) belongs to the cell right of it.
    std::vector<std::pair<double, double>> stars;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            for (int k = (row == 0 && col == 0) ? 2 : 0; k < 3; ++k) stars.emplace_back(col * 400.0 + k * 150.0, row * 300.0 + 50.0 + k * 100.0);
    stars.emplace_back(400.0, 20.0);  // the top-middle's fourth
    InspectInput in = FocusRun({}, stars);
    in.minReadings = 13;  // every reading counts
    const AberrationReport report = Inspect(in);
    ASSERT_TRUE(report.ok) << report.why;
    EXPECT_EQ(std::tuple(report.regions[0].ok, report.regions[0].why),
              std::tuple(false, "too few stars: 0 readings with 2 or more of its stars, 13 needed"));
    EXPECT_EQ(std::tuple(report.regions[1].ok, report.regions[1].stars, report.regions[2].stars),
              std::tuple(true, 4, 3));
    EXPECT_NE(report.tilt.state, FigureState::Absent);

    // Stars in three cells only: no plane, and the figures say why.
    const AberrationReport sparse = Inspect(FocusRun({}, {{10, 10}, {20, 20}, {30, 30}, {610, 460}, {620, 470}, {630, 480},
                                                     {1110, 810}, {1120, 820}, {1130, 830}}));
    ASSERT_TRUE(sparse.ok);
    EXPECT_EQ(std::tuple(sparse.tilt.state, sparse.curvature.state, sparse.tilt.verdict),
              std::tuple(FigureState::Absent, FigureState::Absent,
                         "left out: 3 regions have a best focus, 4 or more needed"));

    // Five regions, all about as far from the centre (the corners and the
    // left edge's middle): a plane, but no paraboloid.
    std::vector<std::pair<double, double>> five;
    for (const auto& [x, y] : {std::pair{200, 150}, {1000, 150}, {200, 750}, {1000, 750}, {200, 450}})
        for (const int k : {-10, 0, 10}) five.emplace_back(x + k, y + k);
    const AberrationReport level = Inspect(FocusRun({}, five));
    EXPECT_EQ(std::pair(level.tilt.state == FigureState::Absent, level.curvature.verdict),
              std::pair(false, std::string("left out: no region far enough from the centre has a best focus")));

    // Sides whose best focus lies beyond the run are not extrapolated to.
    const AberrationReport steep = Inspect(FocusRun({1500, 0, 0}));
    for (const RegionResult& r : steep.regions) {
        EXPECT_EQ(r.ok, r.column == 1);
        EXPECT_EQ(r.why, r.column == 1 ? "" : "the fitted minimum lies outside the measured positions") << r.column;
    }

    // The grid grows once a reading has twice 2 stars for each region of the finer one.
    for (const auto& [count, grid] : {std::pair{63, 3}, {64, 4}, {100, 5}, {400, 5}}) {
        std::vector<std::pair<double, double>> places;
        for (int i = 0; i < count; ++i) places.emplace_back((i * 37) % kWidth, (i * 53) % kHeight);
        InspectInput auto_ = FocusRun({}, places);
        auto_.columns = auto_.rows = 0;
        EXPECT_EQ(Inspect(auto_).columns, grid) << count;
    }
}

TEST(Aberration, VerdictAgainstTheZoneAndTheUncertainty) {
    const double zone = 24.0;
    struct Case {
        double microns, uncertainty;
        FigureState state;
    } cases[] = {
        {24.0, 5.0, FigureState::WithinZone},      {24.1, 5.0, FigureState::Act},
        {-24.1, 5.0, FigureState::Act},            {12.0, 12.0, FigureState::WithinZone},
        {12.0, 12.1, FigureState::NotMeasurable}, {30.0, 30.0, FigureState::NotMeasurable},
        {30.0, 29.9, FigureState::Act},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JudgeFigure(c.microns, c.uncertainty, zone), c.state) << c.microns << " ± " << c.uncertainty;
}

TEST(Aberration, SensorOrientationNamesThePhysicalCorner) {
    struct Case {
        double dx, dy;
        SensorOrientation o;
        const char* place;
    } cases[] = {
        {-1, -1, {}, "top-left corner"},
        {-1, -1, {1, false, false}, "top-right corner"},
        {-1, -1, {2, false, false}, "bottom-right corner"},
        {-1, -1, {-1, false, false}, "bottom-left corner"},
        {-1, -1, {0, true, false}, "top-right corner"},
        {-1, -1, {0, false, true}, "bottom-left corner"},
        {-1, -1, {1, true, false}, "bottom-right corner"},  // mirrored first, then turned
        {1, 0, {}, "right edge"},
        {1, 0.4, {}, "right edge"},
        {1, 0.42, {}, "bottom-right corner"},
        {1, 0, {1, false, false}, "bottom edge"},
    };
    for (const Case& c : cases) EXPECT_EQ(PhysicalPlace(c.dx, c.dy, c.o), c.place) << c.dx << "," << c.dy;
}

TEST(Aberration, LogLinesReadBack) {
    AberrationReport report = Inspect(FocusRun({40, -10, 20}));
    ASSERT_TRUE(report.ok);
    const AberrationLogRow full = AberrationLogRowOf(report, "2026-12-10 21:04:05", -3.5);
    report.tilt.state = report.curvature.state = FigureState::Absent;
    const AberrationLogRow empty = AberrationLogRowOf(report, "2026-12-10 22:00:00", std::nullopt);
    EXPECT_EQ(std::tuple(full.regionsFitted, full.tiltPlace), std::tuple(9, "left edge"));
    for (const AberrationLogRow& row : {full, empty}) {
        const std::string line = FormatAberrationLogRow(row);
        const std::optional<AberrationLogRow> back = ParseAberrationLogRow(line + "\r\n");
        ASSERT_TRUE(back) << line;
        EXPECT_EQ(FormatAberrationLogRow(*back), line);
        EXPECT_EQ(back->tiltMicrons.has_value(), row.tiltMicrons.has_value());
    }
    EXPECT_FALSE(ParseAberrationLogRow(kAberrationLogHeader));
    EXPECT_FALSE(ParseAberrationLogRow("2026-12-10 21:04:05,,3x3,9,24.2,1,2,3,4,left edge,5"));
}

}  // namespace
}  // namespace kv
