#include "focusing/curve_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kv {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Model {
    FitModel kind = FitModel::None;
    std::vector<double> parameters;
    double variance = kInf;  // weighted SSE over the degrees of freedom
    double sse = kInf;
    std::vector<std::size_t> used;  // indices of the points fitted
};

double WeightedSse(std::span<const FitPoint> points, std::span<const std::size_t> used, FitModel kind,
                   std::span<const double> parameters) {
    double sse = 0.0;
    for (const std::size_t i : used) {
        const double r = points[i].y - FitValue(kind, parameters, points[i].x);
        sse += points[i].weight * r * r;
    }
    return sse;
}

// The best scale a of a * g(x) for a fixed shape g, and the SSE it leaves.
struct Scaled {
    double a = 0.0;
    double sse = kInf;
};
Scaled FitScale(std::span<const FitPoint> points, std::span<const std::size_t> used, double b, double c) {
    double sgy = 0.0;
    double sgg = 0.0;
    for (const std::size_t i : used) {
        const double u = (points[i].x - c) / b;
        const double g = std::sqrt(1.0 + u * u);
        sgy += points[i].weight * g * points[i].y;
        sgg += points[i].weight * g * g;
    }
    if (!(sgg > 0.0)) return {};
    Scaled s;
    s.a = sgy / sgg;
    const std::array<double, 3> p{s.a, b, c};
    s.sse = WeightedSse(points, used, FitModel::Hyperbola, p);
    return s;
}

// Hyperbola by variable projection: a is solved for each (b, c), and (log b,
// c) is searched on a grid and then refined by Nelder-Mead. The grid keeps
// the refinement away from the local minima that a lone start would find.
Model FitHyperbola(std::span<const FitPoint> points, const std::vector<std::size_t>& used) {
    Model m;
    m.kind = FitModel::Hyperbola;
    m.used = used;
    if (used.size() < 4) return m;
    double lo = kInf;
    double hi = -kInf;
    for (const std::size_t i : used) {
        lo = std::min(lo, points[i].x);
        hi = std::max(hi, points[i].x);
    }
    const double span = hi - lo;
    if (!(span > 0.0)) return m;
    const auto cost = [&](double logB, double c) {
        if (c < lo - span || c > hi + span) return kInf;
        return FitScale(points, used, std::exp(logB), c).sse;
    };
    constexpr int kGridC = 41;
    constexpr int kGridB = 25;
    const double logLo = std::log(span / 200.0);
    const double logHi = std::log(span * 20.0);
    double bestLogB = logLo;
    double bestC = lo;
    double best = kInf;
    for (int j = 0; j < kGridB; ++j) {
        const double logB = logLo + (logHi - logLo) * j / (kGridB - 1);
        for (int k = 0; k < kGridC; ++k) {
            const double c = lo + span * k / (kGridC - 1);
            const double v = cost(logB, c);
            if (v < best) {
                best = v;
                bestLogB = logB;
                bestC = c;
            }
        }
    }
    // Nelder-Mead on (log b, c).
    struct Vertex {
        double p[2];
        double f;
    };
    const double stepB = (logHi - logLo) / (kGridB - 1);
    const double stepC = span / (kGridC - 1);
    std::array<Vertex, 3> v{{{{bestLogB, bestC}, best},
                             {{bestLogB + stepB, bestC}, cost(bestLogB + stepB, bestC)},
                             {{bestLogB, bestC + stepC}, cost(bestLogB, bestC + stepC)}}};
    const auto at = [&](const double* p) { return Vertex{{p[0], p[1]}, cost(p[0], p[1])}; };
    for (int iter = 0; iter < 300; ++iter) {
        std::sort(v.begin(), v.end(), [](const Vertex& l, const Vertex& r) { return l.f < r.f; });
        if (std::fabs(v[2].p[1] - v[0].p[1]) < span * 1e-7 && std::fabs(v[2].p[0] - v[0].p[0]) < 1e-7) break;
        const double centre[2] = {(v[0].p[0] + v[1].p[0]) / 2, (v[0].p[1] + v[1].p[1]) / 2};
        const auto towards = [&](double t) {
            const double p[2] = {centre[0] + t * (v[2].p[0] - centre[0]), centre[1] + t * (v[2].p[1] - centre[1])};
            return at(p);
        };
        const Vertex reflected = towards(-1.0);
        if (reflected.f < v[0].f) {
            const Vertex expanded = towards(-2.0);
            v[2] = expanded.f < reflected.f ? expanded : reflected;
        } else if (reflected.f < v[1].f) {
            v[2] = reflected;
        } else {
            const Vertex contracted = towards(reflected.f < v[2].f ? -0.5 : 0.5);
            if (contracted.f < std::min(reflected.f, v[2].f)) {
                v[2] = contracted;
            } else {
                for (int i = 1; i < 3; ++i) {
                    const double p[2] = {(v[0].p[0] + v[i].p[0]) / 2, (v[0].p[1] + v[i].p[1]) / 2};
                    v[i] = at(p);
                }
            }
        }
    }
    std::sort(v.begin(), v.end(), [](const Vertex& l, const Vertex& r) { return l.f < r.f; });
    const double b = std::exp(v[0].p[0]);
    const double c = v[0].p[1];
    const Scaled s = FitScale(points, used, b, c);
    if (!(s.a > 0.0) || !std::isfinite(s.sse)) return m;
    m.parameters = {s.a, b, c};
    m.sse = s.sse;
    m.variance = s.sse / static_cast<double>(used.size() - 3);
    return m;
}

// Weighted least squares of y = q0 + q1 u + q2 u^2 with u = (x - x0) / scale.
Model FitParabola(std::span<const FitPoint> points, const std::vector<std::size_t>& used) {
    Model m;
    m.kind = FitModel::Parabola;
    m.used = used;
    if (used.size() < 4) return m;
    double sw = 0.0;
    double sx = 0.0;
    double lo = kInf;
    double hi = -kInf;
    for (const std::size_t i : used) {
        sw += points[i].weight;
        sx += points[i].weight * points[i].x;
        lo = std::min(lo, points[i].x);
        hi = std::max(hi, points[i].x);
    }
    const double x0 = sx / sw;
    const double scale = (hi - lo) / 2.0;
    if (!(scale > 0.0)) return m;
    // Normal equations, 3 x 3.
    double n[3][4] = {};
    for (const std::size_t i : used) {
        const double u = (points[i].x - x0) / scale;
        const double basis[3] = {1.0, u, u * u};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) n[r][c] += points[i].weight * basis[r] * basis[c];
            n[r][3] += points[i].weight * basis[r] * points[i].y;
        }
    }
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(n[r][col]) > std::fabs(n[pivot][col])) pivot = r;
        if (std::fabs(n[pivot][col]) < 1e-12) return m;
        for (int c = 0; c < 4; ++c) std::swap(n[col][c], n[pivot][c]);
        for (int r = 0; r < 3; ++r) {
            if (r == col) continue;
            const double f = n[r][col] / n[col][col];
            for (int c = col; c < 4; ++c) n[r][c] -= f * n[col][c];
        }
    }
    const double q0 = n[0][3] / n[0][0];
    const double q1 = n[1][3] / n[1][1];
    const double q2 = n[2][3] / n[2][2];
    if (!(q2 > 0.0)) return m;  // no bottom: a ridge or a line
    const double uMin = -q1 / (2.0 * q2);
    const double k = q2 / (scale * scale);
    const double c = x0 + uMin * scale;
    const double bottom = q0 + q1 * uMin + q2 * uMin * uMin;
    m.parameters = {bottom, k, c};
    m.sse = WeightedSse(points, used, FitModel::Parabola, m.parameters);
    m.variance = m.sse / static_cast<double>(used.size() - 3);
    return m;
}

// The points near the lowest one: `half` each side, shifted inwards at the ends.
std::vector<std::size_t> BottomPoints(std::span<const FitPoint> points, const std::vector<std::size_t>& byX,
                                      int half) {
    std::size_t lowest = 0;
    for (std::size_t k = 1; k < byX.size(); ++k)
        if (points[byX[k]].y < points[byX[lowest]].y) lowest = k;
    const std::size_t width = std::min(byX.size(), static_cast<std::size_t>(2 * half + 1));
    std::size_t first = lowest > static_cast<std::size_t>(half) ? lowest - static_cast<std::size_t>(half) : 0;
    first = std::min(first, byX.size() - width);
    return {byX.begin() + static_cast<std::ptrdiff_t>(first), byX.begin() + static_cast<std::ptrdiff_t>(first + width)};
}

Model Best(std::span<const FitPoint> points, const std::vector<std::size_t>& byX, const FitOptions& options) {
    Model hyperbola = FitHyperbola(points, byX);
    Model parabola = FitParabola(points, BottomPoints(points, byX, options.parabolaHalfWidth));
    // The parabola must have a degree of freedom left to be judged at all.
    if (parabola.used.size() < 5) parabola.variance = kInf;
    return parabola.variance < hyperbola.variance ? parabola : hyperbola;
}

}  // namespace

const char* FitModelName(FitModel model) {
    switch (model) {
    case FitModel::Hyperbola: return "hyperbola";
    case FitModel::Parabola: return "parabola";
    case FitModel::None: break;
    }
    return "none";
}

double FitValue(FitModel model, std::span<const double> p, double x) {
    if (p.size() < 3) return 0.0;
    switch (model) {
    case FitModel::Hyperbola: {
        const double u = (x - p[2]) / p[1];
        return p[0] * std::sqrt(1.0 + u * u);
    }
    case FitModel::Parabola: return p[0] + p[1] * (x - p[2]) * (x - p[2]);
    case FitModel::None: break;
    }
    return 0.0;
}

double SizeFromPeak(double peak) { return 1000.0 / std::sqrt(peak > 1.0 ? peak : 1.0); }
double PeakFromSize(double size) { return size > 0.0 ? (1000.0 / size) * (1000.0 / size) : 0.0; }

CurveFit FitFocusCurve(std::span<const FitPoint> points, const FitOptions& options) {
    CurveFit fit;
    std::vector<std::size_t> byX;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (points[i].weight > 0.0 && std::isfinite(points[i].x) && std::isfinite(points[i].y)) byX.push_back(i);
    std::sort(byX.begin(), byX.end(), [&](std::size_t l, std::size_t r) { return points[l].x < points[r].x; });
    if (byX.size() < 4) {
        fit.why = "too few points to fit";
        return fit;
    }

    Model model = Best(points, byX, options);
    // One wild point may go: judged against the hyperbola over every point, as
    // the bottom's parabola cannot see a wild point on the flanks.
    if (byX.size() >= 6) {
        const Model wide = FitHyperbola(points, byX);
        if (!wide.parameters.empty()) {
            double yMin = kInf;
            double yMax = -kInf;
            std::size_t worst = byX.front();
            double worstR = -1.0;
            for (const std::size_t i : byX) {
                yMin = std::min(yMin, points[i].y);
                yMax = std::max(yMax, points[i].y);
                const double r = std::fabs(points[i].y - FitValue(FitModel::Hyperbola, wide.parameters, points[i].x));
                if (r > worstR) {
                    worstR = r;
                    worst = i;
                }
            }
            std::vector<std::size_t> others;
            for (const std::size_t i : byX)
                if (i != worst) others.push_back(i);
            const Model without = FitHyperbola(points, others);
            if (!without.parameters.empty()) {
                double sw = 0.0;
                for (const std::size_t i : others) sw += points[i].weight;
                const double rms = std::sqrt(without.sse / sw);
                const double r = std::fabs(points[worst].y - FitValue(FitModel::Hyperbola, without.parameters,
                                                                      points[worst].x));
                if (r > options.outlierFactor * rms && r > options.outlierMinFraction * (yMax - yMin)) {
                    fit.rejected = static_cast<int>(worst);
                    byX = others;
                    model = Best(points, byX, options);
                }
            }
        }
    }

    if (model.parameters.empty()) {
        fit.why = "the points have no minimum";
        return fit;
    }
    fit.model = model.kind;
    fit.parameters = model.parameters;
    fit.minimumX = model.parameters[2];
    fit.predicted = model.parameters[0];  // a, or m: both are the value at c

    double sw = 0.0;
    double swy = 0.0;
    for (const std::size_t i : model.used) {
        sw += points[i].weight;
        swy += points[i].weight * points[i].y;
    }
    const double mean = swy / sw;
    double sst = 0.0;
    for (const std::size_t i : model.used) sst += points[i].weight * (points[i].y - mean) * (points[i].y - mean);
    fit.rSquared = sst > 0.0 ? 1.0 - model.sse / sst : 0.0;

    const FitPoint& left = points[byX.front()];
    const FitPoint& right = points[byX.back()];
    fit.depth = fit.predicted > 0.0 ? std::min(left.y, right.y) / fit.predicted - 1.0 : 0.0;
    if (fit.minimumX < left.x || fit.minimumX > right.x) {
        fit.why = "the fitted minimum lies outside the measured positions";
        return fit;
    }
    fit.ok = true;
    return fit;
}

}  // namespace kv
