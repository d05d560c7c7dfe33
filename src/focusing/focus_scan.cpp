#include "focusing/focus_scan.h"

#include <algorithm>

namespace kv {

std::vector<std::int32_t> ScanPositions(const ScanSettings& settings) {
    std::vector<std::int32_t> positions;
    const std::int32_t steps = std::max<std::int32_t>(settings.steps, 0);
    positions.reserve(static_cast<std::size_t>(steps) + 1);
    for (std::int32_t i = 0; i <= steps; ++i) positions.push_back(settings.start + i * settings.increment);
    return positions;
}

AxisRange ScanAxisRange(const ScanSettings& settings) {
    return {static_cast<double>(settings.start),
            static_cast<double>(settings.start + settings.steps * settings.increment)};
}

std::optional<std::int32_t> BestScanPosition(std::span<const ChartPoint> points, FomKind kind) {
    if (points.empty()) return std::nullopt;
    const bool larger = LargerIsBetter(kind);
    const ChartPoint* best = &points.front();
    for (const ChartPoint& p : points) {
        const bool better = larger ? p.y > best->y : p.y < best->y;
        if (better || (p.y == best->y && p.x < best->x)) best = &p;
    }
    return static_cast<std::int32_t>(best->x);
}

}  // namespace kv
