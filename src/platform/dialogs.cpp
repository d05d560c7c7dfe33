#include "platform/dialogs.h"

namespace kv {

void DeferredMessageQueue::SetArmTimer(std::function<void()> arm) {
    std::lock_guard lock(mutex_);
    arm_ = std::move(arm);
}

void DeferredMessageQueue::Post(DeferredMessage message) {
    std::function<void()> arm;
    {
        std::lock_guard lock(mutex_);
        bool merged = false;
        for (auto& e : pending_) {
            if (e.message.text == message.text && e.message.type == message.type &&
                e.message.buttons == message.buttons) {
                ++e.repeats;
                merged = true;
                break;
            }
        }
        if (!merged) {
            if (pending_.size() < kMaxDeferredMessages) {
                pending_.push_back(Entry{std::move(message), 0});
            } else {
                ++overflow_;
            }
        }
        arm = arm_;
    }
    // Outside the lock: the arm function may take the message at once.
    if (arm) arm();
}

std::optional<DeferredMessage> DeferredMessageQueue::Take() {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return std::nullopt;
    Entry e = std::move(pending_.front());
    pending_.pop_front();
    DeferredMessage m = std::move(e.message);
    if (e.repeats > 0) {
        m.text += "\r\n\r\n(" + std::to_string(e.repeats) + (e.repeats == 1 ? " more time)" : " more times)");
    }
    if (pending_.empty() && overflow_ > 0) {
        m.text += "\r\n\r\n(" + std::to_string(overflow_) + " further messages are in the program log)";
        overflow_ = 0;
    }
    return m;
}

std::size_t DeferredMessageQueue::Waiting() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

}  // namespace kv
