#include "camera/star_finder_apart.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace kv::star_stages {
namespace {

// A field crowded with small stars: a star's light is summed over the
// pixels this far from its maximum (5 x 5: nearly all of a star that small),
// two maxima farther apart than kApart pixels are two stars, and once more
// than kApartJoined of the maxima turn out part of another's light the stars
// are too large to be told apart that way.
constexpr int kBoxReach = 2;
constexpr int kApart = 8;
constexpr double kApartJoined = 0.1;

}  // namespace

Apart TellApart(const Frame& f, const RoomyVector<Candidate>& candidates, const Heights& heights, const Stop& stopped,
                Hills& out) {
    const int width = f.w, height = f.h;
    const std::uint16_t* const pixels = f.p;
    const double dipNoise = heights.dipNoise;
    RoomyVector<Light>& lights = out.lights;
    std::vector<Saddle>& saddles = out.saddles;
    int& hills = out.count;
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
    if (!tellApart()) return Apart::Stopped;
    JoinHills(out, dipNoise);
    if (static_cast<double>(out.stars.size()) >= (1 - kApartJoined) * hills) return Apart::Told;
    out.stars.clear();
    lights.clear();
    saddles.clear();
    hills = 0;
    return Apart::TooLarge;
}

}  // namespace kv::star_stages
