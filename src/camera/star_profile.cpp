#include "camera/star_profile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace kv {
namespace {

constexpr int kParams = 5;  // centre x, y; FWHM along the rows, the columns; 1/beta
constexpr double kMaxInverseBeta = 0.8;  // beta 1.25: wings wider than any star's
constexpr double kMinFwhm = 0.2;         // pixels; narrower is a point to any pixel
constexpr double kMaxShift = 1.5;        // pixels the centre may move from where it was asked
constexpr int kMinReach = 3, kMaxReach = 7;  // the window's half side, pixels
constexpr int kMaxIterations = 100;

// Gauss-Legendre points over a pixel (-0.5 .. 0.5) and weights summing to
// one. Eight a side where a narrow core lies, fewer where the profile is
// smooth across a pixel.
struct Rule {
    int n;
    std::array<double, 8> t, w;
};
Rule LegendreRule(int n) {
    Rule rule{n, {}, {}};
    for (int i = 0; i < n; ++i) {
        double z = std::cos(M_PI * (i + 0.75) / (n + 0.5));
        double dp = 1.0;
        for (int it = 0; it < 100; ++it) {
            double p0 = 1.0, p1 = z;
            for (int k = 2; k <= n; ++k) {
                const double p2 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p0) / k;
                p0 = p1;
                p1 = p2;
            }
            dp = n * (z * p1 - p0) / (z * z - 1.0);
            const double step = p1 / dp;
            z -= step;
            if (std::fabs(step) < 1e-15) break;
        }
        rule.t[static_cast<std::size_t>(i)] = z / 2.0;
        rule.w[static_cast<std::size_t>(i)] = 1.0 / ((1.0 - z * z) * dp * dp);
    }
    return rule;
}
const Rule& RuleFor(int n) {
    static const Rule r2 = LegendreRule(2), r4 = LegendreRule(4), r8 = LegendreRule(8);
    return n <= 2 ? r2 : n <= 4 ? r4 : r8;
}

struct Pixel {
    double x, y, value;
    const Rule* rule;
};

// The profile's scale: exp(-log1p(c r² / w²) / u) falls to half at r = w/2.
double Scale(double u) { return u > 0.0 ? 4.0 * std::expm1(u * M_LN2) : 4.0 * M_LN2; }

// On a faint star the noise can trade a narrower core for wider wings; a
// weak pull of 1/beta towards that of a typical star (beta 3.3, give or take
// 0.15 in 1/beta) holds it where the pixels say little, and is nothing
// beside what they say of a bright star. Its weight is the pixels' noise.
constexpr double kTypicalInverseBeta = 0.3;
constexpr double kInverseBetaSpread = 0.15;

class Fit {
public:
    Fit(std::vector<Pixel> pixels, double noise)
        : pixels_(std::move(pixels)), model_(pixels_.size()), pull_(noise / kInverseBetaSpread) {}

    // The squared residual for the parameters p, the flux scale and the sky
    // solved for (they enter linearly). With `jacobian`, also the residuals'
    // derivatives by the parameters, the scale and sky solved for anew
    // (Kaufman's form): analytic for the centre and the widths, by a
    // forward difference for 1/beta.
    double Cost(const std::array<double, kParams>& p, double& scale, double& sky, std::vector<double>* residual = nullptr,
                std::vector<std::array<double, kParams>>* jacobian = nullptr) {
        const bool derive = jacobian != nullptr;
        const double u = p[4];
        const double c = Scale(u);
        const double kx = c / (p[2] * p[2]), ky = c / (p[3] * p[3]);
        double sm = 0, smm = 0, sd = 0, smd = 0;
        std::array<double, 8> dx{}, dy{}, ax{}, ay{};
        if (derive) jacobian->resize(pixels_.size());
        for (std::size_t i = 0; i < pixels_.size(); ++i) {
            const Pixel& px = pixels_[i];
            const Rule& rule = *px.rule;
            for (std::size_t j = 0; j < static_cast<std::size_t>(rule.n); ++j) {
                dx[j] = px.x + rule.t[j] - p[0];
                dy[j] = px.y + rule.t[j] - p[1];
                ax[j] = kx * dx[j] * dx[j];
                ay[j] = ky * dy[j] * dy[j];
            }
            double m = 0, mx = 0, my = 0, mwx = 0, mwy = 0;
            for (std::size_t k = 0; k < static_cast<std::size_t>(rule.n); ++k) {
                double row = 0, rx = 0, ry = 0, rwx = 0, rwy = 0;
                for (std::size_t j = 0; j < static_cast<std::size_t>(rule.n); ++j) {
                    const double q = ax[j] + ay[k];
                    const double g = u > 0.0 ? std::exp(-std::log1p(q) / u) : std::exp(-q);
                    row += rule.w[j] * g;
                    if (derive) {
                        // dg/dq, times the weight
                        const double gq = rule.w[j] * (u > 0.0 ? -g / (u * (1.0 + q)) : -g);
                        rx += gq * dx[j];
                        ry += gq * dy[k];
                        rwx += gq * ax[j];
                        rwy += gq * ay[k];
                    }
                }
                m += rule.w[k] * row;
                mx += rule.w[k] * rx, my += rule.w[k] * ry, mwx += rule.w[k] * rwx, mwy += rule.w[k] * rwy;
            }
            model_[i] = m;
            if (derive) {
                // q = kx dx² + ky dy²: dq/dcx = -2 kx dx, dq/dwx = -2 ax / wx.
                (*jacobian)[i] = {-2 * kx * mx, -2 * ky * my, -2 * mwx / p[2], -2 * mwy / p[3], 0.0};
            }
            sm += m, smm += m * m, sd += px.value, smd += m * px.value;
        }
        const double n = static_cast<double>(pixels_.size());
        const double det = n * smm - sm * sm;
        scale = det > 0 ? (n * smd - sm * sd) / det : 0.0;
        sky = (sd - scale * sm) / n;
        double cost = 0;
        if (residual != nullptr) residual->resize(pixels_.size() + 1);
        for (std::size_t i = 0; i < pixels_.size(); ++i) {
            const double r = pixels_[i].value - scale * model_[i] - sky;
            cost += r * r;
            if (residual != nullptr) (*residual)[i] = r;
        }
        const double prior = pull_ * (kTypicalInverseBeta - u);
        cost += prior * prior;
        if (residual != nullptr) (*residual)[pixels_.size()] = prior;
        if (derive) {
            // 1/beta by a forward difference of the model (backward at the bound).
            const std::vector<double> model = model_;
            std::array<double, kParams> q = p;
            const double h = q[4] + 1e-4 > kMaxInverseBeta ? -1e-4 : 1e-4;
            q[4] += h;
            double s2 = 0, b2 = 0;
            Cost(q, s2, b2);
            for (std::size_t i = 0; i < pixels_.size(); ++i) (*jacobian)[i][4] = (model_[i] - model[i]) / h;
            model_ = model;
            // The residual's derivative is -scale times the model's, less
            // what a new scale and sky take up of it.
            for (std::size_t k = 0; k < kParams; ++k) {
                double sv = 0, smv = 0;
                for (std::size_t i = 0; i < pixels_.size(); ++i) sv += (*jacobian)[i][k], smv += model_[i] * (*jacobian)[i][k];
                const double a = det > 0 ? (n * smv - sm * sv) / det : 0.0;
                const double b = (sv - a * sm) / n;
                for (std::size_t i = 0; i < pixels_.size(); ++i)
                    (*jacobian)[i][k] = -scale * ((*jacobian)[i][k] - a * model_[i] - b);
            }
            jacobian->push_back({0.0, 0.0, 0.0, 0.0, -pull_});
        }
        return cost;
    }

private:
    std::vector<Pixel> pixels_;
    std::vector<double> model_;
    double pull_;
};

// Solves the kParams x kParams system a x = b in place (a is positive
// definite); false when it is singular.
bool Solve(std::array<std::array<double, kParams>, kParams> a, std::array<double, kParams>& b) {
    for (int i = 0; i < kParams; ++i) {
        int best = i;
        for (int r = i + 1; r < kParams; ++r)
            if (std::fabs(a[static_cast<std::size_t>(r)][static_cast<std::size_t>(i)]) >
                std::fabs(a[static_cast<std::size_t>(best)][static_cast<std::size_t>(i)]))
                best = r;
        std::swap(a[static_cast<std::size_t>(i)], a[static_cast<std::size_t>(best)]);
        std::swap(b[static_cast<std::size_t>(i)], b[static_cast<std::size_t>(best)]);
        const double pivot = a[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
        if (!(std::fabs(pivot) > 1e-300)) return false;
        for (int r = i + 1; r < kParams; ++r) {
            const double f = a[static_cast<std::size_t>(r)][static_cast<std::size_t>(i)] / pivot;
            for (int c = i; c < kParams; ++c)
                a[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)] -= f * a[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)];
            b[static_cast<std::size_t>(r)] -= f * b[static_cast<std::size_t>(i)];
        }
    }
    for (int i = kParams - 1; i >= 0; --i) {
        double s = b[static_cast<std::size_t>(i)];
        for (int c = i + 1; c < kParams; ++c) s -= a[static_cast<std::size_t>(i)][static_cast<std::size_t>(c)] * b[static_cast<std::size_t>(c)];
        b[static_cast<std::size_t>(i)] = s / a[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
    }
    return true;
}

}  // namespace

double ProfileHfd(double fwhm, double inverseBeta) {
    if (!(inverseBeta > 0.0)) return fwhm;
    const double u = std::min(inverseBeta, kMaxInverseBeta);
    return fwhm * std::sqrt(std::expm1(M_LN2 * u / (1.0 - u)) / std::expm1(M_LN2 * u));
}

std::optional<StarProfile> FitStarProfile(int width, int height, const std::uint16_t* pixels, double x, double y,
                                          double fwhmGuess, double noise) {
    if (pixels == nullptr || !std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    const double guess = std::isfinite(fwhmGuess) ? std::clamp(fwhmGuess, 0.8, 2.0 * kMaxReach) : 2.0;
    const int reach = std::clamp(static_cast<int>(std::ceil(1.2 * guess)) + 2, kMinReach, kMaxReach);
    // A core narrower than a pixel or two wants eight points a side.
    const int core = guess <= 2.5 ? 8 : 4;
    const int px = static_cast<int>(std::lround(x)), py = static_cast<int>(std::lround(y));
    if (px - reach < 0 || py - reach < 0 || px + reach >= width || py + reach >= height) return std::nullopt;
    const auto at = [&](int i, int j) {
        return static_cast<double>(pixels[static_cast<std::size_t>(j) * static_cast<std::size_t>(width) + static_cast<std::size_t>(i)]);
    };

    // A first sky from the window's rim, a first centre from the light
    // above it around the brightest pixel.
    std::vector<double> rim;
    for (int k = -reach; k <= reach; ++k) {
        rim.push_back(at(px + k, py - reach));
        rim.push_back(at(px + k, py + reach));
        if (k != -reach && k != reach) rim.push_back(at(px - reach, py + k)), rim.push_back(at(px + reach, py + k));
    }
    std::nth_element(rim.begin(), rim.begin() + static_cast<std::ptrdiff_t>(rim.size() / 2), rim.end());
    const double sky0 = rim[rim.size() / 2];
    double sw = 0, sx = 0, sy = 0;
    for (int j = -1; j <= 1; ++j)
        for (int i = -1; i <= 1; ++i) {
            const double v = std::max(0.0, at(px + i, py + j) - sky0);
            sw += v, sx += v * i, sy += v * j;
        }
    if (!(sw > 0)) return std::nullopt;
    const double x0 = px + std::clamp(sx / sw, -0.5, 0.5), y0 = py + std::clamp(sy / sw, -0.5, 0.5);

    // The sampling of each pixel is fixed for the whole fit (a rule that
    // changed as the centre moved would make steps in the cost).
    std::vector<Pixel> window;
    window.reserve(static_cast<std::size_t>((2 * reach + 1) * (2 * reach + 1)));
    for (int j = -reach; j <= reach; ++j)
        for (int i = -reach; i <= reach; ++i) {
            const double d = std::hypot(px + i - x0, py + j - y0);
            window.push_back({static_cast<double>(px + i), static_cast<double>(py + j), at(px + i, py + j),
                              &RuleFor(d <= 1.6 ? core : d <= 3.6 ? 4 : 2)});
        }
    // Whole counts are never noiseless: rounding leaves 1/sqrt(12) of one.
    constexpr double kRounding = 0.29;
    Fit fit(std::move(window), std::isfinite(noise) ? std::max(noise, kRounding) : kRounding);

    const std::array<double, kParams> lo{x0 - kMaxShift, y0 - kMaxShift, kMinFwhm, kMinFwhm, 0.0};
    const std::array<double, kParams> hi{x0 + kMaxShift, y0 + kMaxShift, 2.0 * reach, 2.0 * reach, kMaxInverseBeta};
    std::array<double, kParams> p{x0, y0, guess, guess, 0.3};
    const auto clampToBounds = [&](std::array<double, kParams>& q) {
        for (std::size_t i = 0; i < kParams; ++i) q[i] = std::clamp(q[i], lo[i], hi[i]);
    };
    double scale = 0, sky = 0;
    std::vector<double> r, rs;
    double cost = fit.Cost(p, scale, sky, &r);
    double lambda = 1e-3;
    for (int it = 0; it < kMaxIterations; ++it) {
        std::vector<std::array<double, kParams>> jac;
        {
            double s2 = 0, b2 = 0;
            fit.Cost(p, s2, b2, nullptr, &jac);
        }
        std::array<std::array<double, kParams>, kParams> a{};
        std::array<double, kParams> g{};
        for (std::size_t i = 0; i < r.size(); ++i)
            for (std::size_t k = 0; k < kParams; ++k) {
                g[k] -= jac[i][k] * r[i];
                for (std::size_t l = 0; l < kParams; ++l) a[k][l] += jac[i][k] * jac[i][l];
            }
        // A parameter held at a bound by its gradient stays there this step.
        std::array<bool, kParams> held{};
        for (std::size_t k = 0; k < kParams; ++k)
            held[k] = (p[k] <= lo[k] && g[k] < 0) || (p[k] >= hi[k] && g[k] > 0) || !(a[k][k] > 0);
        bool improved = false;
        while (lambda < 1e12) {
            auto damped = a;
            std::array<double, kParams> step = g;
            for (std::size_t k = 0; k < kParams; ++k) {
                if (held[k]) {
                    for (std::size_t l = 0; l < kParams; ++l) damped[k][l] = damped[l][k] = 0;
                    damped[k][k] = 1, step[k] = 0;
                } else {
                    damped[k][k] *= 1 + lambda;
                }
            }
            if (!Solve(damped, step)) break;
            std::array<double, kParams> q = p;
            for (std::size_t k = 0; k < kParams; ++k) q[k] += step[k];
            clampToBounds(q);
            double s2 = 0, b2 = 0;
            const double c2 = fit.Cost(q, s2, b2, &rs);
            if (c2 < cost) {
                // Ended once the step no longer moves the star by a
                // thousandth of a pixel or its shape by a thousandth.
                double moved = 0;
                for (std::size_t k = 0; k < kParams; ++k) moved = std::max(moved, std::fabs(q[k] - p[k]) / (k == 4 ? 1.0 : k >= 2 ? q[k] : 1.0));
                p = q, scale = s2, sky = b2, r.swap(rs);
                lambda = std::max(1e-9, lambda / 4);
                improved = moved > 1e-5 || lambda > 1e-3;
                cost = c2;
                break;
            }
            lambda *= 4;
        }
        if (!improved) break;
    }
    // Light wider than the window is no small star: its figures are counted.
    if (!(scale > 0) || p[2] >= hi[2] || p[3] >= hi[3]) return std::nullopt;

    StarProfile star;
    star.x = p[0];
    star.y = p[1];
    star.sky = sky;
    star.fwhmX = p[2];
    star.fwhmY = p[3];
    star.inverseBeta = p[4];
    star.hfd = ProfileHfd(std::sqrt(p[2] * p[3]), p[4]);
    // The profile's integral over the plane: pi / (kx ky)^1/2, times 1/(beta - 1) for a Moffat.
    const double c = Scale(p[4]);
    const double area = M_PI * p[2] * p[3] / c * (p[4] > 0 ? p[4] / (1 - p[4]) : 1.0);
    star.flux = scale * area;
    return star;
}

}  // namespace kv
