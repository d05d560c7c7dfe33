#include "camera/star_finder_seeds.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace kv::star_stages {
namespace {

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

}  // namespace

bool FindSeeds(const Frame& f, const Sky& sky, const Heights& heights, std::uint16_t saturation, const Stop& stopped,
               RoomyVector<Candidate>& candidates) {
    const int width = f.w, height = f.h;
    const std::uint16_t* const pixels = f.p;
    const double threshold = heights.threshold;
    // The local maxima of the pixels above the threshold, each climbed to
    // its maximum on the smoothed frame.
    std::vector<float> row;
    std::vector<std::uint8_t> standsOut(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        if (y % kStopRows == 0 && stopped()) return false;
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
        c.clipped = top >= saturation;
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
        return spill >= kSideSigmas * heights.noise / std::sqrt(static_cast<double>(n)) && spill >= kMinSideShare * peak;
    };
    std::size_t kept = 0;
    int fetched = -1;
    for (Candidate& c : candidates) {
        FetchRows(pixels, width, height, std::max(fetched + 1, c.y + 2), c.y + 3);
        fetched = std::max(fetched, c.y + 3);
        if (real(c)) candidates[kept++] = c;
    }
    candidates.resize(kept);
    return true;
}

}  // namespace kv::star_stages
