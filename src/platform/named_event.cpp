#include "platform/named_event.h"

#include <atomic>
#include <map>

namespace kv {

namespace {

// Set once the registry below has been destroyed at process exit. A plain
// atomic is constant-initialised and never destroyed, so it can still be read
// by a thread that waits while static objects are being torn down.
std::atomic<bool> gRegistryGone{false};

struct Registry {
    std::mutex mutex;
    // Strong references: an event lives for the whole run once opened, so a Set
    // made while nobody holds the event is not lost, and the same name keeps
    // naming the same event.
    std::map<std::string, std::shared_ptr<NamedEvent>> events;

    ~Registry() { gRegistryGone.store(true); }
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

NamedEvent::NamedEvent(std::string name) : name_(std::move(name)) {}

void NamedEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void NamedEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
    abandoned_ = false;
}

void NamedEvent::Abandon() {
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    cv_.notify_all();
}

WaitResult NamedEvent::Wait(std::chrono::milliseconds timeout) {
    if (timeout.count() < 0 || gRegistryGone.load()) {
        return WaitResult::Failed;
    }
    using Clock = std::chrono::steady_clock;
    const auto ready = [this] { return signalled_ || abandoned_; };

    std::unique_lock lock(mutex_);
    const auto now = Clock::now();
    // A very long time-out would overflow the deadline; treat it as "no limit".
    if (timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now)) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_until(lock, now + timeout, ready)) {
        return WaitResult::TimedOut;
    }
    if (abandoned_) {
        return WaitResult::Abandoned;
    }
    signalled_ = false;  // auto-reset: this waiter consumes the signal
    return WaitResult::Signalled;
}

std::shared_ptr<NamedEvent> OpenNamedEvent(const std::string& name) {
    if (gRegistryGone.load()) {
        // Too late to share anything; a private event whose waits fail.
        return std::make_shared<NamedEvent>(name);
    }
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto& slot = registry.events[name];
    if (!slot) {
        slot = std::make_shared<NamedEvent>(name);
    }
    return slot;
}

}  // namespace kv
