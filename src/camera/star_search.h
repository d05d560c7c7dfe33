// A star find on a thread of its own, so that the window (or a script's
// answer) never waits on a crowded field, and one that can be called off.
//
// The search works on its own copy of the frame: the camera may bring the
// next frame into the image object, or free it on a re-initialisation, while
// the find still runs. It reports on its own thread; the desktop hands the
// result to the window's thread. One find runs at a time: the owner decides
// what a second request means (this class only refuses it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/star_finder.h"

namespace kv {

class WorkerThread;

enum class StarSearchOutcome {
    Found,      // `field` holds every star the finder kept
    Cancelled,  // called off before the end: `field` is empty and means nothing
};

struct StarSearchResult {
    std::uint64_t id = 0;  // as Start returned it
    StarSearchOutcome outcome = StarSearchOutcome::Cancelled;
    StarField field;
};

class TStarSearch {
public:
    // Called once per started find, on the search's thread, after the find
    // has ended either way; Running() is still true while it runs.
    using Done = std::function<void(StarSearchResult)>;

    TStarSearch();
    // Calls the running find off and waits for its thread: nothing it
    // touches may go first.
    ~TStarSearch();
    TStarSearch(const TStarSearch&) = delete;
    TStarSearch& operator=(const TStarSearch&) = delete;

    // Starts a find on `frame`; its id (counting from 1), or 0 with nothing
    // started while another find runs that was not called off. Never waits.
    std::uint64_t Start(FrameCopy frame, const StarFinderSettings& settings, Done done);
    // Asks the running find to end; it reports Cancelled unless it had
    // already finished its stars. Does not wait.
    void Cancel();
    // The last find started has not yet returned from its Done.
    bool Running() const { return running_.load() != 0; }
    // Waits until no find runs, the ones called off included.
    void Wait();

private:
    std::mutex mutex_;  // Start against Start, Wait and the destructor
    std::unique_ptr<WorkerThread> worker_;
    std::vector<std::unique_ptr<WorkerThread>> retired_;  // finds called off, still winding down
    std::atomic<std::uint64_t> running_{0};  // the id of the running find; 0: none
    std::uint64_t lastId_ = 0;
};

}  // namespace kv
