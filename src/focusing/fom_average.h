// The running average of the figure of merit that the focus panel shows while
// continuous focus runs: seeing makes single readings jump, the mean of the
// last few shows the trend the user turns the focuser by.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace kv {

inline constexpr std::size_t kFomAverageCapacity = 10;

// Caption of the figure-of-merit box: averaging while continuous focus runs,
// the plain figure otherwise.
std::string AverageCaption(std::size_t capacity);  // "Average\n\r of " + capacity
inline constexpr const char* kFigureOfMeritCaption = "Figure\n\rof Merit";

// GUI thread only.
class TFomAverage {
public:
    explicit TFomAverage(std::size_t capacity = kFomAverageCapacity) : capacity_(capacity) {}

    // Adds `fom`, dropping the oldest entry when full, and returns the mean of
    // the entries held.
    double AverageFOM(double fom);
    void Reset() { entries_.clear(); }
    // Empties the buffer too, so the first reading after a change stands alone.
    // A capacity of 0 counts as 1.
    void SetCapacity(std::size_t capacity);
    std::size_t Capacity() const { return capacity_; }
    std::size_t Count() const { return entries_.size(); }

private:
    std::size_t capacity_;
    std::deque<double> entries_;
};

}  // namespace kv
