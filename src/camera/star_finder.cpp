#include "camera/star_finder.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <mutex>
#include <string>
#include <utility>

#include <sys/mman.h>

#include "camera/image_object.h"
#include "camera/star_profile.h"

namespace kv {
namespace {

constexpr double kMadToSigma = 1.4826;
constexpr double kClipSigma = 3.0;
constexpr int kClipPasses = 4;
// A noise width below one count is quantisation, not sky: without this
// floor a noise-free frame would call every stray count a star.
constexpr double kMinNoise = 1.0;
// Samples per tile for the sky estimate: enough for a steady median.
constexpr int kTileSamples = 256;
// The 1-2-1 smoothed core of a star stands at least this part of the
// threshold above the sky; a lone spike reaches a quarter of its height.
constexpr double kCoreFraction = 0.4;
// A hot pixel's four nearest pixels hold only the sky and its noise; a
// star's hold its spill, however sharp it is (a star of FWHM 1 px centred on
// a pixel gives them 0.16 of its peak each, one of 0.8 px 0.08). So a
// maximum is a star when its sides' mean stands this many of its own noise
// widths (the sky's over the root of the sides) above the sky: a hot pixel
// passes that by chance about once in three million. A pixel's light
// spilling into its neighbours in the sensor itself (a few per cent of it)
// must not make a bright hot pixel a star either: the sides must also hold a
// part of the peak below any star's.
constexpr double kSideSigmas = 5.0;
constexpr double kMinSideShare = 0.05;
// Two maxima are one star unless the light between them falls below this
// part of the fainter one.
constexpr double kDipFraction = 0.7;
// The noise of the 1-2-1 smoothed frame, in noise widths of the raw one: a
// dip shallower than three of these is noise on one star.
constexpr double kSmoothNoise = 0.375;
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
// A field crowded with small stars: a star's light is summed over the
// pixels this far from its maximum (5 x 5: nearly all of a star that small),
// two maxima farther apart than kApart pixels are two stars, and once more
// than kApartJoined of the maxima turn out part of another's light the stars
// are too large to be told apart that way.
constexpr int kBoxReach = 2;
constexpr int kApart = 8;
constexpr double kApartJoined = 0.1;
constexpr double kHfdPerSigma = 2.354820045;  // a Gaussian's half-flux diameter equals its FWHM
// Below this half-flux diameter (counted on sub-pixels) a star's size comes
// from a fitted profile, below kFitHfdFully from it alone: counted, a star of
// HFD 2.8 reads about a tenth too large, smaller ones more. Larger stars are
// counted, as fast as ever.
constexpr double kFitHfdUntil = 2.8;
constexpr double kFitHfdFully = 2.2;

constexpr double Distance2(double dx, double dy) { return dx * dx + dy * dy; }

double Median(std::vector<float>& v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The k-th smallest (from 0) of `v`. Pixels and their differences are
// whole numbers within 2^17 of each other: a count of them by their high
// bits finds the block the k-th lies in, a count of that block's by their
// low bits the value, two passes over them where a selection by
// comparisons moves them about and guesses its branches wrong. The blocks
// are as small as the spread allows, so that few counters are cleared.
int Select(std::vector<int>& v, std::size_t k) {
    constexpr unsigned kHighBins = 256, kMaxLowBits = 9;
    // Written out, not as minmax_element: this loop runs on several values at once.
    int base = v.front(), most = v.front();
    for (const int x : v) base = std::min(base, x), most = std::max(most, x);
    const long long spread = static_cast<long long>(most) - base;
    if (spread >= static_cast<long long>(kHighBins) << kMaxLowBits) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
        return v[k];
    }
    unsigned lowBits = 0;
    while ((static_cast<unsigned>(spread) >> lowBits) >= kHighBins) ++lowBits;
    // Counted in four sets by turns, then added up: most samples are sky
    // in a few bins, and a count that waits for the last one to the same
    // bin waits for its store each time.
    const unsigned bins = (static_cast<unsigned>(spread) >> lowBits) + 1;
    std::array<std::array<std::uint32_t, kHighBins>, 4> sets;
    for (auto& set : sets) std::fill_n(set.begin(), bins, 0u);
    const std::size_t n = v.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) ++sets[j][static_cast<unsigned>(v[i + j] - base) >> lowBits];
    for (; i < n; ++i) ++sets[0][static_cast<unsigned>(v[i] - base) >> lowBits];
    std::array<std::uint32_t, kHighBins>& high = sets[0];
    for (unsigned b = 0; b < bins; ++b) high[b] += sets[1][b] + sets[2][b] + sets[3][b];
    unsigned block = 0;
    std::size_t below = 0;
    while (below + high[block] <= k) below += high[block++];
    if (lowBits == 0) return base + static_cast<int>(block);
    std::array<std::uint32_t, 1u << kMaxLowBits> low;
    const unsigned mask = (1u << lowBits) - 1;
    std::fill_n(low.begin(), mask + 1, 0u);
    for (const int x : v) {
        const unsigned u = static_cast<unsigned>(x - base);
        low[u & mask] += (u >> lowBits) == block ? 1u : 0u;
    }
    unsigned at = 0;
    while (below + low[at] <= k) below += low[at++];
    return base + static_cast<int>(block << lowBits | at);
}

// Sigma-clipped median and robust width of `v` (reordered).
void ClippedStats(std::vector<int>& v, double& median, double& sigma, int passes = kClipPasses) {
    median = 0.0;
    sigma = 0.0;
    std::vector<int> dev;
    for (int pass = 0; pass < passes && !v.empty(); ++pass) {
        const int m = Select(v, v.size() / 2);
        median = m;
        dev.resize(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) dev[i] = std::abs(v[i] - m);
        sigma = kMadToSigma * Select(dev, dev.size() / 2);
        const double limit = kClipSigma * std::max(sigma, kMinNoise);
        // Kept in place without a branch per sample: which side of the
        // limit a sample lies is as good as random near it.
        const std::size_t before = v.size();
        std::size_t kept = 0;
        for (const int s : v) {
            v[kept] = s;
            kept += std::fabs(s - median) > limit ? 0 : 1;
        }
        v.resize(kept);
        if (v.size() == before) break;
    }
}

// The sky level on a grid of tiles, interpolated between the tiles' centres.
class Sky {
public:
    // Abandoned (Stopped) when `stop` says yes before a row of tiles: on a
    // large frame the estimate alone takes a good part of a find.
    template <typename Stop>
    Sky(int width, int height, const std::uint16_t* pixels, int tile, const Stop& stop)
        : width_(width), height_(height), tile_(std::max(8, tile)) {
        nx_ = (width + tile_ - 1) / tile_;
        ny_ = (height + tile_ - 1) / tile_;
        std::vector<float> levels(static_cast<std::size_t>(nx_ * ny_));
        std::vector<float> widths;
        std::vector<int> samples;
        for (int ty = 0; ty < ny_; ++ty) {
            if (stop()) {
                stopped_ = true;
                return;
            }
            for (int tx = 0; tx < nx_; ++tx) {
                const int x0 = tx * tile_, y0 = ty * tile_;
                const int x1 = std::min(width, x0 + tile_), y1 = std::min(height, y0 + tile_);
                const int area = (x1 - x0) * (y1 - y0);
                const int stride = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(area) / kTileSamples)));
                samples.clear();
                for (int y = y0; y < y1; y += stride)
                    for (int x = x0; x < x1; x += stride) samples.push_back(pixels[static_cast<std::size_t>(y) * width + x]);
                double m = 0, s = 0;
                ClippedStats(samples, m, s);
                levels[static_cast<std::size_t>(ty * nx_ + tx)] = static_cast<float>(m);
                // The noise from differences of neighbouring pixels: a
                // gradient across the tile would widen the spread of the
                // levels themselves, but cancels in the differences.
                samples.clear();
                for (int y = y0; y < y1; y += stride)
                    for (int x = x0; x + 1 < x1; x += stride)
                        samples.push_back(pixels[static_cast<std::size_t>(y) * width + x + 1] -
                                          pixels[static_cast<std::size_t>(y) * width + x]);
                ClippedStats(samples, m, s);
                if (!samples.empty()) widths.push_back(static_cast<float>(s / std::sqrt(2.0)));
            }
        }
        measuredNoise_ = widths.empty() ? 0.0 : Median(widths);
        noise_ = std::max(kMinNoise, measuredNoise_);
        // No smoothing across tiles: the clipping already leaves stars out,
        // and a median over neighbouring tiles would pull the outer tiles of
        // a gradient inwards.
        level_ = levels;
        columns_.resize(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x) {
            Span& c = columns_[static_cast<std::size_t>(x)];
            Locate(x, nx_, width_, c.lo, c.hi, c.w);
            columnWeights_.push_back(c.w);
            if (x == 0 || c.lo != columns_[static_cast<std::size_t>(x) - 1].lo) runStart_.push_back(static_cast<std::size_t>(x));
        }
        runStart_.push_back(static_cast<std::size_t>(width));
        rows_.resize(static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) {
            Span& r = rows_[static_cast<std::size_t>(y)];
            Locate(y, ny_, height_, r.lo, r.hi, r.w);
        }
        std::vector<float> all = level_;
        median_ = all.empty() ? 0.0 : Median(all);
    }

    bool Stopped() const { return stopped_; }
    double Noise() const { return noise_; }
    // As measured, below one count too: what a fit weighs the pixels by.
    double MeasuredNoise() const { return measuredNoise_; }
    double MedianLevel() const { return median_; }

    // The sky along row y, one value per column.
    void Row(int y, std::vector<float>& out) const { Along(y, out); }

    // The sky along row y as Level gives it, pixel by pixel.
    void Levels(int y, std::vector<double>& out) const { Along(y, out); }

    // The sky at one pixel, as Row gives it.
    double Level(int x, int y) const {
        const Span& c = columns_[static_cast<std::size_t>(x)];
        const Span& r = rows_[static_cast<std::size_t>(y)];
        const double lo = At(c.lo, r.lo) * (1 - r.w) + At(c.lo, r.hi) * r.w;
        const double hi = At(c.hi, r.lo) * (1 - r.w) + At(c.hi, r.hi) * r.w;
        return lo * (1 - c.w) + hi * c.w;
    }

private:
    // The columns between the same two tiles' centres a run at a time: the
    // pair is looked up once a run, and the loop over a run's columns needs
    // nothing but their weights.
    template <typename T>
    void Along(int y, std::vector<T>& out) const {
        out.resize(static_cast<std::size_t>(width_));
        const Span& r = rows_[static_cast<std::size_t>(y)];
        std::vector<double> across(static_cast<std::size_t>(nx_));
        for (int i = 0; i < nx_; ++i) across[static_cast<std::size_t>(i)] = At(i, r.lo) * (1 - r.w) + At(i, r.hi) * r.w;
        const double* const w = columnWeights_.data();
        for (std::size_t k = 0; k + 1 < runStart_.size(); ++k) {
            const Span& c = columns_[runStart_[k]];
            const double lo = across[static_cast<std::size_t>(c.lo)], hi = across[static_cast<std::size_t>(c.hi)];
            for (std::size_t x = runStart_[k]; x < runStart_[k + 1]; ++x) out[x] = static_cast<T>(lo * (1 - w[x]) + hi * w[x]);
        }
    }
    double At(int i, int j) const { return level_[static_cast<std::size_t>(j * nx_ + i)]; }
    // The centre of tile i of n along an axis of `size` pixels (the last
    // tile may be short).
    double Centre(int i, int size) const { return (i * tile_ + std::min(size, (i + 1) * tile_) - 1) / 2.0; }
    void Locate(int p, int n, int size, int& lo, int& hi, double& w) const {
        lo = 0;
        while (lo + 2 < n && Centre(lo + 1, size) <= p) ++lo;
        hi = std::min(n - 1, lo + 1);
        w = hi == lo ? 0.0 : (p - Centre(lo, size)) / (Centre(hi, size) - Centre(lo, size));
    }
    // Between the tiles' centres the sky is interpolated, beyond the outer
    // centres extrapolated: a gradient goes on to the frame's edge.
    struct Span {
        int lo = 0, hi = 0;
        double w = 0;
    };
    int width_, height_, tile_, nx_ = 0, ny_ = 0;
    std::vector<Span> columns_, rows_;
    std::vector<double> columnWeights_;
    std::vector<std::size_t> runStart_;  // the first column of each run between two tiles' centres, and the width
    std::vector<float> level_;
    double noise_ = kMinNoise, measuredNoise_ = 0.0, median_ = 0.0;
    bool stopped_ = false;
};

class Frame {
public:
    Frame(int width, int height, const std::uint16_t* pixels) : w(width), h(height), p(pixels) {}
    double Raw(int x, int y) const {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        return p[static_cast<std::size_t>(y) * w + x];
    }
    // The 1-2-1 smoothed value at (x, y) above `sky`.
    double Smooth(int x, int y, double sky) const {
        if (x > 0 && y > 0 && x + 1 < w && y + 1 < h) {
            const std::uint16_t* a = p + static_cast<std::size_t>(y - 1) * w + x;
            const std::uint16_t* b = a + w;
            const std::uint16_t* c = b + w;
            const int sum = a[-1] + 2 * a[0] + a[1] + 2 * (b[-1] + 2 * b[0] + b[1]) + c[-1] + 2 * c[0] + c[1];
            return sum / 16.0 - sky;
        }
        static constexpr int k[3] = {1, 2, 1};
        double sum = 0;
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) sum += k[i + 1] * k[j + 1] * Raw(x + i, y + j);
        return sum / 16.0 - sky;
    }
    const int w, h;
    const std::uint16_t* const p;
};

// Asks for rows y0..y1 of the frame ahead of their use. A pass over the
// maxima reads a few pixels of a row here and there around each, which
// brings the row in from memory one miss after another.
void FetchRows(const std::uint16_t* pixels, int width, int height, int y0, int y1) {
    for (int y = std::max(0, y0); y <= std::min(height - 1, y1); ++y)
        for (int x = 0; x < width; x += 32) __builtin_prefetch(pixels + static_cast<std::size_t>(y) * width + x);
}

struct Candidate {
    int x, y;
    double core;  // smoothed height above the sky
    double sky;
    bool clipped = false;  // a pixel of its 3x3 is
};

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

// A value for each pixel the flood reaches, kept in blocks of 16x16 made
// only where it goes: a whole frame of them would cost more to clear than a
// sparse field takes to search, and neighbours stay close in memory. The
// blocks are made a few hundred at a time and never move, so that a
// crowded field's millions of pixels are not copied as the store grows.
template <typename T>
class Tiled {
public:
    static constexpr int kBlock = 16;  // also the step from one row of a block to the next

    Tiled(int width, int height, T blank)
        : across_((width + kBlock - 1) / kBlock), blank_(blank),
          block_(static_cast<std::size_t>(across_ * ((height + kBlock - 1) / kBlock)), nullptr) {}

    [[gnu::always_inline]] const T& Get(int x, int y) const {
        const T* b = block_[BlockOf(x, y)];
        return b == nullptr ? blank_ : b[Offset(x, y)];
    }
    [[gnu::always_inline]] T& Ref(int x, int y) {
        T*& b = block_[BlockOf(x, y)];
        if (b == nullptr) b = NewBlock();
        return b[Offset(x, y)];
    }
    // The value at (x, y) when its 3x3 neighbourhood lies in one block that
    // is there (its neighbours kBlock apart from row to row), else null:
    // most of a flood's pixels are looked up with one lookup for nine.
    [[gnu::always_inline]] T* Inside(int x, int y) {
        if (!Interior(x, y)) return nullptr;
        T* b = block_[BlockOf(x, y)];
        return b == nullptr ? nullptr : b + Offset(x, y);
    }
    static int Stride() { return kBlock; }
    // (x, y) and its eight neighbours lie in one block.
    [[gnu::always_inline]] static bool Interior(int x, int y) {
        const unsigned ix = static_cast<unsigned>(x) % kBlock, iy = static_cast<unsigned>(y) % kBlock;
        return ix - 1 < kBlock - 2 && iy - 1 < kBlock - 2;
    }

    // Calls visit(x, y, value) for every pixel of the blocks there are, in
    // the order the pixels lie in the frame, until it returns false; false
    // then.
    template <typename Visit>
    bool InFrameOrder(int width, int height, Visit visit) {
        for (int by = 0; by * kBlock < height; ++by)
            for (int y = by * kBlock; y < std::min(height, (by + 1) * kBlock); ++y)
                for (int bx = 0; bx < across_; ++bx) {
                    T* const b = block_[static_cast<std::size_t>(by * across_ + bx)];
                    if (b == nullptr) continue;
                    T* const row = b + static_cast<std::size_t>(y % kBlock) * kBlock;
                    const int x0 = bx * kBlock, n = std::min(kBlock, width - x0);
                    for (int i = 0; i < n; ++i)
                        if (!visit(x0 + i, y, row[i])) return false;
                }
        return true;
    }

private:
    static constexpr std::size_t kArea = kBlock * kBlock;
    static constexpr std::size_t kBlocksPerChunk = 256;
    T* NewBlock() {
        if (used_ == kBlocksPerChunk || chunks_.empty()) {
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(kArea * kBlocksPerChunk));
            used_ = 0;
        }
        T* b = chunks_.back().get() + kArea * used_++;
        std::fill(b, b + kArea, blank_);
        return b;
    }
    // The coordinates are never negative: shifts and masks, not divisions.
    [[gnu::always_inline]] std::size_t BlockOf(int x, int y) const {
        return static_cast<std::size_t>(static_cast<unsigned>(y) / kBlock * static_cast<unsigned>(across_) +
                                        static_cast<unsigned>(x) / kBlock);
    }
    [[gnu::always_inline]] static std::size_t Offset(int x, int y) {
        return static_cast<std::size_t>(static_cast<unsigned>(y) % kBlock * kBlock + static_cast<unsigned>(x) % kBlock);
    }
    int across_;
    T blank_;
    std::vector<T*> block_;
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t used_ = 0;
};

// Memory fresh from the system is handed out a page at a time, each page a
// fault that on some machines costs as much as the work on it, and a find
// on a crowded field fills megabytes (its frame of levels, a record per
// star) that it hands back at its end. Those go in huge pages where the
// kernel offers them, a fault for every 2 MB instead of every 4 kB.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
void* HugeAlloc(std::size_t bytes) {
    // Rounded up to whole huge pages, or the last part of the memory is
    // made of small ones. Under AddressSanitizer exactly the bytes asked
    // for, so that a look past the end is out of bounds for it to see.
#if defined(__SANITIZE_ADDRESS__)
    const std::size_t rounded = bytes;
#else
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
#endif
    void* memory = nullptr;
    if (posix_memalign(&memory, kHugePage, rounded) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return memory;
}

// An allocator for a vector that may grow to megabytes: from half a huge
// page on, its memory comes from HugeAlloc.
template <typename T>
struct Roomy {
    using value_type = T;
    static constexpr std::size_t kFrom = kHugePage / 2;
    Roomy() = default;
    template <typename U>
    Roomy(const Roomy<U>&) {}
    T* allocate(std::size_t n) {
        if (n * sizeof(T) < kFrom) return std::allocator<T>().allocate(n);
        void* memory = HugeAlloc(n * sizeof(T));
        if (memory == nullptr) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < kFrom)
            std::allocator<T>().deallocate(p, n);
        else
            std::free(p);
    }
    template <typename U>
    bool operator==(const Roomy<U>&) const { return true; }
};
template <typename T>
using RoomyVector = std::vector<T, Roomy<T>>;

// The same for a whole frame, row after row: on a crowded field, where the
// flood reaches most pixels, plain rows cost less than blocks to look up.
template <typename T>
class Flat {
public:
    // The cells are left as the system gives them: the one who made the
    // frame writes each before reading it, in one pass instead of two.
    Flat(int width, int height) : width_(width), height_(height) {
        cell_.reset(static_cast<T*>(HugeAlloc(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * sizeof(T))));
    }

    const T& Get(int x, int y) const { return cell_[Index(x, y)]; }
    T& Ref(int x, int y) { return cell_[Index(x, y)]; }
    T* Inside(int x, int y) { return Interior(x, y) ? &cell_[Index(x, y)] : nullptr; }
    bool Interior(int x, int y) const { return x > 0 && y > 0 && x + 1 < width_ && y + 1 < height_; }
    int Stride() const { return width_; }
    // False when there was no memory for the frame.
    bool Made() const { return cell_ != nullptr; }

    template <typename Visit>
    bool InFrameOrder(int, int, Visit visit) {
        for (int y = 0; y < height_; ++y) {
            T* const row = &cell_[Index(0, y)];
            for (int x = 0; x < width_; ++x)
                if (!visit(x, y, row[x])) return false;
        }
        return true;
    }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::size_t Index(int x, int y) const { return static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x); }
    int width_, height_;
    std::unique_ptr<T[], Free> cell_;
};

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

// The order of `level` (all at or above zero) from the highest down: a
// radix sort on the floats' bits, which order as the values do, so its time
// grows with the count alone.
std::vector<std::uint32_t> DescendingOrder(const std::vector<float>& level) {
    const std::size_t n = level.size();
    std::vector<std::uint32_t> key(n), order(n), keyTo(n), orderTo(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float v = std::max(0.0f, level[i]);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        key[i] = ~bits;
        order[i] = static_cast<std::uint32_t>(i);
    }
    std::vector<std::size_t> count(65537);
    for (const int shift : {0, 16}) {
        std::fill(count.begin(), count.end(), 0);
        for (std::size_t i = 0; i < n; ++i) ++count[((key[i] >> shift) & 0xffffu) + 1];
        for (std::size_t k = 1; k < count.size(); ++k) count[k] += count[k - 1];
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t to = count[(key[i] >> shift) & 0xffffu]++;
            keyTo[to] = key[i];
            orderTo[to] = order[i];
        }
        key.swap(keyTo);
        order.swap(orderTo);
    }
    return order;
}

// How often a find asks whether it is still wanted: rows of the frame,
// maxima flooded, pixels climbed and stars measured between two questions.
// Each is a millisecond or so of work on a crowded 2048 x 2048 field.
constexpr int kStopRows = 32;
constexpr std::size_t kStopMaxima = 256;
constexpr std::size_t kStopPixels = 65536;
constexpr std::size_t kStopStars = 64;

std::optional<StarField> Find(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings,
                              const std::function<bool()>* stop) {
    const auto stopped = [stop] { return stop != nullptr && *stop && (*stop)(); };
    StarField field;
    // A pixel's place is packed in 32 bits, 16 for each axis: far beyond
    // any sensor made.
    if (pixels == nullptr || width < 3 || height < 3 || width > 65536 || height > 65536) return field;
    const Sky sky(width, height, pixels, settings.tileSize, stopped);
    if (sky.Stopped()) return std::nullopt;
    field.noise = sky.Noise();
    field.background = sky.MedianLevel();
    const Frame f(width, height, pixels);
    const double threshold = settings.thresholdSigma * field.noise;

    // Seeds: the local maxima of the pixels above the threshold, each climbed
    // to its maximum on the smoothed frame.
    RoomyVector<Candidate> candidates;
    std::vector<float> row;
    std::vector<std::uint8_t> standsOut(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        if (y % kStopRows == 0 && stopped()) return std::nullopt;
        sky.Row(y, row);
        // A climb from this row reads up to three rows further down.
        FetchRows(pixels, width, height, y + 3, y + 3);
        const std::uint16_t* line = pixels + static_cast<std::size_t>(y) * width;
        // Which pixels stand out above the sky, and inside the frame which
        // have no higher neighbour, along the whole row first and several
        // pixels at once: on a crowded field half the pixels stand out, and
        // a branch per pixel or per neighbour goes wrong as often as not.
        // The first test is in single precision with a count to spare, so
        // that it passes every pixel the exact one below passes.
        {
            std::uint8_t* const out = standsOut.data();
            const float* const level = row.data();
            const float cut = static_cast<float>(threshold) - 1.0f;
            for (std::size_t x = 0; x < standsOut.size(); ++x) out[x] = static_cast<float>(line[x]) > level[x] + cut;
        }
        const bool inner = y > 0 && y + 1 < height;
        if (inner) {
            const std::uint16_t* const a = line - width;
            const std::uint16_t* const c = line + width;
            for (std::size_t x = 1; x + 1 < standsOut.size(); ++x) {
                const std::uint16_t v = line[x];
                standsOut[x] &= ((a[x - 1] > v) | (a[x] > v) | (a[x + 1] > v) | (line[x - 1] > v) | (line[x + 1] > v) |
                            (c[x - 1] > v) | (c[x] > v) | (c[x + 1] > v)) == 0;
            }
        }
        for (int x = 0; x < width; ++x) {
            if (!standsOut[static_cast<std::size_t>(x)]) continue;
            const std::uint16_t v = line[x];
            if (v <= row[static_cast<std::size_t>(x)] + threshold) continue;
            bool top = true;
            if (!inner || x == 0 || x + 1 == width) {
                for (int j = std::max(0, y - 1); j <= std::min(height - 1, y + 1) && top; ++j)
                    for (int i = std::max(0, x - 1); i <= std::min(width - 1, x + 1); ++i)
                        if (pixels[static_cast<std::size_t>(j) * width + i] > v) {
                            top = false;
                            break;
                        }
            }
            if (!top) continue;
            const double level = row[static_cast<std::size_t>(x)];
            int cx = x, cy = y;
            double best = f.Smooth(cx, cy, level);
            for (;;) {
                int bx = cx, by = cy;
                if (cx >= 2 && cy >= 2 && cx + 2 < width && cy + 2 < height) {
                    // The nine smoothed levels from the 5x5 pixels under
                    // them, each read once instead of nine times over.
                    int across[5][3];
                    for (int r = 0; r < 5; ++r) {
                        const std::uint16_t* const p = pixels + static_cast<std::size_t>(cy - 2 + r) * width + cx;
                        for (int i = 0; i < 3; ++i) across[r][i] = p[i - 2] + 2 * p[i - 1] + p[i];
                    }
                    for (int j = 0; j < 3; ++j)
                        for (int i = 0; i < 3; ++i) {
                            if (i == 1 && j == 1) continue;
                            const double sv = (across[j][i] + 2 * across[j + 1][i] + across[j + 2][i]) / 16.0 - level;
                            if (sv > best) best = sv, bx = cx + i - 1, by = cy + j - 1;
                        }
                } else {
                    for (int j = -1; j <= 1; ++j)
                        for (int i = -1; i <= 1; ++i) {
                            const int nx = cx + i, ny = cy + j;
                            if ((i == 0 && j == 0) || nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                            const double sv = f.Smooth(nx, ny, level);
                            if (sv > best) best = sv, bx = nx, by = ny;
                        }
                }
                if (bx == cx && by == cy) break;
                cx = bx;
                cy = by;
            }
            candidates.push_back({cx, cy, best, level});
        }
    }
    // Several seeds climb to one maximum.
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return std::pair(a.y, a.x) < std::pair(b.y, b.x); });
    candidates.erase(std::unique(candidates.begin(), candidates.end(),
                                 [](const Candidate& a, const Candidate& b) { return a.x == b.x && a.y == b.y; }),
                     candidates.end());

    // Real stars only: bright enough at the core, neither a spike nor noise.
    // Whether a pixel of its 3x3 is clipped is noted on the way, for the
    // ranking of a capped field, while those pixels are at hand.
    const auto raw = [&](int x, int y) -> double { return pixels[static_cast<std::size_t>(y) * width + x]; };
    const auto real = [&](Candidate& c) {
        if (c.core < kCoreFraction * threshold) return false;
        double peak = 0;
        int px = c.x, py = c.y, top = 0;
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) {
                if (c.x + i < 0 || c.y + j < 0 || c.x + i >= width || c.y + j >= height) continue;
                top = std::max(top, static_cast<int>(raw(c.x + i, c.y + j)));
                if (raw(c.x + i, c.y + j) - c.sky > peak) {
                    peak = raw(c.x + i, c.y + j) - c.sky;
                    px = c.x + i;
                    py = c.y + j;
                }
            }
        c.clipped = top >= settings.saturation;
        if (peak < threshold) return false;
        double sides = 0;
        int n = 0;
        for (const auto& [i, j] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
            if (px + i < 0 || py + j < 0 || px + i >= width || py + j >= height) continue;
            sides += raw(px + i, py + j) - c.sky;
            ++n;
        }
        if (n == 0) return false;
        const double spill = sides / n;
        return spill >= kSideSigmas * field.noise / std::sqrt(static_cast<double>(n)) && spill >= kMinSideShare * peak;
    };
    std::size_t kept = 0;
    int fetched = -1;
    for (Candidate& c : candidates) {
        FetchRows(pixels, width, height, std::max(fetched + 1, c.y + 2), c.y + 3);
        fetched = std::max(fetched, c.y + 3);
        if (real(c)) candidates[kept++] = c;
    }
    candidates.resize(kept);

    // One star per light. The pixels around the maxima are flooded down to
    // the lowest level at which two maxima could still be one star, and each
    // flooded pixel goes with the maximum its steepest way up leads to. Two
    // such hills meet at a saddle, and the hills are joined highest saddle
    // first: where a hill with a star's maximum meets a brighter one, it is a
    // star of its own if the light dips clearly at the saddle, and part of
    // the brighter one if not. Following the light the way it runs splits a
    // close pair, keeps a broad noisy star whole, and keeps a ring (a
    // defocused star behind a central obstruction, all of whose maxima lie
    // on one bright ridge) whole too, where a straight line across it would
    // dip into its dark middle. Each pixel is looked at a few times, in
    // the order it lies in; only the saddles are sorted, by a radix sort.
    const double dipNoise = 3 * kSmoothNoise * field.noise;
    const double faintest = kCoreFraction * threshold;
    const double floorLevel = std::max(kSmoothNoise * field.noise, std::min(kDipFraction * faintest, faintest - dipNoise));
    constexpr float kUnseen = -2.0f, kBelow = -1.0f;
    // Each flooded pixel's smoothed level and, once climbed, its hill.
    struct Spot {
        float level;
        int hill;
    };
    struct Light {
        double s = 0, sx = 0, sy = 0;
        // The box around its pixels; with none, inside out, so that taking
        // the first pixel in needs no case of its own.
        int x0 = INT_MAX, x1 = INT_MIN, y0 = INT_MAX, y1 = INT_MIN;
        int anchor = -1;  // its brightest maximum; a bump of noise has none
        double core = 0;  // that maximum's height, kept here as the joins ask for it at every saddle
        double sxx = 0, syy = 0;
        void Add(const Light& o) {
            s += o.s, sx += o.sx, sy += o.sy, sxx += o.sxx, syy += o.syy;
            x0 = std::min(x0, o.x0), x1 = std::max(x1, o.x1), y0 = std::min(y0, o.y0), y1 = std::max(y1, o.y1);
        }
        // As Add of a light of one pixel, without building one.
        void AddPixel(int x, int y, double v) {
            s += v, sx += v * x, sy += v * y, sxx += v * x * x, syy += v * y * y;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        }
    };
    struct Saddle {
        int a, b;
        float level;
    };
    RoomyVector<Light> lights;
    // The hills that are stars. A hill's light no longer changes once it is
    // told apart from a brighter one (all that joins it later goes to that
    // one), so its place is all a star needs to keep.
    std::vector<int> stars;
    std::vector<Saddle> saddles;
    std::vector<std::vector<std::pair<int, float>>> touching;
    int hills = 0;
    // The hills of the flooded pixels (those with a level), each one's light,
    // the saddles where they touch and the maxima they hold, each part false
    // when the find was called off. The flooded pixels are taken in the
    // order they lie in.
    const auto flooded = [](const Spot& spot) { return spot.level >= 0; };
    // The hills: each pixel follows its highest higher neighbour up to a top.
    // Hills are numbered in the order their first pixel lies in, which the
    // joins below rely on to settle ties the same way every time.
    const auto climb = [&](auto& spots) {
        std::vector<Spot*> path;
        std::size_t climbed = 0;
        return spots.InFrameOrder(width, height, [&](int px, int py, Spot& start) {
            if (!flooded(start)) return true;
            if (++climbed % kStopPixels == 0 && stopped()) return false;
            path.clear();
            int found = -1;
            Spot* here = &start;
            for (;;) {
                found = here->hill;
                if (found >= 0) break;
                path.push_back(here);
                float best = here->level;
                int ux = px, uy = py;
                const Spot* const inside = spots.Interior(px, py) ? here : nullptr;
                if (inside != nullptr) {
                    // Without branches: which neighbour is highest is as
                    // good as random on noise, and a mispredicted branch
                    // per neighbour cost more than the rest of the climb.
                    const int stride = spots.Stride();
                    int di = 0, dj = 0;
                    for (int j = -1; j <= 1; ++j)
                        for (int i = -1; i <= 1; ++i) {
                            const float v = inside[j * stride + i].level;
                            const bool up = v > best;
                            best = up ? v : best;
                            di = up ? i : di;
                            dj = up ? j : dj;
                        }
                    ux = px + di, uy = py + dj;
                } else {
                    for (int y = std::max(0, py - 1); y <= std::min(height - 1, py + 1); ++y)
                        for (int x = std::max(0, px - 1); x <= std::min(width - 1, px + 1); ++x) {
                            const float v = spots.Get(x, y).level;
                            if (v > best) best = v, ux = x, uy = y;
                        }
                }
                if (ux == px && uy == py) {
                    found = hills++;
                    break;
                }
                here = inside != nullptr ? here + (uy - py) * spots.Stride() + (ux - px) : &spots.Ref(ux, uy);
                px = ux, py = uy;
            }
            for (Spot* q : path) q->hill = found;
            return true;
        });
    };
    // The same over a whole frame, in two passes: first each pixel's way up,
    // a row at a time in a loop the compiler runs on several pixels at once,
    // then the climbs, each pixel by its way up alone.
    const auto climbFlat = [&](Flat<Spot>& spots) {
        constexpr std::uint8_t kTop = 4;  // the pixel itself: the neighbours are numbered row by row
        const std::size_t w = static_cast<std::size_t>(width);
        Spot* const base = &spots.Ref(0, 0);
        std::vector<std::uint8_t> way(w * static_cast<std::size_t>(height));
        std::vector<float> rows[3];
        for (auto& r : rows) r.resize(w);
        const auto load = [&](std::vector<float>& r, int y) {
            const Spot* const line = base + static_cast<std::size_t>(y) * w;
            for (std::size_t x = 0; x < w; ++x) r[x] = line[x].level;
        };
        // At the frame's edge, the neighbours there are.
        const auto edge = [&](int px, int py) {
            float best = base[static_cast<std::size_t>(py) * w + static_cast<std::size_t>(px)].level;
            std::uint8_t k = kTop;
            for (int y = std::max(0, py - 1); y <= std::min(height - 1, py + 1); ++y)
                for (int x = std::max(0, px - 1); x <= std::min(width - 1, px + 1); ++x) {
                    const float v = base[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)].level;
                    if (v > best) best = v, k = static_cast<std::uint8_t>((y - py + 1) * 3 + (x - px + 1));
                }
            way[static_cast<std::size_t>(py) * w + static_cast<std::size_t>(px)] = k;
        };
        load(rows[0], 0);
        load(rows[1], std::min(1, height - 1));
        for (int y = 0; y < height; ++y) {
            if (y % kStopRows == 0 && stopped()) return false;
            if (y == 0 || y + 1 == height) {
                for (int x = 0; x < width; ++x) edge(x, y);
                continue;
            }
            const float* const a = rows[(y - 1) % 3].data();
            const float* const b = rows[y % 3].data();
            const float* const c = rows[(y + 1) % 3].data();
            load(rows[(y + 1) % 3], y + 1);
            std::uint8_t* const out = way.data() + static_cast<std::size_t>(y) * w;
            for (std::size_t x = 1; x + 1 < w; ++x) {
                float best = b[x];
                int k = kTop;
                // The choice as a mask: written as a choice, the compiler
                // keeps the branch and the loop one pixel at a time.
                const auto step = [&](float v, int code) {
                    const int up = -static_cast<int>(v > best);
                    best = v > best ? v : best;
                    k = (k & ~up) | (code & up);
                };
                step(a[x - 1], 0), step(a[x], 1), step(a[x + 1], 2), step(b[x - 1], 3), step(b[x + 1], 5);
                step(c[x - 1], 6), step(c[x], 7), step(c[x + 1], 8);
                out[x] = static_cast<std::uint8_t>(k);
            }
            edge(0, y);
            edge(width - 1, y);
        }
        const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(w);
        const std::ptrdiff_t step[9] = {-stride - 1, -stride, -stride + 1, -1, 0, 1, stride - 1, stride, stride + 1};
        std::vector<std::size_t> path;
        std::size_t climbed = 0;
        for (std::size_t i = 0; i < way.size(); ++i) {
            if (!flooded(base[i])) continue;
            if (++climbed % kStopPixels == 0 && stopped()) return false;
            if (base[i].hill >= 0) continue;
            // A way up to a pixel before this one leads to a hill known already.
            if (way[i] < kTop) {
                base[i].hill = base[static_cast<std::ptrdiff_t>(i) + step[way[i]]].hill;
                continue;
            }
            path.clear();
            std::size_t q = i;
            int found = -1;
            while (found < 0) {
                path.push_back(q);
                const std::uint8_t k = way[q];
                if (k == kTop) {
                    found = hills++;
                    break;
                }
                q = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(q) + step[k]);
                found = base[q].hill;
            }
            for (const std::size_t p : path) base[p].hill = found;
        }
        return true;
    };
    // Where two hills touch, the saddle between them: the highest of the
    // lower pixels of their touching pairs. Each hill keeps the few hills it
    // touches. Along a border a pixel mostly touches the same hill as the
    // one before: that pair's saddle is kept at hand. The pointer into the
    // list stays good until the list grows, which it does only by another
    // pair of the same hill, which then takes this one's place.
    int lastLow = -1, lastHigh = -1;
    float* lastSaddle = nullptr;
    const auto touch = [&](int hp, float vp, const Spot& there) {
        const int hq = there.hill;
        if (hq < 0 || hq == hp) return;
        const float v = std::min(vp, there.level);
        const int low = std::min(hp, hq), high = std::max(hp, hq);
        if (low == lastLow && high == lastHigh) {
            *lastSaddle = std::max(*lastSaddle, v);
            return;
        }
        auto& list = touching[static_cast<std::size_t>(low)];
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& e) { return e.first == high; });
        if (it == list.end()) {
            list.emplace_back(high, v);
            it = list.end() - 1;
        } else {
            it->second = std::max(it->second, v);
        }
        lastLow = low, lastHigh = high, lastSaddle = &it->second;
    };
    // Each hill's brightest maximum.
    const auto anchor = [&](const auto& spots) {
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            Light& l = lights[static_cast<std::size_t>(spots.Get(candidates[k].x, candidates[k].y).hill)];
            if (l.anchor < 0 || candidates[k].core > l.core) l.anchor = static_cast<int>(k), l.core = candidates[k].core;
        }
    };
    // Each hill's light, and where two hills touch, the saddle between them.
    const auto settle = [&](auto& spots) {
        lights.resize(static_cast<std::size_t>(hills));
        touching.resize(static_cast<std::size_t>(hills));
        spots.InFrameOrder(width, height, [&](int px, int py, const Spot& here) {
            if (!flooded(here)) return true;
            const int hp = here.hill;
            const float vp = here.level;
            const double v0 = vp;
            lights[static_cast<std::size_t>(hp)].AddPixel(px, py, v0);
            const Spot* const inside = spots.Inside(px, py);
            // Most pixels lie inside their hill, with their neighbours on it.
            if (inside != nullptr) {
                const int stride = spots.Stride();
                if (((inside[1].hill ^ hp) | (inside[stride - 1].hill ^ hp) | (inside[stride].hill ^ hp) |
                     (inside[stride + 1].hill ^ hp)) == 0)
                    return true;
            }
            for (const auto& [dx, dy] : {std::pair{1, 0}, std::pair{-1, 1}, std::pair{0, 1}, std::pair{1, 1}}) {
                const int x = px + dx, y = py + dy;
                if (x < 0 || x >= width || y >= height) continue;
                touch(hp, vp, inside != nullptr ? inside[dy * spots.Stride() + dx] : spots.Get(x, y));
            }
            return true;
        });
        anchor(spots);
        return true;
    };
    // The same over a whole frame, a row at a time: a hill's light is summed
    // over a run of its pixels along the row before it is added (pixel by
    // pixel, each addition waited for the last one's), and the pixels on a
    // border are picked out along the row first.
    const auto settleFlat = [&](Flat<Spot>& spots) {
        lights.resize(static_cast<std::size_t>(hills));
        touching.resize(static_cast<std::size_t>(hills));
        const std::size_t w = static_cast<std::size_t>(width);
        for (int y = 0; y < height; ++y) {
            if (y % kStopRows == 0 && stopped()) return false;
            const Spot* const line = &spots.Ref(0, y);
            for (int x = 0; x < width;) {
                const int hp = line[x].hill;
                if (hp < 0) {
                    ++x;
                    continue;
                }
                double s = 0, sx = 0, sxx = 0;
                const int x0 = x;
                do {
                    const double v = line[x].level;
                    s += v, sx += v * x, sxx += v * x * x;
                } while (++x < width && line[x].hill == hp);
                Light& light = lights[static_cast<std::size_t>(hp)];
                light.s += s, light.sx += sx, light.sy += s * y, light.sxx += sxx, light.syy += s * y * y;
                light.x0 = std::min(light.x0, x0), light.x1 = std::max(light.x1, x - 1);
                light.y0 = std::min(light.y0, y), light.y1 = std::max(light.y1, y);
            }
            const Spot* const below = y + 1 < height ? line + w : nullptr;
            for (std::size_t x = 0; x < w; ++x) {
                const int hp = line[x].hill;
                if (hp < 0) continue;
                const bool inside = below != nullptr && x > 0 && x + 1 < w;
                if (inside && ((line[x + 1].hill ^ hp) | (below[x - 1].hill ^ hp) | (below[x].hill ^ hp) | (below[x + 1].hill ^ hp)) == 0)
                    continue;
                const float vp = line[x].level;
                if (x + 1 < w) touch(hp, vp, line[x + 1]);
                if (below == nullptr) continue;
                if (x > 0) touch(hp, vp, below[x - 1]);
                touch(hp, vp, below[x]);
                if (x + 1 < w) touch(hp, vp, below[x + 1]);
            }
        }
        anchor(spots);
        return true;
    };
    // The hills joined, highest saddle first, into `stars`.
    const auto join = [&] {
        for (std::size_t h = 0; h < touching.size(); ++h)
            for (const auto& [other, v] : touching[h]) saddles.push_back({static_cast<int>(h), other, v});
        std::vector<float> saddleLevels(saddles.size());
        for (std::size_t k = 0; k < saddles.size(); ++k) saddleLevels[k] = saddles[k].level;

        std::vector<int> parent(static_cast<std::size_t>(hills));
        for (int h = 0; h < hills; ++h) parent[static_cast<std::size_t>(h)] = h;
        const auto root = [&](int a) {
            while (parent[static_cast<std::size_t>(a)] != a) {
                const int up = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(a)])];
                parent[static_cast<std::size_t>(a)] = up;
                a = up;
            }
            return a;
        };
        for (const std::uint32_t k : DescendingOrder(saddleLevels)) {
            int a = root(saddles[k].a), b = root(saddles[k].b);
            if (a == b) continue;
            const Light& la = lights[static_cast<std::size_t>(a)];
            const Light& lb = lights[static_cast<std::size_t>(b)];
            if (lb.anchor >= 0 && (la.anchor < 0 || lb.core > la.core)) std::swap(a, b);
            Light& fainter = lights[static_cast<std::size_t>(b)];
            const double saddle = saddles[k].level;
            if (fainter.anchor >= 0 && saddle < kDipFraction * fainter.core && fainter.core - saddle >= dipNoise)
                stars.push_back(b);
            else
                lights[static_cast<std::size_t>(a)].Add(fainter);
            parent[static_cast<std::size_t>(b)] = a;
        }
        for (int h = 0; h < hills; ++h)
            if (parent[static_cast<std::size_t>(h)] == h && lights[static_cast<std::size_t>(h)].anchor >= 0) stars.push_back(h);
    };
    // Two maxima kApart or less apart, in the order they lie: a saddle
    // between them unless the light dips clearly on the way.
    const auto pair = [&](std::size_t a, std::size_t b) {
        // From the fainter towards the brighter: its light falls first, and
        // once it is clearly down the pair is two stars whatever else joins
        // either of them (a light is judged by its brightest maximum, never
        // fainter than this one).
        const bool fromA = candidates[a].core < candidates[b].core;
        const Candidate& from = fromA ? candidates[a] : candidates[b];
        const Candidate& to = fromA ? candidates[b] : candidates[a];
        const int dx = to.x - from.x, dy = to.y - from.y;
        const double clear = std::min(kDipFraction * from.core, from.core - dipNoise);
        const int steps = std::max(std::abs(dx), std::abs(dy));
        double low = from.core;
        for (int t = 1; t < steps; ++t) {
            // The pixel nearest the line, rounded half away from the start.
            const int x = from.x + (2 * dx * t + (dx < 0 ? -steps : steps)) / (2 * steps);
            const int y = from.y + (2 * dy * t + (dy < 0 ? -steps : steps)) / (2 * steps);
            low = std::min(low, f.Smooth(x, y, from.sky));
            if (low < clear) return;
        }
        saddles.push_back({static_cast<int>(a), static_cast<int>(b), static_cast<float>(low)});
    };
    // Each maximum's light, from the pixels around it, and the saddles
    // between maxima kApart or less apart; false when the find was called off.
    const auto tellApart = [&] {
        const std::size_t n = candidates.size();
        hills = static_cast<int>(n);
        lights.assign(n, {});
        // The pairs kApart or less apart, each once: the maxima lie in the
        // order of their rows and along each row, so a pair's second lies
        // on the first's row or on one of the kApart below it. For each of
        // those rows a cursor keeps the first maximum not too far left of
        // the one whose pairs are taken; it only ever moves right along its
        // row, and back to the row's start when the rows move down. A
        // maximum's light and its pairs are taken together, while the rows
        // around it are at hand.
        std::vector<std::size_t> rowStart(static_cast<std::size_t>(height) + 1, n);
        for (std::size_t k = n; k-- > 0;) rowStart[static_cast<std::size_t>(candidates[k].y)] = k;
        for (int y = height - 1; y >= 0; --y)
            rowStart[static_cast<std::size_t>(y)] = std::min(rowStart[static_cast<std::size_t>(y)], rowStart[static_cast<std::size_t>(y) + 1]);
        std::array<std::size_t, kApart + 1> cursor{};
        int cursorRow = -1;
        for (std::size_t a = 0; a < n; ++a) {
            if (a % kStopMaxima == kStopMaxima - 1 && stopped()) return false;
            const Candidate& c = candidates[a];
            Light& l = lights[a];
            l.anchor = static_cast<int>(a);
            l.core = c.core;
            l.x0 = std::max(0, c.x - kBoxReach), l.x1 = std::min(width - 1, c.x + kBoxReach);
            l.y0 = std::max(0, c.y - kBoxReach), l.y1 = std::min(height - 1, c.y + kBoxReach);
            // In whole counts above the sky rounded to a count, from the
            // maximum, then moved to the frame's origin: sums that need
            // not wait for each other, exact, and a light within a few
            // counts of the exact one.
            const int level = static_cast<int>(std::lround(c.sky));
            std::int64_t s = 0, sx = 0, sy = 0, sxx = 0, syy = 0;
            for (int y = l.y0; y <= l.y1; ++y) {
                const std::uint16_t* const line = pixels + static_cast<std::size_t>(y) * width;
                int rs = 0, rx = 0, rxx = 0;
                for (int x = l.x0; x <= l.x1; ++x) {
                    const int v = std::max(0, line[x] - level), dx = x - c.x;
                    rs += v, rx += v * dx, rxx += v * dx * dx;
                }
                const int dy = y - c.y;
                s += rs, sx += rx, sxx += rxx, sy += std::int64_t{rs} * dy, syy += std::int64_t{rs} * dy * dy;
            }
            const double cx = c.x, cy = c.y;
            l.s = static_cast<double>(s);
            l.sx = l.s * cx + static_cast<double>(sx), l.sxx = l.s * cx * cx + 2.0 * cx * static_cast<double>(sx) + static_cast<double>(sxx);
            l.sy = l.s * cy + static_cast<double>(sy), l.syy = l.s * cy * cy + 2.0 * cy * static_cast<double>(sy) + static_cast<double>(syy);

            if (c.y != cursorRow) {
                FetchRows(pixels, width, height, std::max(cursorRow + 1, c.y) + kApart + 1, c.y + kApart + 2);
                cursorRow = c.y;
                for (int dy = 0; dy <= kApart; ++dy)
                    cursor[static_cast<std::size_t>(dy)] = rowStart[static_cast<std::size_t>(std::min(height, c.y + dy))];
            }
            for (int dy = 0; dy <= kApart && c.y + dy < height; ++dy) {
                const std::size_t end = rowStart[static_cast<std::size_t>(c.y + dy) + 1];
                std::size_t& from = cursor[static_cast<std::size_t>(dy)];
                while (from < end && candidates[from].x < c.x - kApart) ++from;
                for (std::size_t b = dy == 0 ? a + 1 : from; b < end && candidates[b].x <= c.x + kApart; ++b)
                    if ((candidates[b].x - c.x) * (candidates[b].x - c.x) + dy * dy <= kApart * kApart) pair(a, b);
            }
        }
        return true;
    };
    // A field crowded with small stars, the way crowded fields are, is told
    // apart by the light between neighbouring maxima alone, on the straight
    // line from one to the other, with each star's light taken from a few
    // pixels around its maximum: a few dozen pixels a star, where a flood
    // looks at every pixel of the frame several times. Where the light
    // between two maxima stays up all the way they are one star, joined as
    // the flood joins hills. A field where many maxima join others has large
    // stars (defocused, or rings, whose light runs round a curve a straight
    // line cuts across): it is flooded after all.
    //
    // Such a field is flooded nearly everywhere: there every pixel's level
    // is worked out in one pass along the rows, into a whole frame of them.
    // The flood then needs no walking, since every pixel above the floor is
    // part of it or of a bump of noise without a maximum, which has a hill
    // and a light of its own that never meets a star's. Elsewhere only the
    // flood's pixels are looked at.
    bool made = false;
    bool crowded = static_cast<double>(candidates.size()) * settings.wholeFrameBelow > static_cast<double>(width) * height;
    bool apart = false;
    if (crowded) {
        if (!tellApart()) return std::nullopt;
        join();
        apart = static_cast<double>(stars.size()) >= (1 - kApartJoined) * hills;
        made = apart;
        if (!apart) {
            stars.clear();
            lights.clear();
            saddles.clear();
            hills = 0;
        }
    }
    if (crowded && !apart) {
        Flat<Spot> spots(width, height);
        // Without the memory for a whole frame the flood below does, on the
        // blocks it reaches.
        crowded = spots.Made();
        if (crowded) {
            // The 1-2-1 smoothing one axis after the other, as Smooth sums it
            // (the frame's edge repeated outwards).
            std::vector<double> skyRow;
            std::vector<int> down(static_cast<std::size_t>(width)), across(static_cast<std::size_t>(width));
            for (int y = 0; y < height; ++y) {
                if (y % kStopRows == 0 && stopped()) return std::nullopt;
                sky.Levels(y, skyRow);
                const std::uint16_t* const a = pixels + static_cast<std::size_t>(std::max(0, y - 1)) * width;
                const std::uint16_t* const b = pixels + static_cast<std::size_t>(y) * width;
                const std::uint16_t* const c = pixels + static_cast<std::size_t>(std::min(height - 1, y + 1)) * width;
                for (int x = 0; x < width; ++x) down[static_cast<std::size_t>(x)] = a[x] + 2 * b[x] + c[x];
                across.front() = 3 * down[0] + down[1];
                for (int x = 1; x + 1 < width; ++x)
                    across[static_cast<std::size_t>(x)] = down[static_cast<std::size_t>(x) - 1] + 2 * down[static_cast<std::size_t>(x)] + down[static_cast<std::size_t>(x) + 1];
                across.back() = down[static_cast<std::size_t>(width) - 2] + 3 * down.back();
                Spot* const line = &spots.Ref(0, y);
                for (int x = 0; x < width; ++x) {
                    const double v = across[static_cast<std::size_t>(x)] / 16.0 - skyRow[static_cast<std::size_t>(x)];
                    line[x] = {v < floorLevel ? kBelow : static_cast<float>(v), -1};
                }
            }
            for (const Candidate& c : candidates) spots.Ref(c.x, c.y).level = static_cast<float>(c.core);
            made = climbFlat(spots) && settleFlat(spots);
        }
    }
    if (!crowded && !apart) {
        Tiled<Spot> spots(width, height, {kUnseen, -1});
        // A pixel's place, y in the high half and x in the low.
        const auto pack = [](int x, int y) { return static_cast<std::uint32_t>(y) << 16 | static_cast<std::uint32_t>(x); };
        const auto at = [](std::uint32_t i) { return std::pair(static_cast<int>(i & 0xffffu), static_cast<int>(i >> 16)); };
        for (const Candidate& c : candidates) spots.Ref(c.x, c.y).level = static_cast<float>(c.core);
        // Row by row, a run of pixels at a time, from one maximum after
        // another: on a crowded field the light of thousands of stars runs
        // together over most of the frame, and taking it along the rows keeps
        // to the pixels beside the last and looks at each a few times only. A
        // pixel's level is worked out when it is first looked at; a pixel whose
        // run has been taken is marked so in its hill until the hills are made.
        constexpr int kTaken = -2;
        const auto look = [&](int x, int y) -> Spot& {
            Spot& spot = spots.Ref(x, y);
            if (spot.level == kUnseen) {
                const double v = f.Smooth(x, y, sky.Level(x, y));
                spot.level = v < floorLevel ? kBelow : static_cast<float>(v);
            }
            return spot;
        };
        const auto open = [](const Spot& spot) { return spot.level >= 0 && spot.hill != kTaken; };
        std::vector<std::uint32_t> runs;
        if (stopped()) return std::nullopt;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (k % kStopMaxima == kStopMaxima - 1 && stopped()) return std::nullopt;
            const Candidate& c = candidates[k];
            runs.push_back(pack(c.x, c.y));
            while (!runs.empty()) {
                const auto [px, py] = at(runs.back());
                runs.pop_back();
                if (!open(spots.Get(px, py))) continue;
                int x0 = px, x1 = px;
                while (x0 > 0 && open(look(x0 - 1, py))) --x0;
                while (x1 + 1 < width && open(look(x1 + 1, py))) ++x1;
                for (int x = x0; x <= x1; ++x) spots.Ref(x, py).hill = kTaken;
                // The rows above and below, diagonal neighbours included: each
                // run there that is not yet taken is started once.
                for (const int y : {py - 1, py + 1}) {
                    if (y < 0 || y >= height) continue;
                    bool inRun = false;
                    for (int x = std::max(0, x0 - 1); x <= std::min(width - 1, x1 + 1); ++x) {
                        const bool more = open(look(x, y));
                        if (more && !inRun) runs.push_back(pack(x, y));
                        inRun = more;
                    }
                }
            }
        }
        made = climb(spots) && settle(spots);
    }
    if (!made) return std::nullopt;
    if (stopped()) return std::nullopt;
    if (!apart) join();

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
        star.snr = s.flux / std::sqrt(s.pixels * field.noise * field.noise + s.flux);
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
            if (++measured % kStopStars == 0 && stopped()) return std::nullopt;
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
    if (stopped()) return std::nullopt;
    // Stars of equal flux by their place, so that the order never depends
    // on the way they were found.
    std::sort(found.begin(), found.end(), [](const FoundStar& a, const FoundStar& b) {
        return std::tuple(-a.flux, a.y, a.x) < std::tuple(-b.flux, b.y, b.x);
    });
    return field;
}

}  // namespace

StarField FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings) {
    return *Find(width, height, pixels, settings, nullptr);
}

std::optional<StarField> FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings,
                                   const std::function<bool()>& stop) {
    return Find(width, height, pixels, settings, &stop);
}

FrameCopy CopyFrame(TImageObject& image) {
    std::lock_guard lock(image.Lock());
    FrameCopy copy{image.Width(), image.Height(), {}};
    if (image.Pixels() != nullptr && copy.width > 0 && copy.height > 0)
        copy.pixels.assign(image.Pixels(), image.Pixels() + static_cast<std::size_t>(copy.width) * static_cast<std::size_t>(copy.height));
    return copy;
}

StarField FindStars(TImageObject& image, const StarFinderSettings& settings) {
    const FrameCopy frame = CopyFrame(image);
    if (frame.pixels.empty()) return {};
    return FindStars(frame.width, frame.height, frame.pixels.data(), settings);
}

StarPick PickFocusStar(const StarField& field, int width, int height, const std::function<bool(int, int)>& fits) {
    StarPick pick;
    std::vector<const FoundStar*> qualified;
    int saturated = 0, poor = 0, faint = 0;
    for (const FoundStar& s : field.stars) {
        const int x = static_cast<int>(std::lround(s.x)), y = static_cast<int>(std::lround(s.y));
        if (s.saturated) {
            ++saturated;
        } else if (!s.Usable() || !fits(x, y)) {
            ++poor;
        } else if (s.snr < kMinPickSnr) {
            ++faint;
        } else {
            qualified.push_back(&s);
        }
    }
    if (field.stars.empty()) {
        pick.reason = "No star was found in the image. Take a longer exposure, or check that the telescope points at the sky and is roughly in focus.";
        return pick;
    }
    if (qualified.empty()) {
        pick.reason = "None of the " + std::to_string(field.stars.size()) + " stars found suits focusing (" +
                      std::to_string(saturated) + " saturated, " + std::to_string(poor) +
                      " too close to the edge or to another star or elongated, " + std::to_string(faint) +
                      " too faint). " +
                      (saturated > 0 ? "Take a shorter exposure or a lower gain, or click a star yourself."
                                     : "Take a longer exposure, or click a star yourself.");
        return pick;
    }
    const double brightest = (*std::max_element(qualified.begin(), qualified.end(), [](const FoundStar* a, const FoundStar* b) {
                                 return a->flux < b->flux;
                             }))->flux;
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    const FoundStar* best = nullptr;
    for (const FoundStar* s : qualified) {
        if (s->flux < kPickEqualFlux * brightest) continue;
        if (best == nullptr || Distance2(s->x - cx, s->y - cy) < Distance2(best->x - cx, best->y - cy)) best = s;
    }
    pick.star = *best;
    return pick;
}

}  // namespace kv
