#include "platform/worker_thread.h"

#include <pthread.h>
#include <sched.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/eventually.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

using test::Eventually;

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
