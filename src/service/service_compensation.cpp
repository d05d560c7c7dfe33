#include "service/service_compensation.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tempcomp/tc_texts.h"

namespace kv {

CompensationDecision CompensationStep(const CompensationConfig& config, const CompensationBase& base,
                                      double nowTemp, std::int32_t position, int sense) {
    CompensationDecision d;
    d.newBase = base;
    if (!base.temp || !config.coefficient || *config.coefficient == 0.0) {
        d.newBase = {nowTemp, position};
        return d;
    }
    const std::int64_t counts = RoundHalfEven(*config.coefficient * (nowTemp - *base.temp));
    const std::int64_t target = base.position + sense * counts;
    const std::int64_t magnitude = std::llabs(static_cast<long long>(target - position));
    if (config.ignoreEnabled && magnitude > config.ignoreSteps) {
        d.ignored = true;
        d.newBase = {nowTemp, position};
        return d;
    }
    if (magnitude == 0 || magnitude < config.minSteps) return d;
    d.target = static_cast<std::int32_t>(target);
    return d;
}

std::string CompensationLogLine(double temp, std::int32_t steps, const char* method) {
    char text[96];
    std::snprintf(text, sizeof text, "%.2f", temp);
    // snprintf follows LC_NUMERIC; the log is read by scripts in any locale.
    for (char* c = text; *c; ++c)
        if (*c == ',') *c = '.';
    return std::string("Temp Comp: T: ") + text + " C, Steps: " + std::to_string(steps) + ", " + method;
}

}  // namespace kv
