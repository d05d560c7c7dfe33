// Fitting a focus curve: where a star's size is smallest, from readings at
// several focuser positions.
//
// Two models are tried and the one whose weighted residuals are smaller wins:
//   Hyperbola  y = a * sqrt(1 + ((x - c) / b)^2) + d   over every point; the
//              shape of a defocused star's size (the seeing's size a at best
//              focus, growing a / b per step far from it). Optionally with an
//              offset d (a sharp V on a pedestal) or a different b right of c
//              (one flank steeper); the variant is chosen by the small-sample
//              Akaike criterion, so an extra parameter must earn its place;
//   Parabola   y = m + k * (x - c)^2                    over every point when
//              the criterion prefers it to the hyperbolas (a size growing with
//              the square of the distance), or over the points near the bottom
//              only, where any smooth curve looks like one, when that fits far
//              better than every model over all the points.
// A point made of several frames weighs as much as they do, and a point
// where the curve is higher weighs more (FitOptions::sizeWeighting). The single worst
// point is left out when its residual stands far above the others' (a frame
// spoilt by a gust or a satellite), never more than one.
//
// The figures are sizes (smaller is better). Peak, which grows as the star
// shrinks, is fitted as SizeFromPeak(Peak) = 1000 / sqrt(Peak): a star's peak
// falls with the square of its width, so that is a width in arbitrary units and
// has the same hyperbolic shape.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "camera/focus_figures.h"

namespace kv {

struct FitPoint {
    double x = 0.0;       // focuser position
    double y = 0.0;       // figure (a size: smaller is better)
    double weight = 1.0;  // frames behind the reading
    bool operator==(const FitPoint&) const = default;
};

enum class FitModel : std::uint8_t { None, Hyperbola, Parabola };
const char* FitModelName(FitModel model);

struct CurveFit {
    bool ok = false;
    std::string why;  // !ok: what went wrong, for the log
    FitModel model = FitModel::None;
    // Hyperbola: a, b, c, d, b right (d = 0 and b right = b unless that
    // variant was chosen). Parabola: m, k, c. The third is the minimum's position.
    std::vector<double> parameters;
    double minimumX = 0.0;   // where the model is lowest
    double predicted = 0.0;  // the model's value there
    double rSquared = 0.0;   // over the points used, weighted
    // How far the curve rose on its shallower side: the lower of the two
    // outermost points' values over the predicted minimum, less 1 (0.5: the
    // edges read at least 50 % above the bottom).
    double depth = 0.0;
    int rejected = -1;  // index of the point left out, or -1
};

struct FitOptions {
    // Points each side of the lowest one that the bottom's parabola takes.
    int parabolaHalfWidth = 3;
    // A reading's weight grows as (s / smallest s)^sizeWeighting, s the size
    // a first fit gives at its position: the seeing's wander adds to a
    // blurred star's size in quadrature, so the size of a star far from focus
    // varies less than that of a sharp one (the simulated camera's HFD varies
    // by 15 % near focus, by 1 % four hundred steps out): its spread falls
    // as 1 / s. 0 would suit a V whose every reading varies alike.
    double sizeWeighting = 2.0;
    // ... to at most this factor: far out a curve may leave the model's shape
    // and a fading star reads too small, and one such point must not rule.
    double maxSizeWeight = 8.0;
    // A point is left out when its residual, in units of its own spread (a
    // point of weight w spreads 1 / sqrt(w) as far), exceeds this many times
    // the others' rms residual in the same units...
    double outlierFactor = 4.0;
    // ... and this fraction of the curve's height (noise-free curves have
    // residuals near 0, so the ratio alone would pick on rounding).
    double outlierMinFraction = 0.05;
};

// Fits `points` (any order; at least 4 with positive weight). Not ok when too
// few points are left or neither model has a minimum inside the points' span.
CurveFit FitFocusCurve(std::span<const FitPoint> points, const FitOptions& options = {});

// The model's value at x (0 for FitModel::None).
double FitValue(FitModel model, std::span<const double> parameters, double x);
inline double FitValue(const CurveFit& fit, double x) { return FitValue(fit.model, fit.parameters, x); }

// A curve whose shape another fit learned (a region of the field against the
// whole field's curve): only its centre and its level move, y = shape(x - c
// + shape's c) + level. The far flanks' slope is the optics' and the same
// over the field, while a corner's stars may be larger at best focus, so the
// level is free and the width is not.
struct ShapedFit {
    bool ok = false;
    std::string why;       // !ok: what went wrong
    double centre = 0.0;   // where the curve is lowest
    double sigma = 0.0;    // the centre's standard error, from the points' scatter
    double level = 0.0;    // added to the shape's values
};
// Needs at least 4 points with positive weight and a centre inside their span.
ShapedFit FitShapedCurve(std::span<const FitPoint> points, const CurveFit& shape);

// Peak as a size (see above); non-positive peaks read as 1.
double SizeFromPeak(double peak);
double PeakFromSize(double size);
// The figure the fit works on for a FOM of `kind`.
inline double FitFigure(double fom, FomKind kind) { return LargerIsBetter(kind) ? SizeFromPeak(fom) : fom; }
inline double FomFromFitFigure(double figure, FomKind kind) {
    return LargerIsBetter(kind) ? PeakFromSize(figure) : figure;
}

}  // namespace kv
