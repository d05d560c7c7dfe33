// The learned focus curves kept for the quick refocus: what survives a
// restart, what a damaged file yields, and where the next prediction starts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>

#include "focusing/learned_curves.h"

namespace kv {
namespace {

using Clock = std::chrono::system_clock;
const Clock::time_point kNight = Clock::time_point(std::chrono::seconds(1'900'000'000));

FitRecord Fit(int minutes, double best, std::optional<double> temperature = 10.0,
              FitModel model = FitModel::Hyperbola) {
    FitRecord r;
    r.time = kNight + std::chrono::minutes(minutes);
    r.fit.kind = FomKind::HFD;
    r.fit.model = model;
    r.fit.parameters = model == FitModel::Hyperbola ? std::vector<double>{2.5, 80.0, best, 0.0, 80.0}
                                                    : std::vector<double>{2.5, 0.0004, best};
    r.fit.bestPosition = best;
    r.exposureSeconds = 1.5;
    r.binning = 2;
    r.temperatureC = temperature;
    return r;
}

ShapeCriteria At(int minutes) {
    ShapeCriteria c;
    c.kind = FomKind::HFD;
    c.exposureSeconds = 1.5;
    c.binning = 2;
    c.now = kNight + std::chrono::minutes(minutes);
    return c;
}

TEST(LearnedCurves, AbsoluteFitsAndTheLastAnswerSurviveARestartExactly) {
    LearnedCurves kept;
    kept.AddFit(Fit(0, -1234.5, -3.25, FitModel::Parabola), true, 6.25);
    kept.AddFit(Fit(10, 999.0, 5.0), false, 9.0);  // a counting focuser's session only
    FitRecord checked = Fit(20, 20500.125, std::nullopt);
    checked.fit.checkPosition = 20501;
    checked.fit.checkFom = 3.125;
    checked.scatter = 0.0625;
    kept.AddFit(checked, true);
    kept.AddFocus({kNight + std::chrono::minutes(30), 20530.0, 4.5});
    const LearnedCurves back = ParseLearnedCurves(FormatLearnedCurves(kept));
    ASSERT_EQ(back.fits.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const FitRecord& want = kept.fits[i == 0 ? 0 : 2].record;
        const FitRecord& got = back.fits[i].record;
        const auto fields = [](const FitRecord& r) {
            return std::tuple(r.time, r.fit.model, r.fit.kind, r.fit.parameters, r.fit.bestPosition, r.exposureSeconds,
                              r.binning, r.temperatureC, r.fit.checkPosition, r.fit.checkFom, r.scatter);
        };
        EXPECT_EQ(fields(got), fields(want)) << i;
        EXPECT_EQ(std::pair(back.fits[i].absolute, back.fits[i].reached), std::pair(true, kept.fits[i == 0 ? 0 : 2].reached));
    }
    // The newest fit that says how far it saw the star.
    EXPECT_EQ(std::tuple(kept.Reached(FomKind::HFD), back.Reached(FomKind::HFD), back.Reached(FomKind::FWHM)),
              std::tuple(9.0, 6.25, std::nullopt));
    EXPECT_EQ(std::pair(back.lastFocus.value().position, back.lastFocus->temperatureC),
              std::pair(20530.0, std::optional(4.5)));

    // After a session-scale fit the answer is on that scale too: not kept.
    LearnedCurves counted = kept;
    counted.AddFit(Fit(40, 5.0), false);
    counted.AddFocus({kNight + std::chrono::minutes(50), 7.0, 4.0});
    EXPECT_FALSE(ParseLearnedCurves(FormatLearnedCurves(counted)).lastFocus.has_value());
    LearnedCurves session;
    session.AddFit(Fit(0, 1.0), false);
    EXPECT_EQ(std::pair(session.NothingToKeep(), kept.NothingToKeep()), std::pair(true, false));
}

TEST(LearnedCurves, LinesThatDoNotReadAreSkippedNotGuessedAt) {
    const std::string good = "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5";
    const char* bad[] = {
        "fit;1900000000;4;1;1,5;2;10;100;2.5 80 100 0 80;7.5",  // a decimal comma
        "fit;1900000000;9;1;1.5;2;10;100;2.5 80 100 0 80;7.5",  // no such figure
        "fit;1900000000;4;0;1.5;2;10;100;2.5 80 100 0 80;7.5",  // no model
        "fit;1900000000;4;1;1.5;0;10;100;2.5 80 100 0 80;7.5",  // binning 0
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80;7.5",       // no centre
        "fit;1900000000;4;1;1.5;2;warm;100;2.5 80 100 0 80;7.5",
        "fit;1900000000.5;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5",
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5;extra",
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;-1",  // a size below nothing
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5;101;;0.1",  // a check frame without its figure
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5;100.5;3;0.1",
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5;101;0;0.1",
        "fit;1900000000;4;1;1.5;2;10;100;2.5 80 100 0 80;7.5;101;3;-0.1",
        "focus;1900000600;nan;10",
        "focus;1900000600;120",
    };
    for (const char* line : bad) {
        SCOPED_TRACE(line);
        const LearnedCurves c = ParseLearnedCurves(good + "\n" + line + "\n");
        EXPECT_EQ(c.fits.size(), 1u);
        EXPECT_FALSE(c.lastFocus.has_value());
    }
    EXPECT_EQ(ParseLearnedCurves(good + "\r\n").fits.size(), 1u);
    EXPECT_EQ(ParseLearnedCurves(good + ";-2147483648;3;0.1\n").fits.at(0).record.fit.checkPosition, INT32_MIN);
    EXPECT_TRUE(ParseLearnedCurves("").fits.empty());
}

TEST(LearnedCurves, TheNewestAnswerMovesThePredictionUntilTheNextFit) {
    LearnedCurves c;
    for (int i = 0; i < static_cast<int>(kMaxLearnedFits) + 3; ++i) c.AddFit(Fit(i, 100.0 + i), true);
    ASSERT_EQ(c.fits.size(), kMaxLearnedFits);
    EXPECT_EQ(c.fits.front().record.fit.bestPosition, 103.0);  // the oldest went

    ShapeLearning l = c.Learn(At(60));
    ASSERT_TRUE(l.shape.has_value());
    EXPECT_EQ(l.shape->lastBest, 114.0);

    c.AddFocus({kNight + std::chrono::minutes(30), 150.0, 7.0});
    l = c.Learn(At(60));
    EXPECT_EQ(std::pair(l.shape->lastBest, l.shape->lastTemperatureC), std::pair(150.0, std::optional(7.0)));
    // An answer from before yesterday's age limit is no start.
    EXPECT_EQ(c.Learn(At(30 + 8 * 60 + 1)).shape.has_value(), false);

    c.AddFit(Fit(40, 160.0), true);  // a new curve: its own best focus counts
    EXPECT_FALSE(c.lastFocus.has_value());
    EXPECT_EQ(c.Learn(At(60)).shape->lastBest, 160.0);
}

}  // namespace
}  // namespace kv
