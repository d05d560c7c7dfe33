#include "shell/window_rules.h"

#include <gtest/gtest.h>

using kv::InterruptAction;
using kv::InterruptReportAction;

TEST(WindowRules, InterruptReportsActOnlyWithTheKeyOnTheOldSystemFromTheMakersCameraOffInterface2) {
    EXPECT_EQ(InterruptReportAction(1234, 1, true, true, 0), InterruptAction::InterruptsOff);
    EXPECT_EQ(InterruptReportAction(1234, 0, true, true, 1), InterruptAction::InterruptsOn);
    EXPECT_EQ(InterruptReportAction(1234, 2, true, true, 0), InterruptAction::None);
    EXPECT_EQ(InterruptReportAction(1234, -1, true, true, 0), InterruptAction::None);
    EXPECT_EQ(InterruptReportAction(1233, 1, true, true, 0), InterruptAction::None);
    EXPECT_EQ(InterruptReportAction(1234, 1, false, true, 0), InterruptAction::None);
    EXPECT_EQ(InterruptReportAction(1234, 1, true, false, 0), InterruptAction::None);
    EXPECT_EQ(InterruptReportAction(1234, 1, true, true, 2), InterruptAction::None);
}

TEST(WindowRules, OnlyContinuousFocusHoldsThePageAndOnlyOnManualFocus) {
    const kv::PageGuardState both{.continuousFocus = true, .autoCompensation = true};
    EXPECT_FALSE(kv::LeavingPage(true, false, both).allowed);
    const auto temp = kv::LeavingPage(false, true, both);
    EXPECT_TRUE(temp.allowed);
    EXPECT_STREQ(temp.warning, kv::kCompensationUnderwayWarning);
    const auto other = kv::LeavingPage(false, false, both);
    EXPECT_TRUE(other.allowed);
    EXPECT_EQ(other.warning, nullptr);
    EXPECT_EQ(kv::LeavingPage(true, false, {}).warning, nullptr);
}
