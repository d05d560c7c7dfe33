#include "service/service_compensation.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "service/focuser_service.h"
#include "tempcomp/linear_fit.h"
#include "tempcomp/tc_texts.h"
#include "tempcomp/tcd_file.h"

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

// ---- the service's temperature and compensation ----
std::optional<double> FocuserService::Temperature() const {
    std::lock_guard lock(mutex_);
    return temperature_;
}

CompensationConfig FocuserService::GetCompensation() const {
    std::lock_guard lock(mutex_);
    return compensation_;
}

Answer FocuserService::SetCompensation(const CompensationConfig& config) {
    if (config.minSteps < 1 || config.minSteps > 100 || config.ignoreSteps < 1 || config.ignoreSteps > 1000 ||
        config.periodMs < 1000 || config.periodMs > 1800000 || config.clientHoldMs < 0 ||
        config.clientHoldMs > 3600000 ||
        (config.coefficient && !std::isfinite(*config.coefficient))) {
        return {MoveResult::OutOfRange,
                "Compensation takes a minimum correction of 1 to 100 steps, an ignore limit of 1 to 1000 steps and a "
                "period of 1 s to 30 min, and a client hold of at most an hour."};
    }
    std::lock_guard lock(mutex_);
    if (config.enabled && !compensation_.enabled) {
        if (!config.coefficient || *config.coefficient == 0.0) {
            return {MoveResult::Unsupported,
                    "Compensation needs a coefficient: type one in or load a calibration file."};
        }
        if (!temperature_) {
            return {MoveResult::Unsupported,
                    "Compensation needs a temperature, and this focuser reports none; check the hub's temperature probe."};
        }
        // Switched on: the position answers for the temperature now.
        compBase_ = {temperature_, PositionLocked()};
        lastCompensationMs_ = NowMs();
    }
    compensation_ = config;
    return {};
}

Answer FocuserService::LoadCoefficient(const std::string& tcdPath) {
    const TcdReadResult read = ReadTcdFile(tcdPath);
    if (!read.ok()) return {MoveResult::Unsupported, read.error};
    // The file keeps the texts as the user's system wrote them.
    const TCLocale locale = TCLocale::FromProcess();
    TCLocale comma = locale;
    comma.decimalSeparator = locale.decimalSeparator == "," ? "." : ",";
    std::vector<double> temps;
    std::vector<double> positions;
    for (const TCRow& row : read.rows) {
        if (!row.checked) continue;
        auto t = ParseLocaleFloat(row.temp, locale);
        if (!t) t = ParseLocaleFloat(row.temp, comma);
        auto p = ParseLocaleFloat(row.position, locale);
        if (!p) p = ParseLocaleFloat(row.position, comma);
        if (!t || !p) continue;
        temps.push_back(*t);
        positions.push_back(*p);
    }
    const FitResult fit = LinearFit(temps, positions);
    if (temps.size() < 2 || !fit.ok || !std::isfinite(fit.slope) || fit.slope == 0.0) {
        return {MoveResult::Unsupported, "The calibration file " + tcdPath + " has " + std::to_string(temps.size()) +
                                             " ticked points that fit no line; train at two temperatures at least."};
    }
    char source[512];
    const std::string name = tcdPath.substr(tcdPath.find_last_of('/') == std::string::npos ? 0 : tcdPath.find_last_of('/') + 1);
    std::snprintf(source, sizeof source, "fit of %zu points from %s (R^2 %.3f)", temps.size(), name.c_str(), fit.r2);
    std::lock_guard lock(mutex_);
    compensation_.coefficient = fit.slope;
    compensation_.source = source;
    for (char& c : compensation_.source)
        if (c == ',') c = '.';
    return {};
}

void FocuserService::HoldCompensation(bool hold) {
    std::lock_guard lock(mutex_);
    compHeld_ = hold;
    // Released after a client's own focusing: that run set the position for now.
    if (!hold && temperature_ && focuser_) compBase_ = {temperature_, PositionLocked()};
}

bool FocuserService::CompensationHeld() const {
    std::lock_guard lock(mutex_);
    return compHeld_;
}

void FocuserService::CompensationLogLocked(Calls& calls, const std::string& line) {
    calls.push_back([this, line] {
        if (listener_.compensationLog) listener_.compensationLog(line);
    });
}

std::optional<std::int32_t> FocuserService::CompensateNow() {
    ReadTemperature();
    return Compensate(false);
}

std::optional<std::int32_t> FocuserService::Compensate(bool scheduled) {
    Calls calls;
    std::optional<std::int32_t> moved;
    std::optional<std::int32_t> target;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_ || !compensation_.enabled || !temperature_ || compHeld_ || running_ || lost_ || closing_) {
            return std::nullopt;
        }
        const std::int64_t now = NowMs();
        if (scheduled) {
            if (lastCompensationMs_ >= 0 && now - lastCompensationMs_ < compensation_.periodMs) return std::nullopt;
            if (clientMoveEndedMs_ >= 0 && now - clientMoveEndedMs_ < compensation_.clientHoldMs) return std::nullopt;
        }
        lastCompensationMs_ = now;
        // The coefficient is in the engine's counts, as the window learns and shows it.
        const std::int32_t position = PositionLocked();
        const CompensationDecision d = CompensationStep(compensation_, compBase_, *temperature_, position, position_.Sense());
        compBase_ = d.newBase;
        if (d.ignored) {
            CompensationLogLocked(calls, CompensationLogLine(*temperature_, 0, "Ignored"));
        } else if (d.target) {
            target = d.target;
            moved = *d.target - position;
            CompensationLogLocked(calls, CompensationLogLine(*temperature_, *moved, "Service"));
        }
    }
    Run(calls);
    if (target) {
        const Answer a = StartMove(*target, WhenBusy::Refuse, true);
        if (!a) {
            std::lock_guard lock(mutex_);
            const std::string text = "Temperature compensation could not move the focuser: " + a.message;
            CompensationLogLocked(calls, text);
            calls.push_back([this, text] {
                if (listener_.alert) listener_.alert(text);
            });
            moved.reset();
        }
        Run(calls);
    }
    return moved;
}

bool FocuserService::WaitFirstTemperature(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return temperatureRead_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !focuser_ || !CountsPulses() || (lastTemperatureMs_ >= 0 && !readingTemperature_);
    });
}

void FocuserService::ReadTemperature() {
    TFocusControl* focuser = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!focuser_ || !CountsPulses() || running_) return;
        focuser = focuser_.get();
        lastTemperatureMs_ = NowMs();
        readingTemperature_ = true;
    }
    // Hub exchanges take tens of milliseconds; not under the lock. The
    // controller lives until Close, which joins the watch first.
    std::optional<double> reading;
    if (focuser->TCAvail() || focuser->GetTCAvail()) {
        const double t = focuser->GetTemperature();
        if (t > kTemperatureFloor) reading = focuser->TCAvg();
    }
    Calls calls;
    {
        std::lock_guard lock(mutex_);
        readingTemperature_ = false;
        temperatureRead_.notify_all();
        const bool changed = reading != temperature_;
        temperature_ = reading;
        if (changed && reading) {
            calls.push_back([this, t = *reading] {
                if (listener_.temperatureChanged) listener_.temperatureChanged(t);
            });
        }
    }
    Run(calls);
}

}  // namespace kv
