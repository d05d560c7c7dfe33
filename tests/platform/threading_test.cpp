// The threading plumbing: named events, the stop-aware waits, worker threads.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/named_event.h"
#include "platform/waits.h"
#include "platform/worker_thread.h"
#include "support/eventually.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using test::Eventually;

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

TEST(NamedEvent, SameNameGivesTheSameEvent) {
    auto here = OpenNamedEvent("named-event-test-shared");
    ASSERT_NE(here, nullptr);
    EXPECT_NE(OpenNamedEvent("named-event-test-other"), here);
    EXPECT_EQ(OpenNamedEvent("named-event-test-shared"), here);

    // A signal survives while nobody holds the event.
    OpenNamedEvent("named-event-test-unheld")->Set();
    EXPECT_EQ(OpenNamedEvent("named-event-test-unheld")->Wait(0ms), WaitResult::Signalled);
}

double RealMs(Steady::time_point since) {
    return std::chrono::duration<double, std::milli>(Steady::now() - since).count();
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

TEST(WorkerThread, DestructorStopsAndJoinsARunningProcedureAndReleasesAHeldOne) {
    for (const bool held : {false, true}) {
        SCOPED_TRACE(held ? "held" : "running");
        std::atomic<bool> started{false};
        std::atomic<bool> ended{false};
        {
            WorkerThread worker([&](WorkerThread& self) {
                started.store(true);
                while (self.Checkpoint()) std::this_thread::sleep_for(1ms);
                ended.store(self.StopRequested());
            });
            if (held) worker.Hold();
            worker.Start();
            ASSERT_TRUE(Eventually([&] { return started.load(); }));
        }
        // The procedure, told by Checkpoint, must have ended before the destructor returned.
        EXPECT_TRUE(ended.load());
    }
}

TEST(WorkerThread, HoldBlocksAtCheckpointAndReleaseContinues) {
    std::atomic<int> step{0};
    WorkerThread worker([&](WorkerThread& self) {
        for (int i = 0; i < 3; ++i) {
            step.store(i + 1);
            if (!self.Checkpoint()) return;
        }
    });
    worker.Hold();
    worker.Start();
    ASSERT_TRUE(Eventually([&] { return step.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(step.load(), 1) << "a held worker went past its checkpoint";
    EXPECT_FALSE(worker.Finished());

    worker.Release();
    worker.Join();
    EXPECT_EQ(step.load(), 3);
    EXPECT_TRUE(worker.Finished());
}

TEST(WorkerThread, StartsOnceAndAThrowingProcedureEndsTheWorkerNotTheProcess) {
    std::atomic<int> runs{0};
    WorkerThread worker([&](WorkerThread&) {
        runs.fetch_add(1);
        throw std::runtime_error("boom");
    });
    worker.Start();
    worker.Start();
    worker.Join();
    EXPECT_TRUE(worker.Finished());
    worker.Start();  // after the end as well
    worker.Join();
    EXPECT_EQ(runs.load(), 1);
}

// Real-time scheduling may or may not be permitted here. Either way the
// procedure runs, and the priority reported is the one the thread really has.
TEST(WorkerThread, PriorityIsGrantedOrFallsBackQuietly) {
    for (ThreadPriority wanted : {ThreadPriority::Highest, ThreadPriority::TimeCritical}) {
        std::atomic<int> policy{-1};
        WorkerThread worker(
            [&](WorkerThread&) {
                int p = 0;
                sched_param param{};
                pthread_getschedparam(pthread_self(), &p, &param);
                policy.store(p);
            },
            wanted);
        worker.Start();
        worker.Join();
        ASSERT_TRUE(worker.Finished());
        const ThreadPriority granted = worker.GrantedPriority();
        EXPECT_TRUE(granted == ThreadPriority::Normal || granted == wanted);
        EXPECT_EQ(policy.load(), granted == ThreadPriority::Normal        ? SCHED_OTHER
                                 : granted == ThreadPriority::TimeCritical ? SCHED_FIFO
                                                                           : SCHED_RR);
    }
}

}  // namespace
}  // namespace kv
