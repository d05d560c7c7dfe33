// The straight line through the calibration points: focuser position against
// temperature, so the slope is in steps per degree Celsius.
#pragma once

#include <span>

namespace kv {

struct FitResult {
    double slope = 0;
    double intercept = 0;
    double r2 = 0;
    // False when a step divided by zero or overflowed; the values computed
    // before it stay, the rest stay zero.
    bool ok = true;
};

// Least squares of y on x. Arrays of different lengths give all zeros (ok).
FitResult LinearFit(std::span<const double> x, std::span<const double> y);

// LEDs lit on the 32-LED fit meter: R^2 x 32 rounded half to even, 0..32.
int FitMeterLeds(double r2);
inline constexpr int kFitMeterLeds = 32;

}  // namespace kv
