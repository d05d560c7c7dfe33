#include "platform/waits.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kv {

namespace {

using Steady = std::chrono::steady_clock;

Steady::duration Slice(Steady::duration left) {
    return std::min<Steady::duration>(left, std::chrono::milliseconds(kWaitSliceMs));
}

}  // namespace

bool SleepFor(IClock& clock, double ms, const StopFn& stop) {
    const auto end = Steady::now() + clock.RealDuration(std::max(ms, 0.0));
    for (;;) {
        if (stop && stop()) return false;
        const auto now = Steady::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(Slice(end - now));
    }
}

std::optional<WaitResult> WaitForEvent(NamedEvent& event, std::int64_t timeoutMs, IClock& clock,
                                       const StopFn& stop) {
    const auto end = Steady::now() + clock.RealDuration(static_cast<double>(std::max<std::int64_t>(timeoutMs, 0)));
    for (;;) {
        if (stop && stop()) return std::nullopt;
        const auto left = std::max<Steady::duration>(end - Steady::now(), Steady::duration::zero());
        const auto slice = Slice(left);
        // The event's own wait takes whole milliseconds; round up so a short
        // remainder is not a busy loop of zero-length waits.
        const auto sliceMs = std::chrono::ceil<std::chrono::milliseconds>(slice);
        const WaitResult r = event.Wait(sliceMs);
        if (r != WaitResult::TimedOut) return r;
        if (Steady::now() >= end) return WaitResult::TimedOut;
    }
}

const char* WaitFailureText(const WaitMessages& messages, WaitResult result) {
    switch (result) {
    case WaitResult::Signalled: return nullptr;
    case WaitResult::TimedOut: return messages.timedOut;
    case WaitResult::Abandoned: return messages.abandoned;
    case WaitResult::Failed: return messages.failed;
    }
    return messages.failed;
}

}  // namespace kv
