#include "focusing/focus_log.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>

#include "camera/image_object.h"
#include "focusing/focus_frames.h"
#include "support/comma_locale.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

FocusLogEntry AFailedRun() {
    return {.time = "2026-12-07 21:04:55", .procedure = "autofocus", .method = "curve fit", .outcome = "failed",
            .start = -1200, .final = -1188, .absoluteStart = 31000, .absoluteFinal = 31012, .figure = 2.4567,
            .kind = "HFD", .stars = 14, .frames = 11, .rSquared = 0.9871, .temperatureC = -3.25,
            .reason = "The fit is too flat, \"larger step\", please,\nretry", .scale = "", .cfzSteps = {},
            .errorSteps = {}, .errorCfz = {}, .predicted = {}, .fallback = {}};
}

TEST(FocusLog, LinesRoundTripWithQuotingAndEmptyFieldsAndForeignLinesAreSkipped) {
    FocusLogEntry e = AFailedRun();
    const std::optional<FocusLogEntry> back = ParseFocusLogLine(FocusLogLine(e));
    e.reason = "The fit is too flat, \"larger step\", please, retry";  // a line end never splits a record
    EXPECT_EQ(back, e);
    FocusLogEntry scan;  // empty fields stay empty
    scan.procedure = "scan", scan.outcome = "completed";
    EXPECT_EQ(ParseFocusLogLine(FocusLogLine(scan)), scan);

    // Under a decimal-comma locale the record is the same, and one written by
    // an earlier version with decimal commas is read back whole.
    {
        test::CommaLocale comma;
        ASSERT_TRUE(comma.Active()) << "no decimal-comma locale could be made";
        FocusLogEntry zoned = AFailedRun();
        zoned.cfzSteps = 34.25, zoned.errorSteps = 3.14, zoned.errorCfz = 0.0917;
        const std::string line = FocusLogLine(zoned);
        EXPECT_NE(line.find(",2.4567,HFD,14,11,0.9871,-3.25,"), std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - 16), ",34.25,3.1,0.092") << line;
        EXPECT_EQ(ParseFocusLogLine(line).value().figure, 2.4567);
    }

    for (const char* foreign : {kFocusLogHeader, "", "a,b,c", "2026,autofocus,x,completed,12,oops,,,,FWHM,1,3,,,",
                                "\"unclosed,autofocus",
                                // A field past the reason that is no scale.
                                "2026-12-07 21:04:55,scan,,completed,0,20,,,,HFD,1,22,,-3.25,,Cancelled",
                                "2026-12-07 21:04:55,scan,,completed,0,20,,,,HFD,1,22,,-3.25,,count yesterday pid 1",
                                "2026-12-07 21:04:55,scan,,completed,0,20,,,,HFD,1,22,,-3.25,,count 2026-12-07 21:04:55",
                                "2026-12-07 21:04:55,scan,,completed,0,20,,,,HFD,1,22,,-3.25,,,"}) {
        EXPECT_FALSE(ParseFocusLogLine(foreign)) << foreign;
    }
}

// Lines of this version name their scale last; older ones, with a field
// fewer and perhaps split by decimal commas, still read, with no scale. Each
// case is one line and what it must read as.
TEST(FocusLog, TheScaleFieldIsReadBesideOlderAndCommaSplitLines) {
    const std::string head = "2026-12-07 21:04:55,";
    const std::string session = "count 2026-12-07 19:02:11 pid 4242#1";
    struct Case {
        const char* what;
        std::string line;
        std::optional<double> figure, rSquared, temperature;
        std::string reason, scale;
    };
    const Case cases[] = {
        {"counted, this version", head + "autofocus,curve fit,completed,0,-12,,,2.7447,FWHM,1,60,0.9937,-3.25,," + session,
         2.7447, 0.9937, -3.25, "", session},
        {"absolute, this version", head + "autofocus,curve fit,completed,0,-12,31000,30988,2.7447,FWHM,1,60,,-3.00,25,",
         2.7447, std::nullopt, -3.0, "25", ""},
        {"older, whole", head + "autofocus,curve fit,completed,0,-12,,,2.7447,FWHM,1,60,0.9937,-3.25,Cancelled", 2.7447,
         0.9937, -3.25, "Cancelled", ""},
        // One split real makes the older line as long as this version's, and
        // its empty reason would pass for the focuser's scale.
        {"older, temperature split", head + "scan,,completed,0,20,,,,HFD,1,22,,-3,25,", std::nullopt, std::nullopt,
         -3.25, "", ""},
        {"older, figure split", head + "scan,,completed,0,20,,,2,5000,HFD,1,22,,,", 2.5, std::nullopt, std::nullopt, "",
         ""},
        {"older, three split", head + "autofocus,curve fit,completed,0,-12,,,2,7447,FWHM,1,60,0,9937,-3,25,halted", 2.7447,
         0.9937, -3.25, "halted", ""},
    };
    for (const Case& c : cases) {
        const std::optional<FocusLogEntry> e = ParseFocusLogLine(c.line);
        ASSERT_TRUE(e) << c.what;
        EXPECT_EQ(std::tuple(e->figure, e->rSquared, e->temperatureC, e->reason, e->scale),
                  std::tuple(c.figure, c.rSquared, c.temperature, c.reason, c.scale))
            << c.what;
        // Written again it is a line of this version, read back the same.
        const std::string again = FocusLogLine(*e);
        EXPECT_EQ(ParseFocusLogLine(again), e) << c.what << ": " << again;
    }

    // The scale a line reads as, and which runs can be combined.
    FocusLogEntry counted = AFailedRun(), absolute = AFailedRun(), older = AFailedRun();
    counted.absoluteStart.reset(), counted.absoluteFinal.reset(), older.absoluteStart.reset(), older.absoluteFinal.reset();
    counted.scale = session;
    FocusLogEntry otherSession = counted, absoluteWithKey = absolute;
    otherSession.scale = "count 2026-12-07 19:02:11 pid 4243#1";
    absoluteWithKey.scale = session;
    EXPECT_EQ(std::tuple(ScaleOf(counted), ScaleOf(absolute), ScaleOf(older), ScaleOf(absoluteWithKey)),
              std::tuple(FocusScale::Counted, FocusScale::Focuser, FocusScale::Unknown, FocusScale::Focuser));
    EXPECT_EQ(CountingScaleStart(counted.scale), "2026-12-07 19:02:11");
    EXPECT_EQ(CountingScaleStart(""), "");
    const struct {
        const FocusLogEntry &a, &b;
        bool same;
    } pairs[] = {{counted, counted, true},       {counted, otherSession, false}, {absolute, absoluteWithKey, true},
                 {counted, absoluteWithKey, false}, {older, older, false},      {older, counted, false},
                 {absolute, older, false}};
    for (const auto& p : pairs) {
        EXPECT_EQ(OnOneScale(p.a, p.b), p.same) << p.a.scale << " / " << p.b.scale;
        EXPECT_EQ(OnOneScale(p.b, p.a), p.same) << p.b.scale << " / " << p.a.scale;
    }

    // Keys of one process differ, and say when their session started.
    const auto start = std::chrono::system_clock::now();
    const std::string first = CountingScale(start), second = CountingScale(start);
    EXPECT_NE(first, second);
    EXPECT_EQ(CountingScaleStart(first), FocusLogTime(start)) << first;
}

// A run that knew the critical focus zone adds three fields after the scale;
// one that did not is written as before, so that readers from before those
// fields (which take exactly the scale's field count) still read it. A
// quick refocus's prediction and fallback follow the zone's fields.
TEST(FocusLog, TheZoneFieldsAreWrittenOnlyWhenKnownAndReadBesideOlderLines) {
    const auto fields = [](const std::string& line) { return std::count(line.begin(), line.end(), ',') + 1; };
    const std::string head = "2026-12-07 21:04:55,autofocus,curve fit,completed,0,-12,,,2.7447,FWHM,1,60,0.9937,-3.25,,";
    struct Case {
        const char* what;
        std::optional<double> cfz, errorSteps, errorCfz;
        long written;  // fields of the line written
        std::optional<std::int64_t> predicted = {};  // a quick refocus's
        const char* fallback = "";
    } const cases[] = {
        {"zone and error", 34.2, 3.1, 0.091, 19},
        {"a quick refocus", std::nullopt, std::nullopt, std::nullopt, 21, 5014},
        {"a quick refocus that fell back", 34.2, 3.1, 0.091, 21, -20, "the check frame reads 26 % \"above\""},
        {"zone without an error (a failed run)", 34.2, std::nullopt, std::nullopt, 19},
        {"error without a zone", std::nullopt, 3.1, std::nullopt, 19},
        {"neither", std::nullopt, std::nullopt, std::nullopt, 16},
    };
    for (const Case& c : cases) {
        FocusLogEntry e = AFailedRun();
        e.reason.clear();
        e.cfzSteps = c.cfz, e.errorSteps = c.errorSteps, e.errorCfz = c.errorCfz;
        e.predicted = c.predicted, e.fallback = c.fallback;
        const std::string line = FocusLogLine(e);
        EXPECT_EQ(fields(line), c.written) << c.what << ": " << line;
        EXPECT_EQ(ParseFocusLogLine(line), e) << c.what << ": " << line;
    }
    // One field short of or past the zone's, or a zone after something that is no scale.
    for (const std::string& foreign : {head + ",34.20,3.1", head + ",34.20,3.1,0.091,", head + "x,34.20,3.1,0.091"}) {
        EXPECT_FALSE(ParseFocusLogLine(foreign)) << foreign;
    }
}

TEST(FocusLog, AppendsUnderOneHeaderAndAFailureWarnsOnceWithoutStoppingAnything) {
    test::TempDir dir;
    TFocusLog log(dir.File(kFocusLogFileName));
    ASSERT_TRUE(log.Append(AFailedRun()));
    ASSERT_TRUE(log.Append(AFailedRun()));
    const std::string text = dir.Read(kFocusLogFileName);
    EXPECT_EQ(text.find(kFocusLogHeader), 0u);
    EXPECT_EQ(text.find(kFocusLogHeader, 1), std::string::npos);
    EXPECT_EQ(TFocusLog::Read(log.Path()).size(), 2u);
    EXPECT_FALSE(log.TakeWarning());

    // A folder that is not there (as root, permissions do not stop a write).
    TFocusLog lost(dir.File("gone/focus_log.csv"));
    EXPECT_FALSE(lost.Append(AFailedRun()) || lost.Append(AFailedRun()));
    const std::string warning = lost.TakeWarning().value();
    EXPECT_TRUE(warning.find(dir.File("gone/focus_log.csv")) != std::string::npos &&
                warning.find("No such file") != std::string::npos) << warning;
    EXPECT_FALSE(lost.TakeWarning());
    // A disk that fills part-way: no torn line is left for the next one to be glued to.
    {
        test::FileSizeLimit limit(text.size() + 40);
        EXPECT_FALSE(log.Append(AFailedRun()));
    }
    EXPECT_TRUE(log.TakeWarning());
    EXPECT_TRUE(log.Append(AFailedRun()));
    EXPECT_EQ(TFocusLog::Read(log.Path()).size(), 3u);
    // Failing again after a success warns again.
    {
        test::FileSizeLimit limit(dir.Read(kFocusLogFileName).size() + 40);
        EXPECT_FALSE(log.Append(AFailedRun()));
    }
    EXPECT_TRUE(log.TakeWarning());

    // A last line left without its line end (an editor) keeps its record and the next.
    const std::string unended = dir.Read(kFocusLogFileName);
    dir.Write(kFocusLogFileName, unended.substr(0, unended.size() - 1));
    EXPECT_TRUE(log.Append(AFailedRun()));
    EXPECT_EQ(TFocusLog::Read(log.Path()).size(), 4u);
}

// Two programs appending at once lose nothing and tear nothing.
TEST(FocusLog, TwoProcessesAppendingAtOnceKeepEveryRecord) {
    test::TempDir dir;
    const std::string path = dir.File(kFocusLogFileName);
    constexpr int kEach = 150;
    pid_t children[2];
    // Both count from one moment, with the same keys made before them: their
    // sessions' scales must still differ.
    const auto start = std::chrono::system_clock::now();
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            TFocusLog log(path);
            FocusLogEntry e = AFailedRun();
            e.absoluteStart.reset(), e.absoluteFinal.reset();
            e.scale = CountingScale(start);
            for (int i = 0; i < kEach; ++i) log.Append(e);
            _exit(0);
        }
    }
    for (const pid_t child : children) waitpid(child, nullptr, 0);
    const std::vector<FocusLogEntry> entries = TFocusLog::Read(path);
    EXPECT_EQ(entries.size(), 2u * kEach);
    std::set<std::string> scales;
    for (const FocusLogEntry& e : entries) scales.insert(e.scale);
    EXPECT_EQ(scales.size(), 2u) << "one scale for each program";
    const std::string text = dir.Read(kFocusLogFileName);
    EXPECT_EQ(text.find(kFocusLogHeader, 1), std::string::npos) << "one header";
}

// The drift over the calibration candidates only: completed auto focuses
// with a temperature; the best position is the absolute one where known.
TEST(FocusLog, DriftFitsCompletedAutoFocusesWithATemperature) {
    const auto run = [](double t, std::int64_t final, std::optional<std::int64_t> absolute, const char* outcome) {
        FocusLogEntry e;
        e.procedure = "autofocus", e.outcome = outcome, e.final = final, e.absoluteFinal = absolute, e.temperatureC = t;
        return e;
    };
    std::vector<FocusLogEntry> runs = {run(10, 100, 5000, "completed"), run(8, 999, 5024, "completed"),
                                       run(6, 140, std::nullopt, "completed"), run(2, 0, 0, "failed")};
    FocusLogEntry scan = run(4, 7777, 7777, "completed");
    scan.procedure = "scan";
    runs.push_back(scan);
    FocusLogEntry noTemp = run(5, 9999, 9999, "completed");
    noTemp.temperatureC.reset();
    runs.push_back(noTemp);
    const auto twoPoints = FitFocusDrift({runs[0], runs[1]}).value();
    EXPECT_EQ(std::tuple(twoPoints.stepsPerDegree, twoPoints.r2, twoPoints.runs), std::tuple(-12.0, 1.0, 2));
    // The failed run, the scan and the one without a temperature are left out.
    EXPECT_EQ(FitFocusDrift(runs).value().runs, 3);
    EXPECT_FALSE(FitFocusDrift({runs[0]}));
    EXPECT_FALSE(FitFocusDrift({runs[0], run(10, 300, 300, "completed")})) << "one temperature fits no slope";
}

// Runs of one second take the folder of its name, then _2 up to _100.
TEST(FocusFrames, TheHundredthRunOfASecondStillGetsAFolder) {
    test::TempDir dir;
    test::RecordingDialogs dialogs;
    const auto start = std::chrono::sys_days(std::chrono::year(2026) / 12 / 7) + std::chrono::seconds(70727);
    std::filesystem::create_directories(dir.File("frames/20261207-193847"));
    for (int i = 2; i < 100; ++i)
        std::filesystem::create_directory(dir.File("frames/20261207-193847_" + std::to_string(i)));
    TFocusFrameRecorder recorder(dir.File("frames"), dialogs, start);
    TImageObject image(4, 4);
    EXPECT_TRUE(recorder.Record(image, FitsHeader{}, 0)) << testing::PrintToString(dialogs.Deferred());
    EXPECT_EQ(recorder.RunFolder(), dir.File("frames/20261207-193847_100/"));
}

}  // namespace
}  // namespace kv
