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
