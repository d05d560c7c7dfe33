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
#include <span>

#include "focusing/curve_fit_search.h"
#include "focusing/focusing_runner.h"

namespace kv {

// nullopt unless the search completed with what its method needs.
std::optional<double> SearchErrorSteps(const SearchResult& result);

// The jackknife standard error of the fitted minimum over `samples` (those
// with a star, as the curve fit takes them); nullopt below 5 such samples or
// when fewer than two of the reduced fits find a minimum.
std::optional<double> FitCentreSpread(std::span<const CurveSample> samples, FomKind kind);

}  // namespace kv
