#include "focusing/focus_log.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/comma_locale.h"
#include "support/temp_files.h"

namespace kv {
namespace {

FocusLogEntry AFailedRun() {
    return {.time = "2026-12-07 21:04:55", .procedure = "autofocus", .method = "curve fit", .outcome = "failed",
            .start = -1200, .final = -1188, .absoluteStart = 31000, .absoluteFinal = 31012, .figure = 2.4567,
            .kind = "HFD", .stars = 14, .frames = 11, .rSquared = 0.9871, .temperatureC = -3.25,
            .reason = "The fit is too flat, \"larger step\", please,\nretry"};
}

TEST(FocusLog, LinesRoundTripWithQuotingAndEmptyFieldsAndForeignLinesAreSkipped) {
    FocusLogEntry e = AFailedRun();
    std::optional<FocusLogEntry> back = ParseFocusLogLine(FocusLogLine(e));
    ASSERT_TRUE(back);
    e.reason = "The fit is too flat, \"larger step\", please, retry";  // a line end never splits a record
    EXPECT_EQ(*back, e);

    FocusLogEntry scan;
    scan.procedure = "scan", scan.outcome = "completed";
    back = ParseFocusLogLine(FocusLogLine(scan));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, scan);
    EXPECT_FALSE(back->figure || back->absoluteStart || back->rSquared || back->temperatureC);

    // Under a decimal-comma locale the record is the same, and one written by
    // an earlier version with decimal commas is read back whole.
    {
        test::CommaLocale comma;
        ASSERT_TRUE(comma.Active()) << "no decimal-comma locale could be made";
        const std::string line = FocusLogLine(AFailedRun());
        EXPECT_NE(line.find(",2.4567,HFD,14,11,0.9871,-3.25,"), std::string::npos) << line;
        back = ParseFocusLogLine(line);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->figure, 2.4567);
        const std::optional<FocusLogEntry> old = ParseFocusLogLine(
            "2026-12-07 21:04:55,autofocus,curve fit,completed,0,-12,,,2,7447,FWHM,1,60,0,9937,-3,25,");
        ASSERT_TRUE(old);
        EXPECT_EQ(old->figure, 2.7447);
        EXPECT_EQ(old->rSquared, 0.9937);
        EXPECT_EQ(old->temperatureC, -3.25);
        EXPECT_EQ(old->frames, 60);
        EXPECT_EQ(old->reason, "");
    }

    for (const char* foreign : {kFocusLogHeader, "", "a,b,c", "2026,autofocus,x,completed,12,oops,,,,FWHM,1,3,,,",
                                "\"unclosed,autofocus"}) {
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
    EXPECT_FALSE(lost.Append(AFailedRun()));
    EXPECT_FALSE(lost.Append(AFailedRun()));
    const std::optional<std::string> warning = lost.TakeWarning();
    ASSERT_TRUE(warning);
    EXPECT_TRUE(warning->find(dir.File("gone/focus_log.csv")) != std::string::npos &&
                warning->find("No such file") != std::string::npos) << *warning;
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
    for (pid_t& child : children) {
        child = fork();
        if (child == 0) {
            TFocusLog log(path);
            for (int i = 0; i < kEach; ++i) log.Append(AFailedRun());
            _exit(0);
        }
    }
    for (const pid_t child : children) waitpid(child, nullptr, 0);
    EXPECT_EQ(TFocusLog::Read(path).size(), 2u * kEach);
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
    const auto twoPoints = FitFocusDrift({runs[0], runs[1]});
    ASSERT_TRUE(twoPoints);
    EXPECT_DOUBLE_EQ(twoPoints->stepsPerDegree, -12.0);
    EXPECT_DOUBLE_EQ(twoPoints->r2, 1.0);
    EXPECT_EQ(twoPoints->runs, 2);
    const auto all = FitFocusDrift(runs);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->runs, 3) << "the failed run, the scan and the one without a temperature are left out";
    EXPECT_FALSE(FitFocusDrift({runs[0]}));
    EXPECT_FALSE(FitFocusDrift({runs[0], run(10, 300, 300, "completed")})) << "one temperature fits no slope";
}

}  // namespace
}  // namespace kv
