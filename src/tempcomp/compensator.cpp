#include "tempcomp/compensator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "focuser/focus_control.h"
#include "shell/log_channel.h"

namespace kv {

bool FocusControlCompensation::Idle() { return focuser_.GetIdle(); }
double FocusControlCompensation::TCAvg() { return focuser_.TCAvg(); }
void FocusControlCompensation::MoveBy(std::int32_t steps) { focuser_.MoveBy(steps); }
int FocusControlCompensation::StopFactor() { return focuser_.StopFactor(); }
void FocusControlCompensation::SetStopFactor(int value) { focuser_.SetStopFactor(value); }
bool FocusControlCompensation::InterruptsOff() { return focuser_.InterruptsOff(); }

TTempCompensator::TTempCompensator(ICompensationFocuser& focuser, IDialogs& dialogs, IClock& clock, TCLocale locale,
                                   CompensationHooks hooks)
    : focuser_(focuser),
      dialogs_(dialogs),
      clock_(clock),
      locale_(std::move(locale)),
      hooks_(std::move(hooks)),
      currentTime_(clock.Now()) {}

bool TTempCompensator::CoefficientReads() const { return ParseLocaleFloat(slopeText_, locale_).has_value(); }

void TTempCompensator::Log(const std::string& line) {
    if (hooks_.writeLog) {
        hooks_.writeLog(line);
    } else {
        WriteProgramLog(line);
    }
}

bool TTempCompensator::SwitchOn() {
    if (!CoefficientReads()) {
        SwitchOff();
        dialogs_.Show(kNoCoefficientStartText, DialogType::Error, DialogButtons::Ok);
        return false;
    }
    autoOn_ = true;
    currentTime_ = clock_.Now();
    if (!firstActivation_) {
        panels_.startTime = FormatLongTime(currentTime_, locale_);
        baseTempText_ = panels_.temp.empty() ? avgTempText_ : panels_.temp;
        panels_.startTemp = avgTempText_;
        firstActivation_ = true;
        CompensateTemperature();
    }
    panels_.occurredAt = FormatLongTime(currentTime_, locale_);
    baseTempText_ = panels_.temp;
    panels_.temp = avgTempText_;
    panels_.lastTemp = avgTempText_;
    panels_.method = kMethodAutomatic;

    const double rate = std::clamp(settings_.rateMinutes, 0.5, 30.0);
    const int interval = static_cast<int>(std::lround(rate * 60.0));
    panels_.sched = FormatLongTime(currentTime_ + std::chrono::seconds(interval), locale_);
    countdown_ = interval;
    panels_.timeUntil = FormatCountdown(countdown_);
    return true;
}

void TTempCompensator::SwitchOff() {
    autoOn_ = false;
    firstActivation_ = false;
    panels_.sched.clear();
    panels_.timeUntil.clear();
}

void TTempCompensator::HardwareLost() { SwitchOff(); }

void TTempCompensator::CompensateNow() {
    if (!CoefficientReads()) {
        SwitchOff();
        dialogs_.Show(kNoCoefficientNowText, DialogType::Error, DialogButtons::Ok);
        return;
    }
    if (focuser_.InterruptsOff()) {
        dialogs_.Show(kInterruptsOffText, DialogType::Warning, DialogButtons::Ok);
        return;
    }
    currentTime_ = clock_.Now();
    panels_.occurredAt = FormatLongTime(currentTime_, locale_);
    baseTempText_ = panels_.temp.empty() ? avgTempText_ : panels_.temp;
    panels_.temp = avgTempText_;
    panels_.lastTemp = avgTempText_;
    panels_.method = kMethodManual;
    CompensateTemperature();
}

void TTempCompensator::SecondTimerTimer() {
    currentTime_ = clock_.Now();
    if (!autoOn_) return;
    --countdown_;
    if (countdown_ < 1) {
        if (SwitchOn()) CompensateTemperature();
    } else {
        panels_.timeUntil = FormatCountdown(countdown_);
    }
}

void TTempCompensator::IdleCheckTimerTimer() {
    if (!idleRetryPending_) return;
    idleRetryPending_ = false;
    CompensateTemperature();
}

void TTempCompensator::ClearActivity() {
    panels_ = {};
    answeredTemp_.reset();
}

std::optional<std::int32_t> TTempCompensator::CompensateTemperature() {
    if (!focuser_.Idle()) {
        idleRetryPending_ = true;
        if (hooks_.startIdleCheckTimer) hooks_.startIdleCheckTimer(kIdleCheckTimerMs);
        return std::nullopt;
    }
    const auto degree = baseTempText_.find(kDegreeSign);
    const std::string_view baseNumber =
        TrimText(std::string_view(baseTempText_).substr(0, degree == std::string::npos ? 0 : degree));
    auto base = ParseLocaleFloat(baseNumber, locale_);
    if (!base) {
        dialogs_.Show(NotAFloatText(baseNumber), DialogType::Error, DialogButtons::Ok);
        return std::nullopt;
    }
    const auto coefficient = ParseLocaleFloat(slopeText_, locale_);
    if (!coefficient) {
        dialogs_.Show(NotAFloatText(TrimText(slopeText_)), DialogType::Error, DialogButtons::Ok);
        return std::nullopt;
    }
    if (answeredTemp_) base = answeredTemp_;
    const double deltaT = focuser_.TCAvg() - *base;
    std::int32_t steps = RoundHalfEven(*coefficient * deltaT);
    const std::int64_t magnitude = std::llabs(static_cast<long long>(steps));
    if (settings_.ignoreEnabled && magnitude > settings_.ignoreSteps) {
        // Not believed: the jump is dropped, the next change counts from here.
        steps = 0;
        answeredTemp_ = focuser_.TCAvg();
    } else if (magnitude < settings_.minSteps || steps == 0) {
        steps = 0;
        answeredTemp_ = *base;
    } else {
        answeredTemp_ = *base + steps / *coefficient;
    }

    panels_.stepsMoved = std::to_string(steps);
    Log("Temp Comp: T: " + avgTempText_ + ", Steps: " + panels_.stepsMoved + ", " + panels_.method);

    const int stopFactor = focuser_.StopFactor();
    if (hooks_.slowStopSystem && hooks_.slowStopSystem()) focuser_.SetStopFactor(kSlowStopFactor);
    focuser_.MoveBy(steps);
    if (hooks_.announce) hooks_.announce(steps);
    focuser_.SetStopFactor(stopFactor);
    return steps;
}

}  // namespace kv
