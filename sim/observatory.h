// The simulated observatory's shared state: one telescope, one night.
//
// Every simulated device reads and moves the same focuser, so a move made
// through any driver changes what the simulated camera sees. Time in the
// simulation can run faster than the wall clock (timeScale), so tests can run
// a night in seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

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

    // The focuser's true position in steps: where the optics are, what the
    // camera sees (absolute; drivers see it relative to their own zero).
    std::int64_t TruePosition() const;
    // Puts drive and optics at `p` together (as after a lowering run).
    void SetTruePosition(std::int64_t p);

    // The drive: what every simulated focuser turns and counts. The optics
    // follow it through `backlash` steps of play: after a reversal the drive
    // turns that far before the optics move, so the optics stand `backlash`
    // below the drive after a run that raised the position and level with it
    // after one that lowered it. Without backlash both are one position.
    std::int64_t DrivePosition() const;
    void SetDrivePosition(std::int64_t p);
    void MoveDrive(std::int64_t delta);
    void SetBacklash(std::int64_t steps);  // negative counts as none
    std::int64_t Backlash() const;

    // Simulated seconds since the night started.
    double NightSeconds() const;
    // Holds the night at `seconds` since its start instead of letting the wall
    // clock run it, so a bench can step a whole night and get the same night
    // every time; nullopt gives the night back to the wall clock.
    void SetNightSeconds(std::optional<double> seconds);
    double TemperatureC() const;
    // Where the focuser must be for the sharpest star at the current temperature.
    double BestFocus() const;

private:
    Observatory();
    mutable std::mutex mutex_;
    NightParameters params_;
    std::chrono::steady_clock::time_point start_;
    std::optional<double> heldSeconds_;
    void FollowDriveLocked();
    std::int64_t drive_ = 5000;
    std::int64_t optics_ = 5000;
    std::int64_t backlash_ = 0;
};

}  // namespace kvsim
