#include "platform/lum_delay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "platform/named_event.h"

namespace kv {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

// A timer on an event of its own; renaming creates the event unsignalled.
struct Timer {
    explicit Timer(const char* stem) {
        static std::atomic<int> n{0};
        const std::string name = std::string("LUMDELAY_TEST_") + stem + "_" + std::to_string(n++);
        delay.SetEventName(name);
        event = OpenNamedEvent(name);
        delay.SetCallBackAddress([this](double s) { elapsed.store(s); });
    }
    TlumDelay delay;
    std::shared_ptr<NamedEvent> event;
    std::atomic<double> elapsed{-1.0};
};

TEST(LumDelay, ShortDelayEndsBeforeTheSetterReturns) {
    OpenNamedEvent(kLumDelayDefaultEvent)->Reset();
    Timer t("short");
    // A fresh component signalled its default event once.
    EXPECT_EQ(OpenNamedEvent(kLumDelayDefaultEvent)->Wait(milliseconds(0)), WaitResult::Signalled);
    EXPECT_EQ(t.event->Wait(milliseconds(0)), WaitResult::TimedOut);
    for (const double d : {0.0005, 0.0, -3.0}) {
        t.delay.SetDelay(d);
        t.delay.SetEnabled(true);
        EXPECT_FALSE(t.delay.Enabled());
        EXPECT_EQ(t.event->Wait(milliseconds(0)), WaitResult::Signalled);
        EXPECT_GE(t.elapsed.load(), std::max(d, 0.0));
    }
}

TEST(LumDelay, LongDelayRunsOnThePollThreadAndNeverEndsEarly) {
    Timer t("long");
    t.delay.SetDelay(0.4);
    const auto start = Steady::now();
    t.delay.SetEnabled(true);
    EXPECT_TRUE(t.delay.Enabled());
    // A second start while running is ignored: the running delay ends as it was.
    t.delay.SetDelay(30.0);
    t.delay.SetEnabled(true);
    t.delay.SetEnabled(false);
    EXPECT_TRUE(t.delay.Enabled());

    // Neither may change under a running delay, and the delay goes on.
    const auto refusal = [](const std::function<void()>& change) {
        try {
            change();
        } catch (const LumDelayError& e) {
            return std::string(e.what());
        }
        return std::string("allowed");
    };
    EXPECT_EQ(refusal([&] { t.delay.SetPriority(ThreadPriority::TimeCritical); }), "lumDelay priority changed denied");
    EXPECT_EQ(refusal([&] { t.delay.SetEventName("ELSEWHERE"); }), "lumDelay event name changed denied");
    EXPECT_EQ(t.delay.Priority(), ThreadPriority::Normal);

    ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled);
    EXPECT_GE(Steady::now() - start, milliseconds(400));
    EXPECT_GE(t.elapsed.load(), 0.4);
    EXPECT_FALSE(t.delay.Enabled());
    t.delay.SetPriority(ThreadPriority::Highest);
    EXPECT_EQ(t.delay.Priority(), ThreadPriority::Highest);

    // A waiter can start the next delay as soon as it is woken.
    t.delay.SetDelay(0.003);
    for (int i = 0; i < 40; ++i) {
        t.delay.SetEnabled(true);
        ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled) << "delay " << i;
    }
}

TEST(LumDelay, CancelledOrDestroyedDelayEndsWithoutSignalOrCallback) {
    std::atomic<int> calls{0};
    {
        Timer t("cancel");
        t.delay.SetCallBackAddress([&](double) { ++calls; });
        t.delay.SetDelay(0.05);
        t.delay.SetEnabled(true);
        t.delay.Cancel();
        EXPECT_FALSE(t.delay.Enabled());
        EXPECT_EQ(t.event->Wait(milliseconds(150)), WaitResult::TimedOut);

        // The next start is not ignored, and ends on its own time.
        t.delay.SetDelay(0.2);
        const auto start = Steady::now();
        t.delay.SetEnabled(true);
        ASSERT_EQ(t.event->Wait(milliseconds(20000)), WaitResult::Signalled);
        EXPECT_GE(Steady::now() - start, milliseconds(200));
        EXPECT_EQ(calls.load(), 1);

        t.delay.SetDelay(600.0);
        t.delay.SetEnabled(true);
    }
    EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace kv
