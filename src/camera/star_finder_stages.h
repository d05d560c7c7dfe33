// What the star finder's stages share: the frame they read, a maximum as the
// seeds give it, a light as the flood and the crowded field sum it, the
// heights they judge light by, the question whether the find is still
// wanted, and memory for vectors that grow to megabytes. For the finder's
// own files only; callers use star_finder.h.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include <sys/mman.h>

namespace kv::star_stages {

// A noise width below one count is quantisation, not sky: without this
// floor a noise-free frame would call every stray count a star.
inline constexpr double kMinNoise = 1.0;
// The 1-2-1 smoothed core of a star stands at least this part of the
// threshold above the sky; a lone spike reaches a quarter of its height.
inline constexpr double kCoreFraction = 0.4;
// Two maxima are one star unless the light between them falls below this
// part of the fainter one.
inline constexpr double kDipFraction = 0.7;
// The noise of the 1-2-1 smoothed frame, in noise widths of the raw one: a
// dip shallower than three of these is noise on one star.
inline constexpr double kSmoothNoise = 0.375;

// How often a find asks whether it is still wanted: rows of the frame,
// maxima flooded, pixels climbed and stars measured between two questions.
// Each is a millisecond or so of work on a crowded 2048 x 2048 field.
inline constexpr int kStopRows = 32;
inline constexpr std::size_t kStopMaxima = 256;
inline constexpr std::size_t kStopPixels = 65536;
inline constexpr std::size_t kStopStars = 64;

constexpr double Distance2(double dx, double dy) { return dx * dx + dy * dy; }

// Whether the find has been called off; never, without a question to ask.
class Stop {
public:
    explicit Stop(const std::function<bool()>* ask) : ask_(ask) {}
    bool operator()() const { return ask_ != nullptr && *ask_ && (*ask_)(); }

private:
    const std::function<bool()>* ask_;
};

// The heights light is judged by, from the threshold and the sky's noise.
struct Heights {
    double threshold;  // a star's brightest pixel stands this far above the sky
    double noise;      // the sky's noise width
    double dipNoise;   // a dip between two maxima shallower than this is noise on one star
    double floor;      // the flood goes no lower: below it two maxima could not be one star
    Heights(double thresholdSigma, double skyNoise)
        : threshold(thresholdSigma * skyNoise), noise(skyNoise), dipNoise(3 * kSmoothNoise * skyNoise) {
        const double faintest = kCoreFraction * threshold;
        floor = std::max(kSmoothNoise * skyNoise, std::min(kDipFraction * faintest, faintest - dipNoise));
    }
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
inline void FetchRows(const std::uint16_t* pixels, int width, int height, int y0, int y1) {
    for (int y = std::max(0, y0); y <= std::min(height - 1, y1); ++y)
        for (int x = 0; x < width; x += 32) __builtin_prefetch(pixels + static_cast<std::size_t>(y) * width + x);
}

struct Candidate {
    int x, y;
    double core;  // smoothed height above the sky
    double sky;
    bool clipped = false;  // a pixel of its 3x3 is
};

// The light of a hill (or of a crowded field's maximum): its sums and the box
// around its pixels.
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

// Memory fresh from the system is handed out a page at a time, each page a
// fault that on some machines costs as much as the work on it, and a find
// on a crowded field fills megabytes (its frame of levels, a record per
// star) that it hands back at its end. Those go in huge pages where the
// kernel offers them, a fault for every 2 MB instead of every 4 kB.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline void* HugeAlloc(std::size_t bytes) {
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

}  // namespace kv::star_stages
