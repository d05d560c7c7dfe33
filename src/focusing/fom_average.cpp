#include "focusing/fom_average.h"

#include <numeric>

namespace kv {

std::string AverageCaption(std::size_t capacity) { return "Average\n\r of " + std::to_string(capacity); }

double TFomAverage::AverageFOM(double fom) {
    while (entries_.size() >= capacity_ && !entries_.empty()) entries_.pop_front();
    entries_.push_back(fom);
    return std::accumulate(entries_.begin(), entries_.end(), 0.0) / static_cast<double>(entries_.size());
}

void TFomAverage::SetCapacity(std::size_t capacity) {
    capacity_ = capacity == 0 ? 1 : capacity;
    entries_.clear();
}

}  // namespace kv
