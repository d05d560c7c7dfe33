#include "focusing/search_error.h"

#include <cmath>
#include <vector>

#include "focusing/curve_fit.h"

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

}  // namespace kv
