#include "focusing/focus_log.h"

#include <gtest/gtest.h>

#include <string>

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
}

}  // namespace
}  // namespace kv
