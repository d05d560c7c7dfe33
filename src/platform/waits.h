// Waits and sleeps that a stop request can cut short.
//
// Every wait in the engine that may be long (a move's 45 s, a coarse run's
// two minutes, an exposure) or that an owner may need to end early goes
// through these two functions. Both run in slices of at most kWaitSliceMs real
// time and test `stop` between slices, so cancelling or destroying an object
// never waits out a time-out; both measure their length on an IClock, so a
// test clock that runs fast shortens them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/clock.h"
#include "platform/named_event.h"

namespace kv {

using StopFn = std::function<bool()>;

inline constexpr int kWaitSliceMs = 20;

// Sleeps `ms` of `clock`'s time (fractions count, for millisecond pulses);
// false when `stop` turned true first.
bool SleepFor(IClock& clock, double ms, const StopFn& stop = {});

// Waits for `event` at most `timeoutMs` of `clock`'s time. nullopt when
// `stop` turned true before the event came.
std::optional<WaitResult> WaitForEvent(NamedEvent& event, std::int64_t timeoutMs, IClock& clock,
                                       const StopFn& stop = {});

// The three texts a failed wait of one kind shows.
struct WaitMessages {
    const char* timedOut;
    const char* abandoned;
    const char* failed;
};

// The text for `result`; nullptr when the event came.
const char* WaitFailureText(const WaitMessages& messages, WaitResult result);

}  // namespace kv
