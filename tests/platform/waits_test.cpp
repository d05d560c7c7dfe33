#include "platform/waits.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/worker_thread.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

double RealMs(Steady::time_point since) {
    return std::chrono::duration<double, std::milli>(Steady::now() - since).count();
}

TEST(Waits, AFastClockShortensLongWaitsAndSleeps) {
    ScaledClock clock(1000.0);
    NamedEvent event("waits-test");
    auto start = Steady::now();
    const std::int64_t tick0 = clock.TickMs();
    EXPECT_EQ(WaitForEvent(event, 45000, clock), WaitResult::TimedOut);
    EXPECT_GE(clock.TickMs() - tick0, 45000);
    EXPECT_LT(RealMs(start), 5000.0);  // 45 real seconds would fail the test run, not just this check

    start = Steady::now();
    EXPECT_TRUE(SleepFor(clock, 120000.0));
    EXPECT_LT(RealMs(start), 5000.0);
}

TEST(Waits, StopEndsAWaitEarlyAndAnEventEndsItWithItsOutcome) {
    NamedEvent event("waits-test-2");
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(50ms);
        stop = true;
    });
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock(), [&] { return stop.load(); }), std::nullopt);
    stopper.join();
    EXPECT_FALSE(SleepFor(DefaultClock(), 60000.0, [] { return true; }));

    event.Set();
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock()), WaitResult::Signalled);
    event.Abandon();
    EXPECT_EQ(WaitForEvent(event, 60000, DefaultClock()), WaitResult::Abandoned);

    constexpr WaitMessages texts{"t", "a", "f"};
    EXPECT_EQ(WaitFailureText(texts, WaitResult::Signalled), nullptr);
    EXPECT_STREQ(WaitFailureText(texts, WaitResult::Abandoned), "a");
}

TEST(ThreadSet, JoinsEveryThreadAndAbandonsOnlyTheOneThatNeverReturns) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto polite = std::make_shared<std::atomic<int>>(0);
    ThreadSet set;
    for (int i = 0; i < 3; ++i) {
        set.Start([polite](WorkerThread& self) {
            while (!self.StopRequested()) std::this_thread::sleep_for(1ms);
            polite->fetch_add(1);
        });
    }
    // A call that ignores every stop request, like a driver stuck in a read.
    set.Start([release](WorkerThread&) {
        while (!release->load()) std::this_thread::sleep_for(1ms);
    });
    EXPECT_EQ(set.Running(), 4u);
    const auto start = Steady::now();
    EXPECT_FALSE(set.StopAndJoinAllFor(200));
    EXPECT_LT(RealMs(start), 5000.0);
    EXPECT_EQ(polite->load(), 3);
    EXPECT_EQ(set.Running(), 0u);
    release->store(true);  // the abandoned thread may still end on its own
}

}  // namespace
}  // namespace kv
