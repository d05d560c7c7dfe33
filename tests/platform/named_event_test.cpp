#include "platform/named_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

namespace kv {
namespace {

using namespace std::chrono_literals;

// Generous: only ever reached when the code under test is wrong.
constexpr auto kLong = 10s;

TEST(NamedEvent, SetReleasesOneWaiterAbandonWakesAllAndStaysUntilReset) {
    NamedEvent event("one-set");
    for (const bool abandon : {false, true}) {
        SCOPED_TRACE(abandon ? "abandon" : "set");
        std::atomic<int> signalled{0}, abandoned{0}, timedOut{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.emplace_back([&] {
                const WaitResult r = event.Wait(abandon ? kLong : 1500ms);
                (r == WaitResult::Signalled ? signalled : r == WaitResult::Abandoned ? abandoned : timedOut)++;
            });
        }
        std::this_thread::sleep_for(100ms);  // let them block
        abandon ? event.Abandon() : event.Set();
        for (auto& t : waiters) t.join();
        EXPECT_EQ(std::tuple(signalled.load(), abandoned.load(), timedOut.load()),
                  abandon ? std::tuple(0, 3, 0) : std::tuple(1, 0, 2));
    }
    EXPECT_EQ(event.Wait(0ms), WaitResult::Abandoned);
    event.Reset();
    EXPECT_EQ(event.Wait(0ms), WaitResult::TimedOut);
    event.Set();
    EXPECT_EQ(event.Wait(0ms), WaitResult::Signalled);
}

TEST(NamedEvent, SetBeforeWaitIsOneSignalAndTimeoutsAreBounded) {
    NamedEvent event("set-first");
    event.Set();
    event.Set();  // still one signal, not two
    EXPECT_EQ(event.Wait(-1ms), WaitResult::Failed);
    EXPECT_EQ(event.Wait(0ms), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(20ms), WaitResult::TimedOut);

    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.Set();
    });
    // Must not overflow into an instant time-out.
    EXPECT_EQ(event.Wait(std::chrono::milliseconds::max()), WaitResult::Signalled);
    setter.join();
}

TEST(NamedEvent, SameNameGivesTheSameEventAcrossThreads) {
    auto here = OpenNamedEvent("named-event-test-shared");
    ASSERT_NE(here, nullptr);
    EXPECT_EQ(here->Name(), "named-event-test-shared");
    EXPECT_NE(OpenNamedEvent("named-event-test-other"), here);

    std::shared_ptr<NamedEvent> there;
    std::thread opener([&] {
        there = OpenNamedEvent("named-event-test-shared");
        there->Set();
    });
    opener.join();
    EXPECT_EQ(there, here);
    EXPECT_EQ(here->Wait(kLong), WaitResult::Signalled);

    // A signal survives while nobody holds the event.
    OpenNamedEvent("named-event-test-unheld")->Set();
    EXPECT_EQ(OpenNamedEvent("named-event-test-unheld")->Wait(0ms), WaitResult::Signalled);
}

}  // namespace
}  // namespace kv
