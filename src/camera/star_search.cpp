#include "camera/star_search.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/worker_thread.h"

namespace kv {
namespace {

// The window's thread runs at the normal weight; a search that yields to it
// leaves it the processor whenever it has something to draw, on a machine
// with one or two cores as well. (On Linux a niceness belongs to one thread.)
constexpr int kSearchNiceness = 5;

void YieldToTheWindow() {
    // A refusal leaves the normal weight, which only costs smoothness.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kSearchNiceness);
}

}  // namespace

TStarSearch::TStarSearch() = default;

TStarSearch::~TStarSearch() {
    Cancel();
    Wait();
}

std::uint64_t TStarSearch::Start(FrameCopy frame, const StarFinderSettings& settings, Done done) {
    std::lock_guard lock(mutex_);
    // Threads are let go here rather than on their own, which cannot join
    // themselves; only ended ones, so the caller never waits on a find.
    std::erase_if(retired_, [](const std::unique_ptr<WorkerThread>& w) {
        if (!w->Finished()) return false;
        w->Join();
        return true;
    });
    if (worker_) {
        if (running_.load() != 0 && !worker_->StopRequested()) return 0;
        // A find called off a moment ago stops at its next question; it
        // finishes beside the new one, whose owner ignores its report.
        if (worker_->Finished()) worker_->Join();
        else retired_.push_back(std::move(worker_));
    }
    const std::uint64_t id = ++lastId_;
    running_.store(id);
    worker_ = std::make_unique<WorkerThread>(
        [this, id, frame = std::move(frame), settings, done = std::move(done)](WorkerThread& self) {
            // Not running any more however this ends, or no find could start
            // again; a find started since is running all the same.
            struct Ended {
                std::atomic<std::uint64_t>& running;
                std::uint64_t id;
                ~Ended() { running.compare_exchange_strong(id, 0); }
            } ended{running_, id};
            YieldToTheWindow();
            StarSearchResult result;
            result.id = id;
            std::optional<StarField> field;
            if (!frame.pixels.empty())
                field = FindStars(frame.width, frame.height, frame.pixels.data(), settings,
                                  [&self] { return self.StopRequested(); });
            else if (!self.StopRequested())
                field = StarField{};
            if (field) {
                result.outcome = StarSearchOutcome::Found;
                result.field = std::move(*field);
            }
            if (done) done(std::move(result));
        });
    worker_->Start();
    return id;
}

void TStarSearch::Cancel() {
    std::lock_guard lock(mutex_);
    if (worker_) worker_->RequestStop();
}

void TStarSearch::Wait() {
    std::lock_guard lock(mutex_);
    if (worker_) worker_->Join();
    for (const std::unique_ptr<WorkerThread>& w : retired_) w->Join();
    retired_.clear();
}

}  // namespace kv
