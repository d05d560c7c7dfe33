#include "focusing/search_error.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "focusing/critical_focus_zone.h"
#include "focusing/curve_fit.h"
#include "focusing/focus_zone.h"
#include "platform/c_number.h"
#include "platform/format_text.h"

namespace kv {

std::optional<double> FitCentreSpread(std::span<const CurveSample> samples, FomKind kind) {
    std::vector<FitPoint> points;
    for (const CurveSample& s : samples)
        if (s.star) points.push_back({double(s.position), FitFigure(s.fom, kind), double(s.frames)});
    // Each reduced fit needs the fit's least of four points.
    if (points.size() < 5) return std::nullopt;
    std::vector<double> centres;
    for (std::size_t out = 0; out < points.size(); ++out) {
        std::vector<FitPoint> rest;
        rest.reserve(points.size() - 1);
        for (std::size_t i = 0; i < points.size(); ++i)
            if (i != out) rest.push_back(points[i]);
        const CurveFit fit = FitFocusCurve(rest);
        if (fit.ok) centres.push_back(fit.minimumX);
    }
    if (centres.size() < 2) return std::nullopt;
    double mean = 0;
    for (double c : centres) mean += c;
    mean /= static_cast<double>(centres.size());
    double sum = 0;
    for (double c : centres) sum += (c - mean) * (c - mean);
    const double n = static_cast<double>(centres.size());
    return std::sqrt((n - 1.0) / n * sum);
}

std::optional<double> SearchErrorSteps(const SearchResult& result) {
    if (result.outcome != FocusOutcome::Completed || !result.fit) return std::nullopt;
    const double landed = std::fabs(static_cast<double>(result.position) - result.fit->bestPosition);
    if (result.method == FocusMethod::GoldenSection) {
        if (!result.fit->refinement) return std::nullopt;
        return landed;
    }
    if (result.method == FocusMethod::CurveFit) {
        const std::optional<double> spread = FitCentreSpread(result.measured, result.fit->kind);
        if (!spread) return std::nullopt;
        return *spread + landed;
    }
    return std::nullopt;
}

std::optional<double> QuickRefocusErrorSteps(const TQuickRefocusSearch& search, std::int32_t position) {
    const std::optional<ShapeFit>& quick = search.QuickFit();
    if (!search.FellBack()) {
        if (!quick || !quick->centreSpread) return std::nullopt;
        return *quick->centreSpread + std::abs(position - quick->centre);
    }
    const std::optional<FitSummary> fit = search.Fit();
    if (!fit) return std::nullopt;
    const std::vector<CurveSample> samples = search.Samples();
    const std::vector<CurveSample> full(samples.end() - search.FallbackSamples(), samples.end());
    const std::optional<double> spread = FitCentreSpread(full, fit->kind);
    if (!spread) return std::nullopt;
    return *spread + std::abs(position - fit->bestPosition);
}

bool IsUncertain(std::optional<double> errorSteps, std::optional<double> cfzSteps, int step) {
    return !errorSteps || *errorSteps > UncertainTolerance(cfzSteps, step);
}

double UncertainTolerance(std::optional<double> cfzSteps, int step) {
    if (cfzSteps && *cfzSteps > 0.0) return *cfzSteps;
    return std::max(1.0, std::abs(step) / 4.0);
}

namespace {

// Readings with a star where the fitted curve stays within half of its bottom
// again: the ones that fix where the bottom lies.
int ReadingsNearBottom(const SearchResult& result) {
    if (!result.fit) return 0;
    const FitSummary& fit = *result.fit;
    const double bottom = FitFigure(fit.predicted, fit.kind);
    if (!(bottom > 0.0)) return 0;
    int near = 0;
    for (const CurveSample& s : result.measured) {
        if (!s.star) continue;
        const double figure = FitFigure(FitSummaryValue(fit, s.position), fit.kind);
        if (figure <= 1.5 * bottom) ++near;
    }
    return near;
}

}  // namespace

std::string UncertainText(const SearchResult& result, std::optional<double> errorSteps, double tolerance) {
    // A curve fixed by fewer than three readings near its bottom rests on
    // where the grid happened to fall: a finer grid helps whatever the noise.
    // Otherwise the readings scatter: single frames average out with more of
    // them; readings that already average several want more light per frame.
    std::string advice;
    const int near = ReadingsNearBottom(result);
    if (result.fit && near < 3) advice = FormatText(kUncertainFewNearFormat, near) + " ";
    int frames = 0, readings = 0;
    for (const CurveSample& s : result.measured) {
        if (!s.star) continue;
        frames += s.frames;
        ++readings;
    }
    const bool fewFrames = readings == 0 || frames < 3 * readings;
    if (advice.empty() || fewFrames) advice += std::string(fewFrames ? kUncertainMoreFrames : kUncertainLongerExposure) + " ";
    advice += kUncertainEnd;
    if (!errorSteps) return FormatText(kUncertainUnknownFormat, readings, result.position, advice.c_str());

    std::string error = StepsText(*errorSteps);
    std::string allowed = StepsText(tolerance);
    if (const std::optional<double> zones = ErrorInCfz(*errorSteps, result.cfzSteps)) {
        error += " (" + FormatFixedC(*zones, 2) + " CFZ)";
        allowed = "1 CFZ (" + allowed + ")";
    } else {
        allowed += " (a quarter of the step)";
    }
    return FormatText(kUncertainFormat, error.c_str(), allowed.c_str(), result.position, advice.c_str());
}

}  // namespace kv
