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
    // How long `ms` of this clock's time lasts in real time. Waits and sleeps
    // (platform/waits.h) convert through this, so a clock that runs faster
    // makes a 45 s wait or a night of compensation pass in moments.
    virtual std::chrono::nanoseconds RealDuration(double ms) const {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(ms * 1e6));
    }
};

class SystemClock final : public IClock {
public:
    std::int64_t TickMs() const override;
    std::chrono::system_clock::time_point Now() const override;
};

// A clock that runs `factor` times faster than real time from its creation,
// for tests and for simulating a night. Both its tick and its wall time start
// from the real ones.
class ScaledClock final : public IClock {
public:
    explicit ScaledClock(double factor);
    std::int64_t TickMs() const override;
    std::chrono::system_clock::time_point Now() const override;
    std::chrono::nanoseconds RealDuration(double ms) const override;
    double Factor() const { return factor_; }

private:
    double ElapsedMs() const;
    const double factor_;
    const std::chrono::steady_clock::time_point startSteady_;
    const std::int64_t startTick_;
    const std::chrono::system_clock::time_point startWall_;
};

IClock& DefaultClock();

// "short date" + " " + "long time" in the user's locale (LC_TIME), as the logs show it.
std::string FormatDateTime(std::chrono::system_clock::time_point t);

}  // namespace kv
