// Time for the engine. Code that waits or stamps takes an IClock so tests can
// run a night in seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kv {

class IClock {
public:
    virtual ~IClock() = default;
    // Monotonic milliseconds since an arbitrary start (the tick count).
    virtual std::int64_t TickMs() const = 0;
    // Wall-clock time for stamps and file dates.
    virtual std::chrono::system_clock::time_point Now() const = 0;
};

class SystemClock final : public IClock {
public:
    std::int64_t TickMs() const override;
    std::chrono::system_clock::time_point Now() const override;
};

IClock& DefaultClock();

// "short date" + " " + "long time" in the user's locale (LC_TIME), as the logs show it.
std::string FormatDateTime(std::chrono::system_clock::time_point t);

}  // namespace kv
