#include "camera/star_finder_measure.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "camera/star_profile.h"

namespace kv::star_stages {
namespace {

constexpr int kSub = 4;           // sub-pixels per side for the radial profile
constexpr double kBin = 0.05;     // radial bin width, pixels
constexpr double kSubRadius = 6.0;  // pixels farther out are not divided
constexpr int kMinAperture = 6;
constexpr int kMaxAperture = 80;
constexpr int kFlatTopPixels = 5;  // a symmetric unclipped star has at most four equal brightest pixels
constexpr double kMaxShift = 1.5;  // pixels from the maximum to the centroid
constexpr double kNeighbourCore = 0.05;      // a fainter maximum than this hardly disturbs a star
constexpr double kMinCrowdedAperture = 3.0;
// A ring on its own is round to a few per cent even when faint; two whose
// ridges cross are one light to the flood, drawn out by a third or more
// (and with its middle lit, not looking hollow any more).
constexpr double kRingBlend = 1.2;
// Side of the cells stars are filed in by position, so that a star meets
// only its near neighbours.
constexpr int kCell = 16;
constexpr double kHfdPerSigma = 2.354820045;  // a Gaussian's half-flux diameter equals its FWHM
// Below this half-flux diameter (counted on sub-pixels) a star's size comes
// from a fitted profile, below kFitHfdFully from it alone: counted, a star of
// HFD 2.8 reads about a tenth too large, smaller ones more. Larger stars are
// counted, as fast as ever.
constexpr double kFitHfdUntil = 2.8;
constexpr double kFitHfdFully = 2.2;

// Sigma-clipped sky in the ring rIn..rOut around (cx, cy).
double RingSky(const Frame& f, double cx, double cy, double rIn, double rOut, double fallback) {
    std::vector<int> ring;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - rOut))), x1 = std::min(f.w - 1, static_cast<int>(std::ceil(cx + rOut)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - rOut))), y1 = std::min(f.h - 1, static_cast<int>(std::ceil(cy + rOut)));
    for (int y = y0; y <= y1; ++y) {
        const std::uint16_t* const line = f.p + static_cast<std::size_t>(y) * f.w;
        for (int x = x0; x <= x1; ++x) {
            const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 >= rIn * rIn && d2 <= rOut * rOut) ring.push_back(line[x]);
        }
    }
    if (ring.size() < 8) return fallback;
    // Two passes: a ring is small, and a neighbour in it is clipped by the first.
    double m = 0, s = 0;
    ClippedStats(ring, m, s, 2);
    return m;
}

struct Shape {
    double x = 0, y = 0, sky = 0, flux = 0, hfd = 0, fwhm = 0, peak = 0, elongation = 1;
    int pixels = 0;
    int maxRaw = 0, atMax = 0;
    bool clipped = false, cut = false;
    bool hollow = false;  // darker in the middle than on a ring around it: a defocused obstructed star
};

// exp(-(p - c)^2 / (2 s^2)) for p = lo..hi: a Gaussian weight is the product
// of one along each axis, which saves an exponential per pixel.
void AxisWeights(std::vector<double>& w, int lo, int hi, double c, double s) {
    w.resize(static_cast<std::size_t>(std::max(0, hi - lo + 1)));
    for (int p = lo; p <= hi; ++p) w[static_cast<std::size_t>(p - lo)] = std::exp(-(p - c) * (p - c) / (2 * s * s));
}

// Measures the star near (x, y) with an aperture of radius r. `wide` centres
// it with a weight as wide as the aperture: a ring's middle is dark, and a
// weight narrower than the ring would slide off the middle onto the ring.
Shape MeasureAt(const Frame& f, double anchorX, double anchorY, double maxShift, double x, double y, double r,
                double skyGuess, double hfdGuess, double fwhmGuess, bool wide, std::uint16_t saturation) {
    Shape s;
    s.sky = RingSky(f, x, y, r + 1, r + 6, skyGuess);
    const int x0 = static_cast<int>(std::floor(x - r - 1)), x1 = static_cast<int>(std::ceil(x + r + 1));
    const int y0 = static_cast<int>(std::floor(y - r - 1)), y1 = static_cast<int>(std::ceil(y + r + 1));
    s.cut = x0 < 0 || y0 < 0 || x1 >= f.w || y1 >= f.h;
    // Gaussian-weighted centroid: converges on the centre of any symmetric
    // profile, and a weight as wide as the core keeps the noise of the wings
    // from pulling it.
    const double sw = wide ? std::max(1.0, r) : std::max(1.0, std::min(hfdGuess, fwhmGuess) / 2.3548);
    // Beyond four widths the weight is nothing.
    const double reach = std::min(r, 4 * sw + 1);
    std::vector<double> wx, wy;
    for (int it = 0; it < 12; ++it) {
        double sx = 0, sy = 0, sv = 0;
        const int cx0 = std::max(0, static_cast<int>(x - reach)), cx1 = std::min(f.w - 1, static_cast<int>(x + reach) + 1);
        const int cy0 = std::max(0, static_cast<int>(y - reach)), cy1 = std::min(f.h - 1, static_cast<int>(y + reach) + 1);
        AxisWeights(wx, cx0, cx1, x, sw);
        AxisWeights(wy, cy0, cy1, y, sw);
        for (int py = cy0; py <= cy1; ++py) {
            const std::uint16_t* line = f.p + static_cast<std::size_t>(py) * f.w;
            const double dy2 = (py - y) * (py - y), wyv = wy[static_cast<std::size_t>(py - cy0)];
            for (int px = cx0; px <= cx1; ++px) {
                const double dx = px - x;
                if (dx * dx + dy2 > reach * reach) continue;
                const double v = std::max(0.0, line[px] - s.sky) * wx[static_cast<std::size_t>(px - cx0)] * wyv;
                sx += v * px;
                sy += v * py;
                sv += v;
            }
        }
        if (sv <= 0) break;
        const double nx = sx / sv, ny = sy / sv;
        const bool still = std::fabs(nx - x) < 1e-3 && std::fabs(ny - y) < 1e-3;
        // The centroid stays by the light the finder saw: a neighbour's
        // light must not draw it away.
        x = std::clamp(nx, anchorX - maxShift, anchorX + maxShift);
        y = std::clamp(ny, anchorY - maxShift, anchorY + maxShift);
        if (still) break;
    }
    s.x = x;
    s.y = y;
    const int bins = static_cast<int>(std::ceil(r / kBin)) + 1;
    std::vector<double> flux(static_cast<std::size_t>(bins), 0.0), ringSum(static_cast<std::size_t>(bins / 5 + 1), 0.0),
        ringCount(ringSum.size(), 0.0);
    // Whole-pixel rings for telling a hollow star from a full one.
    std::vector<double> wholeSum(static_cast<std::size_t>(r) + 3, 0.0), wholeCount(wholeSum.size(), 0.0);
    double ixx = 0, iyy = 0, ixy = 0, im = 0, ridge = 0;
    const double mw = std::max(1.0, hfdGuess);
    const int mx0 = std::max(0, x0), mx1 = std::min(f.w - 1, x1), my0 = std::max(0, y0), my1 = std::min(f.h - 1, y1);
    AxisWeights(wx, mx0, mx1, x, mw);
    AxisWeights(wy, my0, my1, y, mw);
    for (int py = my0; py <= my1; ++py) {
        for (int px = mx0; px <= mx1; ++px) {
            const double raw = f.p[static_cast<std::size_t>(py) * f.w + px];
            const double v = raw - s.sky;
            const double dx = px - x, dy = py - y;
            const double d2 = dx * dx + dy * dy;
            if (d2 > (r + 1) * (r + 1)) continue;
            if (d2 <= r * r) {
                ++s.pixels;
                const double w = wx[static_cast<std::size_t>(px - mx0)] * wy[static_cast<std::size_t>(py - my0)] * std::max(0.0, v);
                ixx += w * dx * dx;
                iyy += w * dy * dy;
                ixy += w * dx * dy;
                im += w;
                ridge = std::max(ridge, v);
                const auto whole = static_cast<std::size_t>(std::sqrt(d2));
                wholeSum[whole] += v;
                wholeCount[whole] += 1;
            }
            if (d2 <= 4.0 + hfdGuess * hfdGuess / 4) {
                const int value = static_cast<int>(raw);
                if (value >= saturation) s.clipped = true;
                if (value > s.maxRaw) {
                    s.maxRaw = value;
                    s.atMax = 1;
                } else if (value == s.maxRaw) {
                    ++s.atMax;
                }
            }
            if (d2 <= 2.25) s.peak = std::max(s.peak, v);
            // Each pixel's light spread evenly over its sub-pixels: the
            // half-flux radius of a small star is not quantised to whole
            // pixels. Far out a pixel is thin next to its ring, and counts whole.
            if (d2 > kSubRadius * kSubRadius) {
                const double d = std::sqrt(d2);
                if (d > r) continue;
                const auto bin = static_cast<std::size_t>(d / kBin);
                flux[bin] += v;
                ringSum[bin / 5] += v * kSub * kSub;
                ringCount[bin / 5] += kSub * kSub;
                continue;
            }
            for (int j = 0; j < kSub; ++j) {
                for (int i = 0; i < kSub; ++i) {
                    const double sx = dx + (i + 0.5) / kSub - 0.5, sy = dy + (j + 0.5) / kSub - 0.5;
                    const double d = std::sqrt(sx * sx + sy * sy);
                    if (d > r) continue;
                    const auto bin = static_cast<std::size_t>(d / kBin);
                    flux[bin] += v / (kSub * kSub);
                    ringSum[bin / 5] += v;
                    ringCount[bin / 5] += 1;
                }
            }
        }
    }
    for (double b : flux) s.flux += b;
    if (s.flux > 0) {
        double cumulative = 0;
        for (std::size_t b = 0; b < flux.size(); ++b) {
            if (cumulative + flux[b] >= s.flux / 2) {
                const double part = flux[b] > 0 ? (s.flux / 2 - cumulative) / flux[b] : 0.0;
                s.hfd = 2 * kBin * (static_cast<double>(b) + part);
                break;
            }
            cumulative += flux[b];
        }
    }
    // Hollow: the middle pixel's ring holds under half the light of the
    // brightest ring around it. A full star of any size is brightest in the
    // middle, even with its noise.
    std::size_t brightest = 0;
    for (std::size_t k = 1; k < wholeSum.size(); ++k)
        if (wholeCount[k] > 0 && wholeSum[k] / wholeCount[k] > wholeSum[brightest] / std::max(1.0, wholeCount[brightest]))
            brightest = k;
    const double top = wholeCount[brightest] > 0 ? wholeSum[brightest] / wholeCount[brightest] : 0.0;
    s.hollow = brightest > 0 && top > 0 && (wholeCount[0] == 0 || wholeSum[0] / wholeCount[0] < top / 2);
    if (s.hollow) {
        s.peak = ridge;
        // A ring's FWHM is where its light falls to half outside the ring:
        // the width of the pupil's image, which grows with defocus.
        double previous = top;
        for (std::size_t k = brightest + 1; k < wholeSum.size(); ++k) {
            if (wholeCount[k] == 0) continue;
            const double mean = wholeSum[k] / wholeCount[k];
            if (mean <= top / 2) {
                const double part = previous > mean ? (previous - top / 2) / (previous - mean) : 0.0;
                s.fwhm = 2 * (static_cast<double>(k) - 1 + part + 0.5);
                break;
            }
            previous = mean;
        }
    } else {
        // FWHM: where the ring-averaged profile falls to half of its centre.
        const double centre = ringCount[0] + ringCount[1] > 0 ? (ringSum[0] + ringSum[1]) / (ringCount[0] + ringCount[1]) : 0.0;
        double previous = centre;
        for (std::size_t k = 2; k < ringSum.size() && centre > 0; ++k) {
            if (ringCount[k] == 0) continue;
            const double mean = ringSum[k] / ringCount[k];
            if (mean <= centre / 2) {
                const double rk = (static_cast<double>(k) + 0.5) * 5 * kBin;
                const double part = previous > mean ? (previous - centre / 2) / (previous - mean) : 0.0;
                s.fwhm = 2 * (rk - 5 * kBin * (1 - part));
                break;
            }
            previous = mean;
        }
    }
    if (im > 0) {
        ixx /= im;
        iyy /= im;
        ixy /= im;
        const double mean = (ixx + iyy) / 2, diff = std::sqrt((ixx - iyy) * (ixx - iyy) / 4 + ixy * ixy);
        const double minor = mean - diff;
        s.elongation = minor > 1e-9 ? std::sqrt((mean + diff) / minor) : 1.0;
    }
    return s;
}

// Positions filed in square cells, so that a search near a point looks at
// the points of the cells around it only.
class Grid {
public:
    template <typename At>
    Grid(int width, int height, std::size_t n, At at)
        : nx_(std::max(1, (width + kCell - 1) / kCell)), ny_(std::max(1, (height + kCell - 1) / kCell)) {
        std::vector<int> cell(n);
        start_.assign(static_cast<std::size_t>(nx_ * ny_) + 1, 0);
        x_.resize(n);
        y_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::tie(x_[i], y_[i]) = at(i);
            cell[i] = Index(CellOf(x_[i], nx_), CellOf(y_[i], ny_));
            ++start_[static_cast<std::size_t>(cell[i]) + 1];
        }
        for (std::size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
        items_.resize(n);
        std::vector<int> fill(start_.begin(), start_.end() - 1);
        for (std::size_t i = 0; i < n; ++i) items_[static_cast<std::size_t>(fill[static_cast<std::size_t>(cell[i])]++)] = i;
    }

    // Calls visit(i) for every point in the cells within `radius` of (x, y)
    // (and so for some a little farther).
    template <typename Visit>
    void Near(double x, double y, double radius, Visit visit) const {
        const int cx0 = CellOf(x - radius, nx_), cx1 = CellOf(x + radius, nx_);
        const int cy0 = CellOf(y - radius, ny_), cy1 = CellOf(y + radius, ny_);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx) VisitCell(cx, cy, visit);
    }

    // The distance to the nearest point that `take` accepts, or `limit` when
    // none is nearer. The cells are searched in squares growing around
    // (x, y), until no farther square can hold a nearer point.
    template <typename Take>
    double Nearest(double x, double y, double limit, Take take) const {
        const int cx = CellOf(x, nx_), cy = CellOf(y, ny_);
        double best = limit;
        const auto visit = [&](std::size_t i) {
            if (take(i)) best = std::min(best, std::sqrt(Distance2(x_[i] - x, y_[i] - y)));
        };
        for (int k = 0; k <= std::max(nx_, ny_); ++k) {
            if (k > 0 && (k - 1) * kCell >= best) break;
            for (int j = -k; j <= k; ++j) {
                if (j == -k || j == k) {
                    for (int i = -k; i <= k; ++i) VisitIn(cx + i, cy + j, visit);
                } else {
                    VisitIn(cx - k, cy + j, visit);
                    VisitIn(cx + k, cy + j, visit);
                }
            }
        }
        return best;
    }

    // Every point, cell by cell along the rows of cells: points near each
    // other come near each other, and so does the memory around them.
    const std::vector<std::size_t>& InCellOrder() const { return items_; }

private:
    static int CellOf(double v, int n) { return std::clamp(static_cast<int>(std::floor(v / kCell)), 0, n - 1); }
    int Index(int cx, int cy) const { return cy * nx_ + cx; }
    template <typename Fn>
    void VisitCell(int cx, int cy, Fn& fn) const {
        const std::size_t c = static_cast<std::size_t>(Index(cx, cy));
        for (int k = start_[c]; k < start_[c + 1]; ++k) fn(items_[static_cast<std::size_t>(k)]);
    }
    template <typename Fn>
    void VisitIn(int cx, int cy, Fn& fn) const {
        if (cx >= 0 && cy >= 0 && cx < nx_ && cy < ny_) VisitCell(cx, cy, fn);
    }
    int nx_, ny_;
    std::vector<int> start_;
    std::vector<std::size_t> items_;
    std::vector<double> x_, y_;
};

}  // namespace

bool MeasureStars(const Frame& f, const Sky& sky, const RoomyVector<Candidate>& candidates, const Hills& hills, bool apart,
                  const Heights& heights, const StarFinderSettings& settings, const Stop& stopped, StarField& field) {
    const int width = f.w, height = f.h;
    const std::uint16_t* const pixels = f.p;
    const double threshold = heights.threshold;
    const RoomyVector<Light>& lights = hills.lights;
    const std::vector<int>& stars = hills.stars;
    // Where each star is measured from: its maximum, unless the maximum lies
    // off the middle of its light, as on a ring; then that middle.
    struct Seed {
        const Candidate* c;
        double x, y, maxShift, radius;
        bool wide;
        double light;  // its light above the sky (the flood's, or its 5x5 pixels'), near its flux
        double reach;  // how far its light goes, judged from that light alone
    };
    RoomyVector<Seed> seeds;
    seeds.reserve(stars.size());
    for (const int h : stars) {
        const Light& l = lights[static_cast<std::size_t>(h)];
        const Candidate& c = candidates[static_cast<std::size_t>(l.anchor)];
        const double mx = l.sx / l.s, my = l.sy / l.s;
        const double radius = std::max(l.x1 - l.x0 + 1, l.y1 - l.y0 + 1) / 2.0;
        // The spread of its light as a Gaussian's (the flood's smoothed
        // light has the 1-2-1 kernel's half a pixel squared on each axis
        // added): a half-flux diameter good enough to say how far a star
        // that is not measured reaches.
        const double spread = l.s > 0 ? (l.sxx / l.s - mx * mx + l.syy / l.s - my * my) / 2 - (apart ? 0.0 : 0.5) : 0.0;
        const double hfd = kHfdPerSigma * std::sqrt(std::max(0.25, spread));
        if (l.s > 0 && Distance2(mx - c.x, my - c.y) > kMaxShift * kMaxShift)
            seeds.push_back({&c, mx, my, std::max(kMaxShift, radius / 4), radius, true, l.s, radius + 3});
        else
            seeds.push_back({&c, static_cast<double>(c.x), static_cast<double>(c.y), kMaxShift, radius, false, l.s, 2 * hfd + 2});
    }
    const Grid seedGrid(width, height, seeds.size(), [&](std::size_t i) { return std::pair(seeds[i].x, seeds[i].y); });

    // Measures seed k; false when there is no star to measure after all.
    const auto measure = [&](std::size_t k, FoundStar& star, double& starReach) {
        const Seed& seed = seeds[k];
        const Candidate& c = *seed.c;
        // A neighbour's light stays out of the aperture where it can: half
        // the way to the nearest maximum of any note is the widest it gets.
        double widest = kMaxAperture;
        const double nearest = seedGrid.Nearest(seed.x, seed.y, 2 * widest, [&](std::size_t i) {
            return i != k && seeds[i].c->core >= kNeighbourCore * c.core;
        });
        if (nearest < 2 * widest) widest = std::max(kMinCrowdedAperture, nearest / 2);
        bool wide = seed.wide;
        double r = wide ? std::min(widest, std::clamp(std::ceil(seed.radius) + 3, static_cast<double>(kMinAperture),
                                                      static_cast<double>(kMaxAperture)))
                        : std::min(static_cast<double>(kMinAperture), widest);
        double hfd = wide ? seed.radius : 2.0, fwhm = wide ? 2 * seed.radius : 2.0;
        Shape s;
        double x = seed.x, y = seed.y;
        for (int pass = 0; pass < 4; ++pass) {
            s = MeasureAt(f, seed.x, seed.y, seed.maxShift, x, y, r, c.sky, hfd, fwhm, wide, settings.saturation);
            x = s.x;
            y = s.y;
            hfd = s.hfd > 0 ? s.hfd : hfd;
            fwhm = s.fwhm > 0 ? s.fwhm : fwhm;
            wide = s.hollow;
            // Three half-flux diameters hold all but a trace of a star's
            // light, even of a Moffat profile's wings; a ring's light ends a
            // little outside its half-maximum edge.
            const double want = s.hollow ? std::ceil(0.6 * fwhm) + 3 : std::ceil(3 * hfd) + 2;
            const double next =
                std::min(widest, std::clamp(want, static_cast<double>(kMinAperture), static_cast<double>(kMaxAperture)));
            if (next == r) break;
            r = next;
        }
        if (s.flux <= 0 || s.hfd <= 0) return false;
        // A small star's light spread evenly over each of its sub-pixels
        // reads it up to twice its size (on a pixel's corner); a profile
        // fitted to its pixels says where the light lies inside them. The
        // fitted size takes over as the counted one grows unreliable.
        // On a faint star the noise in the wings can spread the counted HFD
        // far out while its core, and so its FWHM, stays small: either says
        // the star may be small, and then the fit decides.
        if (!s.hollow && !s.clipped && (s.hfd < kFitHfdUntil || (s.fwhm > 0 && s.fwhm < kFitHfdUntil))) {
            if (const auto fit = FitStarProfile(width, height, pixels, s.x, s.y, s.fwhm > 0 ? s.fwhm : s.hfd, sky.MeasuredNoise())) {
                const double t = std::clamp((kFitHfdUntil - fit->hfd) / (kFitHfdUntil - kFitHfdFully), 0.0, 1.0);
                s.hfd = t * fit->hfd + (1 - t) * s.hfd;
                s.fwhm = t * (fit->fwhmX + fit->fwhmY) / 2 + (1 - t) * s.fwhm;
            }
        }
        star.x = s.x;
        star.y = s.y;
        star.peak = s.peak;
        star.flux = s.flux;
        star.hfd = s.hfd;
        star.fwhm = s.fwhm;
        star.snr = s.flux / std::sqrt(s.pixels * heights.noise * heights.noise + s.flux);
        star.elongation = s.elongation;
        // A ring's ridge is level along its length without being clipped.
        star.saturated = s.clipped || (!s.hollow && s.atMax >= kFlatTopPixels && s.maxRaw - s.sky > threshold);
        star.elongated = s.elongation > settings.maxElongation;
        star.crowded = (seed.wide || s.hollow) && s.elongation > kRingBlend;
        const double half = settings.focusFrame / 2.0;
        const bool wideFits = width > settings.focusFrame, highFits = height > settings.focusFrame;
        star.nearEdge = s.cut || (wideFits && (star.x - half < 0 || star.x + half > width - 1)) ||
                        (highFits && (star.y - half < 0 || star.y + half > height - 1));
        starReach = settings.isolation > 0      ? settings.isolation / 2
                    : s.hollow && s.fwhm > 0 ? s.fwhm / 2 + 3
                                             : 2 * s.hfd + 2;
        return true;
    };

    // Which stars are measured in full. Up to the cap, all. Beyond it only
    // those that will be kept: a crowded field has twenty times more stars
    // than the cap, and measuring is most of the work per star. They are
    // ranked by their light in the flood, unclipped ones first (a clipped
    // star says nothing about focus, and a field of them must not crowd out
    // the ones that do); a star whose measurement comes to nothing gives its
    // place to the next.
    std::vector<std::size_t> cellRank(seeds.size());
    for (std::size_t i = 0; i < seeds.size(); ++i) cellRank[seedGrid.InCellOrder()[i]] = i;
    std::vector<std::size_t> ranked;
    const bool capped = seeds.size() > settings.maxStars;
    std::vector<char> clipped;
    const auto before = [&](std::size_t a, std::size_t b) {
        return std::tuple(clipped[a], -seeds[a].light, a) < std::tuple(clipped[b], -seeds[b].light, b);
    };
    if (capped) {
        clipped.resize(seeds.size());
        for (std::size_t k = 0; k < seeds.size(); ++k) clipped[k] = seeds[k].c->clipped ? 1 : 0;
        ranked.resize(seeds.size());
        for (std::size_t k = 0; k < seeds.size(); ++k) ranked[k] = k;
    } else {
        ranked = seedGrid.InCellOrder();
    }
    std::vector<char> done(seeds.size(), 0);
    std::vector<double> reach;  // how far each star's light goes, for the crowding test
    std::size_t measured = 0, next = 0;
    while (next < ranked.size() && field.stars.size() < settings.maxStars) {
        // The next stars to measure, taken in the order they lie in.
        const std::size_t take = std::min(ranked.size() - next, settings.maxStars - field.stars.size());
        // Only which stars come next matters, not their order by light.
        if (capped)
            std::nth_element(ranked.begin() + static_cast<std::ptrdiff_t>(next),
                             ranked.begin() + static_cast<std::ptrdiff_t>(next + take), ranked.end(), before);
        std::vector<std::size_t> batch(ranked.begin() + static_cast<std::ptrdiff_t>(next),
                                       ranked.begin() + static_cast<std::ptrdiff_t>(next + take));
        next += take;
        if (capped) std::sort(batch.begin(), batch.end(), [&](std::size_t a, std::size_t b) { return cellRank[a] < cellRank[b]; });
        for (const std::size_t k : batch) {
            if (++measured % kStopStars == 0 && stopped()) return false;
            done[k] = 1;
            FoundStar star;
            double starReach = 0;
            if (!measure(k, star, starReach)) continue;
            field.stars.push_back(star);
            reach.push_back(starReach);
        }
    }
    // A star left out still crowds its neighbours, as far and as brightly
    // as its flood says.
    std::size_t unmeasured = 0;
    for (std::size_t k = 0; k < seeds.size(); ++k) unmeasured += done[k] ? 0 : 1;
    field.found = field.stars.size() + unmeasured;
    // Crowded: another star's light reaches into this one's.
    std::vector<FoundStar>& found = field.stars;
    struct Light2 {
        double x, y, flux, reach;
    };
    RoomyVector<Light2> all;
    all.reserve(found.size() + unmeasured);
    for (std::size_t i = 0; i < found.size(); ++i) all.push_back({found[i].x, found[i].y, found[i].flux, reach[i]});
    for (std::size_t k = 0; k < seeds.size(); ++k)
        if (!done[k]) {
            const Seed& seed = seeds[k];
            all.push_back({seed.x, seed.y, seed.light, settings.isolation > 0 ? settings.isolation / 2 : seed.reach});
        }
    double farthest = 0;
    for (const Light2& l : all) farthest = std::max(farthest, l.reach);
    const Grid starGrid(width, height, all.size(), [&](std::size_t i) { return std::pair(all[i].x, all[i].y); });
    for (std::size_t a = 0; a < found.size(); ++a) {
        starGrid.Near(all[a].x, all[a].y, all[a].reach + farthest, [&](std::size_t b) {
            if (b == a) return;
            const double limit = all[a].reach + all[b].reach;
            if (Distance2(all[a].x - all[b].x, all[a].y - all[b].y) >= limit * limit) return;
            if (all[b].flux >= kNeighbourCore * all[a].flux) found[a].crowded = true;
        });
    }
    if (stopped()) return false;
    // Stars of equal flux by their place, so that the order never depends
    // on the way they were found.
    std::sort(found.begin(), found.end(), [](const FoundStar& a, const FoundStar& b) {
        return std::tuple(-a.flux, a.y, a.x) < std::tuple(-b.flux, b.y, b.x);
    });
    return true;
}

}  // namespace kv::star_stages
