#include "platform/lum_delay.h"

#include <algorithm>
#include <chrono>

#include <sys/prctl.h>

namespace kv {

namespace {

// The longest single sleep of the poll thread; a longer delay sleeps in
// several parts, so even an absurd Delay never overflows a time point.
constexpr double kLongestSleepS = 3600.0;

}  // namespace

double TlumDelay::ClockSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

TlumDelay::TlumDelay() {
    event_ = OpenNamedEvent(eventName_);
    // A fresh component reports "no delay pending" on its default event.
    event_->Set();
    pollThread_ = std::thread([this] { PollLoop(); });
}

TlumDelay::~TlumDelay() {
    {
        std::lock_guard lock(mutex_);
        destroying_ = true;
    }
    cv_.notify_all();
    pollThread_.join();
}

void TlumDelay::SetDelay(double seconds) { delay_.store(seconds); }

ThreadPriority TlumDelay::Priority() const {
    std::lock_guard lock(mutex_);
    return priority_;
}

void TlumDelay::SetPriority(ThreadPriority priority) {
    std::lock_guard lock(mutex_);
    if (priority == priority_) {
        return;
    }
    if (enabled_.load()) {
        throw LumDelayError(kLumDelayPriorityDenied);
    }
    priority_ = priority;
    // The poll thread applies it to itself before the next delay.
    priorityChanged_ = true;
}

std::string TlumDelay::EventName() const {
    std::lock_guard lock(mutex_);
    return eventName_;
}

void TlumDelay::SetEventName(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (name == eventName_) {
        return;
    }
    if (enabled_.load()) {
        throw LumDelayError(kLumDelayEventNameDenied);
    }
    eventName_ = name;
    event_ = OpenNamedEvent(name);
    event_->Reset();
}

void TlumDelay::SetCallBackAddress(LumDelayCallback callback) {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
}

void TlumDelay::SetEnabled(bool value) {
    if (!value) {
        return;
    }
    std::unique_lock lock(mutex_);
    if (enabled_.load()) {
        return;
    }
    enabled_.store(true);
    const std::uint64_t generation = ++generation_;
    event_->Reset();
    const double delay = delay_.load();
    startTime_ = ClockSeconds();
    if (delay > kInlineLimitS) {
        endTime_ = startTime_ + delay;
        started_ = true;
        lock.unlock();
        cv_.notify_all();
        return;
    }
    // A millisecond or less: cheaper to wait here than to wake a thread.
    const double start = startTime_;
    lock.unlock();
    double now = ClockSeconds();
    while (now - start < delay && generation_.load() == generation) {
        now = ClockSeconds();
    }
    Finish(now, generation);
}

void TlumDelay::Cancel() {
    {
        std::lock_guard lock(mutex_);
        if (!enabled_.load()) {
            return;
        }
        ++generation_;
        started_ = false;
        enabled_.store(false);
    }
    cv_.notify_all();
}

void TlumDelay::Finish(double endClock, std::uint64_t generation) {
    LumDelayCallback callback;
    double start = 0.0;
    {
        std::lock_guard lock(mutex_);
        if (generation_.load() != generation) {
            return;
        }
        callback = callback_;
        start = startTime_;
    }
    if (callback) {
        callback(endClock - start);
    }
    // Enabled clears together with the signal, under the lock a start takes:
    // a waiter woken by this signal can start the next delay at once, and that
    // start cannot have its fresh reset undone by this signal.
    std::lock_guard lock(mutex_);
    if (generation_.load() != generation) {
        return;
    }
    started_ = false;
    enabled_.store(false);
    event_->Set();
}

void TlumDelay::PollLoop() {
    // The thread sleeps to just before each end: wake it as asked, not up to
    // the default 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock lock(mutex_);
    SetCurrentThreadPriority(priority_);
    priorityChanged_ = false;
    for (;;) {
        cv_.wait(lock, [this] { return started_ || destroying_; });
        if (destroying_) {
            return;
        }
        if (priorityChanged_) {
            SetCurrentThreadPriority(priority_);
            priorityChanged_ = false;
        }
        const double end = endTime_;
        const std::uint64_t generation = generation_.load();
        auto current = [&] { return generation_.load() == generation; };
        for (;;) {
            const double remaining = end - ClockSeconds();
            if (destroying_ || !current() || remaining <= kSpinMarginS) {
                break;
            }
            const double sleep = std::min(remaining - kSpinMarginS, kLongestSleepS);
            cv_.wait_for(lock, std::chrono::duration<double>(sleep));
        }
        if (destroying_) {
            return;
        }
        if (!current()) {
            continue;
        }
        lock.unlock();
        // No yield: on a busy machine a yielding thread can lose the
        // processor for a whole time slice, far longer than what is left.
        double now = ClockSeconds();
        while (now < end && current()) {
            now = ClockSeconds();
        }
        Finish(now, generation);
        lock.lock();
    }
}

}  // namespace kv
