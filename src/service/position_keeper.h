// Position keeping for the focuser service: the absolute position over the
// engine's count, whether it can be trusted, and the state file that carries
// both across restarts.
//
// The hub counts pulses from wherever it was switched on, so position =
// offset + sense * CTSCount (its count rises inward, a position outward).
// Focusers that keep their own position report it, and sense only turns a
// change of position into a change of count.
//
// The state file is written by the keeper's own writer thread, never by the
// caller: a request never waits on the disk. Records reach the disk in the
// order they were posted; one posted while an older one still waits takes its
// place (only the newest matters), so the disk never goes back to an older
// record. A caller that must not go on before its record is on disk (a motor
// may only start once the file says the position is uncertain) asks Written()
// and is told, by the written callback, when to ask again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/position_store.h"

namespace kv {

class TFocusControl;

// No lock of its own for the position, which the service's mutex guards; the
// writer's lock guards the records, taken inside Record, Written and
// TakeFailures and never held while the disk is written or `written` called.
class PositionKeeper {
public:
    PositionKeeper() = default;
    ~PositionKeeper() { StopWriting(); }
    PositionKeeper(const PositionKeeper&) = delete;
    PositionKeeper& operator=(const PositionKeeper&) = delete;

    // A focuser that counts pulses: where its position starts, from the state
    // file at `statePath` counted on `device` and `model`. Why the position is
    // not known (the user is told, and asked to sync); empty when it is.
    std::string BeginCounted(const std::string& statePath, const std::string& device, const std::string& model);
    // A focuser that keeps its own position: nothing is stored.
    void BeginOwn(int sense);

    std::int32_t Position(const TFocusControl* focuser) const;
    // The count the engine must reach for `position`.
    std::int32_t CountFor(const TFocusControl& focuser, std::int32_t position) const;
    // The count becomes `position`; certain from now on.
    void SyncTo(const TFocusControl& focuser, std::int32_t position);
    int Sense() const { return sense_; }
    bool Uncertain() const { return uncertain_; }
    void MakeUncertain() { uncertain_ = true; }

    // ---- the state file ----
    // Starts the writer (after Begin*); `written` is called from it, with no
    // lock held, after each record has reached the disk (or failed to).
    void StartWriting(std::function<void()> written);
    // Writes what was posted, then ends the writer. Never under the service's mutex.
    void StopWriting();
    // Posts where the focuser stands; 0 when nothing is kept (no file, or a
    // focuser that keeps its own position), else the record's number.
    std::uint64_t Record(const TFocusControl* focuser, bool clean);
    // Whether record `number` (and every one before it) is on disk, or failed.
    bool Written(std::uint64_t number) const;
    // The writes that failed since last asked, each as its error.
    std::vector<std::string> TakeFailures();

private:
    void WriteLoop();

    std::int32_t offset_ = 0;
    int sense_ = -1;
    bool uncertain_ = false;
    bool counted_ = false;
    std::string device_;
    std::string model_;

    PositionStore store_;                    // set before the writer starts, read only by it then
    std::function<void()> written_;
    mutable std::mutex writeMutex_;          // guards the four below
    std::condition_variable wake_;
    std::optional<PositionState> next_;      // the newest record not yet taken by the writer
    std::uint64_t postedCount_ = 0;          // records posted
    std::uint64_t writtenCount_ = 0;         // records on disk (or failed)
    std::vector<std::string> failures_;
    std::atomic<bool> stopping_{false};
    std::thread writer_;
};

}  // namespace kv
