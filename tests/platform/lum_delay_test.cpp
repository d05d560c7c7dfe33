#include "platform/lum_delay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "platform/named_event.h"

namespace kv {
namespace {

using std::chrono::milliseconds;

std::string UniqueName(const char* stem) {
    static std::atomic<int> n{0};
    return std::string("LUMDELAY_TEST_") + stem + "_" + std::to_string(n++);
}

TEST(LumDelay, ShortDelayEndsBeforeTheSetterReturns) {
    OpenNamedEvent(kLumDelayDefaultEvent)->Reset();
    TlumDelay delay;
    // A fresh component has its default event signalled.
    EXPECT_EQ(OpenNamedEvent(kLumDelayDefaultEvent)->Wait(milliseconds(0)), WaitResult::Signalled);
    const std::string name = UniqueName("short");
    delay.SetEventName(name);
    auto event = OpenNamedEvent(name);
    EXPECT_EQ(event->Wait(milliseconds(0)), WaitResult::TimedOut);  // renamed: created unsignalled

    double elapsed = -1.0;
    delay.SetCallBackAddress([&](double s) { elapsed = s; });
    for (const double d : {0.0005, 0.0, -3.0}) {
        delay.SetDelay(d);
        delay.SetEnabled(true);
        EXPECT_FALSE(delay.Enabled());
        EXPECT_EQ(event->Wait(milliseconds(0)), WaitResult::Signalled);
        EXPECT_GE(elapsed, std::max(d, 0.0));
    }
}

TEST(LumDelay, LongDelayRunsOnThePollThreadAndNeverEndsEarly) {
    TlumDelay delay;
    const std::string name = UniqueName("long");
    delay.SetEventName(name);
    auto event = OpenNamedEvent(name);
    std::atomic<double> elapsed{-1.0};
    delay.SetCallBackAddress([&](double s) { elapsed.store(s); });
    delay.SetDelay(0.4);

    const auto start = std::chrono::steady_clock::now();
    delay.SetEnabled(true);
    EXPECT_TRUE(delay.Enabled());
    // A second start while running is ignored: the running delay ends as it was.
    delay.SetDelay(30.0);
    delay.SetEnabled(true);
    delay.SetEnabled(false);
    EXPECT_TRUE(delay.Enabled());

    // Neither may change under a running delay, and the delay goes on.
    try {
        delay.SetPriority(ThreadPriority::TimeCritical);
        ADD_FAILURE() << "priority changed during a delay";
    } catch (const LumDelayError& e) {
        EXPECT_STREQ(e.what(), "lumDelay priority changed denied");
    }
    try {
        delay.SetEventName("ELSEWHERE");
        ADD_FAILURE() << "event renamed during a delay";
    } catch (const LumDelayError& e) {
        EXPECT_STREQ(e.what(), "lumDelay event name changed denied");
    }
    EXPECT_EQ(delay.Priority(), ThreadPriority::Normal);
    EXPECT_EQ(delay.EventName(), name);

    ASSERT_EQ(event->Wait(milliseconds(20000)), WaitResult::Signalled);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.4);
    EXPECT_GE(elapsed.load(), 0.4);
    EXPECT_FALSE(delay.Enabled());

    // Idle again: both may change now.
    delay.SetPriority(ThreadPriority::Highest);
    EXPECT_EQ(delay.Priority(), ThreadPriority::Highest);
}

TEST(LumDelay, WaiterCanStartTheNextDelayAsSoonAsItIsWoken) {
    TlumDelay delay;
    const std::string name = UniqueName("chain");
    delay.SetEventName(name);
    auto event = OpenNamedEvent(name);
    delay.SetDelay(0.003);
    for (int i = 0; i < 40; ++i) {
        delay.SetEnabled(true);
        ASSERT_EQ(event->Wait(milliseconds(20000)), WaitResult::Signalled) << "delay " << i;
    }
}

TEST(LumDelay, CancelledOrDestroyedDelayEndsWithoutSignalOrCallback) {
    std::atomic<int> calls{0};
    {
        TlumDelay delay;
        const std::string name = UniqueName("cancel");
        delay.SetEventName(name);
        auto event = OpenNamedEvent(name);
        delay.SetCallBackAddress([&](double) { ++calls; });
        delay.SetDelay(0.05);
        delay.SetEnabled(true);
        delay.Cancel();
        EXPECT_FALSE(delay.Enabled());
        EXPECT_EQ(event->Wait(milliseconds(150)), WaitResult::TimedOut);

        // The next start is not ignored, and ends on its own time.
        delay.SetDelay(0.2);
        const auto start = std::chrono::steady_clock::now();
        delay.SetEnabled(true);
        ASSERT_EQ(event->Wait(milliseconds(20000)), WaitResult::Signalled);
        EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(200));
        EXPECT_EQ(calls.load(), 1);

        delay.SetDelay(600.0);
        delay.SetEnabled(true);
    }
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace kv
