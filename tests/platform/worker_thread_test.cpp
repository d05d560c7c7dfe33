#include "platform/worker_thread.h"

#include <pthread.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace kv {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
    return pred();
}

TEST(WorkerThread, DestructorStopsAndJoinsARunningProcedure) {
    auto steps = std::make_shared<std::atomic<int>>(0);
    auto ended = std::make_shared<std::atomic<bool>>(false);
    {
        WorkerThread worker([steps, ended](WorkerThread& self) {
            while (!self.StopRequested()) {
                steps->fetch_add(1);
                std::this_thread::sleep_for(1ms);
            }
            ended->store(true);
        });
        worker.Start();
        ASSERT_TRUE(WaitFor([&] { return steps->load() > 0; }));
    }
    // The procedure must have ended before the destructor returned.
    EXPECT_TRUE(ended->load());
}

TEST(WorkerThread, DestructorReleasesAHeldProcedure) {
    std::atomic<bool> atCheckpoint{false};
    std::atomic<bool> checkpointResult{true};
    {
        WorkerThread worker([&](WorkerThread& self) {
            atCheckpoint.store(true);
            checkpointResult.store(self.Checkpoint());
        });
        worker.Hold();
        worker.Start();
        ASSERT_TRUE(WaitFor([&] { return atCheckpoint.load(); }));
    }
    EXPECT_FALSE(checkpointResult.load()) << "a stopped worker's Checkpoint must say so";
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
    ASSERT_TRUE(WaitFor([&] { return step.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(step.load(), 1) << "a held worker went past its checkpoint";
    EXPECT_FALSE(worker.Finished());

    worker.Release();
    worker.Join();
    EXPECT_EQ(step.load(), 3);
    EXPECT_TRUE(worker.Finished());
}

TEST(WorkerThread, StartTwiceRunsTheProcedureOnce) {
    std::atomic<int> runs{0};
    WorkerThread worker([&](WorkerThread&) { runs.fetch_add(1); });
    worker.Start();
    worker.Start();
    worker.Join();
    worker.Start();  // after the end as well
    worker.Join();
    EXPECT_EQ(runs.load(), 1);
}

TEST(WorkerThread, AThrowingProcedureEndsTheWorkerNotTheProcess) {
    WorkerThread worker([](WorkerThread&) { throw std::runtime_error("boom"); });
    worker.Start();
    worker.Join();
    EXPECT_TRUE(worker.Finished());
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
        if (granted == ThreadPriority::Normal) {
            EXPECT_EQ(policy.load(), SCHED_OTHER);
        } else {
            EXPECT_EQ(granted, wanted);
            EXPECT_EQ(policy.load(), wanted == ThreadPriority::TimeCritical ? SCHED_FIFO : SCHED_RR);
        }
    }
}

}  // namespace
}  // namespace kv
