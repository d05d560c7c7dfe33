#include "tempcomp/linear_fit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "tempcomp/tc_texts.h"

namespace kv {

namespace {

// A division that the data can make impossible: nothing on a zero divisor or a
// result that is not a finite number.
bool Divide(double num, double den, double& out) {
    if (den == 0.0) return false;
    const double q = num / den;
    if (!std::isfinite(q)) return false;
    out = q;
    return true;
}

}  // namespace

FitResult LinearFit(std::span<const double> x, std::span<const double> y) {
    FitResult fit;
    if (x.size() != y.size()) return fit;
    const auto n = static_cast<double>(x.size());
    double sx = 0;
    double sy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
    }
    double mx = 0;
    double my = 0;
    if (!Divide(sx, n, mx) || !Divide(sy, n, my)) {
        fit.ok = false;
        return fit;
    }
    double sxy = 0;
    double sxx = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    double slope = 0;
    if (!Divide(sxy, sxx, slope)) {
        fit.ok = false;
        return fit;
    }
    fit.slope = slope;
    const double intercept = my - slope * mx;
    if (!std::isfinite(intercept)) {
        fit.ok = false;
        return fit;
    }
    fit.intercept = intercept;
    double ssr = 0;
    double sst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double fitted = slope * x[i] + intercept;
        ssr += (fitted - my) * (fitted - my);
        sst += (y[i] - my) * (y[i] - my);
    }
    if (!Divide(ssr, sst, fit.r2)) fit.ok = false;
    return fit;
}

int FitMeterLeds(double r2) {
    if (std::isnan(r2)) return 0;
    return std::clamp(RoundHalfEven(r2 * kFitMeterLeds), 0, kFitMeterLeds);
}

}  // namespace kv
