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

double Observatory::NightSeconds() const {
    std::lock_guard lock(mutex_);
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
