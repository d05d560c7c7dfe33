// How far a completed auto focus may have left the focuser from best focus,
// as far as the run itself can tell. No run knows true focus, so each method
// reports the one disagreement it can measure honestly:
//
//   Golden section: the distance between where it ended (its best reading)
//   and the minimum of a curve fitted through its own points afterwards.
//   The two are independent answers from the same readings; where they part,
//   the truth is at least that uncertain.
//
//   Curve fit: the spread of the fitted minimum when each reading is left out
//   in turn (the jackknife's standard error), plus how far from that minimum
//   the focuser came to rest. The spread says how much the answer rests on
//   any one reading's noise; the residual distance is the landing's own
//   error (rounding, backlash, a coasting motor), known exactly.
//
// A fit's R² or its check frame alone would not do: both speak of the figure
// of merit, and near the bottom of the curve a figure barely moves with the
// position, so neither converts into steps.
#pragma once

#include <optional>
#include <cstdint>
#include <span>
#include <string>

#include "focusing/curve_fit_search.h"
#include "focusing/focusing_runner.h"
#include "focusing/quick_refocus.h"

namespace kv {

// nullopt unless the search completed with what its method needs.
std::optional<double> SearchErrorSteps(const SearchResult& result);

// The jackknife standard error of the fitted minimum over `samples` (those
// with a star, as the curve fit takes them); nullopt below 5 such samples or
// when fewer than two of the reduced fits find a minimum.
std::optional<double> FitCentreSpread(std::span<const CurveSample> samples, FomKind kind);

// A completed quick refocus's own answer: its centre's spread plus where the
// focuser came to rest from it; after a fallback the full fit's readings
// alone (as SearchErrorSteps). nullopt without enough readings for either.
std::optional<double> QuickRefocusErrorSteps(const TQuickRefocusSearch& search, std::int32_t position);

// What a completed curve fit or quick refocus may claim as best focus: its
// error within one critical focus zone where the optics are set, else within
// a quarter of the step it walked with (a finer answer than the grid it read
// is what a fit is for; a coarser one is no better than a reading).
double UncertainTolerance(std::optional<double> cfzSteps, int step);

// True when a completed curve fit or quick refocus may not claim its answer:
// its error exceeds the tolerance, or the readings were too few to estimate
// it (a walk that lost the star at most positions: such answers missed by
// two CFZ as often as they hit on a noisy simulated sky).
bool IsUncertain(std::optional<double> errorSteps, std::optional<double> cfzSteps, int step);

// Texts of an uncertain answer. The advice follows what the readings showed.
inline constexpr const char* kUncertainFormat =
    "Best focus is uncertain: the answer may lie %s from best focus, more than the %s it may claim."
    "\r\nThe focuser stands at the answer, position %d. %s";
inline constexpr const char* kUncertainUnknownFormat =
    "Best focus is uncertain: %d readings showed the star, too few to tell how far the answer may lie from best "
    "focus.\r\nThe focuser stands at the answer, position %d. %s";
inline constexpr const char* kUncertainFewNearFormat =
    "Only %d of the readings lie near best focus: use a smaller step.";
inline constexpr const char* kUncertainMoreFrames = "Take more focus frames a reading.";
inline constexpr const char* kUncertainLongerExposure =
    "Lengthen the exposure: the readings scatter although each averages several focus frames.";
inline constexpr const char* kUncertainEnd = "Then start again.";

// The message for a search whose error exceeds `tolerance` (both in steps),
// or that has no estimate of it (nullopt: too few readings for one): the
// figures, and the advice its readings support (readings near the bottom of
// the fitted curve, focus frames a reading).
std::string UncertainText(const SearchResult& result, std::optional<double> errorSteps, double tolerance);

}  // namespace kv
