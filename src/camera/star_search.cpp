#include "camera/star_search.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>

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
    if (running_.load()) return 0;
    // The last find's thread has ended its work; it is let go here rather
    // than on its own thread, which cannot join itself.
    if (worker_) worker_->Join();
    const std::uint64_t id = ++lastId_;
    running_.store(true);
    worker_ = std::make_unique<WorkerThread>(
        [this, id, frame = std::move(frame), settings, done = std::move(done)](WorkerThread& self) {
            // Not running any more however this ends, or no find could start again.
            struct Ended {
                std::atomic<bool>& running;
                ~Ended() { running.store(false); }
            } ended{running_};
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
}

}  // namespace kv
