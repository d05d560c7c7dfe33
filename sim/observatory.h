// The simulated observatory's shared state: one telescope, one night.
//
// Every simulated device reads and moves the same focuser, so a move made
// through any driver changes what the simulated camera sees. Time in the
// simulation can run faster than the wall clock (timeScale), so tests can run
// a night in seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace kvsim {

struct NightParameters {
    double startTemperatureC = 12.0;
    double temperatureRateCPerHour = -1.5;  // the night cools
    double minimumTemperatureC = -20.0;
    double bestFocusAtStart = 5000.0;       // true focuser position of best focus at the start temperature
    double stepsPerDegree = -12.0;          // best focus moves this many steps per degree of warming
    double timeScale = 1.0;                 // simulated seconds per wall-clock second
};

class Observatory {
public:
    static Observatory& Instance();

    // Starts a new night now with these parameters; the focuser keeps its position.
    void StartNight(const NightParameters& p);
    NightParameters Parameters() const;

    // The focuser's true position in steps (absolute; drivers see it relative
    // to their own zero).
    std::int64_t TruePosition() const { return truePosition_.load(); }
    void SetTruePosition(std::int64_t p) { truePosition_.store(p); }
    void MoveTruePosition(std::int64_t delta) { truePosition_.fetch_add(delta); }

    // Simulated seconds since the night started.
    double NightSeconds() const;
    double TemperatureC() const;
    // Where the focuser must be for the sharpest star at the current temperature.
    double BestFocus() const;

private:
    Observatory();
    mutable std::mutex mutex_;
    NightParameters params_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<std::int64_t> truePosition_{5000};
};

}  // namespace kvsim
