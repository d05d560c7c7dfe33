// TlumDelay: a precision delay that ends by signalling a named event.
//
// The camera controller times every exposure with one of these: it sets Delay
// to the exposure time, sets Enabled and waits on the event. Delays above a
// millisecond are measured by the component's own poll thread, so SetEnabled
// returns at once; shorter ones run on the caller's thread and the event is
// already signalled when SetEnabled returns.
//
// The poll thread sleeps through most of a delay and polls the steady clock
// only for the last stretch (kSpinMarginS), which keeps sub-millisecond
// resolution without holding a processor for the length of an exposure.
//
// A fresh component has its event ("LUMDELAYEVENT") signalled once; renaming
// the event creates it unsignalled. The poll thread is owned and joined by the
// destructor; a delay still running then ends without a signal, as does one
// that is cancelled (an exposure given up before its end must not leave the
// timer busy: the next start would be ignored and end at the old time).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/named_event.h"
#include "platform/worker_thread.h"

namespace kv {

// Raised by the setters that may not change while a delay runs.
class LumDelayError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kLumDelayDefaultEvent = "LUMDELAYEVENT";
inline constexpr const char* kLumDelayPriorityDenied = "lumDelay priority changed denied";
inline constexpr const char* kLumDelayEventNameDenied = "lumDelay event name changed denied";

// Called on the thread that ended the delay with the elapsed time in seconds.
using LumDelayCallback = std::function<void(double elapsedSeconds)>;

class TlumDelay {
public:
    // Delays up to this long run on the caller's thread.
    static constexpr double kInlineLimitS = 0.001;
    // The poll thread wakes this long before the end and polls the rest.
    static constexpr double kSpinMarginS = 0.0003;

    TlumDelay();
    ~TlumDelay();
    TlumDelay(const TlumDelay&) = delete;
    TlumDelay& operator=(const TlumDelay&) = delete;

    // Seconds; any value is stored (0 or less ends at once).
    double Delay() const { return delay_.load(); }
    void SetDelay(double seconds);

    // true starts a delay unless one runs (then the call is ignored and the
    // caller waits for the running one); false does nothing.
    bool Enabled() const { return enabled_.load(); }
    void SetEnabled(bool value);
    // Ends a running delay at once, without callback or signal; the timer is
    // then free for the next start. Nothing happens when none runs.
    void Cancel();

    ThreadPriority Priority() const;
    // Throws LumDelayError(kLumDelayPriorityDenied) while a delay runs.
    void SetPriority(ThreadPriority priority);

    std::string EventName() const;
    // Throws LumDelayError(kLumDelayEventNameDenied) while a delay runs.
    void SetEventName(const std::string& name);

    // Empty for none.
    void SetCallBackAddress(LumDelayCallback callback);

    // Seconds on the component's clock (steady, arbitrary start).
    static double ClockSeconds();

private:
    void PollLoop();
    // Callback, signal, Enabled false: the end of delay number `generation`,
    // unless it was cancelled meanwhile.
    void Finish(double endClock, std::uint64_t generation);

    std::atomic<double> delay_{1.0};
    std::atomic<bool> enabled_{false};

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    ThreadPriority priority_ = ThreadPriority::Normal;
    bool priorityChanged_ = false;
    std::string eventName_ = kLumDelayDefaultEvent;
    std::shared_ptr<NamedEvent> event_;
    LumDelayCallback callback_;
    double startTime_ = 0.0;
    double endTime_ = 0.0;
    bool started_ = false;  // a delay was handed to the poll thread
    // Counts starts and cancels: a delay ends only if it is still the latest.
    std::atomic<std::uint64_t> generation_{0};
    bool destroying_ = false;
    std::thread pollThread_;
};

}  // namespace kv
