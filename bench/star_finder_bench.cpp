// Star finding on whole frames: sparse fields (1024² and 4096² with 50 and
// 500 stars), a dense one (40 000 stars on 2048²) and 48 far-defocused stars
// behind a central obstruction (rings of 4 to 20 px radius on 1024²).
//
// Each case also times one plain pass over the same pixels (their sum), and
// reports the finder's time as a multiple of it ("passes"): the figure that
// says whether the finder can run on every main image, whatever the machine.
// "ns_per_px" is the time per pixel, which stays put from sparse to dense
// fields only if the finder's work grows with pixels plus stars. The
// counters "found" and "worst_px" say it found the stars it was given and
// how far its worst centroid lies from the truth; "reported" is how many
// stars it says it found, "kept" how many it returned. With the finder's
// cap (the last argument 1, as the program runs it) a dense field keeps the
// 500 brightest, so "found" counts those among the true stars; the same
// field without the cap measures every star, for the cost of that.
//
// DenseOverSparse finds the dense and the 4096² sparse field in turn and
// reports the dense field's time per pixel over the sparse one's ("ratio"):
// the figure for "the same work per pixel however crowded".
//
// WholeFieldReading is a whole-field focus reading on the 4096² field
// against the finder alone (see there).
//
// PickStarThreadGap is Pick Star as the window runs it on the dense field:
// the window's thread copies the main image, hands it to a search on a
// thread of its own and goes on turning (here: waking every 5 ms) until the
// answer is in, then picks the star. "gap_ms" is the longest time between
// two of its turns, copy and pick included; "find_ms" the search's time.
// The desktop test measures the same gap in the real window.
//
// Where libsep (the C library of the classic source extractor) is at hand,
// the same frames go through it too (background, its subtraction and the
// extraction at the same threshold), for a yardstick on the same machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <atomic>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "camera/field_figure.h"
#include "camera/image_object.h"
#include "camera/star_finder.h"
#include "camera/star_search.h"

#ifdef KV_HAVE_SEP
// A C library whose header does not say so itself.
extern "C" {
#include <sep.h>
}
#endif

namespace {

struct Truth {
    double x, y;
};

struct Frame {
    int side = 0;
    std::vector<std::uint16_t> pixels;
    std::vector<Truth> truth;
};

constexpr double kSky = 1000.0;
constexpr double kObstruction = 0.35;  // of the aperture: a common reflector's secondary

// Stars placed at random, at least `apart` pixels from each other so that
// "found" counts stars and not blends; a grid of cells keeps placing linear.
std::vector<Truth> Place(std::mt19937& rng, int side, int stars, double margin, double apart) {
    std::uniform_real_distribution<double> where(margin, side - margin);
    const int cells = std::max(1, static_cast<int>(side / apart));
    std::vector<std::vector<int>> grid(static_cast<std::size_t>(cells * cells));
    std::vector<Truth> truth;
    const auto cellOf = [&](double v) { return std::clamp(static_cast<int>(v / apart), 0, cells - 1); };
    while (static_cast<int>(truth.size()) < stars) {
        const Truth t{where(rng), where(rng)};
        bool clear = true;
        for (int j = cellOf(t.y) - 1; j <= cellOf(t.y) + 1 && clear; ++j)
            for (int i = cellOf(t.x) - 1; i <= cellOf(t.x) + 1 && clear; ++i) {
                if (i < 0 || j < 0 || i >= cells || j >= cells) continue;
                for (const int k : grid[static_cast<std::size_t>(j * cells + i)])
                    if (std::hypot(truth[static_cast<std::size_t>(k)].x - t.x, truth[static_cast<std::size_t>(k)].y - t.y) < apart)
                        clear = false;
            }
        if (!clear) continue;
        grid[static_cast<std::size_t>(cellOf(t.y) * cells + cellOf(t.x))].push_back(static_cast<int>(truth.size()));
        truth.push_back(t);
    }
    return truth;
}

std::vector<std::uint16_t> Expose(std::mt19937& rng, const std::vector<double>& light) {
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<std::uint16_t> pixels(light.size());
    for (std::size_t i = 0; i < light.size(); ++i)
        pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(light[i] + unit(rng) * std::sqrt(100 + light[i] / 10)), 0L, 65535L));
    return pixels;
}

// Gaussian stars; on a dense field smaller and closer together.
Frame Stars(int side, int stars) {
    Frame f{side, {}, {}};
    std::mt19937 rng(static_cast<std::uint32_t>(side * 7 + stars));
    const bool dense = static_cast<double>(side) * side / stars < 1000;
    f.truth = Place(rng, side, stars, 60.0, dense ? 6.0 : 30.0);
    std::uniform_real_distribution<double> sigma(dense ? 1.0 : 1.5, dense ? 1.5 : 3.0), peak(300.0, 20000.0);
    std::vector<double> light(static_cast<std::size_t>(side) * side, kSky);
    for (const Truth& t : f.truth) {
        const double s = sigma(rng), a = peak(rng);
        const int reach = static_cast<int>(5 * s) + 1;
        for (int y = static_cast<int>(t.y) - reach; y <= static_cast<int>(t.y) + reach; ++y)
            for (int x = static_cast<int>(t.x) - reach; x <= static_cast<int>(t.x) + reach; ++x)
                light[static_cast<std::size_t>(y) * side + x] += a * std::exp(-((x - t.x) * (x - t.x) + (y - t.y) * (y - t.y)) / (2 * s * s));
    }
    f.pixels = Expose(rng, light);
    return f;
}

// Defocused stars: the obstructed pupil's image, an evenly lit ring of
// outer radius R and inner radius kObstruction R, blurred by 1.2 px seeing
// (the edges as error functions, integrated over 4x4 points of each pixel).
Frame Rings(int side, int stars) {
    Frame f{side, {}, {}};
    std::mt19937 rng(static_cast<std::uint32_t>(side * 13 + stars));
    std::uniform_real_distribution<double> jitter(-8.0, 8.0), brightness(0.6, 1.4);
    std::vector<double> light(static_cast<std::size_t>(side) * side, kSky);
    const int across = 8, spacing = (side - 100) / across;
    const double blur = 1.2;
    for (int k = 0; k < stars; ++k) {
        const Truth t{80.0 + spacing * (k % across) + jitter(rng) + 0.37, 80.0 + spacing * (k / across) + jitter(rng) + 0.61};
        f.truth.push_back(t);
        const double outer = 4.0 + 16.0 * k / std::max(1, stars - 1), inner = kObstruction * outer;
        const double level = 300000.0 * brightness(rng) / (M_PI * (outer * outer - inner * inner));
        const int reach = static_cast<int>(outer + 5 * blur) + 1;
        for (int y = static_cast<int>(t.y) - reach; y <= static_cast<int>(t.y) + reach; ++y)
            for (int x = static_cast<int>(t.x) - reach; x <= static_cast<int>(t.x) + reach; ++x) {
                double sum = 0;
                for (int j = 0; j < 4; ++j)
                    for (int i = 0; i < 4; ++i) {
                        const double r = std::hypot(x - 0.375 + 0.25 * i - t.x, y - 0.375 + 0.25 * j - t.y);
                        sum += 0.5 * (std::erf((outer - r) / (std::sqrt(2.0) * blur)) - std::erf((inner - r) / (std::sqrt(2.0) * blur)));
                    }
                light[static_cast<std::size_t>(y) * side + x] += level * sum / 16;
            }
    }
    f.pixels = Expose(rng, light);
    return f;
}

// Frames are made once and shared by both finders.
const Frame& FrameFor(int side, int stars, bool rings) {
    static std::map<std::tuple<int, int, bool>, Frame> made;
    auto it = made.find({side, stars, rings});
    if (it == made.end()) it = made.emplace(std::tuple(side, stars, rings), rings ? Rings(side, stars) : Stars(side, stars)).first;
    return it->second;
}

template <typename Point>
void Score(benchmark::State& state, const Frame& frame, const std::vector<Point>& points, std::size_t reported, double seconds) {
    double worst = 0.0;
    int found = 0;
    // Nearest found point within 2 px of each true star, through a grid of cells.
    const int cell = 8, cells = (frame.side + cell - 1) / cell;
    std::vector<std::vector<std::size_t>> grid(static_cast<std::size_t>(cells * cells));
    for (std::size_t i = 0; i < points.size(); ++i) {
        const int cx = std::clamp(static_cast<int>(points[i].x / cell), 0, cells - 1), cy = std::clamp(static_cast<int>(points[i].y / cell), 0, cells - 1);
        grid[static_cast<std::size_t>(cy * cells + cx)].push_back(i);
    }
    for (const Truth& t : frame.truth) {
        double nearest = 1e9;
        for (int j = static_cast<int>(t.y / cell) - 1; j <= static_cast<int>(t.y / cell) + 1; ++j)
            for (int i = static_cast<int>(t.x / cell) - 1; i <= static_cast<int>(t.x / cell) + 1; ++i) {
                if (i < 0 || j < 0 || i >= cells || j >= cells) continue;
                for (const std::size_t k : grid[static_cast<std::size_t>(j * cells + i)])
                    nearest = std::min(nearest, std::hypot(points[k].x - t.x, points[k].y - t.y));
            }
        if (nearest < 2.0) {
            ++found;
            worst = std::max(worst, nearest);
        }
    }
    const double pixels = static_cast<double>(frame.side) * frame.side;
    state.counters["found"] = found;
    state.counters["reported"] = static_cast<double>(reported);
    state.counters["worst_px"] = worst;
    state.counters["ns_per_px"] = seconds * 1e9 / std::max<double>(1, static_cast<double>(state.iterations())) / pixels;
}

void FindStarsOnAFrame(benchmark::State& state) {
    const Frame& frame = FrameFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), state.range(2) != 0);
    const int side = frame.side;

    // One plain pass, timed the same way, for the ratio.
    const auto passStart = std::chrono::steady_clock::now();
    constexpr int kPasses = 20;
    std::uint64_t sum = 0;
    for (int i = 0; i < kPasses; ++i) {
        for (const std::uint16_t p : frame.pixels) sum += p;
        benchmark::DoNotOptimize(sum);
    }
    const double pass = std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count() / kPasses;

    // Capped: the finder's own cap, as the program runs it; it measures in
    // full only the stars it keeps. Else no cap: every star of a dense field
    // is measured and counts.
    const bool capped = state.range(3) != 0;
    const kv::StarFinderSettings settings = capped ? kv::StarFinderSettings{} : kv::StarFinderSettings{.maxStars = frame.truth.size() * 4};
    kv::StarField field;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        field = kv::FindStars(side, side, frame.pixels.data(), settings);
        benchmark::DoNotOptimize(field.stars.data());
    }
    Score(state, frame, field.stars, field.found, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    state.counters["kept"] = static_cast<double>(field.stars.size());
    state.counters["pass_ms"] = pass * 1e3;
    // pass x iterations / time, inverted: the time of one search in passes.
    state.counters["passes"] = benchmark::Counter(pass, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The dense field's time per pixel over the sparse field's, as the program
// runs the finder (its cap): the two found in turn, one find of each per
// iteration, so that both meet the same state of a machine whose speed
// wanders from run to run (here by up to a third); medians of the
// iterations, "ratio" the dense median over the sparse one, per pixel.
void DenseOverSparse(benchmark::State& state) {
    const Frame& sparse = FrameFor(4096, 500, false);
    const Frame& dense = FrameFor(2048, 40000, false);
    std::vector<double> sparseNs, denseNs;
    const auto time = [](const Frame& frame) {
        const auto start = std::chrono::steady_clock::now();
        const kv::StarField field = kv::FindStars(frame.side, frame.side, frame.pixels.data());
        benchmark::DoNotOptimize(field.stars.data());
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
               (static_cast<double>(frame.side) * frame.side);
    };
    for (auto _ : state) {
        sparseNs.push_back(time(sparse));
        denseNs.push_back(time(dense));
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["sparse_ns_per_px"] = median(sparseNs);
    state.counters["dense_ns_per_px"] = median(denseNs);
    state.counters["ratio"] = median(denseNs) / median(sparseNs);
}

// How long a cancel can wait: the longest stretch of a find between two of
// its questions whether to stop (the first counted from its start), on a
// large sparse frame, where the sky estimate is most of the work.
void LongestStretchWithoutAStopQuestion(benchmark::State& state) {
    const Frame& frame = FrameFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false);
    double longest = 0.0, first = 0.0;
    for (auto _ : state) {
        auto last = std::chrono::steady_clock::now();
        bool asked = false;
        const auto stop = [&] {
            const auto now = std::chrono::steady_clock::now();
            const double ms = std::chrono::duration<double, std::milli>(now - last).count();
            if (!asked) first = std::max(first, ms);
            asked = true;
            longest = std::max(longest, ms);
            last = now;
            return false;
        };
        benchmark::DoNotOptimize(kv::FindStars(frame.side, frame.side, frame.pixels.data(), kv::StarFinderSettings{}, stop));
    }
    state.counters["first_question_ms"] = first;
    state.counters["longest_stretch_ms"] = longest;
}

// A whole-field reading on the 4096² field of 500 stars against the
// finder alone, found in turn as DenseOverSparse does: the reading copies
// the frame (as the camera's frame thread copies the main image), finds its
// stars, keeps the usable ones and takes their medians. "find_ms" and
// "reading_ms" are medians; "added_ms" is what the reading adds beyond the
// find, which must stay within "find_ms". It runs on the camera's frame
// thread: the window's thread never waits on it.
void WholeFieldReading(benchmark::State& state) {
    const Frame& frame = FrameFor(4096, 500, false);
    std::vector<double> findMs, readingMs;
    int stars = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        const kv::StarField field = kv::FindStars(frame.side, frame.side, frame.pixels.data());
        benchmark::DoNotOptimize(field.stars.data());
        findMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        start = std::chrono::steady_clock::now();
        const std::vector<std::uint16_t> copy = frame.pixels;
        const std::optional<kv::WholeField> whole =
            kv::MeasureWholeField(frame.side, frame.side, copy.data(), {}, [] { return false; });
        benchmark::DoNotOptimize(whole->stars.stars.data());
        readingMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        stars = whole->figures.stars;
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["find_ms"] = median(findMs);
    state.counters["reading_ms"] = median(readingMs);
    state.counters["added_ms"] = median(readingMs) - median(findMs);
    state.counters["stars"] = stars;
}

void PickStarThreadGap(benchmark::State& state) {
    const Frame& frame = FrameFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), false);
    kv::TImageObject image(frame.side, frame.side);
    image.LoadPixels(frame.pixels.data());
    kv::TStarSearch search;
    double longest = 0.0, findMs = 0.0;
    std::size_t stars = 0;
    for (auto _ : state) {
        using Clock = std::chrono::steady_clock;
        std::atomic<bool> answered{false};
        kv::StarSearchResult result;
        auto last = Clock::now();
        const auto turn = [&] {
            const auto now = Clock::now();
            longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
        };
        const auto started = Clock::now();
        search.Start(kv::CopyFrame(image), kv::StarFinderSettings{.focusFrame = 100}, [&](kv::StarSearchResult r) {
            result = std::move(r);
            answered.store(true);
        });
        turn();
        while (!answered.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            turn();
        }
        findMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        const kv::StarPick pick = kv::PickFocusStar(result.field, frame.side, frame.side, [](int, int) { return true; });
        benchmark::DoNotOptimize(pick.star);
        turn();
        stars = result.field.stars.size();
        search.Wait();
    }
    state.counters["gap_ms"] = longest;
    state.counters["find_ms"] = findMs;
    state.counters["kept"] = static_cast<double>(stars);
}

#ifdef KV_HAVE_SEP
struct SepPoint {
    double x, y;
};

void SepOnAFrame(benchmark::State& state) {
    const Frame& frame = FrameFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), state.range(2) != 0);
    // The library reads floats, not 16-bit counts: converted once, outside the timing.
    const std::vector<float> data(frame.pixels.begin(), frame.pixels.end());
    std::vector<float> work(data.size());
    sep_set_extract_pixstack(std::max<std::size_t>(300000, data.size()));
    sep_set_sub_object_limit(4096);
    std::vector<SepPoint> points;
    bool failed = false;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        work = data;
        sep_image image{};
        image.data = work.data();
        image.dtype = SEP_TFLOAT;
        image.w = frame.side;
        image.h = frame.side;
        sep_bkg* bkg = nullptr;
        if (sep_background(&image, 64, 64, 3, 3, 0.0, &bkg) != 0) {
            failed = true;
            break;
        }
        sep_bkg_subarray(bkg, work.data(), SEP_TFLOAT);
        image.noiseval = sep_bkg_globalrms(bkg);
        image.noise_type = SEP_NOISE_STDDEV;
        sep_catalog* catalog = nullptr;
        static const float kConv[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
        const int status = sep_extract(&image, 5.0f, SEP_THRESH_REL, 5, kConv, 3, 3, SEP_FILTER_CONV, 32, 0.005, 1, 1.0, &catalog);
        sep_bkg_free(bkg);
        if (status != 0) {
            failed = true;
            break;
        }
        points.clear();
        for (int i = 0; i < catalog->nobj; ++i) points.push_back({catalog->x[i], catalog->y[i]});
        sep_catalog_free(catalog);
    }
    if (failed) {
        state.SkipWithError("sep failed");
        return;
    }
    Score(state, frame, points, points.size(), std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}
#endif

// side, stars, rings
#define KV_FIELDS ->Args({1024, 50, 0})->Args({4096, 500, 0})->Args({2048, 40000, 0})->Args({1024, 48, 1})->Unit(benchmark::kMillisecond)
// side, stars, rings, capped (the finder's default cap of stars kept)
BENCHMARK(FindStarsOnAFrame)
    ->Args({1024, 50, 0, 1})
    ->Args({4096, 500, 0, 1})
    ->Args({2048, 40000, 0, 1})
    ->Args({2048, 40000, 0, 0})
    ->Args({1024, 48, 1, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(DenseOverSparse)->Unit(benchmark::kMillisecond)->Iterations(15);
BENCHMARK(LongestStretchWithoutAStopQuestion)->Args({4096, 500})->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(WholeFieldReading)->Unit(benchmark::kMillisecond)->Iterations(15);
BENCHMARK(PickStarThreadGap)->Args({2048, 40000})->Unit(benchmark::kMillisecond)->Iterations(3);
#ifdef KV_HAVE_SEP
BENCHMARK(SepOnAFrame) KV_FIELDS;
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef KV_HAVE_SEP
    // A machine without the library builds the bench without the comparison;
    // its figures then say so rather than leave the rows silently out.
    benchmark::AddCustomContext("SEP comparison", "missing: libsep was not found at build time (install libsep-dev)");
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
