#include "platform/dialogs.h"

namespace kv {

void DeferredMessageSlot::SetArmTimer(std::function<void()> arm) {
    std::lock_guard lock(mutex_);
    arm_ = std::move(arm);
}

void DeferredMessageSlot::Post(DeferredMessage message) {
    std::function<void()> arm;
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(message);
        arm = arm_;
    }
    // Outside the lock: the arm function may take the message at once.
    if (arm) {
        arm();
    }
}

std::optional<DeferredMessage> DeferredMessageSlot::Take() {
    std::lock_guard lock(mutex_);
    std::optional<DeferredMessage> taken = std::move(pending_);
    pending_.reset();
    return taken;
}

}  // namespace kv
