#include "camera/star_finder_sky.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace kv::star_stages {
namespace {

constexpr double kMadToSigma = 1.4826;
constexpr double kClipSigma = 3.0;
// Samples per tile for the sky estimate: enough for a steady median.
constexpr int kTileSamples = 256;

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

}  // namespace

// Sigma-clipped median and robust width of `v` (reordered).
void ClippedStats(std::vector<int>& v, double& median, double& sigma, int passes) {
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

Sky::Sky(int width, int height, const std::uint16_t* pixels, int tile, const Stop& stop)
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

// The columns between the same two tiles' centres a run at a time: the
// pair is looked up once a run, and the loop over a run's columns needs
// nothing but their weights.
template <typename T>
void Sky::Along(int y, std::vector<T>& out) const {
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

void Sky::Row(int y, std::vector<float>& out) const { Along(y, out); }

void Sky::Levels(int y, std::vector<double>& out) const { Along(y, out); }

// The centre of tile i of n along an axis of `size` pixels (the last
// tile may be short).
double Sky::Centre(int i, int size) const { return (i * tile_ + std::min(size, (i + 1) * tile_) - 1) / 2.0; }

void Sky::Locate(int p, int n, int size, int& lo, int& hi, double& w) const {
    lo = 0;
    while (lo + 2 < n && Centre(lo + 1, size) <= p) ++lo;
    hi = std::min(n - 1, lo + 1);
    w = hi == lo ? 0.0 : (p - Centre(lo, size)) / (Centre(hi, size) - Centre(lo, size));
}

}  // namespace kv::star_stages
