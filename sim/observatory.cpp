#include "sim/observatory.h"

#include <algorithm>

namespace kvsim {

Observatory& Observatory::Instance() {
    static Observatory o;
    return o;
}

Observatory::Observatory() : start_(std::chrono::steady_clock::now()) {}

void Observatory::StartNight(const NightParameters& p) {
    std::lock_guard lock(mutex_);
    params_ = p;
    start_ = std::chrono::steady_clock::now();
}

NightParameters Observatory::Parameters() const {
    std::lock_guard lock(mutex_);
    return params_;
}

std::int64_t Observatory::TruePosition() const {
    std::lock_guard lock(mutex_);
    return optics_;
}

void Observatory::SetTruePosition(std::int64_t p) {
    std::lock_guard lock(mutex_);
    drive_ = optics_ = p;
}

std::int64_t Observatory::DrivePosition() const {
    std::lock_guard lock(mutex_);
    return drive_;
}

void Observatory::SetDrivePosition(std::int64_t p) {
    std::lock_guard lock(mutex_);
    drive_ = p;
    FollowDriveLocked();
}

void Observatory::MoveDrive(std::int64_t delta) {
    std::lock_guard lock(mutex_);
    drive_ += delta;
    FollowDriveLocked();
}

void Observatory::SetBacklash(std::int64_t steps) {
    std::lock_guard lock(mutex_);
    backlash_ = std::max<std::int64_t>(0, steps);
    FollowDriveLocked();
}

std::int64_t Observatory::Backlash() const {
    std::lock_guard lock(mutex_);
    return backlash_;
}

void Observatory::FollowDriveLocked() { optics_ = std::clamp(optics_, drive_ - backlash_, drive_); }

void Observatory::SetNightSeconds(std::optional<double> seconds) {
    std::lock_guard lock(mutex_);
    heldSeconds_ = seconds;
}

double Observatory::NightSeconds() const {
    std::lock_guard lock(mutex_);
    if (heldSeconds_) return *heldSeconds_;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start_;
    return wall.count() * params_.timeScale;
}

double Observatory::TemperatureC() const {
    const NightParameters p = Parameters();
    const double t = p.startTemperatureC + p.temperatureRateCPerHour * NightSeconds() / 3600.0;
    return std::max(t, p.minimumTemperatureC);
}

double Observatory::BestFocus() const {
    const NightParameters p = Parameters();
    return p.bestFocusAtStart + p.stepsPerDegree * (TemperatureC() - p.startTemperatureC);
}

}  // namespace kvsim
