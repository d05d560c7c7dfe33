#include "service/position_keeper.h"

#include "focuser/focus_control.h"
#include "focuser/position_focus_control.h"

namespace kv {

std::string PositionKeeper::BeginCounted(const std::string& statePath, const std::string& device,
                                         const std::string& model) {
    counted_ = true;
    sense_ = -1;
    offset_ = 0;
    device_ = device;
    model_ = model;
    store_ = PositionStore(statePath);
    std::string error;
    // The hub counts from wherever it was switched on: without a clean
    // record of where that is, 0 is no position, and the user is told why.
    std::string why;
    if (auto loaded = store_.Load(&error)) {
        offset_ = loaded->position;
        if (!loaded->clean) {
            why = "The focuser state file " + store_.Path() + " records a move that never ended (the program "
                  "stopped or the port went away during it), so the position " + std::to_string(offset_) +
                  " is uncertain; sync it.";
        } else if (loaded->device != device || loaded->model != model) {
            why = "The focuser state file " + store_.Path() + " was counted on " + loaded->device + " (" +
                  loaded->model + "), not on " + device + " (" + model + "), so the position " +
                  std::to_string(offset_) + " is uncertain; sync it.";
        }
    } else if (!error.empty()) {
        why = error + " The position now counts from 0; sync it.";
    } else if (store_.Path().empty()) {
        why = "No state file keeps this focuser's position, so it is not known and counts from 0; sync it.";
    } else {
        why = "There is no focuser state file " + store_.Path() +
              " yet, so the position is not known and counts from 0; sync it.";
    }
    uncertain_ = !why.empty();
    return why;
}

void PositionKeeper::BeginOwn(int sense) {
    counted_ = false;
    sense_ = sense;
    offset_ = 0;
    uncertain_ = false;
    store_ = PositionStore();
}

std::int32_t PositionKeeper::Position(const TFocusControl* focuser) const {
    if (!focuser) return offset_;
    if (!counted_) {
        if (auto* p = dynamic_cast<const TPositionFocusControl*>(focuser)) return p->CurrentCount();
    }
    return static_cast<std::int32_t>(offset_ + static_cast<std::int64_t>(sense_) * focuser->CTSCount());
}

std::int32_t PositionKeeper::CountFor(const TFocusControl& focuser, std::int32_t position) const {
    const std::int64_t delta = static_cast<std::int64_t>(position) - Position(&focuser);
    return static_cast<std::int32_t>(focuser.CTSCount() + sense_ * delta);
}

void PositionKeeper::SyncTo(const TFocusControl& focuser, std::int32_t position) {
    offset_ = static_cast<std::int32_t>(position - static_cast<std::int64_t>(sense_) * focuser.CTSCount());
    uncertain_ = false;
}

void PositionKeeper::StartWriting(std::function<void()> written) {
    StopWriting();
    written_ = std::move(written);
    stopping_ = false;
    if (!counted_ || store_.Path().empty()) return;
    writer_ = std::thread([this] { WriteLoop(); });
}

void PositionKeeper::StopWriting() {
    if (!writer_.joinable()) return;
    {
        std::lock_guard lock(writeMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

std::uint64_t PositionKeeper::Record(const TFocusControl* focuser, bool clean) {
    if (!counted_ || store_.Path().empty()) return 0;
    std::uint64_t number = 0;
    {
        std::lock_guard lock(writeMutex_);
        next_ = PositionState{Position(focuser), clean, device_, model_};
        number = ++postedCount_;
    }
    wake_.notify_all();
    return number;
}

bool PositionKeeper::Written(std::uint64_t number) const {
    std::lock_guard lock(writeMutex_);
    return writtenCount_ >= number;
}

std::vector<std::string> PositionKeeper::TakeFailures() {
    std::lock_guard lock(writeMutex_);
    return std::exchange(failures_, {});
}

void PositionKeeper::WriteLoop() {
    std::unique_lock lock(writeMutex_);
    for (;;) {
        wake_.wait(lock, [this] { return next_.has_value() || stopping_.load(); });
        // Stopping writes what was posted first: the last record is the one a
        // restart must find.
        if (!next_) return;
        const PositionState state = std::move(*next_);
        next_.reset();
        const std::uint64_t number = postedCount_;
        lock.unlock();
        const StoreResult saved = store_.Save(state);
        lock.lock();
        writtenCount_ = number;
        if (!saved.ok) failures_.push_back(saved.error);
        lock.unlock();
        if (written_) written_();
        lock.lock();
    }
}

}  // namespace kv
