// The critical focus zone: how far the focal plane may sit from best focus
// before the star visibly softens, 4.88 · λ · N² for green light. A result
// in steps means little until it is set against this zone, which is why the
// auto focus results, the focus log and the bench all give both.
//
// The zone here is its whole depth (best focus ± half of it). "Within one
// zone" therefore allows an error of one zone's depth either side; "inside
// the zone" is half of that.
#pragma once

#include <cmath>
#include <optional>

namespace kv {

inline constexpr double kCfzWavelengthMicrons = 0.55;

// The zone's depth in µm for focal ratio `focalRatio`; nullopt when the
// ratio is not a usable number (unset, zero, negative).
inline std::optional<double> CriticalFocusZoneMicrons(double focalRatio) {
    if (!std::isfinite(focalRatio) || focalRatio <= 0.0) return std::nullopt;
    return 4.88 * kCfzWavelengthMicrons * focalRatio * focalRatio;
}

// The zone's depth in focuser steps of `stepMicrons` each; nullopt when
// either figure is missing or unusable.
inline std::optional<double> CriticalFocusZoneSteps(double focalRatio, double stepMicrons) {
    const std::optional<double> microns = CriticalFocusZoneMicrons(focalRatio);
    if (!microns || !std::isfinite(stepMicrons) || stepMicrons <= 0.0) return std::nullopt;
    return *microns / stepMicrons;
}

// An error of `steps` expressed in zone depths (always ≥ 0).
inline std::optional<double> ErrorInCfz(double steps, std::optional<double> cfzSteps) {
    if (!cfzSteps || *cfzSteps <= 0.0) return std::nullopt;
    return std::abs(steps) / *cfzSteps;
}

}  // namespace kv
