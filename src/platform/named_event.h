// Process-wide named auto-reset events.
//
// Every part of the program that waits for a move or a frame to end does so on
// an event found by name ("GENERAL_DELAY_EVENT", "FOCUS_DELAY_EVENT", ...).
// A wait ends in one of four ways, and callers must handle each of them: the
// event was signalled, the time ran out, the event was abandoned (its owner
// went away while others waited), or the wait itself failed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace kv {

enum class WaitResult { Signalled, TimedOut, Abandoned, Failed };

class NamedEvent {
public:
    explicit NamedEvent(std::string name);
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;

    const std::string& Name() const { return name_; }

    // Auto-reset: one Set releases one waiter (or the next one to wait).
    void Set();
    void Reset();
    // Wakes every waiter with Abandoned; later waits return Abandoned until Reset.
    void Abandon();
    WaitResult Wait(std::chrono::milliseconds timeout);

private:
    const std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
    bool abandoned_ = false;
};

// Creates the event on first use, returns the same one for the same name after.
std::shared_ptr<NamedEvent> OpenNamedEvent(const std::string& name);

// The events the program creates at start.
inline constexpr const char* kGeneralDelayEvent = "GENERAL_DELAY_EVENT";
inline constexpr const char* kFocusDelayEvent = "FOCUS_DELAY_EVENT";
inline constexpr const char* kFocuserWaitEvent = "FOCUSER_WAIT_EVENT";

}  // namespace kv
