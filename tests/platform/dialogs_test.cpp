#include "platform/dialogs.h"

#include <gtest/gtest.h>
#include <time.h>

#include "platform/clock.h"

namespace kv {
namespace {

TEST(DeferredMessageQueue, KeepsEveryMessageInOrderAndCountsRepeats) {
    DeferredMessageQueue queue;
    int armed = 0;
    queue.SetArmTimer([&] { ++armed; });
    queue.Post({"Time out during scanning", DialogType::Error, DialogButtons::Ok});
    queue.Post({"Abandoned event during scanning", DialogType::Warning, DialogButtons::Ok});
    queue.Post({"Time out during scanning", DialogType::Error, DialogButtons::Ok});
    queue.Post({"Time out during scanning", DialogType::Error, DialogButtons::Ok});
    EXPECT_EQ(armed, 4);
    EXPECT_EQ(queue.Waiting(), 2u);

    EXPECT_EQ(queue.Take().value().text, "Time out during scanning\r\n\r\n(2 more times)");
    const DeferredMessage second = queue.Take().value();
    EXPECT_EQ(std::pair(second.text, second.type), std::pair(std::string("Abandoned event during scanning"), DialogType::Warning));
    EXPECT_FALSE(queue.Take().has_value());
}

TEST(DeferredMessageQueue, AFloodIsCutButTheLastBoxSaysHowMuchWasLeftOut) {
    DeferredMessageQueue queue;
    for (std::size_t i = 0; i < kMaxDeferredMessages + 3; ++i) {
        queue.Post({"failure " + std::to_string(i), DialogType::Error, DialogButtons::Ok});
    }
    std::optional<DeferredMessage> last;
    for (std::size_t i = 0; i < kMaxDeferredMessages; ++i) last = queue.Take();
    EXPECT_EQ(last.value().text, "failure " + std::to_string(kMaxDeferredMessages - 1) +
                              "\r\n\r\n(3 further messages are in the program log)");
    EXPECT_FALSE(queue.Take().has_value());
}

TEST(DeferredMessageQueue, ArmFunctionMayTakeTheMessageAtOnce) {
    DeferredMessageQueue queue;
    std::optional<DeferredMessage> seen;
    queue.SetArmTimer([&] { seen = queue.Take(); });  // would deadlock if called under the lock
    queue.Post({"An error occurred during scanning", DialogType::Error, DialogButtons::Ok});
    EXPECT_EQ(seen.value().text, "An error occurred during scanning");
}

TEST(Clock, FormatDateTimeUsesShortDateAndLongTime) {
    // The tests run in the C locale: "%x %X" is "mm/dd/yy hh:mm:ss".
    std::tm when{};
    ASSERT_NE(::strptime("2024-03-07 21:05:09", "%Y-%m-%d %H:%M:%S", &when), nullptr);
    when.tm_isdst = -1;
    const auto t = std::chrono::system_clock::from_time_t(std::mktime(&when));
    EXPECT_EQ(FormatDateTime(t), "03/07/24 21:05:09");
}

}  // namespace
}  // namespace kv
