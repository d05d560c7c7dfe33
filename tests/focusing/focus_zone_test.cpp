// The critical focus zone's optics as the settings file and the focuser
// catalogue give them, the texts that show the zone, and the error a search
// reports against it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "focusing/focus_zone.h"
#include "focusing/search_error.h"
#include "support/comma_locale.h"

namespace kv {
namespace {

// The user's value wins over the catalogue's; a value that is absent, not a
// number or not above 0 is not set and leaves the catalogue's in use.
TEST(FocusZone, TheUsersStepWinsOverTheCataloguesAndUnusableValuesAreNotSet) {
    const IniFile catalogue = IniFile::Parse(
        "[Focusers]\r\nOptec TCF-S=1\r\nRoboFocus=1\r\nBent=1\r\n"
        "[Optec TCF-S]\r\nStepSize=2.2\r\n[RoboFocus]\r\nNudgeTime=0.03\r\n[Bent]\r\nStepSize=-1\r\n");
    struct Case {
        const char* what;
        std::string settings;
        std::string model;
        std::optional<double> ratio, user, fromCatalogue, used;
    } const cases[] = {
        {"nothing set, catalogue step", "", "Optec TCF-S", std::nullopt, std::nullopt, 2.2, 2.2},
        {"user's step wins", "[AutoFocus]\r\nFocalRatio=8\r\nStepSize=5\r\n", "Optec TCF-S", 8.0, 5.0, 2.2, 5.0},
        {"user's 0 gives the catalogue's back", "[AutoFocus]\r\nStepSize=0\r\n", "Optec TCF-S", std::nullopt,
         std::nullopt, 2.2, 2.2},
        {"unreadable values", "[AutoFocus]\r\nFocalRatio=f/8\r\nStepSize=1,5\r\n", "Optec TCF-S", std::nullopt,
         std::nullopt, 2.2, 2.2},
        {"a model without a step", "[AutoFocus]\r\nFocalRatio=4.96\r\n", "RoboFocus", 5.0, std::nullopt,
         std::nullopt, std::nullopt},
        {"a catalogue step below 0", "", "Bent", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"above the boxes' maximum", "[AutoFocus]\r\nFocalRatio=99\r\nStepSize=250\r\n", "None", kFocalRatioMax,
         kStepMicronsMax, std::nullopt, kStepMicronsMax},
        {"rounded to the boxes' places", "[AutoFocus]\r\nStepSize=0.0004\r\n", "None", std::nullopt, std::nullopt,
         std::nullopt, std::nullopt},
        {"a fine focuser's step", "[AutoFocus]\r\nStepSize=0.045\r\n", "None", std::nullopt, 0.045, std::nullopt, 0.045},
    };
    for (const Case& c : cases) {
        const FocusZoneOptics o = ReadFocusZoneOptics(IniFile::Parse(c.settings), catalogue, c.model);
        EXPECT_EQ(std::tuple(o.focalRatio, o.stepMicrons, o.catalogueStepMicrons, o.StepMicrons()),
                  std::tuple(c.ratio, c.user, c.fromCatalogue, c.used))
            << c.what;
    }
}

TEST(FocusZone, TheCaptionSaysTheZoneOrWhatIsMissingForIt) {
    test::CommaLocale comma;  // the caption's decimals have a point in any locale
    struct Case {
        std::optional<double> ratio, step, catalogue;
        const char* caption;
    } const cases[] = {
        {5.0, 3.6, std::nullopt, "CFZ: 19 steps (67 \u00b5m)"},
        {8.0, 1.0, std::nullopt, "CFZ: 172 steps (172 \u00b5m)"},
        {2.0, 10.0, std::nullopt, "CFZ: 1.1 steps (11 \u00b5m)"},
        {1.2, std::nullopt, 2.2, "CFZ: 1.8 steps (3.9 \u00b5m)"},
        {8.0, std::nullopt, std::nullopt, "CFZ: 172 \u00b5m; set the step size"},
        {std::nullopt, 5.0, std::nullopt, "CFZ: set the focal ratio"},
        {std::nullopt, std::nullopt, 2.2, "CFZ: set the focal ratio"},
        {std::nullopt, std::nullopt, std::nullopt, "CFZ: set the focal ratio and step size"},
    };
    for (const Case& c : cases) {
        const FocusZoneOptics o{c.ratio, c.step, c.catalogue};
        EXPECT_EQ(FocusZoneCaption(o), c.caption);
    }
}

TEST(FocusZone, ResultsGiveTheZoneAndTheErrorInStepsAndZonesAsFarAsKnown) {
    struct Case {
        std::optional<double> cfz, error;
        const char* text;
    } const cases[] = {
        {34.2, 3.0, "CFZ 34 steps, error about 3.0 steps (0.09 CFZ)"},
        {1.07, 2.0, "CFZ 1.1 steps, error about 2.0 steps (1.87 CFZ)"},
        {34.2, std::nullopt, "CFZ 34 steps"},
        {std::nullopt, 12.4, "error about 12 steps"},
        {std::nullopt, std::nullopt, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(FocusZoneResultText(c.cfz, c.error), c.text);
    EXPECT_EQ(FocusZoneFileValue(std::nullopt), "0");
    EXPECT_EQ(FocusZoneFileValue(4.9), "4.9");
}

// Readings on a hyperbola around `best`, `wobble` steps of noise-like
// scatter in the figure, alternating in sign.
std::vector<CurveSample> Curve(double best, double wobble, int step = 40, int perSide = 4) {
    std::vector<CurveSample> samples;
    for (int k = -perSide; k <= perSide; ++k) {
        const double x = best + k * step + 7;
        const double size = 2.0 * std::sqrt(1.0 + std::pow((x - best) / 60.0, 2));
        samples.push_back({static_cast<std::int32_t>(std::lround(x)), size + ((k & 1) ? wobble : -wobble), 1});
    }
    return samples;
}

TEST(SearchError, EachMethodReportsTheDisagreementItCanMeasure) {
    // Noise-free readings: the fit's minimum does not move when any one is left out.
    const double clean = FitCentreSpread(Curve(500, 0), FomKind::HFD).value();
    EXPECT_LT(clean, 0.5);
    EXPECT_GT(FitCentreSpread(Curve(500, 0.15), FomKind::HFD).value(), clean + 0.5);
    // "No star" readings are not on the curve; too few left gives no spread.
    std::vector<CurveSample> lost = Curve(500, 0, 40, 3);
    EXPECT_TRUE(FitCentreSpread(lost, FomKind::HFD));
    for (const int i : {0, 1, 6}) lost[i].star = false, lost[i].fom = 0;
    EXPECT_FALSE(FitCentreSpread(lost, FomKind::HFD));

    FitSummary fit;
    fit.bestPosition = 503.4;
    fit.kind = FomKind::HFD;
    SearchResult golden;
    golden.position = 500;
    golden.fit = fit;
    golden.fit->refinement = true;
    SearchResult curve;
    curve.method = FocusMethod::CurveFit;
    curve.position = 505;
    curve.fit = fit;
    curve.measured = Curve(500, 0);
    EXPECT_NEAR(SearchErrorSteps(golden).value(), 3.4, 1e-9);
    EXPECT_NEAR(SearchErrorSteps(curve).value(), 1.6 + clean, 1e-9);

    // Nothing to say: a run that did not complete, a golden section without
    // its refinement, a curve fit with too few readings.
    SearchResult failed = curve;
    failed.outcome = FocusOutcome::Rejected;
    SearchResult unrefined = golden;
    unrefined.fit.reset();
    SearchResult sparse = curve;
    sparse.measured.resize(4);
    for (const SearchResult* r : {&failed, &unrefined, &sparse}) EXPECT_FALSE(SearchErrorSteps(*r));
}

// An answer may claim one zone, or a quarter of the step without one; what
// it says when it may not follows what its readings showed.
TEST(SearchError, AnUncertainAnswerSaysWhatWouldSteadyItsReadings) {
    EXPECT_EQ(std::pair(UncertainTolerance(std::nullopt, 100), UncertainTolerance(8.5, 100)), std::pair(25.0, 8.5));
    EXPECT_EQ(std::tuple(IsUncertain(8.5, 8.5, 100), IsUncertain(8.6, 8.5, 100), IsUncertain(25.0, std::nullopt, 100),
                         IsUncertain(std::nullopt, 8.5, 100)),
              std::tuple(false, true, false, true));

    // A curve 2 high at its bottom (position 0) that reads 3 (half again) 100 steps out.
    FitSummary fit;
    fit.model = FitModel::Parabola;
    fit.parameters = {2.0, 1e-4, 0.0};
    fit.kind = FomKind::HFD;
    fit.predicted = 2.0;
    const auto result = [&](int step, int frames) {
        SearchResult r;
        r.method = FocusMethod::CurveFit;
        r.position = 7;
        r.cfzSteps = 8.5;
        r.fit = fit;
        for (int k = -2; k <= 2; ++k) {
            const double x = k * step;
            r.measured.push_back(CurveSample{.position = k * step, .fom = 2.0 + 1e-4 * x * x, .frames = frames});
        }
        return r;
    };
    const std::string smaller = "Only 1 of the readings lie near best focus: use a smaller step.";
    const struct {
        int step, frames;
        std::vector<std::string> said, unsaid;
    } cases[] = {
        {100, 1, {kUncertainMoreFrames}, {"Only", kUncertainLongerExposure}},
        {100, 3, {kUncertainLongerExposure}, {"Only", kUncertainMoreFrames}},
        {200, 5, {smaller}, {kUncertainMoreFrames, kUncertainLongerExposure}},
        {200, 1, {smaller, kUncertainMoreFrames}, {kUncertainLongerExposure}},
    };
    for (const auto& c : cases) {
        const std::string text = UncertainText(result(c.step, c.frames), 20.0, 8.5);
        SCOPED_TRACE(text);
        EXPECT_EQ(text.rfind("Best focus is uncertain: the answer may lie 20 steps (2.35 CFZ) from best focus, more than "
                             "the 1 CFZ (8.5 steps) it may claim.\r\nThe focuser stands at the answer, position 7. ", 0),
                  0u);
        for (const std::string& s : c.said) EXPECT_NE(text.find(s), std::string::npos) << s;
        for (const std::string& s : c.unsaid) EXPECT_EQ(text.find(s), std::string::npos) << s;
    }
    EXPECT_EQ(UncertainText(result(100, 1), std::nullopt, 8.5).rfind("Best focus is uncertain: 5 readings showed the star, too "
                                                                     "few to tell how far the answer may lie", 0),
              0u);
}

}  // namespace
}  // namespace kv
