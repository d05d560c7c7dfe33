// The scan and the search on their worker thread, against a scripted focuser
// and camera on a clock that runs a 45 s wait in milliseconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "focusing/critical_focus_zone.h"
#include "focusing/focusing_runner.h"
#include "focusing/search_error.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"
#include "focusing_fakes.h"

namespace kv {
namespace {

using test::FakeDevices;

struct RunnerTest : ::testing::Test {
    ScaledClock clock{1000.0};
    test::RecordingDialogs dialogs;
    test::RecordingView view;
    TFocusingRunner runner{view, dialogs, clock};
    std::unique_ptr<FakeDevices> owned = std::make_unique<FakeDevices>();
    FakeDevices& dev = *owned;
    test::TempDir dir;
    TFocusLog log{dir.File(kFocusLogFileName)};  // the runner's once a test sets it

    // Runs one procedure to its end on a view cleared of the last one; a
    // procedure that never told the view its end throws, failing the test.
    const ScanResult& Scan(std::unique_ptr<FakeDevices> devices) {
        Clear();
        EXPECT_TRUE(runner.StartScan(std::move(devices), ScanSettings{}));
        runner.Join();
        return view.scan.value();
    }
    template <typename How>
    const SearchResult& Search(std::unique_ptr<FakeDevices> devices, const How& how) {
        Clear();
        EXPECT_TRUE(runner.StartSearch(std::move(devices), how));
        runner.Join();
        return view.search.value();
    }
    void Clear() {
        view.log.clear(), view.progress.clear(), view.scanPoints.clear(), view.fits.clear();
        view.scan.reset(), view.search.reset();
    }
};

SearchOptions CurveFit() {
    SearchOptions options;
    options.method = FocusMethod::CurveFit;
    return options;
}

TEST_F(RunnerTest, ScanMeasuresElevenPositionsAndLeavesTheFocuserAtTheLast) {
    dev.position = 500;  // the scan counts from wherever the focuser stands
    runner.SetSamples(0);
    EXPECT_EQ(runner.Samples(), kFocusSamplesMin);
    runner.SetSamples(kFocusSamplesMax + 1);
    // The first position's field has too few stars: said in words, no point.
    dev.statuses.assign(kFocusSamplesMax, StarStatus::TooFewStars);
    const ScanResult& scan = Scan(std::move(owned));
    EXPECT_EQ(scan.outcome, FocusOutcome::Completed);
    ASSERT_EQ(view.scanPoints.size(), 10u);
    // 20 and 40 tie at 2.2: the lower one is best. The most samples a position.
    EXPECT_EQ(std::tuple(view.scanPoints.front().x, view.scanPoints.back().x, scan.best, dev.position.load()),
              std::tuple(-80, 100, std::optional<std::int32_t>(20), 100));
    EXPECT_TRUE(view.Logged("Moving to -100") && view.Logged("-100 too few stars") && view.Logged("-80 4.2000"));
    EXPECT_EQ(std::tuple(dev.frames.load(), view.progress.back()), std::tuple(11 * kFocusSamplesMax, 0));
    EXPECT_EQ(view.log.back(), "Scan complete: best focus at 20 (2.2000)");
}

TEST_F(RunnerTest, StalledFocuserTimesOutTheScanAndEitherSearch) {
    dev.stalled = true;
    EXPECT_EQ(Scan(std::move(owned)).outcome, FocusOutcome::Failed);
    EXPECT_EQ(view.log.back(), "Error...Scan cancelled");
    EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{"Time out during scanning"});

    for (const SearchOptions& options : {SearchOptions{}, CurveFit()}) {
        SCOPED_TRACE(static_cast<int>(options.method));
        auto stalled = std::make_unique<FakeDevices>();
        stalled->stalled = true;
        const SearchResult& search = Search(std::move(stalled), options);
        EXPECT_EQ(std::tuple(search.outcome, search.message),
                  std::tuple(FocusOutcome::Failed, "Time out in FocusFunction procedure"));
        EXPECT_EQ(search.reading.value().FOM, 0.0);  // the boxes show zeros
    }
}

// A halted move, or a cancel during a reading, ends the scan or the search
// there, without a reading at that position (nor, for a scan, a best).
TEST_F(RunnerTest, AHaltedMoveOrACancelEndsTheScanOrTheSearchWithoutAReadingThere) {
    struct Case {
        bool scan;
        int haltMove, cancelAtFrame;
        std::size_t pointsBefore;
        FocusMethod method = FocusMethod::GoldenSection;
    };
    for (const Case c : {Case{true, 1, 0, 0}, Case{true, 4, 0, 3}, Case{true, 0, 13, 2}, Case{false, 2, 0, 1},
                         Case{false, 5, 0, 4}, Case{false, 5, 0, 2, FocusMethod::CurveFit},
                         Case{false, 5, 0, 2, FocusMethod::QuickRefocus}}) {
        SCOPED_TRACE(testing::Message() << (c.scan ? "scan" : "search") << " halted at move " << c.haltMove
                                        << ", cancelled at frame " << c.cancelAtFrame);
        auto d = std::make_unique<FakeDevices>();
        FakeDevices& devices = *d;
        d->haltMove = c.haltMove;
        d->coast = 3;
        d->onFrame = [&](int frame) {
            if (frame == c.cancelAtFrame) runner.Cancel();
        };
        if (c.scan) {
            const ScanResult& scan = Scan(std::move(d));
            EXPECT_EQ(std::tuple(scan.outcome, scan.best, view.scanPoints.size(), view.log.back()),
                      std::tuple(FocusOutcome::Cancelled, std::optional<std::int32_t>(), c.pointsBefore, "Scan cancelled...."));
            EXPECT_TRUE(view.progress.empty() || view.progress.back() == 0);
        } else {
            SearchOptions options;
            options.initialStep = 200;
            options.method = c.method;
            const SearchResult& search = Search(std::move(d), options);
            EXPECT_EQ(std::tuple(search.outcome, search.points.size()), std::tuple(FocusOutcome::Cancelled, c.pointsBefore));
            // It ends where the motor came to rest, not where it ran on from.
            EXPECT_EQ(std::pair(search.position, devices.coast.load()), std::pair(devices.position.load(), 0));
        }
        EXPECT_EQ(view.Logged(kMoveHaltedText), c.haltMove > 0);
        // A cancelled reading stopped after its current sample.
        EXPECT_TRUE(c.cancelAtFrame == 0 || devices.frames == c.cancelAtFrame) << devices.frames;
    }
}

// Each procedure zeroes the counter where it starts; its log line still puts
// every run of the session on one scale, with the focuser's own absolute
// positions beside it, and says how it ended.
TEST_F(RunnerTest, EveryProcedureLogsOneLineOnTheSessionsScale) {
    runner.SetFocusLog(&log);
    runner.SetSamples(2);
    // Devices that stand where the last ones left the focuser, which the
    // runner holds until the next start.
    FakeDevices* last = nullptr;
    const auto devices = [&](int haltMove) {
        auto d = std::make_unique<FakeDevices>();
        d->position = last ? last->position.load() : 500;
        d->absoluteZero = (last ? *last->absoluteZero + last->position : 10500) - d->position;
        d->temperature = 3.5;
        d->haltMove = haltMove;
        last = d.get();
        return d;
    };
    Scan(devices(0));  // leaves the focuser at +100 of its start, 600 on the session's scale
    Search(devices(0), 100);
    Scan(devices(2));

    const std::vector<FocusLogEntry> lines = TFocusLog::Read(log.Path());
    ASSERT_EQ(lines.size(), 3u);
    const FocusLogEntry& s = lines[0];
    // The scan's final is its best (20), not where it stopped.
    EXPECT_EQ(std::tuple(s.procedure, s.outcome, s.start, s.final, s.absoluteStart, s.absoluteFinal),
              std::tuple("scan", "completed", 500, 520, 10500, 10520));
    EXPECT_EQ(std::tuple(s.figure, s.kind, s.frames, s.temperatureC), std::tuple(2.2, "HFD", 11 * 2, 3.5));
    const FocusLogEntry& a = lines[1];
    // The golden section's refinement fit moves nothing; two samples at each of its 14 points.
    EXPECT_EQ(std::tuple(a.procedure, a.method, a.outcome, a.start, a.final, a.absoluteFinal, a.figure, a.frames),
              std::tuple("autofocus", "golden section", "completed", 600, 630, 10630, 2.0, 2 * 14));
    EXPECT_TRUE(a.rSquared.has_value() && IsCalibrationCandidate(a));
    const FocusLogEntry& h = lines[2];
    EXPECT_EQ(std::tuple(h.start, h.outcome, h.reason), std::tuple(630, "halted", kMoveHaltedText));
    EXPECT_FALSE(h.figure.has_value() || IsCalibrationCandidate(h));
    EXPECT_EQ(std::tuple(s.scale, a.scale, h.scale), std::tuple("", "", "")) << "the focuser's own scale";

    // A focuser that only counts: its runs name this runner's session, and
    // the next runner's (another session, another zero) name their own.
    Scan(std::make_unique<FakeDevices>());
    Scan(std::make_unique<FakeDevices>());
    {
        TFocusingRunner next(view, dialogs, clock);
        next.SetFocusLog(&log);
        ASSERT_TRUE(next.StartScan(std::make_unique<FakeDevices>(), ScanSettings{}));
        next.Join();
    }
    const std::vector<FocusLogEntry> counted = TFocusLog::Read(log.Path());
    ASSERT_EQ(counted.size(), 6u);
    EXPECT_FALSE(CountingScaleStart(counted[3].scale).empty()) << counted[3].scale;
    EXPECT_TRUE(OnOneScale(counted[3], counted[4]));
    EXPECT_FALSE(CountingScaleStart(counted[5].scale).empty()) << counted[5].scale;
    EXPECT_FALSE(OnOneScale(counted[4], counted[5]));
}

// A cancel ends the wait for a focuser that never stops, or never ends its
// move, at once: not at the wait's bound, 11 s on this clock.
TEST_F(RunnerTest, CancelEndsAReadingWaitingForAFocuserThatNeverStops) {
    ScaledClock slow{4.0};
    TFocusingRunner patient{view, dialogs, slow};
    for (const bool stalled : {false, true}) {
        auto d = std::make_unique<FakeDevices>();
        FakeDevices& waiting = *d;
        d->idle = stalled;
        d->stalled = stalled;
        Clear();
        ASSERT_TRUE(patient.StartSearch(std::move(d), 100));
        ASSERT_TRUE(test::Eventually([&] { return waiting.moves > 0; }));
        EXPECT_FALSE(patient.StartScan(std::make_unique<FakeDevices>(), ScanSettings{}));  // one at a time
        patient.Cancel();
        ASSERT_TRUE(test::Eventually([&] { return !patient.Running(); }, std::chrono::milliseconds(8000)));
        patient.Join();
        EXPECT_EQ(std::tuple(view.search.value().outcome, waiting.frames.load(), view.search->points.size()),
                  std::tuple(FocusOutcome::Cancelled, 0, 0u));
    }
}

TEST_F(RunnerTest, AReadingIsNoStarWhenMostFramesAre) {
    constexpr StarStatus ok = StarStatus::Ok, none = StarStatus::NoStar, few = StarStatus::TooFewStars;
    struct Case {
        std::vector<StarStatus> frames;
        StarStatus expected;
        double hfd;
        std::vector<bool> large = {};
        bool tooLarge = false;
    };
    const Case cases[] = {
        {{none, ok, ok, none, none}, none, (3 * 80.0 + 2 * 2.6) / 5},  // the figures mean nothing then
        {{ok, none, ok}, ok, 2.6},  // the frame without a star is left out
        {{ok, none}, ok, 2.6},      // half is not most
        {{few, ok, few, none}, few, (3 * 80.0 + 2.6) / 4},  // the more common of the two
        {{ok, few, ok}, ok, 2.6},
        // Too large when at least half the frames without a star were.
        {{none, none, ok}, none, (2 * 80.0 + 2.6) / 3, {true, false}, true},
        {{none, none, none, ok}, none, (3 * 80.0 + 2.6) / 4, {true, false, false}, false},
        {{ok, none, ok}, ok, 2.6, {false, true}, false},
    };
    const std::atomic<bool> cancel{false};
    for (const Case& c : cases) {
        dev.statuses = c.frames;
        dev.large = c.large;
        dev.frames = 0;
        const auto reading = MeasureFocus(dev, view, static_cast<int>(c.frames.size()), false, FomKind::HFD, cancel, clock);
        ASSERT_TRUE(reading.has_value());
        EXPECT_EQ(std::pair(reading->status, reading->tooLarge), std::pair(c.expected, c.tooLarge));
        EXPECT_NEAR(reading->FOM, c.hfd, 1e-9);
    }
}

// The zone a search was started with comes back in its result and log line, with the
// search's error where it completed. A fit whose error exceeds the zone (or a quarter of
// the step without one) is uncertain: it stays at its answer and says so, with advice.
TEST_F(RunnerTest, TheZoneAndTheErrorReachTheResultAndTheLog) {
    runner.SetFocusLog(&log);
    runner.SetSamples(1);
    struct Case {
        const char* what;
        FocusMethod method;
        std::optional<double> cfz;
        std::int32_t travelMin;  // below best focus, or above it to refuse the fit
        double noise = 0.0;
        FocusOutcome outcome = FocusOutcome::Completed;
        int pointsPerSide = 5;
    } const cases[] = {
        {"golden section", FocusMethod::GoldenSection, 8.5, -100000},
        {"curve fit", FocusMethod::CurveFit, 8.5, -100000},
        {"curve fit, no zone", FocusMethod::CurveFit, std::nullopt, -100000},
        {"refused curve fit", FocusMethod::CurveFit, 8.5, 100, 0.0, FocusOutcome::Rejected},
        {"noisy curve fit", FocusMethod::CurveFit, 8.5, -100000, 0.3, FocusOutcome::Uncertain},
        {"noisy curve fit, no zone", FocusMethod::CurveFit, std::nullopt, -100000, 0.3, FocusOutcome::Uncertain},
        {"golden section, error above the zone", FocusMethod::GoldenSection, 0.1, -100000},
        // Five readings fit a curve, but four of them fit none to say how well.
        {"curve fit, too few readings for an error", FocusMethod::CurveFit, 8.5, -100000, 0.0,
         FocusOutcome::Uncertain, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SearchOptions options;
        options.method = c.method;
        options.cfzSteps = c.cfz;
        options.fit.travelMin = c.travelMin;
        options.fit.pointsPerSide = c.pointsPerSide;
        auto devices = std::make_unique<FakeDevices>();
        devices->best = 37;
        devices->noise = c.noise;
        FakeDevices& d = *devices;
        dialogs.Clear();
        const SearchResult& search = Search(std::move(devices), options);
        ASSERT_EQ(search.outcome, c.outcome) << search.message;
        const bool answered = c.outcome != FocusOutcome::Rejected;
        const bool estimated = answered && c.pointsPerSide > 2;
        EXPECT_EQ(std::tuple(search.cfzSteps, search.frames), std::tuple(c.cfz, d.frames.load()));
        if (answered) {
            // A curve fit is drawn once fitted and once checked, the check frame at the answer;
            // the golden section's refinement once.
            EXPECT_EQ(view.fits.size(), c.method == FocusMethod::CurveFit ? 2u : 1u);
            EXPECT_EQ(search.fit->checkPosition.value_or(search.position), search.position);
        }
        if (!answered) {
            // Refused: the message waits for the user, and the focuser is back at the start.
            EXPECT_EQ(std::tuple(dialogs.Deferred(), d.position.load()), std::tuple(std::vector{search.message}, 0));
            EXPECT_NE(search.message.find("edge of the focuser's travel"), std::string::npos);
        }
        EXPECT_EQ(search.errorSteps.has_value(), estimated);
        if (c.outcome == FocusOutcome::Completed && c.noise == 0.0) {
            // The fake's V has no noise: each method's answer is within a few steps.
            EXPECT_LT(search.errorSteps.value(), 3.0);
            // The golden section keeps its outcome whatever its error.
            if (c.cfz < 1.0) {
                EXPECT_GT(search.errorSteps.value(), *c.cfz);
            }
        }
        if (c.outcome == FocusOutcome::Uncertain) {
            EXPECT_NE(d.position.load(), 0) << "it stays at its answer";
            EXPECT_EQ(dialogs.Deferred(), std::vector<std::string>{search.message});
            EXPECT_NE(search.message.find(kUncertainMoreFrames), std::string::npos) << "single frames";
            if (estimated) {
                EXPECT_GT(search.errorSteps.value(), c.cfz.value_or(100 / 4.0));
                EXPECT_EQ(search.message.rfind("Best focus is uncertain: the answer may lie ", 0), 0u) << search.message;
                EXPECT_NE(search.message.find(c.cfz ? "1 CFZ (8.5 steps)" : "25 steps (a quarter of the step)"),
                          std::string::npos) << search.message;
            } else {
                EXPECT_EQ(search.message.rfind("Best focus is uncertain: 5 readings showed the star, too few", 0), 0u)
                    << search.message;
            }
        }

        // The log keeps the figures to its places.
        const FocusLogEntry line = TFocusLog::Read(log.Path()).back();
        const char* outcome = c.outcome == FocusOutcome::Uncertain ? "uncertain" : answered ? "completed" : "rejected";
        ASSERT_EQ(std::tuple(line.outcome, line.figure.has_value(), line.cfzSteps, line.errorSteps.has_value(),
                             line.errorCfz.has_value()),
                  std::tuple(outcome, answered, search.cfzSteps, estimated, estimated && c.cfz));
        if (estimated) {
            EXPECT_NEAR(*line.errorSteps, *search.errorSteps, 0.05);
        }
        if (line.errorCfz) {
            EXPECT_NEAR(*line.errorCfz, *ErrorInCfz(*search.errorSteps, c.cfz), 0.0005);
        }
    }
}

}  // namespace
}  // namespace kv
