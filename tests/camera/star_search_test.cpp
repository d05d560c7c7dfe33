#include "camera/star_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "camera/field_figure.h"
#include "camera/star_finder.h"

namespace kv {
namespace {

// A crowded field: small Gaussian stars on a jittered grid 10 px apart, on a
// noisy sky. Enough stars that every stage of a find has work to ask between.
FrameCopy CrowdedFrame(int side) {
    FrameCopy frame{side, side, {}};
    std::vector<double> light(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 1000.0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-2.0, 2.0), peak(300.0, 8000.0);
    for (int gy = 20; gy < side - 20; gy += 10)
        for (int gx = 20; gx < side - 20; gx += 10) {
            const double cx = gx + jitter(rng), cy = gy + jitter(rng), a = peak(rng), s = 1.2;
            for (int y = gy - 6; y <= gy + 6; ++y)
                for (int x = gx - 6; x <= gx + 6; ++x)
                    light[static_cast<std::size_t>(y) * side + x] +=
                        a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * s * s));
        }
    std::normal_distribution<double> unit(0.0, 1.0);
    frame.pixels.resize(light.size());
    for (std::size_t i = 0; i < light.size(); ++i)
        frame.pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(light[i] + 10 * unit(rng)), 0L, 65535L));
    return frame;
}

const FrameCopy& Crowded() {
    static const FrameCopy frame = CrowdedFrame(400);
    return frame;
}

// A crowded field of far-defocused stars behind a central obstruction:
// rings of 7 px radius on a jittered grid 22 px apart, each with maxima all
// round its ridge, so that more than one maximum in ten is part of another's
// light. The centres are kept for the test to compare with.
struct RingField {
    FrameCopy frame;
    std::vector<std::pair<double, double>> centres;
};
const RingField& CrowdedRings() {
    static const RingField field = [] {
        constexpr int kSide = 300;
        constexpr double kOuter = 7.0, kInner = 0.35 * kOuter, kEdge = 1.2 * 1.41421356;
        RingField f{{kSide, kSide, {}}, {}};
        std::vector<double> light(static_cast<std::size_t>(kSide) * kSide, 1000.0);
        std::mt19937 rng(11);
        std::uniform_real_distribution<double> jitter(-2.0, 2.0), level(800.0, 2500.0);
        for (int gy = 20; gy < kSide - 15; gy += 22)
            for (int gx = 20; gx < kSide - 15; gx += 22) {
                const double cx = gx + jitter(rng), cy = gy + jitter(rng), a = level(rng);
                f.centres.emplace_back(cx, cy);
                for (int y = gy - 12; y <= gy + 12; ++y)
                    for (int x = gx - 12; x <= gx + 12; ++x) {
                        const double r = std::hypot(x - cx, y - cy);
                        light[static_cast<std::size_t>(y) * kSide + x] += a * 0.5 * (std::erf((kOuter - r) / kEdge) - std::erf((kInner - r) / kEdge));
                    }
            }
        std::normal_distribution<double> unit(0.0, 1.0);
        f.frame.pixels.resize(light.size());
        for (std::size_t i = 0; i < light.size(); ++i)
            f.frame.pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(light[i] + 10 * unit(rng)), 0L, 65535L));
        return f;
    }();
    return field;
}

// A stop that says yes from its `at`-th question on, counting the questions.
struct CountingStop {
    int at;
    int asked = 0;
    bool operator()() { return ++asked >= at; }
};

// However a crowded field is worked out, the same stars, and a find called
// off at any stage gives none of them.
TEST(StarFinderCrowded, EveryWayTheSameStarsAndACalledOffFindNothingAtEveryStage) {
    // A crowded field of small stars told apart by the light between their
    // maxima, and flooded out from each maximum as a sparse field is; a
    // crowded field of rings flooded over the whole frame at once, and out
    // from each maximum.
    const RingField& rings = CrowdedRings();
    const struct { const FrameCopy* frame; double wholeFrameBelow; bool stop; } ways[] = {
        {&Crowded(), 1000.0, true}, {&Crowded(), 0.0, true}, {&rings.frame, 1000.0, true}, {&rings.frame, 0.0, false}};
    std::vector<StarField> wholes;
    for (const auto& way : ways) {
        const FrameCopy& f = *way.frame;
        SCOPED_TRACE(testing::Message() << f.width << " px, " << way.wholeFrameBelow);
        const StarFinderSettings settings{.maxStars = 100000, .wholeFrameBelow = way.wholeFrameBelow};
        const StarField& whole = wholes.emplace_back(FindStars(f.width, f.height, f.pixels.data(), settings));
        ASSERT_GT(whole.stars.size(), 100u);
        if (!way.stop) continue;
        // How often a find that runs to its end asks.
        CountingStop never{1 << 30};
        const std::optional<StarField> unstopped =
            FindStars(f.width, f.height, f.pixels.data(), settings, [&] { return never(); });
        ASSERT_TRUE(unstopped.has_value());
        EXPECT_TRUE(unstopped->stars == whole.stars);
        const int questions = never.asked;
        // Every stage asks, not only the first or the last.
        ASSERT_GE(questions, 12);

        // A yes at the first question, within each stage, and at the very last
        // one (after the stars are measured, before they are handed out): never
        // a part of the field.
        for (const int at : {1, 2, questions / 4, questions / 2, 3 * questions / 4, questions - 1, questions}) {
            SCOPED_TRACE(at);
            CountingStop stop{at};
            const std::optional<StarField> field = FindStars(f.width, f.height, f.pixels.data(), settings, [&] { return stop(); });
            EXPECT_FALSE(field.has_value());
            // The find ended at the question that said yes.
            EXPECT_EQ(stop.asked, at);
        }
    }
    // Small stars told apart come out as the flood finds them, value for
    // value; over a cap the two rank them by their light taken in different
    // ways, so nearly the same are kept. Rings, flooded either way, are the
    // same rings ranked alike, each one star on its centre.
    EXPECT_TRUE(wholes[0].stars == wholes[1].stars && wholes[2].stars == wholes[3].stars);
    const auto capped = [](const FrameCopy& frame, std::size_t cap, double wholeFrameBelow) {
        return FindStars(frame.width, frame.height, frame.pixels.data(), {.maxStars = cap, .wholeFrameBelow = wholeFrameBelow}).stars;
    };
    const std::vector<FoundStar> a = capped(Crowded(), 100, 1000.0), b = capped(Crowded(), 100, 0.0);
    ASSERT_EQ(a.size(), 100u);
    EXPECT_GE(std::count_if(a.begin(), a.end(), [&](const FoundStar& s) { return std::count(b.begin(), b.end(), s) > 0; }), 95);
    EXPECT_TRUE(capped(rings.frame, 40, 1000.0) == capped(rings.frame, 40, 0.0));
    ASSERT_EQ(wholes[2].stars.size(), rings.centres.size());
    for (const auto& [x, y] : rings.centres) {
        const auto nearest = std::min_element(wholes[2].stars.begin(), wholes[2].stars.end(), [&](const FoundStar& p, const FoundStar& q) {
            return std::hypot(p.x - x, p.y - y) < std::hypot(q.x - x, q.y - y);
        });
        EXPECT_LT(std::hypot(nearest->x - x, nearest->y - y), 0.3) << x << "," << y;
    }

    // The field figure follows: called off, no figures; else the median.
    const FrameCopy& f = Crowded();
    EXPECT_FALSE(MeasureField(f.width, f.height, f.pixels.data(), 100, [] { return true; }).has_value());
    const std::optional<FieldFigures> figures = MeasureField(f.width, f.height, f.pixels.data(), 100, [] { return false; });
    ASSERT_TRUE(figures.has_value());
    EXPECT_EQ(figures->stars, MeasureField(f.width, f.height, f.pixels.data(), 100).stars);
}

// A crowded field large enough that a find's records run to megabytes,
// which come from memory of their own: told apart or flooded, every star
// found, and most of the same brightest kept.
TEST(StarFinderCrowded, ALargeFieldHasEveryStarFoundEitherWay) {
    const FrameCopy f = CrowdedFrame(1400);
    const StarField apart = FindStars(f.width, f.height, f.pixels.data(), {.wholeFrameBelow = 1000.0});
    const StarField flooded = FindStars(f.width, f.height, f.pixels.data(), {.wholeFrameBelow = 0.0});
    constexpr std::size_t kStars = 136 * 136;  // a star every 10 px from 20 to 1370
    EXPECT_EQ(std::tuple(apart.found, flooded.found), std::tuple(kStars, kStars));
    ASSERT_EQ(apart.stars.size(), StarFinderSettings{}.maxStars);
    std::size_t common = 0;
    for (const FoundStar& s : apart.stars) common += std::count(flooded.stars.begin(), flooded.stars.end(), s) > 0 ? 1 : 0;
    // The 500 kept are the brightest 3 % of stars whose peaks lie evenly
    // between 300 and 8000 counts: near-equals, which the two lights rank
    // a little differently (446 of the 500 are the same here).
    EXPECT_GE(common, apart.stars.size() * 85 / 100);
}

// Over the cap only the kept stars are measured, so they must come out as
// an uncapped find measures them, be the bright unclipped ones, and the
// count must still say how many there were.
TEST(StarFinderCap, KeepsTheBrightestUnclippedMeasuredAsWithoutTheCapAndCountsEveryStar) {
    const FrameCopy& f = Crowded();
    // A saturation of 6000 clips about a third of the stars; of the cap's
    // brightest unclipped stars at least the top share is kept.
    const struct { std::uint16_t saturation; std::size_t cap; double topShare; } cases[] = {
        {65535, 100, 0.85}, {65535, 1000, 0.95}, {6000, 100, 0.85}, {6000, 1000, 1.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "saturation " << c.saturation << " cap " << c.cap);
        StarFinderSettings settings{.saturation = c.saturation, .maxStars = 100000};
        const StarField whole = FindStars(f.width, f.height, f.pixels.data(), settings);
        settings.maxStars = c.cap;
        const StarField capped = FindStars(f.width, f.height, f.pixels.data(), settings);
        ASSERT_GT(whole.stars.size(), c.cap);
        EXPECT_EQ(std::tuple(whole.found, capped.found), std::tuple(whole.stars.size(), whole.stars.size()));
        ASSERT_EQ(capped.stars.size(), c.cap);

        std::vector<const FoundStar*> unclipped;
        for (const FoundStar& s : whole.stars)
            if (!s.saturated) unclipped.push_back(&s);
        std::size_t clippedKept = 0;
        for (std::size_t i = 0; i < capped.stars.size(); ++i) {
            const FoundStar& k = capped.stars[i];
            if (i > 0) { EXPECT_GE(capped.stars[i - 1].flux, k.flux); }
            clippedKept += k.saturated ? 1 : 0;
            // Measured as uncapped, and crowded by its neighbours that were not measured as by measured ones.
            EXPECT_NE(std::ranges::find(whole.stars, k), whole.stars.end()) << k.x << "," << k.y;
        }
        // Clipped stars only fill what the unclipped ones leave.
        EXPECT_EQ(clippedKept, c.cap > unclipped.size() ? c.cap - unclipped.size() : 0u);
        const std::size_t top = std::min(c.cap, unclipped.size());
        std::ptrdiff_t topKept = 0;
        for (std::size_t i = 0; i < top; ++i) topKept += std::ranges::count(capped.stars, *unclipped[i]);
        EXPECT_GE(static_cast<double>(topKept), c.topShare * static_cast<double>(top));
    }
}

// Done results handed over to the test's thread.
struct Results {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<StarSearchResult> got;
    TStarSearch::Done Sink() {
        return [this](StarSearchResult r) {
            std::lock_guard lock(mutex);
            got.push_back(std::move(r));
            cv.notify_all();
        };
    }
    bool WaitFor(std::size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(120), [&] { return got.size() >= n; });
    }
};

TEST(StarSearch, FindsOnItsThreadRefusesASecondWhileOneRunsAndStartsAgainAtOnceAfterACancel) {
    const FrameCopy& f = Crowded();
    const StarFinderSettings settings{.maxStars = 100000};
    Results results;
    TStarSearch search;

    // A find to its end reports every star, as the finder does on this thread.
    const std::uint64_t first = search.Start(f, settings, results.Sink());
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(results.WaitFor(1));
    search.Wait();
    EXPECT_FALSE(search.Running());
    EXPECT_EQ(std::tuple(results.got[0].id, results.got[0].outcome), std::tuple(first, StarSearchOutcome::Found));
    EXPECT_EQ(results.got[0].field.stars.size(), FindStars(f.width, f.height, f.pixels.data(), settings).stars.size());

    // While a find's report is still being taken it runs: a second is refused.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    const std::uint64_t held = search.Start(f, settings, [&, released](StarSearchResult r) {
        results.Sink()(std::move(r));
        released.wait();
    });
    ASSERT_NE(held, 0u);
    ASSERT_TRUE(results.WaitFor(2));
    EXPECT_TRUE(search.Running());
    EXPECT_EQ(search.Start(f, settings, results.Sink()), 0u);
    release.set_value();
    search.Wait();

    // Called off: Cancelled with no stars, and the next find starts at once,
    // while the one called off still winds down (its report is still being
    // taken), and runs to its end as if nothing had happened.
    std::promise<void> letGo;
    std::shared_future<void> wound = letGo.get_future().share();
    const std::uint64_t cancelled = search.Start(f, settings, [&, wound](StarSearchResult r) {
        results.Sink()(std::move(r));
        wound.wait();
    });
    search.Cancel();
    ASSERT_TRUE(results.WaitFor(3));
    EXPECT_EQ(std::tuple(results.got[2].id, results.got[2].outcome, results.got[2].field.stars.size()),
              std::tuple(cancelled, StarSearchOutcome::Cancelled, 0u));
    const std::uint64_t after = search.Start(f, settings, results.Sink());
    EXPECT_GT(after, cancelled);
    const bool found = results.WaitFor(4);
    // A frame with no pixels (no image yet) is an empty field, not a failure;
    // it too starts without waiting for the find called off.
    while (found && search.Running()) std::this_thread::yield();
    auto empty = std::async(std::launch::async, [&] { return search.Start(FrameCopy{}, settings, results.Sink()); });
    const bool atOnce = empty.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    letGo.set_value();
    EXPECT_TRUE(atOnce);
    EXPECT_NE(empty.get(), 0u);
    ASSERT_TRUE(found);
    // Read once the empty frame's report is in too: it is written meanwhile.
    ASSERT_TRUE(results.WaitFor(5));
    EXPECT_EQ(std::tuple(results.got[3].outcome, results.got[3].field.stars.size(), results.got[4].outcome,
                         results.got[4].field.stars.size()),
              std::tuple(StarSearchOutcome::Found, results.got[0].field.stars.size(), StarSearchOutcome::Found, 0u));
}

TEST(StarSearch, GoingAwayMidFindCallsItOffAndWaitsForItsThread) {
    Results results;
    {
        TStarSearch search;
        ASSERT_NE(search.Start(Crowded(), StarFinderSettings{}, results.Sink()), 0u);
    }
    // The report came before the search was gone (the sanitizer would see a
    // thread outliving it), and it says called off.
    ASSERT_EQ(results.got.size(), 1u);
    EXPECT_EQ(results.got[0].outcome, StarSearchOutcome::Cancelled);
}

}  // namespace
}  // namespace kv
