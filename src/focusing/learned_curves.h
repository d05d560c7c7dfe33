// The focus curves a night's curve fits measured, and where focus was last
// found, kept in a small file so that a quick refocus after a restart still
// knows the curve's shape.
//
// Positions are on the focus log's scale. Only fits on an absolute scale
// (a focuser that keeps its own position) mean anything after a restart: a
// counting focuser's count starts again, so its fits are kept for the
// session and not written.
//
// A fit keeps its check frame and its readings' scatter near the bottom:
// the level the star really reached there, which a curve fitted to the
// flanks may round lower, and how far a reading may stray by itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "focusing/quick_refocus.h"

namespace kv {

inline constexpr const char* kLearnedCurvesFileName = "learned_curves.txt";
// More than a night's worth: LearnShape takes tonight's newest few.
inline constexpr std::size_t kMaxLearnedFits = 12;

struct LearnedFocus {
    std::chrono::system_clock::time_point time;
    double position = 0.0;
    std::optional<double> temperatureC;
};

struct LearnedCurve {
    FitRecord record;
    bool absolute = false;  // on a scale that survives a restart
    // The largest figure at which the fit's own readings still found the
    // star (0: not known). A refocus reading further out risks losing it.
    double reached = 0.0;
};

struct LearnedCurves {
    std::vector<LearnedCurve> fits;  // oldest first, at most kMaxLearnedFits
    // A quick refocus's answer: where focus was found after the newest fit.
    std::optional<LearnedFocus> lastFocus;

    // A completed curve fit; the oldest beyond the cap goes, and a refocus
    // answer older than it no longer counts.
    void AddFit(const FitRecord& record, bool absolute, double reached = 0.0);
    // A quick refocus found focus at `focus` (the curve itself unchanged).
    void AddFocus(const LearnedFocus& focus);
    // What a quick refocus now starts from: the learned shape, its last best
    // focus and temperature taken from the newest answer.
    ShapeLearning Learn(const ShapeCriteria& criteria) const;
    // How far out the newest fit of `kind` measured a star, as a figure;
    // nullopt when no fit of that kind says.
    std::optional<double> Reached(FomKind kind) const;
    // True when nothing would be written (no fit on an absolute scale).
    bool NothingToKeep() const;
};

// The file's text: a header line, then one line per fit or answer, numbers
// in the C locale. Fits on a session scale are left out.
std::string FormatLearnedCurves(const LearnedCurves& curves);
// Lines that do not read (a damaged or newer file) are skipped, never
// guessed at: a wrong curve would send the refocus the wrong way.
LearnedCurves ParseLearnedCurves(std::string_view text);

}  // namespace kv
