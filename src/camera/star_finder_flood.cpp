#include "camera/star_finder_flood.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "camera/star_finder_spots.h"

namespace kv::star_stages {
namespace {

constexpr float kUnseen = -2.0f, kBelow = -1.0f;
// Each flooded pixel's smoothed level and, once climbed, its hill.
struct Spot {
    float level;
    int hill;
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

}  // namespace

void JoinHills(Hills& hills, double dipNoise) {
    RoomyVector<Light>& lights = hills.lights;
    std::vector<Saddle>& saddles = hills.saddles;
    std::vector<int>& stars = hills.stars;
    const std::vector<std::vector<std::pair<int, float>>>& touching = hills.touching;
    const int count = hills.count;
    for (std::size_t h = 0; h < touching.size(); ++h)
        for (const auto& [other, v] : touching[h]) saddles.push_back({static_cast<int>(h), other, v});
    std::vector<float> saddleLevels(saddles.size());
    for (std::size_t k = 0; k < saddles.size(); ++k) saddleLevels[k] = saddles[k].level;

    std::vector<int> parent(static_cast<std::size_t>(count));
    for (int h = 0; h < count; ++h) parent[static_cast<std::size_t>(h)] = h;
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
    for (int h = 0; h < count; ++h)
        if (parent[static_cast<std::size_t>(h)] == h && lights[static_cast<std::size_t>(h)].anchor >= 0) stars.push_back(h);
}

bool Flood(const Frame& f, const Sky& sky, const RoomyVector<Candidate>& candidates, const Heights& heights, bool crowded,
           const Stop& stopped, Hills& into) {
    const int width = f.w, height = f.h;
    const std::uint16_t* const pixels = f.p;
    const double floorLevel = heights.floor;
    RoomyVector<Light>& lights = into.lights;
    std::vector<std::vector<std::pair<int, float>>>& touching = into.touching;
    int& hills = into.count;
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
    bool made = false;
    if (crowded) {
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
                if (y % kStopRows == 0 && stopped()) return false;
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
    if (!crowded) {
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
        if (stopped()) return false;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (k % kStopMaxima == kStopMaxima - 1 && stopped()) return false;
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
    return made;
}

}  // namespace kv::star_stages
