// The compensation rule the focuser service follows between moves: the
// coefficient (steps per degree Celsius) times the temperature change since
// the temperature the position answers for, with the minimum correction and
// the "Ignore Move" limit of the desktop's compensation (tempcomp/compensator.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv {

struct CompensationConfig {
    bool enabled = false;
    std::optional<double> coefficient;  // steps per degree Celsius
    std::string source = "none";        // "typed in", or the fit: "fit of 12 points from night.tcd (R^2 0.98)"
    int minSteps = 1;                   // 1..100: smaller corrections wait until they add up
    bool ignoreEnabled = false;
    int ignoreSteps = 250;              // 1..1000: a larger jump is not believed
    int periodMs = 30000;               // between corrections, 1 s .. 30 min
    // After a client's move the client's focus stands for this long (0 .. 1 h):
    // the moves of its auto focus, exposures in between, are never corrected.
    int clientHoldMs = 120000;
};

// The position a client (or the switch-on) left the focuser at, and the
// temperature it answers for.
struct CompensationBase {
    std::optional<double> temp;
    std::int32_t position = 0;
};

struct CompensationDecision {
    std::optional<std::int32_t> target;  // where to move; nullopt for no move
    bool ignored = false;                // the jump was beyond the "Ignore Move" limit
    CompensationBase newBase;
};

// One correction at `nowTemp` with the focuser at `position`. The target is
// always reckoned from the base, never from the last correction: a move
// that lands a count or two off (a coasting motor) is made good by the next
// one instead of adding up over a night, and a change below the minimum is
// kept until it is large enough. `sense` turns the coefficient's counts into
// positions. With no base yet the position answers for `nowTemp`; an ignored
// jump starts afresh from `nowTemp` and `position`.
CompensationDecision CompensationStep(const CompensationConfig& config, const CompensationBase& base,
                                      double nowTemp, std::int32_t position, int sense);

// The log line of a correction, numbers in the "C" form whatever the locale:
// "Temp Comp: T: 11.50 C, Steps: -6, Service" (Ignored / Held as the method).
std::string CompensationLogLine(double temp, std::int32_t steps, const char* method);

}  // namespace kv
