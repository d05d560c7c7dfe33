#include "camera/coarse_measure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace kv {
namespace {

// A star of one flux at every blur, faint per pixel once it is wide, on a
// noisy 960 x 720 sky with hot pixels each brighter than any of its own; a
// second star, as bright, stands elsewhere.
TEST(CoarseMeasure, ReadsTheFollowedStarFromSharpToATenthOfTheFrame) {
    constexpr int kW = 960, kH = 720;
    for (const double fwhm : {0.0, 3.0, 12.0, 40.0, 80.0, 120.0}) {
        SCOPED_TRACE(fwhm);
        std::vector<double> light(static_cast<std::size_t>(kW) * kH, 1000.0);
        const auto add = [&](double cx, double cy) {
            const double s = fwhm / 2.3548, flux = 250000.0, reach = 4 * s + 3;
            for (int y = std::max(0, int(cy - reach)); y < std::min(kH, int(cy + reach)); ++y)
                for (int x = std::max(0, int(cx - reach)); x < std::min(kW, int(cx + reach)); ++x) {
                    const auto band = [&](double p, double c) {
                        return 0.5 * (std::erf((p + 0.5 - c) / (s * std::sqrt(2.0))) -
                                      std::erf((p - 0.5 - c) / (s * std::sqrt(2.0))));
                    };
                    light[static_cast<std::size_t>(y) * kW + x] += flux * band(x, cx) * band(y, cy);
                }
        };
        if (fwhm > 0) {
            add(430.3, 350.6);
            add(fwhm < 40 ? 150.0 : 820.0, 600.0);
        }
        std::mt19937 rng(11);
        std::normal_distribution<double> unit(0.0, 1.0);
        std::vector<std::uint16_t> pixels(light.size());
        for (std::size_t i = 0; i < light.size(); ++i)
            pixels[i] = static_cast<std::uint16_t>(std::clamp(std::lround(light[i] + 10 * unit(rng)), 0L, 65535L));
        for (int i = 0; i < 40; ++i) pixels[rng() % pixels.size()] = 65535;
        const std::optional<CoarseStar> star = MeasureCoarseStar(kW, kH, pixels.data(), CoarseFollow{420, 340, 100});
        if (fwhm == 0) {
            EXPECT_FALSE(star.has_value());
            continue;
        }
        ASSERT_TRUE(star.has_value());
        // Followed where no star stands, the image shows none.
        EXPECT_FALSE(MeasureCoarseStar(kW, kH, pixels.data(), CoarseFollow{420, 100, 50}).has_value());
        EXPECT_NEAR(star->hfd, fwhm, 0.15 * fwhm);
        EXPECT_LT(std::hypot(star->x - 430.3, star->y - 350.6), 2.0 + fwhm / 20);
    }
}

// A star blurred far past the image lies in faint terraces of whole counts
// (as a device simulator draws it); their tops look like smaller stars. Here
// such a lump, 45 px wide, sits near the top of a hump 520 px wide; alone on
// the sky, or on a sky that brightens across the image, it is a star.
TEST(CoarseMeasure, SeesNoStarInALumpOfLightSpreadPastTheImage) {
    constexpr int kW = 640, kH = 512;
    const auto gauss = [](double x, double y, double cx, double cy, double fwhm) {
        return std::exp(-4.0 * std::log(2.0) * ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (fwhm * fwhm));
    };
    struct Case {
        double hump, gradient;  // counts: the hump's peak, the sky's rise across the image
        bool star;
    };
    for (const Case c : {Case{0.0, 0.0, true}, Case{10.0, 0.0, false}, Case{0.0, 4.0, true}}) {
        SCOPED_TRACE(c.hump);
        SCOPED_TRACE(c.gradient);
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> noise(0.0, 10.0);
        std::vector<std::uint16_t> pixels(static_cast<std::size_t>(kW) * kH);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                pixels[static_cast<std::size_t>(y) * kW + x] = static_cast<std::uint16_t>(
                    std::floor(noise(rng) + c.gradient * x / kW + c.hump * gauss(x, y, 345.3, 322.6, 520.0) +
                               4.0 * gauss(x, y, 275.3, 322.6, 45.0)));
        const std::optional<CoarseStar> star = MeasureCoarseStar(kW, kH, pixels.data(), CoarseFollow{275, 322, 64});
        ASSERT_EQ(star.has_value(), c.star);
        if (c.star) {
            EXPECT_NEAR(star->hfd, 45.0, 15.0);
        }
    }
}

}  // namespace
}  // namespace kv
