#include "platform/clock.h"

#include <ctime>

namespace kv {

std::int64_t SystemClock::TickMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::system_clock::time_point SystemClock::Now() const {
    return std::chrono::system_clock::now();
}

ScaledClock::ScaledClock(double factor)
    : factor_(factor > 0.0 ? factor : 1.0),
      startSteady_(std::chrono::steady_clock::now()),
      startTick_(SystemClock().TickMs()),
      startWall_(std::chrono::system_clock::now()) {}

double ScaledClock::ElapsedMs() const {
    const auto real = std::chrono::steady_clock::now() - startSteady_;
    return std::chrono::duration<double, std::milli>(real).count() * factor_;
}

std::int64_t ScaledClock::TickMs() const { return startTick_ + static_cast<std::int64_t>(ElapsedMs()); }

std::chrono::system_clock::time_point ScaledClock::Now() const {
    return startWall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::duration<double, std::milli>(ElapsedMs()));
}

std::chrono::nanoseconds ScaledClock::RealDuration(double ms) const {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ms * 1e6 / factor_));
}

IClock& DefaultClock() {
    static SystemClock clock;
    return clock;
}

std::string FormatDateTime(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    // %x and %X follow the process's LC_TIME, which the desktop takes from the
    // user's environment at start. A two-digit year is the locale's own choice.
    char buffer[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
#pragma GCC diagnostic pop
    return std::string(buffer, n);
}

}  // namespace kv
