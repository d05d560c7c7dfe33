#include "camera/coarse_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "camera/star_finder.h"

namespace kv {

namespace {

constexpr int kScales[] = {1, 2, 4, 8};
// The finest scale that measures at least this share of the most light any
// scale found for the star holds it whole; below it, the finder saw a
// fragment of the disc or a blob of noise on it.
constexpr double kWholeShare = 0.7;
// The sky of a binned scale stands this high, and this many noise widths more.
constexpr double kPedestal = 1024.0;
constexpr double kPedestalSigma = 8.0;
// A star wider than this share of the image's smaller side is no longer
// measured: the sky around it is too little to tell its light from.
constexpr double kLargestShare = 0.2;

// A pixel this many noise widths above every one of its neighbours, and
// this many times as far above the sky as the brightest of them, is a hot
// pixel or a cosmic ray: a star's light falls off gently enough that even
// one 1.5 px wide lights its neighbours more.
constexpr double kLoneSigma = 5.0;
constexpr double kLoneRatio = 4.0;

// A star's light has all but vanished from 1.5 to 3 of its HFDs out (under
// 1 % of its core's height for a Gaussian, a few % for the broad wings of
// real optics): there its surroundings stand at the sky beyond them, 3 to 5
// HFDs out. A sighting whose surroundings stand higher is the top or a flank
// of something wider, a star blurred past the image, shown only by the
// terraces and ripples of its faint light: measured on such images, the
// whole ring stood at 0.45-0.9 of the core's height above the sky beyond,
// and one side of it at up to 1.6. The whole ring's mean is blind to a sky
// that brightens evenly across the image; one side is allowed more, for
// the same sky.
constexpr double kRingShare = 0.3;
constexpr double kSideShare = 0.5;
constexpr double kRingInner = 1.5;
constexpr double kRingOuter = 3.0;
constexpr double kSkyOuter = 5.0;

struct SkyLevel {
    double level = 0.0;
    double noise = 0.0;
};

// The sky's level and its pixel noise (from the differences of neighbours
// in a row, which the sky's gradients hardly move), both as medians over a
// sample of the image that the stars hardly move either.
SkyLevel SampledSky(int width, int height, const std::uint16_t* pixels) {
    std::vector<int> levels, steps;
    for (int y = 0; y < height; y += 3) {
        const std::uint16_t* row = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x + 1 < width; x += 5) {
            levels.push_back(row[x]);
            steps.push_back(std::abs(int(row[x + 1]) - int(row[x])));
        }
    }
    if (steps.empty()) return {};
    const auto median = [](std::vector<int>& v) {
        const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
        std::nth_element(v.begin(), mid, v.end());
        return double(*mid);
    };
    return {median(levels), 1.4826 * median(steps) / std::sqrt(2.0)};
}

// The image with every lone bright pixel lowered to its brightest neighbour:
// binned, a hot pixel would be a star's worth of light in one block, and a
// faint star's wide measure takes in every one around it.
std::vector<std::uint16_t> WithoutLonePixels(int width, int height, const std::uint16_t* pixels, const SkyLevel& sky) {
    std::vector<std::uint16_t> out(pixels, pixels + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    const double above = kLoneSigma * std::max(1.0, sky.noise);
    const auto at = [&](int x, int y) { return int(pixels[static_cast<std::size_t>(y) * width + x]); };
    for (int y = 1; y + 1 < height; ++y)
        for (int x = 1; x + 1 < width; ++x) {
            const int p = at(x, y);
            int most = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if (dx != 0 || dy != 0) most = std::max(most, at(x + dx, y + dy));
            if (p > most + above && p - sky.level > kLoneRatio * (most - sky.level))
                out[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint16_t>(most);
        }
    return out;
}

// The sum of each `bin` x `bin` block over `bin`, on a pedestal: the noise
// keeps its level per pixel and a star's light stands `bin` times higher, so
// the coarser scales do not round away noise that is a count or two (a dark
// sky's). A star too bright for that clips at its core, where a finer scale
// reads it.
std::vector<std::uint16_t> Binned(int width, int height, const std::uint16_t* pixels, int bin, const SkyLevel& sky,
                                  int& w, int& h) {
    w = width / bin;
    h = height / bin;
    std::vector<std::uint16_t> out(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    const double pedestal = kPedestal + kPedestalSigma * sky.noise;
    for (int by = 0; by < h; ++by)
        for (int bx = 0; bx < w; ++bx) {
            std::uint32_t sum = 0;
            for (int y = by * bin; y < (by + 1) * bin; ++y) {
                const std::uint16_t* row = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
                for (int x = bx * bin; x < (bx + 1) * bin; ++x) sum += row[x];
            }
            const double v = pedestal + (double(sum) / (bin * bin) - sky.level) * bin;
            out[static_cast<std::size_t>(by) * static_cast<std::size_t>(w) + static_cast<std::size_t>(bx)] =
                static_cast<std::uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
        }
    return out;
}

struct Seen {
    CoarseStar star;
    double flux = 0.0;  // full-scale counts
};

// The star at this scale nearest `at` within its reach, or, without `at`,
// the brightest with a clear signal.
std::optional<Seen> Nearest(const StarField& field, int bin, const std::optional<CoarseFollow>& at) {
    std::optional<Seen> best;
    double bestDistance = 0.0;
    for (const FoundStar& s : field.stars) {
        if (s.snr < kMinPickSnr) continue;
        // Pixel centres: a block's centre is (bin - 1) / 2 into it.
        const double x = s.x * bin + 0.5 * (bin - 1);
        const double y = s.y * bin + 0.5 * (bin - 1);
        const Seen seen{{x, y, s.hfd * bin, bin}, s.flux * bin};
        if (!at) {
            if (!best || seen.flux > best->flux) best = seen;
            continue;
        }
        const double distance = std::hypot(x - at->x, y - at->y);
        if (distance > at->reach || (best && distance >= bestDistance)) continue;
        best = seen;
        bestDistance = distance;
    }
    return best;
}

// The mean of the middle half of the values: counts are whole numbers, so a
// median would round away the count or two these levels differ by, and the
// trimming keeps neighbouring stars and hot pixels out.
double MiddleMean(std::vector<std::uint16_t>& v) {
    std::sort(v.begin(), v.end());
    const std::size_t cut = v.size() / 4;
    double sum = 0.0;
    for (std::size_t i = cut; i < v.size() - cut; ++i) sum += v[i];
    return sum / static_cast<double>(v.size() - 2 * cut);
}

// Whether the light around the sighting falls to the sky beyond it, as a
// star's does. Too few pixels around it on the image to tell: it is taken
// as a star.
bool FallsToSky(int width, int height, const std::uint16_t* pixels, const CoarseStar& star) {
    const double r = star.hfd;
    // Every pixel of a small star, a sample of a wide one's.
    const int stride = std::max(1, static_cast<int>(r / 16.0));
    std::vector<std::uint16_t> core, ring, beyond, side[4];
    for (int y = 0; y < height; y += stride) {
        const std::uint16_t* row = pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
        for (int x = 0; x < width; x += stride) {
            const double d = std::hypot(x - star.x, y - star.y);
            if (d <= 0.5 * r) {
                core.push_back(row[x]);
            } else if (d >= kRingInner * r && d <= kRingOuter * r) {
                ring.push_back(row[x]);
                side[(x >= star.x ? 1 : 0) + (y >= star.y ? 2 : 0)].push_back(row[x]);
            } else if (d > kRingOuter * r && d <= kSkyOuter * r) {
                beyond.push_back(row[x]);
            }
        }
    }
    if (core.empty() || ring.size() < 16 || beyond.size() < 16) return true;
    const double sky = MiddleMean(beyond);
    const double rise = MiddleMean(core) - sky;
    if (rise <= 0.0 || MiddleMean(ring) - sky > kRingShare * rise) return false;
    for (std::vector<std::uint16_t>& one : side)
        if (one.size() >= 16 && MiddleMean(one) - sky > kSideShare * rise) return false;
    return true;
}

}  // namespace

std::optional<CoarseStar> MeasureCoarseStar(int width, int height, const std::uint16_t* pixels,
                                            const std::optional<CoarseFollow>& follow) {
    std::vector<StarField> fields;
    std::optional<Seen> brightest;
    const SkyLevel sky = SampledSky(width, height, pixels);
    const std::vector<std::uint16_t> cleaned = WithoutLonePixels(width, height, pixels, sky);
    for (const int bin : kScales) {
        int w = 0, h = 0;
        const std::vector<std::uint16_t> binned =
            bin == 1 ? cleaned : Binned(width, height, cleaned.data(), bin, sky, w, h);
        if (bin == 1) {
            w = width;
            h = height;
        }
        if (w < 8 || h < 8) break;
        StarFinderSettings settings;
        settings.focusFrame = 8;  // no star is refused for the image's edge
        fields.push_back(FindStars(w, h, binned.data(), settings));
        const std::optional<Seen> s = Nearest(fields.back(), bin, follow);
        if (s && (!brightest || s->flux > brightest->flux)) brightest = s;
    }
    if (!brightest) return std::nullopt;
    // The star is where the most light was; each scale from the finest looks
    // for it there, and the first that holds it whole measures it.
    const CoarseFollow there{brightest->star.x, brightest->star.y, std::max(brightest->star.hfd, 2.0 * brightest->star.bin)};
    CoarseStar star = brightest->star;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::optional<Seen> s = Nearest(fields[i], kScales[i], there);
        if (s && s->flux >= kWholeShare * brightest->flux) {
            star = s->star;
            break;
        }
    }
    if (star.hfd > kLargestShare * std::min(width, height)) return std::nullopt;
    if (!FallsToSky(width, height, cleaned.data(), star)) return std::nullopt;
    return star;
}

}  // namespace kv
