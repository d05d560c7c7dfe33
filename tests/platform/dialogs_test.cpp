#include "platform/dialogs.h"

#include <gtest/gtest.h>

#include "platform/clock.h"

namespace kv {
namespace {

TEST(DeferredMessageSlot, LaterPostReplacesEarlierAndTakeEmptiesTheSlot) {
    DeferredMessageSlot slot;
    int armed = 0;
    slot.SetArmTimer([&] { ++armed; });

    slot.Post({"Time out during scanning", DialogType::Error, DialogButtons::Ok});
    slot.Post({"Abandoned event during scanning", DialogType::Warning, DialogButtons::YesNo});
    EXPECT_EQ(armed, 2);

    auto taken = slot.Take();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->text, "Abandoned event during scanning");
    EXPECT_EQ(taken->type, DialogType::Warning);
    EXPECT_EQ(taken->buttons, DialogButtons::YesNo);
    EXPECT_FALSE(slot.Take().has_value());
}

TEST(DeferredMessageSlot, ArmFunctionMayTakeTheMessageAtOnce) {
    DeferredMessageSlot slot;
    std::optional<DeferredMessage> seen;
    slot.SetArmTimer([&] { seen = slot.Take(); });  // would deadlock if called under the lock
    slot.Post({"An error occurred during scanning", DialogType::Error, DialogButtons::Ok});
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->text, "An error occurred during scanning");
}

TEST(Clock, FormatDateTimeUsesShortDateAndLongTime) {
    // The tests run in the C locale: "%x %X" is "mm/dd/yy hh:mm:ss".
    std::tm when{};
    when.tm_year = 2024 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 7;
    when.tm_hour = 21;
    when.tm_min = 5;
    when.tm_sec = 9;
    when.tm_isdst = -1;
    const auto t = std::chrono::system_clock::from_time_t(std::mktime(&when));
    EXPECT_EQ(FormatDateTime(t), "03/07/24 21:05:09");
}

}  // namespace
}  // namespace kv
