#include "camera/star_finder.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <utility>

#include "camera/image_object.h"

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
// A star's four nearest pixels carry at least this part of its peak (a
// Gaussian of sigma 0.7 pixel still gives 0.36); a hot pixel's carry none.
constexpr double kHotPixelRatio = 0.2;
// Two maxima are one star unless the light between them falls below this
// part of the fainter one.
constexpr double kDipFraction = 0.7;
constexpr double kMergeRadius = 60.0;
constexpr int kSub = 4;           // sub-pixels per side for the radial profile
constexpr double kBin = 0.05;     // radial bin width, pixels
constexpr double kSubRadius = 6.0;  // pixels farther out are not divided
constexpr int kMinAperture = 6;
constexpr int kMaxAperture = 80;
constexpr int kFlatTopPixels = 5;
constexpr double kMaxShift = 1.5;
constexpr double kNeighbourCore = 0.05;      // a fainter maximum than this hardly disturbs a star
constexpr double kMinCrowdedAperture = 3.0;  // pixels from the maximum to the centroid  // a symmetric unclipped star has at most four equal brightest pixels

constexpr double Distance2(double dx, double dy) { return dx * dx + dy * dy; }

double Median(std::vector<float>& v) {
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Sigma-clipped median and robust width of `v` (reordered).
void ClippedStats(std::vector<float>& v, double& median, double& sigma, int passes = kClipPasses) {
    median = 0.0;
    sigma = 0.0;
    std::vector<float> dev;
    for (int pass = 0; pass < passes && !v.empty(); ++pass) {
        median = Median(v);
        dev.resize(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) dev[i] = std::fabs(v[i] - static_cast<float>(median));
        sigma = kMadToSigma * Median(dev);
        const double limit = kClipSigma * std::max(sigma, kMinNoise);
        const std::size_t before = v.size();
        std::erase_if(v, [&](float s) { return std::fabs(s - median) > limit; });
        if (v.size() == before) break;
    }
}

// The sky level on a grid of tiles, interpolated between the tiles' centres.
class Sky {
public:
    Sky(int width, int height, const std::uint16_t* pixels, int tile)
        : width_(width), height_(height), tile_(std::max(8, tile)) {
        nx_ = (width + tile_ - 1) / tile_;
        ny_ = (height + tile_ - 1) / tile_;
        std::vector<float> levels(static_cast<std::size_t>(nx_ * ny_));
        std::vector<float> widths;
        std::vector<float> samples;
        for (int ty = 0; ty < ny_; ++ty) {
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
                        samples.push_back(static_cast<float>(pixels[static_cast<std::size_t>(y) * width + x + 1]) -
                                          static_cast<float>(pixels[static_cast<std::size_t>(y) * width + x]));
                ClippedStats(samples, m, s);
                if (!samples.empty()) widths.push_back(static_cast<float>(s / std::sqrt(2.0)));
            }
        }
        noise_ = std::max(kMinNoise, widths.empty() ? 0.0 : Median(widths));
        // No smoothing across tiles: the clipping already leaves stars out,
        // and a median over neighbouring tiles would pull the outer tiles of
        // a gradient inwards.
        level_ = levels;
        columns_.resize(static_cast<std::size_t>(width));
        for (int x = 0; x < width; ++x) {
            Span& c = columns_[static_cast<std::size_t>(x)];
            Locate(x, nx_, width_, c.lo, c.hi, c.w);
        }
        std::vector<float> all = level_;
        median_ = all.empty() ? 0.0 : Median(all);
    }

    double Noise() const { return noise_; }
    double MedianLevel() const { return median_; }

    // The sky along row y, one value per column.
    void Row(int y, std::vector<float>& out) const {
        out.resize(static_cast<std::size_t>(width_));
        int j0 = 0, j1 = 0;
        double wy = 0;
        Locate(y, ny_, height_, j0, j1, wy);
        std::vector<double> across(static_cast<std::size_t>(nx_));
        for (int i = 0; i < nx_; ++i) across[static_cast<std::size_t>(i)] = At(i, j0) * (1 - wy) + At(i, j1) * wy;
        for (int x = 0; x < width_; ++x) {
            const Span& c = columns_[static_cast<std::size_t>(x)];
            out[static_cast<std::size_t>(x)] =
                static_cast<float>(across[static_cast<std::size_t>(c.lo)] * (1 - c.w) + across[static_cast<std::size_t>(c.hi)] * c.w);
        }
    }

private:
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
    std::vector<Span> columns_;
    std::vector<float> level_;
    double noise_ = kMinNoise, median_ = 0.0;
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
        static constexpr int k[3] = {1, 2, 1};
        double sum = 0;
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i) sum += k[i + 1] * k[j + 1] * Raw(x + i, y + j);
        return sum / 16.0 - sky;
    }
    const int w, h;
    const std::uint16_t* const p;
};

struct Candidate {
    int x, y;
    double core;  // smoothed height above the sky
    double sky;
};

// Sigma-clipped sky in the ring rIn..rOut around (cx, cy).
double RingSky(const Frame& f, double cx, double cy, double rIn, double rOut, double fallback) {
    std::vector<float> ring;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - rOut))), x1 = std::min(f.w - 1, static_cast<int>(std::ceil(cx + rOut)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - rOut))), y1 = std::min(f.h - 1, static_cast<int>(std::ceil(cy + rOut)));
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 >= rIn * rIn && d2 <= rOut * rOut) ring.push_back(static_cast<float>(f.Raw(x, y)));
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
};

// Measures the star near (x, y) with an aperture of radius r.
Shape MeasureAt(const Frame& f, double anchorX, double anchorY, double x, double y, double r, double skyGuess,
                double hfdGuess, double fwhmGuess, std::uint16_t saturation) {
    Shape s;
    s.sky = RingSky(f, x, y, r + 1, r + 6, skyGuess);
    const int x0 = static_cast<int>(std::floor(x - r - 1)), x1 = static_cast<int>(std::ceil(x + r + 1));
    const int y0 = static_cast<int>(std::floor(y - r - 1)), y1 = static_cast<int>(std::ceil(y + r + 1));
    s.cut = x0 < 0 || y0 < 0 || x1 >= f.w || y1 >= f.h;
    // Gaussian-weighted centroid: converges on the centre of any symmetric
    // profile, and a weight as wide as the core keeps the noise of the wings
    // from pulling it.
    const double sw = std::max(1.0, std::min(hfdGuess, fwhmGuess) / 2.3548);
    // Beyond four widths the weight is nothing.
    const double reach = std::min(r, 4 * sw + 1);
    for (int it = 0; it < 12; ++it) {
        double sx = 0, sy = 0, sv = 0;
        for (int py = std::max(0, static_cast<int>(y - reach)); py <= std::min(f.h - 1, static_cast<int>(y + reach) + 1); ++py) {
            for (int px = std::max(0, static_cast<int>(x - reach)); px <= std::min(f.w - 1, static_cast<int>(x + reach) + 1); ++px) {
                const double dx = px - x, dy = py - y;
                const double d2 = dx * dx + dy * dy;
                if (d2 > reach * reach) continue;
                const double v = std::max(0.0, f.Raw(px, py) - s.sky) * std::exp(-d2 / (2 * sw * sw));
                sx += v * px;
                sy += v * py;
                sv += v;
            }
        }
        if (sv <= 0) break;
        const double nx = sx / sv, ny = sy / sv;
        const bool still = std::fabs(nx - x) < 1e-3 && std::fabs(ny - y) < 1e-3;
        // The centroid stays by the maximum the finder saw: a neighbour's
        // light must not draw it away.
        x = std::clamp(nx, anchorX - kMaxShift, anchorX + kMaxShift);
        y = std::clamp(ny, anchorY - kMaxShift, anchorY + kMaxShift);
        if (still) break;
    }
    s.x = x;
    s.y = y;
    const int bins = static_cast<int>(std::ceil(r / kBin)) + 1;
    std::vector<double> flux(static_cast<std::size_t>(bins), 0.0), ringSum(static_cast<std::size_t>(bins / 5 + 1), 0.0),
        ringCount(ringSum.size(), 0.0);
    double ixx = 0, iyy = 0, ixy = 0, im = 0;
    const double mw = std::max(1.0, hfdGuess);
    for (int py = std::max(0, y0); py <= std::min(f.h - 1, y1); ++py) {
        for (int px = std::max(0, x0); px <= std::min(f.w - 1, x1); ++px) {
            const double raw = f.Raw(px, py);
            const double v = raw - s.sky;
            const double dx = px - x, dy = py - y;
            const double d2 = dx * dx + dy * dy;
            if (d2 > (r + 1) * (r + 1)) continue;
            if (d2 <= r * r) {
                ++s.pixels;
                const double w = std::exp(-d2 / (2 * mw * mw)) * std::max(0.0, v);
                ixx += w * dx * dx;
                iyy += w * dy * dy;
                ixy += w * dx * dy;
                im += w;
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

// The light between two maxima, at its lowest.
double Dip(const Frame& f, const Candidate& a, const Candidate& b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const int n = static_cast<int>(std::ceil(2 * std::hypot(dx, dy)));
    double low = std::min(a.core, b.core);
    for (int i = 1; i < n; ++i) {
        const double t = static_cast<double>(i) / n;
        low = std::min(low, f.Smooth(static_cast<int>(std::lround(a.x + t * dx)), static_cast<int>(std::lround(a.y + t * dy)),
                                     a.sky + t * (b.sky - a.sky)));
    }
    return low;
}

}  // namespace

StarField FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings) {
    StarField field;
    if (pixels == nullptr || width < 3 || height < 3) return field;
    const Sky sky(width, height, pixels, settings.tileSize);
    field.noise = sky.Noise();
    field.background = sky.MedianLevel();
    const Frame f(width, height, pixels);
    const double threshold = settings.thresholdSigma * field.noise;

    // Seeds: the local maxima of the pixels above the threshold, each climbed
    // to its maximum on the smoothed frame.
    std::vector<Candidate> candidates;
    std::vector<float> row;
    for (int y = 0; y < height; ++y) {
        sky.Row(y, row);
        const std::uint16_t* line = pixels + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const std::uint16_t v = line[x];
            if (v <= row[static_cast<std::size_t>(x)] + threshold) continue;
            bool top = true;
            for (int j = std::max(0, y - 1); j <= std::min(height - 1, y + 1) && top; ++j)
                for (int i = std::max(0, x - 1); i <= std::min(width - 1, x + 1); ++i)
                    if (pixels[static_cast<std::size_t>(j) * width + i] > v) {
                        top = false;
                        break;
                    }
            if (!top) continue;
            const double level = row[static_cast<std::size_t>(x)];
            int cx = x, cy = y;
            double best = f.Smooth(cx, cy, level);
            for (;;) {
                int bx = cx, by = cy;
                for (int j = -1; j <= 1; ++j) {
                    for (int i = -1; i <= 1; ++i) {
                        const int nx = cx + i, ny = cy + j;
                        if ((i == 0 && j == 0) || nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                        const double sv = f.Smooth(nx, ny, level);
                        if (sv > best) {
                            best = sv;
                            bx = nx;
                            by = ny;
                        }
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
    std::erase_if(candidates, [&](const Candidate& c) {
        double peak = 0;
        int px = c.x, py = c.y;
        for (int j = -1; j <= 1; ++j)
            for (int i = -1; i <= 1; ++i)
                if (c.x + i >= 0 && c.y + j >= 0 && c.x + i < width && c.y + j < height &&
                    f.Raw(c.x + i, c.y + j) - c.sky > peak) {
                    peak = f.Raw(c.x + i, c.y + j) - c.sky;
                    px = c.x + i;
                    py = c.y + j;
                }
        if (peak < threshold || c.core < kCoreFraction * threshold) return true;
        double sides = 0;
        int n = 0;
        for (const auto& [i, j] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}}) {
            if (px + i < 0 || py + j < 0 || px + i >= width || py + j >= height) continue;
            sides += f.Raw(px + i, py + j) - c.sky;
            ++n;
        }
        return n == 0 || sides / n < kHotPixelRatio * peak;
    });

    // One star per light: brightest first, a fainter maximum joins a brighter
    // one unless the light dips clearly between them.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) { return a.core > b.core; });
    std::vector<Candidate> kept;
    for (const Candidate& c : candidates) {
        bool merged = false;
        for (const Candidate& k : kept) {
            if (Distance2(c.x - k.x, c.y - k.y) > kMergeRadius * kMergeRadius) continue;
            const double dip = Dip(f, k, c);
            if (dip >= kDipFraction * c.core || c.core - dip < 3 * 0.375 * field.noise) {
                merged = true;
                break;
            }
        }
        if (!merged) kept.push_back(c);
    }

    for (const Candidate& c : kept) {
        // A neighbour's light stays out of the aperture where it can: half
        // the way to the nearest maximum of any note is the widest it gets.
        double widest = kMaxAperture;
        for (const Candidate& k : kept)
            if (&k != &c && k.core >= kNeighbourCore * c.core && Distance2(k.x - c.x, k.y - c.y) < 4 * widest * widest)
                widest = std::max(kMinCrowdedAperture, std::sqrt(Distance2(k.x - c.x, k.y - c.y)) / 2);
        double r = std::min(static_cast<double>(kMinAperture), widest), hfd = 2.0, fwhm = 2.0;
        Shape s;
        double x = c.x, y = c.y;
        for (int pass = 0; pass < 4; ++pass) {
            s = MeasureAt(f, c.x, c.y, x, y, r, c.sky, hfd, fwhm, settings.saturation);
            x = s.x;
            y = s.y;
            hfd = s.hfd > 0 ? s.hfd : hfd;
            fwhm = s.fwhm > 0 ? s.fwhm : fwhm;
            // Three half-flux diameters hold all but a trace of a star's
            // light, even of a Moffat profile's wings.
            const double next = std::min(widest, std::clamp(std::ceil(3 * hfd) + 2, static_cast<double>(kMinAperture),
                                                            static_cast<double>(kMaxAperture)));
            if (next == r) break;
            r = next;
        }
        if (s.flux <= 0 || s.hfd <= 0) continue;
        FoundStar star;
        star.x = s.x;
        star.y = s.y;
        star.peak = s.peak;
        star.flux = s.flux;
        star.hfd = s.hfd;
        star.fwhm = s.fwhm;
        star.snr = s.flux / std::sqrt(s.pixels * field.noise * field.noise + s.flux);
        star.elongation = s.elongation;
        star.saturated = s.clipped || (s.atMax >= kFlatTopPixels && s.maxRaw - s.sky > threshold);
        star.elongated = s.elongation > settings.maxElongation;
        const double half = settings.focusFrame / 2.0;
        const bool wideFits = width > settings.focusFrame, highFits = height > settings.focusFrame;
        star.nearEdge = s.cut || (wideFits && (star.x - half < 0 || star.x + half > width - 1)) ||
                        (highFits && (star.y - half < 0 || star.y + half > height - 1));
        field.stars.push_back(star);
    }
    for (FoundStar& a : field.stars) {
        for (const FoundStar& b : field.stars) {
            if (&a == &b || b.flux < 0.05 * a.flux) continue;
            const double limit = settings.isolation > 0 ? settings.isolation : 2 * (a.hfd + b.hfd) + 4;
            if (Distance2(a.x - b.x, a.y - b.y) < limit * limit) a.crowded = true;
        }
    }
    std::sort(field.stars.begin(), field.stars.end(), [](const FoundStar& a, const FoundStar& b) { return a.flux > b.flux; });
    if (field.stars.size() > settings.maxStars) field.stars.resize(settings.maxStars);
    return field;
}

StarField FindStars(TImageObject& image, const StarFinderSettings& settings) {
    std::lock_guard lock(image.Lock());
    return FindStars(image.Width(), image.Height(), image.Pixels(), settings);
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
