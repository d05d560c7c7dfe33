#include "camera/focus_figures.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <vector>

#include "camera/image_object.h"
#include "camera/star_profile.h"

namespace kv {

namespace {

// The measured area: visited rows 1..height-2 and columns 1..width-1 (the last
// column is visited, the last row is not), of which only the pixels strictly
// inside the region border count.
struct Area {
    std::int32_t width;
    std::int32_t height;
    std::int32_t border;

    bool Inside(std::int32_t x, std::int32_t y) const {
        return border < x && x < width - border && border < y && y < height - border;
    }
};

std::int64_t BackgroundLevel(const Area& area, const std::uint16_t* pixels) {
    std::int64_t sum = 0;
    std::int64_t count = 0;
    for (std::int32_t y = 1; y <= area.height - 2; ++y) {
        const std::uint16_t* row = pixels + static_cast<std::ptrdiff_t>(y) * area.width;
        for (std::int32_t x = 1; x <= area.width - 1; ++x) {
            if (area.Inside(x, y)) {
                sum += row[x];
                ++count;
            }
        }
    }
    // An area without a single pixel (a tiny frame, or a region border that
    // swallows everything) has no background to speak of.
    return count > 0 ? sum / count : 0;
}

// Pixel value after removing `sub`, never below 0.
inline std::int64_t Reduced(const std::uint16_t* pixels, std::ptrdiff_t index, std::int64_t sub) {
    const std::int64_t v = static_cast<std::int64_t>(pixels[index]) - sub;
    return v > 0 ? v : 0;
}

// Distance from the peak to where the profile first drops below `half`,
// interpolated between the last sample at or above it and the first below.
// `count` samples are walked, the i-th (1-based) at pixels[start + (i-1)*stride].
// 0 when the profile never drops below half before the frame's edge.
double HalfWidth(const std::uint16_t* pixels, std::ptrdiff_t peakIndex, std::ptrdiff_t stride,
                 std::int32_t count, double half, std::int64_t sub) {
    double u = static_cast<double>(Reduced(pixels, peakIndex, sub));
    for (std::int32_t n = 1; n <= count; ++n) {
        const double v = static_cast<double>(Reduced(pixels, peakIndex + n * stride, sub));
        if (v < half) {
            if (v == u) {
                return n - 1;
            }
            return (n - 1) + std::fabs((half - u) / (v - u));
        }
        u = v;
    }
    return 0.0;
}

double HalfFluxDiameterOf(std::int32_t width, std::int32_t height, const std::uint16_t* pixels,
                          std::int64_t background) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (n == 0) {
        return 0.0;
    }
    // Flux sums here are sums of integers far below 2^53, so they are exact in
    // any order; only the centroid sums depend on the row-major order kept here.
    double total = 0.0;
    double sx = 0.0;
    double sy = 0.0;
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            const auto a = static_cast<double>(Reduced(pixels, static_cast<std::ptrdiff_t>(y) * width + x, background));
            total += a;
            sx += a * x;
            sy += a * y;
        }
    }
    const double cx = total > 0.0 ? sx / total : 0.0;
    const double cy = total > 0.0 ? sy / total : 0.0;
    const double halfFlux = total * 0.5;
    if (!(halfFlux > 0.0)) {
        return 0.0;  // no flux: the running sum never passes half of it
    }

    // The pixels in order of distance from the centroid, ties in row-major
    // order; the diameter comes from the first pixel whose running flux sum
    // passes half the total, and from the one before it. Rather than sorting
    // every pixel, the squared radii are binned (a monotone bin index keeps
    // the order between bins), the bin where the running sum passes half is
    // found from the bin sums, and only that bin is sorted.
    std::vector<double> dx2(static_cast<std::size_t>(width));
    for (std::int32_t x = 0; x < width; ++x) {
        const double dx = x - cx;
        dx2[static_cast<std::size_t>(x)] = dx * dx;
    }
    const double farX = std::max(cx, (width - 1) - cx);
    const double farY = std::max(cy, (height - 1) - cy);
    const double maxR2 = farX * farX + farY * farY;
    const std::size_t bins = std::max<std::size_t>(1, n / 8);
    const double scale = maxR2 > 0.0 ? static_cast<double>(bins) / maxR2 : 0.0;
    const auto binOf = [&](double r2) {
        const double b = r2 * scale;
        return b < static_cast<double>(bins - 1) ? static_cast<std::size_t>(b) : bins - 1;
    };
    // Both passes walk the frame the same way: squared radius, then pixel.
    const auto eachPixel = [&](auto&& visit) {
        for (std::int32_t y = 0; y < height; ++y) {
            const double dy = y - cy;
            const double dy2 = dy * dy;
            const std::uint16_t* row = pixels + static_cast<std::ptrdiff_t>(y) * width;
            for (std::int32_t x = 0; x < width; ++x) {
                visit(dx2[static_cast<std::size_t>(x)] + dy2, row, x, y);
            }
        }
    };

    struct Bin {
        double flux = 0.0;
        double maxR2 = 0.0;
        std::uint32_t count = 0;
    };
    std::vector<Bin> binned(bins);
    eachPixel([&](double r2, const std::uint16_t* row, std::int32_t x, std::int32_t) {
        Bin& bin = binned[binOf(r2)];
        bin.flux += static_cast<double>(Reduced(row, x, background));
        bin.maxR2 = std::max(bin.maxR2, r2);
        ++bin.count;
    });

    // The bin holding the crossing, the running sum before it, and the largest
    // radius of the last non-empty bin before it (the entry just inside).
    double before = 0.0;
    double innerR2 = -1.0;  // none: the crossing bin holds the innermost pixel
    std::size_t crossing = 0;
    for (; crossing < bins; ++crossing) {
        const Bin& bin = binned[crossing];
        if (before + bin.flux > halfFlux) {
            break;
        }
        before += bin.flux;
        if (bin.count > 0) {
            innerR2 = bin.maxR2;
        }
    }
    if (crossing == bins) {
        return 0.0;  // not reached while the flux is positive, kept as a guard
    }

    struct Entry {
        double r2;
        double a;
        std::size_t index;
    };
    std::vector<Entry> entries;
    entries.reserve(binned[crossing].count);
    eachPixel([&](double r2, const std::uint16_t* row, std::int32_t x, std::int32_t y) {
        if (binOf(r2) != crossing) return;
        entries.push_back({r2, static_cast<double>(Reduced(row, x, background)),
                           static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)});
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& l, const Entry& r) {
        return l.r2 < r.r2 || (l.r2 == r.r2 && l.index < r.index);
    });

    double previous = before;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const double current = previous + entries[i].a;
        if (current > halfFlux) {
            if (i == 0 && innerR2 < 0.0) {
                // The innermost pixel alone holds more than half the flux: the
                // crossing lies between the centroid and that pixel.
                // (Interpolating towards the next pixel instead would make the
                // sharpest star look the widest.)
                return 2.0 * std::sqrt(entries[0].r2) * halfFlux / current;
            }
            const double r0 = std::sqrt(i == 0 ? innerR2 : entries[i - 1].r2);
            const double r1 = std::sqrt(entries[i].r2);
            const double rhalf = r0 + std::fabs((halfFlux - previous) * (r1 - r0) / (current - previous));
            return 2.0 * rhalf;
        }
        previous = current;
    }
    return 0.0;
}

// The sky around the star: mean and spread of the frame's outer ring (two
// pixels wide), once clipped at 3 sigma so that a star's edge or a hot pixel
// there does not count as noise.
struct Sky {
    double mean = 0.0;
    double sigma = 0.0;
    double count = 0.0;  // pixels the mean was taken over
};
Sky SkyOf(std::int32_t width, std::int32_t height, const std::uint16_t* pixels) {
    constexpr std::int32_t kRing = 2;
    Sky sky;
    double lo = -1e300;
    double hi = 1e300;
    for (int pass = 0; pass < 2; ++pass) {
        double sum = 0.0;
        double sum2 = 0.0;
        double count = 0.0;
        for (std::int32_t y = 0; y < height; ++y) {
            const bool edgeRow = y < kRing || y >= height - kRing;
            const std::uint16_t* row = pixels + static_cast<std::ptrdiff_t>(y) * width;
            for (std::int32_t x = 0; x < width; ++x) {
                if (!edgeRow && x >= kRing && x < width - kRing) x = width - kRing;
                const double v = row[x];
                if (v < lo || v > hi) continue;
                sum += v;
                sum2 += v * v;
                count += 1.0;
            }
        }
        if (count < 2.0) break;
        sky.mean = sum / count;
        sky.count = count;
        sky.sigma = std::sqrt(std::max(0.0, sum2 / count - sky.mean * sky.mean));
        lo = sky.mean - 3.0 * sky.sigma;
        hi = sky.mean + 3.0 * sky.sigma;
    }
    return sky;
}

// A star shows when its peak stands clearly above the sky's noise (pure noise
// in a 100 x 100 frame peaks near 4 sigma) and its profile falls to half on
// every side within the frame, less than 0.4 of the frame across. The widths
// judge the extent rather than the HFD: on a bright sky the noise left after
// the background is removed spreads the HFD over the whole frame even for a
// sharp star.
constexpr double kMinStarSnr = 6.0;
constexpr double kMaxStarWidthFraction = 0.4;
// Noise below one count is quantisation, not a measure of the sky.
constexpr double kMinSkySigma = 1.0;

// A star blurred wider than the frame spreads its light so thin that no
// single pixel stands out of the noise, yet averaged over blocks of pixels it
// still does. The frame is averaged down in blocks of kWideBlock x kWideBlock
// pixels and its brightest block judged as a star would be: clearly above the
// sky, away from the frame's border (a gradient of the sky peaks there), and
// wider than a star may be or cut by the frame's edge. A faint sharp star
// fills one block and stays too narrow.
constexpr std::int32_t kWideBlock = 4;
bool WideLight(std::int32_t width, std::int32_t height, const std::uint16_t* pixels, const Sky& sky) {
    const std::int32_t bw = width / kWideBlock;
    const std::int32_t bh = height / kWideBlock;
    if (bw < 3 || bh < 3) return false;
    std::vector<double> blocks(static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh), 0.0);
    for (std::int32_t y = 0; y < bh * kWideBlock; ++y) {
        const std::uint16_t* row = pixels + static_cast<std::ptrdiff_t>(y) * width;
        double* out = blocks.data() + static_cast<std::ptrdiff_t>(y / kWideBlock) * bw;
        for (std::int32_t x = 0; x < bw * kWideBlock; ++x) out[x / kWideBlock] += row[x];
    }
    for (double& b : blocks) b = b / (kWideBlock * kWideBlock) - sky.mean;
    const auto top = std::max_element(blocks.begin(), blocks.end()) - blocks.begin();
    const std::int32_t px = static_cast<std::int32_t>(top % bw);
    const std::int32_t py = static_cast<std::int32_t>(top / bw);
    const double peak = blocks[static_cast<std::size_t>(top)];
    if (px == 0 || py == 0 || px == bw - 1 || py == bh - 1) return false;
    if (!(peak >= kMinStarSnr * std::max(sky.sigma, kMinSkySigma) / kWideBlock)) return false;
    // Blocks at or above half the peak from it in one direction; -1 when the
    // light never falls to half before the edge.
    const auto reach = [&](std::int32_t dx, std::int32_t dy) {
        std::int32_t n = 0;
        for (std::int32_t x = px + dx, y = py + dy; x >= 0 && x < bw && y >= 0 && y < bh; x += dx, y += dy, ++n) {
            if (blocks[static_cast<std::size_t>(y) * static_cast<std::size_t>(bw) + static_cast<std::size_t>(x)] <
                peak / 2.0) {
                return n;
            }
        }
        return -1;
    };
    const std::int32_t r = reach(1, 0), l = reach(-1, 0), d = reach(0, 1), u = reach(0, -1);
    if (r < 0 || l < 0 || d < 0 || u < 0) return true;
    const double limit = kMaxStarWidthFraction * std::min(width, height);
    return (r + l + 1) * kWideBlock > limit || (d + u + 1) * kWideBlock > limit;
}

// `wideLight`: the frame holds light too wide and faint for its peak to
// stand out (WideLight).
void SetStarStatus(double peakAboveSky, double dR, double dL, double dD, double dU, const Sky& sky,
                   std::int32_t width, std::int32_t height, bool wideLight, FocusReading& reading) {
    reading.status = StarStatus::NoStar;
    const double snr = peakAboveSky / std::max(sky.sigma, kMinSkySigma);
    if (!(snr >= kMinStarSnr)) {
        reading.tooLarge = wideLight;
        return;
    }
    const double limit = kMaxStarWidthFraction * std::min(width, height);
    const bool wide = dR + dL > limit || dD + dU > limit;
    if (wide || dR <= 0.0 || dL <= 0.0 || dD <= 0.0 || dU <= 0.0) {
        // Cut by the frame's edge: a small star has only drifted there; one
        // whose other side reaches far is too large for the frame.
        reading.tooLarge = wide || std::max({dR, dL, dD, dU}) >= limit / 2.0;
        return;
    }
    reading.status = StarStatus::Ok;
}

// A star narrower than this (its own width at half height, frame pixels) has
// its size taken from a fitted profile (StarProfile): counted pixel by
// pixel, the HFD of a star a pixel or two wide is anything from nothing to
// a whole pixel off. Up to kFitFully the fitted size is used alone; from
// there to kFitUntil it gives way to the counted one, which larger stars
// keep (so that a focus curve passing through runs on without a step).
constexpr double kFitBelow = 5.5;
constexpr double kFitFully = 4.0;
constexpr double kFitUntil = 5.0;

// `starWidth`: the star's own FWHM across rows and columns, as counted;
// `hfd` and `starHfd` the HFD of the whole frame and of the star alone.
void SmallStar(std::int32_t width, std::int32_t height, const std::uint16_t* pixels, const FocusReading& reading,
               double noise, double& starWidth, double& xWidth, double& yWidth, double& hfd, double& starHfd) {
    const auto star = FitStarProfile(width, height, pixels, reading.PeakX, reading.PeakY, starWidth, noise);
    if (!star) return;
    const double fitted = (star->fwhmX + star->fwhmY) / 2.0;
    const double t = std::clamp((kFitUntil - fitted) / (kFitUntil - kFitFully), 0.0, 1.0);
    xWidth = t * star->fwhmX + (1.0 - t) * xWidth;
    yWidth = t * star->fwhmY + (1.0 - t) * yWidth;
    starWidth = t * fitted + (1.0 - t) * starWidth;
    hfd = t * star->hfd + (1.0 - t) * hfd;
    starHfd = t * star->hfd + (1.0 - t) * starHfd;
}

// The HFD of a star that shows, counted as the whole frame's is (each
// pixel's light at its centre's distance from the centroid) but over the
// star alone: the pixels within three FWHM of its peak (all but a few per
// cent of any star's light), above the sky, the noise with its sign. Over
// the whole frame, with the noise clipped at the sky, the noise's light adds
// up and reads the HFD a quarter too large even for a bright star on the
// simulated camera's sky.
constexpr double kStarApertureFwhm = 3.0;
constexpr double kMinStarAperture = 6.0;

double StarHfd(std::int32_t width, std::int32_t height, const std::uint16_t* pixels, const FocusReading& reading,
               double skyLevel, double starWidth) {
    const double r = std::max(kMinStarAperture, kStarApertureFwhm * starWidth);
    const auto reach = static_cast<std::int32_t>(std::ceil(r));
    const std::int32_t x0 = std::max(0, reading.PeakX - reach), x1 = std::min(width - 1, reading.PeakX + reach);
    const std::int32_t y0 = std::max(0, reading.PeakY - reach), y1 = std::min(height - 1, reading.PeakY + reach);
    const auto value = [&](std::int32_t x, std::int32_t y) {
        return pixels[static_cast<std::ptrdiff_t>(y) * width + x] - skyLevel;
    };
    // The centroid of the light above the sky near the peak.
    const double core = std::max(1.0, starWidth);
    double sw = 0.0, sx = 0.0, sy = 0.0;
    for (std::int32_t y = y0; y <= y1; ++y)
        for (std::int32_t x = x0; x <= x1; ++x) {
            const double dx = x - reading.PeakX, dy = y - reading.PeakY;
            if (dx * dx + dy * dy > core * core) continue;
            const double v = std::max(0.0, value(x, y));
            sw += v, sx += v * x, sy += v * y;
        }
    const double cx = sw > 0.0 ? sx / sw : reading.PeakX, cy = sw > 0.0 ? sy / sw : reading.PeakY;
    std::vector<std::pair<double, double>> rings;  // squared radius, light
    double total = 0.0;
    for (std::int32_t y = y0; y <= y1; ++y)
        for (std::int32_t x = x0; x <= x1; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (r2 > r * r) continue;
            rings.emplace_back(r2, value(x, y));
            total += rings.back().second;
        }
    if (!(total > 0.0)) return 0.0;
    std::sort(rings.begin(), rings.end());
    const double half = total / 2.0;
    double previous = 0.0;
    for (std::size_t i = 0; i < rings.size(); ++i) {
        const double current = previous + rings[i].second;
        if (current > half) {
            // As over the whole frame: within the innermost pixel the
            // crossing lies between the centroid and it.
            if (i == 0) return 2.0 * std::sqrt(rings[0].first) * half / current;
            const double r0 = std::sqrt(rings[i - 1].first), r1 = std::sqrt(rings[i].first);
            return 2.0 * (r0 + (half - previous) * (r1 - r0) / (current - previous));
        }
        previous = current;
    }
    return 0.0;
}

// The HFD of any real star is at most about 1.6 times its FWHM (a Moffat
// profile of beta 2). A reading whose HFD is far larger comes from noise
// spread over the frame around a peak that stood out by chance, or from a
// star so faint that the noise decides its figures. It stands for a star
// only when the light within the largest HFD a star of its FWHM can have (two
// of them from its peak) stands clearly above the noise summed over that
// area. (Within the HFD as read, itself spread by the noise, a star clearly
// visible would sink into the noise of the whole frame.)
constexpr double kMaxHfdPerFwhm = 2.5;
constexpr double kStarHfdPerFwhm = 1.6;
constexpr double kMinFluxSnr = 5.0;

// `starWidth`: the star's own FWHM, frame pixels.
bool HoldsAStar(std::int32_t width, std::int32_t height, const std::uint16_t* pixels, const FocusReading& reading,
                const Sky& sky, double starWidth, double hfd) {
    if (!(hfd > kMaxHfdPerFwhm * starWidth)) return true;
    const double r = std::max(2.0, 2.0 * kStarHfdPerFwhm * starWidth);
    const auto reach = static_cast<std::int32_t>(std::ceil(r));
    double signal = 0.0;
    double count = 0.0;
    for (std::int32_t y = std::max(0, reading.PeakY - reach); y <= std::min(height - 1, reading.PeakY + reach); ++y) {
        const std::uint16_t* row = pixels + static_cast<std::ptrdiff_t>(y) * width;
        for (std::int32_t x = std::max(0, reading.PeakX - reach); x <= std::min(width - 1, reading.PeakX + reach); ++x) {
            const double dx = x - reading.PeakX, dy = y - reading.PeakY;
            if (dx * dx + dy * dy > r * r) continue;
            signal += row[x] - sky.mean;
            count += 1.0;
        }
    }
    // The noise of the sum: each pixel's, and the sky level's own error
    // (taken over the frame's rim), which the sum repeats in every pixel.
    const double rim = std::max(sky.count, 1.0);
    return signal >= kMinFluxSnr * std::max(sky.sigma, kMinSkySigma) * std::sqrt(count + count * count / rim);
}

// The figures of a frame whose values are taken as max(0, pixel - sub).
void Measure(std::int32_t width, std::int32_t height, const std::uint16_t* pixels, std::int64_t sub,
             std::int64_t hfdBackground, const Area& area, const FocusSettings& settings,
             FocusReading& reading, const Sky& sky = {}, bool wideLight = false) {
    std::int64_t peak = 0;
    for (std::int32_t y = 1; y <= height - 2; ++y) {
        for (std::int32_t x = 1; x <= width - 1; ++x) {
            if (!area.Inside(x, y)) {
                continue;
            }
            const std::int64_t v = Reduced(pixels, static_cast<std::ptrdiff_t>(y) * width + x, sub);
            if (v > peak) {
                peak = v;
                reading.PeakX = x;
                reading.PeakY = y;
            }
        }
    }
    reading.Peak = static_cast<std::int32_t>(peak);

    double dR = 0.0;
    double dL = 0.0;
    double dD = 0.0;
    double dU = 0.0;
    // With a zero peak nothing falls below half, so every half-width is 0; the
    // walks are skipped because the kept peak position may belong to an
    // earlier, larger frame.
    if (peak > 0) {
        const double half = static_cast<double>(peak) / 2.0;
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(reading.PeakY) * width + reading.PeakX;
        dR = HalfWidth(pixels, at, 1, width - 1 - reading.PeakX, half, sub);
        dL = HalfWidth(pixels, at, -1, reading.PeakX, half, sub);
        dD = HalfWidth(pixels, at, width, height - 1 - reading.PeakY, half, sub);
        dU = HalfWidth(pixels, at, -static_cast<std::ptrdiff_t>(width), reading.PeakY, half, sub);
    }

    // The widths and the HFD in the frame's pixels, before the user's factor
    // and the binning.
    double xWidth = dR + dL;
    double yWidth = dD + dU;
    // The whole frame's HFD: what a frame without a star shows, and what
    // betrays a reading that the noise decides (HoldsAStar).
    double hfd = HalfFluxDiameterOf(width, height, pixels, hfdBackground);
    double starHfd = hfd;

    // The star's own extent: widths at half its height above the sky (the
    // widths above are at half the peak value, which without background
    // removal is half the sky too).
    const double skyLevel = sky.mean - static_cast<double>(sub);
    const double aboveSky = static_cast<double>(peak) - skyLevel;
    reading.tooLarge = false;
    reading.fomSpread = 0.0;
    if (peak > 0 && aboveSky > 0.0) {
        const double half = skyLevel + aboveSky / 2.0;
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(reading.PeakY) * width + reading.PeakX;
        const double sR = HalfWidth(pixels, at, 1, width - 1 - reading.PeakX, half, sub);
        const double sL = HalfWidth(pixels, at, -1, reading.PeakX, half, sub);
        const double sD = HalfWidth(pixels, at, width, height - 1 - reading.PeakY, half, sub);
        const double sU = HalfWidth(pixels, at, -static_cast<std::ptrdiff_t>(width), reading.PeakY, half, sub);
        SetStarStatus(aboveSky, sR, sL, sD, sU, sky, width, height, wideLight, reading);
        double starWidth = (sR + sL + sD + sU) / 2.0;
        if (reading.status == StarStatus::Ok) {
            starHfd = StarHfd(width, height, pixels, reading, sky.mean, starWidth);
        }
        if (reading.status == StarStatus::Ok && std::max(sR + sL, sD + sU) <= kFitBelow) {
            SmallStar(width, height, pixels, reading, sky.sigma, starWidth, xWidth, yWidth, hfd, starHfd);
        }
        if (reading.status == StarStatus::Ok && !HoldsAStar(width, height, pixels, reading, sky, starWidth, hfd)) {
            reading.status = StarStatus::NoStar;
        }
    } else {
        reading.status = StarStatus::NoStar;
        reading.tooLarge = wideLight;
    }

    const double binning = settings.FocusBinning > 0 ? settings.FocusBinning : 1;
    // Pixel sizes come from the plug-in; a missing one means square pixels.
    const double aspect = settings.HorizPixel > 0.0 && settings.VertPixel > 0.0
                              ? settings.HorizPixel / settings.VertPixel
                              : 1.0;
    reading.xFWHM = (xWidth - settings.FWHMFactor) * settings.FWHMFactorSetting / binning;
    reading.yFWHM = yWidth * aspect * settings.FWHMFactorSetting / binning;
    reading.FWHM = (reading.xFWHM + reading.yFWHM) / 2.0;
    reading.HFD = starHfd / binning;
    GetFigureOfMerit(reading, settings.FOMKind);
}

void MeasureEmpty(const FocusSettings& settings, FocusReading& reading) {
    static const std::uint16_t kZero = 0;
    Measure(0, 0, &kZero, 0, 0, Area{0, 0, 0}, settings, reading);
}

}  // namespace

void ComputeFocusFigures(std::int32_t width, std::int32_t height, std::uint16_t* pixels,
                         const FocusSettings& settings, FocusReading& reading) {
    if (pixels == nullptr || width <= 0 || height <= 0) {
        MeasureEmpty(settings, reading);
        return;
    }
    const Area area{width, height, RoiBorder(width, settings.ROISize, settings.ROIOn)};
    const std::int64_t bg = BackgroundLevel(area, pixels);
    const Sky sky = SkyOf(width, height, pixels);
    // Measured on the raw frame as the read-only overload measures it, so
    // that both agree to the last bit; then the frame is reduced.
    Measure(width, height, pixels, settings.RemoveBackground ? bg : 0, bg, area, settings, reading, sky,
            WideLight(width, height, pixels, sky));
    if (settings.RemoveBackground) {
        const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = static_cast<std::int64_t>(pixels[i]) - bg;
            pixels[i] = static_cast<std::uint16_t>(v > 0 ? v : 0);
        }
    }
}

void ComputeFocusFigures(std::int32_t width, std::int32_t height, const std::uint16_t* pixels,
                         const FocusSettings& settings, FocusReading& reading) {
    if (pixels == nullptr || width <= 0 || height <= 0) {
        MeasureEmpty(settings, reading);
        return;
    }
    const Area area{width, height, RoiBorder(width, settings.ROISize, settings.ROIOn)};
    const std::int64_t bg = BackgroundLevel(area, pixels);
    // The HFD is taken over the background in both cases: a reduced frame over
    // 0 is the raw frame over bg.
    const Sky sky = SkyOf(width, height, pixels);
    Measure(width, height, pixels, settings.RemoveBackground ? bg : 0, bg, area, settings, reading, sky,
            WideLight(width, height, pixels, sky));
}

void ComputeFocusFigures(TImageObject& image, const FocusSettings& settings, FocusReading& reading) {
    std::lock_guard lock(image.Lock());
    ComputeFocusFigures(image.Width(), image.Height(), image.Pixels(), settings, reading);
    if (settings.RemoveBackground) {
        // The frame now holds the reduced values; its rendering must follow.
        image.SetIsUpdated(false);
    }
}

double GetFigureOfMerit(FocusReading& reading, FomKind kind) {
    switch (kind) {
    case FomKind::FWHM:
        reading.FOM = reading.FWHM;
        break;
    case FomKind::xFWHM:
        reading.FOM = reading.xFWHM;
        break;
    case FomKind::yFWHM:
        reading.FOM = reading.yFWHM;
        break;
    case FomKind::Peak:
        reading.FOM = static_cast<double>(reading.Peak);
        break;
    case FomKind::HFD:
        reading.FOM = reading.HFD;
        break;
    default:
        // An out-of-range kind (a hand-edited settings file) measures as FWHM.
        reading.FOM = reading.FWHM;
        break;
    }
    return reading.FOM;
}

double HalfFluxDiameter(std::int32_t width, std::int32_t height, const std::uint16_t* pixels,
                        std::int64_t background) {
    if (pixels == nullptr || width <= 0 || height <= 0) {
        return 0.0;
    }
    return HalfFluxDiameterOf(width, height, pixels, background);
}

}  // namespace kv
