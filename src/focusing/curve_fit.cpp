#include "focusing/curve_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace kv {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kParabolaAdvantage = 20.0;

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

// A hyperbola's shape for fixed (c, b left, b right): g(x) = sqrt(1 + u^2).
double Shape(double x, double c, double bLeft, double bRight) {
    const double u = (x - c) / (x < c ? bLeft : bRight);
    return std::sqrt(1.0 + u * u);
}

// The hyperbola variants: an offset lets the curve be a sharp V on a
// pedestal, separate widths let one flank be steeper than the other.
struct Variant {
    bool offset;
    bool lopsided;
    int Parameters() const { return 3 + (offset ? 1 : 0) + (lopsided ? 1 : 0); }
};

// The best a (and offset d) of a * g + d for a fixed shape, and the SSE left;
// parameters as FitValue takes them: a, b, c, d, b right.
struct Linear {
    std::array<double, 5> p{};
    double sse = kInf;
};
Linear FitLinear(std::span<const FitPoint> points, std::span<const std::size_t> used, double c, double bLeft,
                 double bRight, bool offset) {
    double sw = 0.0, sg = 0.0, sgg = 0.0, sy = 0.0, sgy = 0.0;
    for (const std::size_t i : used) {
        const double w = points[i].weight;
        const double g = Shape(points[i].x, c, bLeft, bRight);
        sw += w;
        sg += w * g;
        sgg += w * g * g;
        sy += w * points[i].y;
        sgy += w * g * points[i].y;
    }
    Linear l;
    double a = 0.0;
    double d = 0.0;
    if (offset) {
        const double det = sgg * sw - sg * sg;
        if (!(std::fabs(det) > 1e-12 * sgg * sw)) return l;
        a = (sgy * sw - sg * sy) / det;
        d = (sgg * sy - sg * sgy) / det;
    } else {
        if (!(sgg > 0.0)) return l;
        a = sgy / sgg;
    }
    if (!(a > 0.0)) return l;  // a ridge, not a bottom
    l.p = {a, bLeft, c, d, bRight};
    l.sse = WeightedSse(points, used, FitModel::Hyperbola, l.p);
    return l;
}

// Nelder-Mead over n <= 3 coordinates from `start` with initial steps `step`.
template <typename Cost>
std::array<double, 3> Simplex(int n, std::array<double, 3> start, std::array<double, 3> step, Cost cost) {
    struct Vertex {
        std::array<double, 3> p;
        double f;
    };
    std::vector<Vertex> v;
    v.push_back({start, cost(start)});
    for (int i = 0; i < n; ++i) {
        std::array<double, 3> p = start;
        p[static_cast<std::size_t>(i)] += step[static_cast<std::size_t>(i)];
        v.push_back({p, cost(p)});
    }
    const auto byCost = [](const Vertex& l, const Vertex& r) { return l.f < r.f; };
    for (int iter = 0; iter < 400; ++iter) {
        std::sort(v.begin(), v.end(), byCost);
        double size = 0.0;
        for (int i = 0; i < n; ++i)
            size = std::max(size, std::fabs(v.back().p[static_cast<std::size_t>(i)] - v.front().p[static_cast<std::size_t>(i)]) /
                                      step[static_cast<std::size_t>(i)]);
        if (size < 1e-7) break;
        std::array<double, 3> centre{};
        for (int k = 0; k < n; ++k)
            for (int i = 0; i < n; ++i)
                centre[static_cast<std::size_t>(i)] += v[static_cast<std::size_t>(k)].p[static_cast<std::size_t>(i)] / n;
        const auto towards = [&](double t) {
            std::array<double, 3> p{};
            for (int i = 0; i < n; ++i) {
                const auto k = static_cast<std::size_t>(i);
                p[k] = centre[k] + t * (v.back().p[k] - centre[k]);
            }
            return Vertex{p, cost(p)};
        };
        const Vertex reflected = towards(-1.0);
        if (reflected.f < v.front().f) {
            const Vertex expanded = towards(-2.0);
            v.back() = expanded.f < reflected.f ? expanded : reflected;
        } else if (reflected.f < v[v.size() - 2].f) {
            v.back() = reflected;
        } else {
            const Vertex contracted = towards(reflected.f < v.back().f ? -0.5 : 0.5);
            if (contracted.f < std::min(reflected.f, v.back().f)) {
                v.back() = contracted;
            } else {
                for (std::size_t k = 1; k < v.size(); ++k) {
                    std::array<double, 3> p{};
                    for (int i = 0; i < n; ++i) {
                        const auto j = static_cast<std::size_t>(i);
                        p[j] = (v.front().p[j] + v[k].p[j]) / 2;
                    }
                    v[k] = {p, cost(p)};
                }
            }
        }
    }
    std::sort(v.begin(), v.end(), byCost);
    return v.front().p;
}

// A hyperbola variant by variable projection: the linear parameters are
// solved for each (c, log b [, log b right]), which are searched on a grid
// (equal widths) and then refined by Nelder-Mead. The grid keeps the
// refinement away from the local minima that a lone start would find.
Model FitHyperbola(std::span<const FitPoint> points, const std::vector<std::size_t>& used, Variant variant) {
    Model m;
    m.kind = FitModel::Hyperbola;
    m.used = used;
    const int n = static_cast<int>(used.size());
    if (n < variant.Parameters() + 1) return m;
    double lo = kInf;
    double hi = -kInf;
    for (const std::size_t i : used) {
        lo = std::min(lo, points[i].x);
        hi = std::max(hi, points[i].x);
    }
    const double span = hi - lo;
    if (!(span > 0.0)) return m;
    const double logLo = std::log(span / 200.0);
    const double logHi = std::log(span * 20.0);
    const auto cost = [&](const std::array<double, 3>& q) {
        const double c = q[0];
        if (c < lo - span || c > hi + span) return kInf;
        const double lb = std::clamp(q[1], logLo - 2.0, logHi + 2.0);
        const double lr = variant.lopsided ? std::clamp(q[2], logLo - 2.0, logHi + 2.0) : lb;
        return FitLinear(points, used, c, std::exp(lb), std::exp(lr), variant.offset).sse;
    };
    constexpr int kGridC = 41;
    constexpr int kGridB = 25;
    std::array<double, 3> best{lo, logLo, logLo};
    double bestCost = kInf;
    for (int j = 0; j < kGridB; ++j) {
        const double logB = logLo + (logHi - logLo) * j / (kGridB - 1);
        for (int k = 0; k < kGridC; ++k) {
            const std::array<double, 3> q{lo + span * k / (kGridC - 1), logB, logB};
            const double v = cost(q);
            if (v < bestCost) {
                bestCost = v;
                best = q;
            }
        }
    }
    if (!std::isfinite(bestCost)) return m;
    const double stepB = (logHi - logLo) / (kGridB - 1);
    const std::array<double, 3> steps{span / (kGridC - 1), stepB, stepB};
    const std::array<double, 3> q = Simplex(variant.lopsided ? 3 : 2, best, steps, cost);
    const double lb = std::clamp(q[1], logLo - 2.0, logHi + 2.0);
    const double lr = variant.lopsided ? std::clamp(q[2], logLo - 2.0, logHi + 2.0) : lb;
    const Linear l = FitLinear(points, used, q[0], std::exp(lb), std::exp(lr), variant.offset);
    if (!std::isfinite(l.sse)) return m;
    m.parameters.assign(l.p.begin(), l.p.end());
    m.sse = l.sse;
    m.variance = l.sse / static_cast<double>(n - variant.Parameters());
    return m;
}

// Small-sample Akaike criterion: the variant whose extra parameters pay for
// themselves in residuals.
double Aicc(const Model& m, int parameters, double floor) {
    const double n = static_cast<double>(m.used.size());
    const double k = parameters;
    if (!std::isfinite(m.sse) || n - k - 1.0 <= 0.0) return kInf;
    return n * std::log(std::max(m.sse, floor) / n) + 2.0 * k + 2.0 * k * (k + 1.0) / (n - k - 1.0);
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

// The model over every point: a hyperbola variant, or a parabola when the
// whole curve is one (a star whose size grows with the square of the
// distance), whichever the small-sample Akaike criterion prefers.
Model FitWide(std::span<const FitPoint> points, const std::vector<std::size_t>& used) {
    double sw = 0.0, swy = 0.0;
    for (const std::size_t i : used) {
        sw += points[i].weight;
        swy += points[i].weight * points[i].y;
    }
    double sst = 0.0;
    for (const std::size_t i : used) sst += points[i].weight * std::pow(points[i].y - swy / sw, 2.0);
    // Residuals below this are rounding: a perfect fit of every variant ties.
    const double floor = std::max(sst, 1e-300) * 1e-12;
    Model best;
    best.kind = FitModel::Hyperbola;
    best.used = used;
    double bestScore = kInf;
    // Offset and lopsided flanks together (five parameters) follow the noise
    // of a dozen points more than the curve: the scenario battery loses a few
    // per cent of its answers with that variant, and finds no curve needing it.
    for (const Variant v : {Variant{false, false}, Variant{true, false}, Variant{false, true}}) {
        Model m = FitHyperbola(points, used, v);
        const double score = Aicc(m, v.Parameters(), floor);
        if (score < bestScore) {
            bestScore = score;
            best = std::move(m);
        }
    }
    Model parabola = FitParabola(points, used);
    if (Aicc(parabola, 3, floor) < bestScore) best = std::move(parabola);
    return best;
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
    Model wide = FitWide(points, byX);
    Model parabola = FitParabola(points, BottomPoints(points, byX, options.parabolaHalfWidth));
    // The parabola must have a degree of freedom left to be judged at all.
    if (parabola.used.size() < 5) parabola.variance = kInf;
    // Fitted to a few points it follows their noise more closely than the
    // wide model can, and locates the bottom worse: it has to be far better
    // (a bottom flatter than any hyperbola's). With a factor of 4 over five
    // points it won by chance on one noisy curve in five.
    return parabola.variance * kParabolaAdvantage < wide.variance ? parabola : wide;
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
        const double d = p.size() >= 5 ? p[3] : 0.0;
        const double right = p.size() >= 5 ? p[4] : p[1];
        return p[0] * Shape(x, p[2], p[1], right) + d;
    }
    case FitModel::Parabola: return p[0] + p[1] * (x - p[2]) * (x - p[2]);
    case FitModel::None: break;
    }
    return 0.0;
}

double SizeFromPeak(double peak) { return 1000.0 / std::sqrt(peak > 1.0 ? peak : 1.0); }
double PeakFromSize(double size) { return size > 0.0 ? (1000.0 / size) * (1000.0 / size) : 0.0; }

ShapedFit FitShapedCurve(std::span<const FitPoint> points, const CurveFit& shape) {
    ShapedFit fit;
    std::vector<std::size_t> used;
    double lo = kInf;
    double hi = -kInf;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!(points[i].weight > 0.0) || !std::isfinite(points[i].x) || !std::isfinite(points[i].y)) continue;
        used.push_back(i);
        lo = std::min(lo, points[i].x);
        hi = std::max(hi, points[i].x);
    }
    if (shape.model == FitModel::None || shape.parameters.size() < 3) {
        fit.why = "no curve shape to fit with";
        return fit;
    }
    if (used.size() < 4 || !(hi > lo)) {
        fit.why = "too few points to fit";
        return fit;
    }
    // The shape moved to centre c; the best level for it is the weighted mean
    // of what is left, so the search is over c alone.
    std::vector<double> moved = shape.parameters;
    const auto withCentre = [&](double c) {
        moved[2] = c;
        double sw = 0.0;
        double sr = 0.0;
        for (const std::size_t i : used) {
            sw += points[i].weight;
            sr += points[i].weight * (points[i].y - FitValue(shape.model, moved, points[i].x));
        }
        return sr / sw;
    };
    const auto cost = [&](const std::array<double, 3>& q) {
        const double c = q[0];
        if (c < lo - (hi - lo) || c > hi + (hi - lo)) return kInf;
        const double level = withCentre(c);
        double sse = 0.0;
        for (const std::size_t i : used) {
            const double r = points[i].y - FitValue(shape.model, moved, points[i].x) - level;
            sse += points[i].weight * r * r;
        }
        return sse;
    };
    constexpr int kGrid = 81;
    std::array<double, 3> best{lo, 0.0, 0.0};
    double bestCost = kInf;
    for (int k = 0; k < kGrid; ++k) {
        const std::array<double, 3> q{lo + (hi - lo) * k / (kGrid - 1), 0.0, 0.0};
        const double v = cost(q);
        if (v < bestCost) {
            bestCost = v;
            best = q;
        }
    }
    const double c = Simplex(1, best, {(hi - lo) / (kGrid - 1), 1.0, 1.0}, cost)[0];
    const double sse = cost({c, 0.0, 0.0});
    fit.centre = c;
    fit.level = withCentre(c);
    // The centre's variance from the linearised model (centre and level):
    // the residuals' variance times the inverse of J'WJ.
    const double h = std::max(1e-6, (hi - lo) * 1e-5);
    double sw = 0.0, swj = 0.0, swjj = 0.0;
    for (const std::size_t i : used) {
        moved[2] = c + h;
        const double up = FitValue(shape.model, moved, points[i].x);
        moved[2] = c - h;
        const double down = FitValue(shape.model, moved, points[i].x);
        const double j = (up - down) / (2.0 * h);
        sw += points[i].weight;
        swj += points[i].weight * j;
        swjj += points[i].weight * j * j;
    }
    const double det = swjj * sw - swj * swj;
    if (!(det > 0.0) || !std::isfinite(sse)) {
        fit.why = "the points do not fix the curve's centre";
        return fit;
    }
    const double variance = sse / static_cast<double>(used.size() - 2);
    fit.sigma = std::sqrt(variance * sw / det);
    if (c < lo || c > hi) {
        fit.why = "the fitted minimum lies outside the measured positions";
        return fit;
    }
    fit.ok = true;
    return fit;
}

namespace {

// One fit with the points' weights as given.
CurveFit FitOnce(std::span<const FitPoint> points, const FitOptions& options) {
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
    // One wild point may go: judged against the model over every point, as
    // the bottom's parabola cannot see a wild point on the flanks.
    if (byX.size() >= 6) {
        const Model wide = FitWide(points, byX);
        if (!wide.parameters.empty()) {
            double yMin = kInf;
            double yMax = -kInf;
            std::size_t lowest = byX.front();
            for (const std::size_t i : byX)
                if (points[i].y < points[lowest].y) lowest = i;
            std::size_t worst = byX.front();
            double worstR = -1.0;
            for (const std::size_t i : byX) {
                yMin = std::min(yMin, points[i].y);
                yMax = std::max(yMax, points[i].y);
                // The lowest reading is never the wild one: a spoilt frame reads
                // a larger star, and without its lowest point the curve has no
                // bottom to hold on to (a V's tip sits far off any smooth fit).
                if (i == lowest) continue;
                // Residuals in units of each point's own spread, which its weight sets.
                const double r = std::fabs(points[i].y - FitValue(wide.kind, wide.parameters, points[i].x)) *
                                 std::sqrt(points[i].weight);
                if (r > worstR) {
                    worstR = r;
                    worst = i;
                }
            }
            std::vector<std::size_t> others;
            for (const std::size_t i : byX)
                if (i != worst) others.push_back(i);
            const Model without = FitWide(points, others);
            if (!without.parameters.empty()) {
                const double rms = std::sqrt(without.sse / static_cast<double>(others.size()));
                const double r = std::fabs(points[worst].y - FitValue(without.kind, without.parameters, points[worst].x));
                if (r * std::sqrt(points[worst].weight) > options.outlierFactor * rms &&
                    r > options.outlierMinFraction * (yMax - yMin)) {
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
    fit.predicted = FitValue(model.kind, model.parameters, fit.minimumX);

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

}  // namespace

CurveFit FitFocusCurve(std::span<const FitPoint> points, const FitOptions& options) {
    const CurveFit first = FitOnce(points, options);
    if (options.sizeWeighting == 0.0 || first.parameters.empty() || !(first.predicted > 0.0)) return first;
    // The weights follow the first fit's curve, not the readings: a reading
    // spoilt upwards (a gust) must not weigh more for being large.
    std::vector<FitPoint> weighted(points.begin(), points.end());
    for (FitPoint& p : weighted) {
        const double size = std::max(FitValue(first, p.x), first.predicted);
        p.weight *= std::min(options.maxSizeWeight, std::pow(size / first.predicted, options.sizeWeighting));
    }
    CurveFit second = FitOnce(weighted, options);
    return second.parameters.empty() ? first : second;
}

}  // namespace kv
