// The focus scan's decisions: which positions it measures, where the chart's
// position axis runs, and which measured point is best. The procedure that
// moves and measures is TFocusingRunner::StartScan (focusing_runner.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "camera/focus_figures.h"
#include "platform/waits.h"

namespace kv {

// One chart point.
struct ChartPoint {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const ChartPoint&) const = default;
};

// The Scan group's values, relative to where the focuser stands when the
// scan starts. The spin edits' ranges and defaults are below.
struct ScanSettings {
    std::int32_t start = -100;    // StartScanSE
    std::int32_t increment = 20;  // ScanStepSE
    std::int32_t steps = 10;      // NumStepsSE: number of increments
};
inline constexpr int kScanStartMin = -200, kScanStartMax = 200, kScanStartStep = 10;
inline constexpr int kScanIncrementMin = 5, kScanIncrementMax = 50, kScanIncrementStep = 5;
inline constexpr int kScanStepsMin = 1, kScanStepsMax = 50;
inline constexpr int kMoveMinMin = -200, kMoveMinMax = 200;  // MoveMinSE

// The steps + 1 positions start, start + increment, ..., start + steps *
// increment; the focuser is left at the last one.
std::vector<std::int32_t> ScanPositions(const ScanSettings& settings);

// The chart's position axis: from the first position to the last.
struct AxisRange {
    double min = 0.0;
    double max = 0.0;
    bool operator==(const AxisRange&) const = default;
};
AxisRange ScanAxisRange(const ScanSettings& settings);

// The best point's position: the smallest y (the largest for Peak), and among
// equal values the lowest position. nullopt without points.
std::optional<std::int32_t> BestScanPosition(std::span<const ChartPoint> points, FomKind kind);

// Fixed texts and limits.
inline constexpr int kScanMoveWaitMs = 45000;
inline constexpr const char* kScanChartTitle = "       Focus Scan Results";
inline constexpr const char* kScanAxisTitle = "Position";
inline constexpr const char* kStartingScanText = "Starting scan...";
inline constexpr const char* kMovingToFormat = "Moving to %d";
inline constexpr const char* kScanPointFormat = "%d %3.4f";
inline constexpr const char* kScanTooFewFormat = "%d %s";
// The scan's result: the best position and its figure of merit.
inline constexpr const char* kScanBestFormat = "Scan complete: best focus at %d (%3.4f)";
inline constexpr const char* kScanCancelledText = "Scan cancelled....";
inline constexpr const char* kScanErrorText = "Error...Scan cancelled";
inline constexpr WaitMessages kScanWaitMessages{"Time out during scanning", "Abandoned event during scanning",
                                                "An error occurred during scanning"};
// Shown (then a beep) before a scan or a search starts while automatic
// temperature compensation runs; the procedure still starts.
inline constexpr const char* kTempCompUnderwayText = "Temperature compensation is underway";

}  // namespace kv
