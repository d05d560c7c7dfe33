// The simulated camera plug-in, judged by the properties of the images it renders.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "camera/plugin_host.h"
#include "plugins/sim_camera/sim_camera.h"
#include "sim/observatory.h"
#include "support/recording_dialogs.h"

namespace kv {
namespace {

constexpr int kStarX = 382;  // the bright star, main-image pixels at binning 1
constexpr int kStarY = 255;
constexpr double kBackground = 100.0 + 300.0;  // bias + one second of sky

struct Moments {
    double flux = 0.0;  // above the background
    double cx = 0.0, cy = 0.0;
    double sigma = 0.0;  // radial second moment
};

// Moments of what lies above `background` within `half` pixels of the
// frame's centre (neighbouring stars stay outside).
Moments Measure(TImageObject& image, double background, int half = 30) {
    const int x0 = std::max(0, image.Width() / 2 - half), x1 = std::min(image.Width() - 1, image.Width() / 2 + half);
    const int y0 = std::max(0, image.Height() / 2 - half), y1 = std::min(image.Height() - 1, image.Height() / 2 + half);
    const auto each = [&](auto f) {
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) f(x, y, image.Pixel(x, y) - background);
        }
    };
    Moments m;
    double sx = 0, sy = 0, s2 = 0;
    each([&](int x, int y, double a) { m.flux += a, sx += a * x, sy += a * y; });
    m.cx = sx / m.flux;
    m.cy = sy / m.flux;
    each([&](int x, int y, double a) { s2 += a * ((x - m.cx) * (x - m.cx) + (y - m.cy) * (y - m.cy)); });
    m.sigma = std::sqrt(s2 / m.flux / 2.0);
    return m;
}

class SimCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvsim::Observatory::Instance().StartNight({.temperatureRateCPerHour = 0.0});  // best focus stays put
        ASSERT_TRUE(camera_.Initialize("sim_camera.so"));
        library_ = dlopen((std::string(KV_BIN_DIR) + "/sim_camera.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(library_, nullptr);
        getConfig_ = reinterpret_cast<KVSimCameraGetConfigProc>(dlsym(library_, "KVSimCamera_GetConfig"));
        setConfig_ = reinterpret_cast<KVSimCameraSetConfigProc>(dlsym(library_, "KVSimCamera_SetConfig"));
        ASSERT_TRUE(getConfig_ != nullptr && setConfig_ != nullptr);
        getConfig_(&original_);
        // Noise-free and steady seeing, so properties can be checked exactly.
        Configure([](KVSimCameraConfig& c) { c.Noise = 0; });
        SetDefocus(0);
    }
    void TearDown() override {
        if (setConfig_ != nullptr) setConfig_(&original_);
        if (library_ != nullptr) dlclose(library_);
    }

    template <typename Change>
    void Configure(Change change) {
        KVSimCameraConfig c{};
        getConfig_(&c);
        change(c);
        setConfig_(&c);
    }
    static void SetDefocus(std::int64_t steps) {
        auto& sky = kvsim::Observatory::Instance();
        sky.SetTruePosition(std::llround(sky.BestFocus()) + steps);
    }
    TImageObject& Focus(double exposure, double gain = 1.0, int x = kStarX, int y = kStarY) {
        camera_.FocusImage()->SetExposureTime(exposure);
        EXPECT_TRUE(camera_.SetUpExpose() && camera_.GetFocusObject(x, y, gain));
        return *camera_.FocusImage();
    }

    test::RecordingDialogs dialogs_;
    CameraPlugin camera_{dialogs_, KV_BIN_DIR};
    void* library_ = nullptr;
    KVSimCameraGetConfigProc getConfig_ = nullptr;
    KVSimCameraSetConfigProc setConfig_ = nullptr;
    KVSimCameraConfig original_{};
};

TEST_F(SimCameraTest, DescribesItselfAndPutsTheBrightStarWhereItSays) {
    EXPECT_EQ(std::pair(camera_.Info().HorizRes, camera_.Info().VertRes), std::pair(765, 510));
    TImageObject& main = *camera_.MainImage();
    main.SetExposureTime(1.0);
    ASSERT_TRUE(camera_.GetImageObject());
    EXPECT_EQ(std::pair(main.MaxX(), main.MaxY()), std::pair(kStarX, kStarY));
    // The focus frame is cut around the selected star: it sits in the middle.
    TImageObject& focus = Focus(1.0);
    const Moments m = Measure(focus, kBackground);
    EXPECT_NEAR(m.cx, focus.Width() / 2, 0.6);
    EXPECT_NEAR(m.cy, focus.Height() / 2, 0.6);
}

TEST_F(SimCameraTest, StarGrowsOnBothSidesOfBestFocus) {
    std::vector<double> sigma;
    for (std::int64_t steps : {-600, -300, 0, 300, 600}) {
        SetDefocus(steps);
        sigma.push_back(Measure(Focus(1.0), kBackground).sigma);
    }
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_LT(sigma[i + 1], sigma[i]);
        EXPECT_LT(sigma[3 - i], sigma[4 - i]);
    }
    // V-shaped: the same distance on either side gives the same star.
    EXPECT_NEAR(sigma[1], sigma[3], 0.02 * sigma[3]);
    EXPECT_NEAR(sigma[0], sigma[4], 0.02 * sigma[4]);
}

// The star's FWHM (from its second moment, less the pixel's own width) against
// the distance from best focus, for both curves: 2.5 px seeing, 0.02 px a step.
TEST_F(SimCameraTest, TheCurveChosenSetsHowTheStarGrows) {
    const struct { int curve; std::int64_t steps; double fwhm; } cases[] = {
        {KV_SIM_CURVE_V, 0, 2.5},         {KV_SIM_CURVE_V, 150, 5.5},         {KV_SIM_CURVE_V, -500, 12.5},
        {KV_SIM_CURVE_HYPERBOLA, 0, 2.5}, {KV_SIM_CURVE_HYPERBOLA, 150, 3.905}, {KV_SIM_CURVE_HYPERBOLA, -500, 10.308},
    };
    for (const auto& c : cases) {
        Configure([&](KVSimCameraConfig& k) { k.Curve = c.curve; });
        SetDefocus(c.steps);
        const double sigma = Measure(Focus(1.0), kBackground).sigma;
        EXPECT_NEAR(2.0 * std::sqrt(2.0 * std::log(2.0)) * std::sqrt(sigma * sigma - 1.0 / 12.0), c.fwhm, 0.03 * c.fwhm)
            << "curve " << c.curve << " at " << c.steps;
    }
}

TEST_F(SimCameraTest, ProfileIsSymmetricAndFallsOffMonotonically) {
    SetDefocus(200);
    TImageObject& focus = Focus(1.0);
    const int c = focus.Width() / 2;
    const int r = focus.Height() / 2;
    for (int d = 1; d < 20; ++d) {
        EXPECT_TRUE(std::abs(focus.Pixel(c + d, r) - focus.Pixel(c - d, r)) <= 1 &&
                    std::abs(focus.Pixel(c, r + d) - focus.Pixel(c, r - d)) <= 1) << d;
        EXPECT_TRUE(focus.Pixel(c + d, r) <= focus.Pixel(c + d - 1, r) && focus.Pixel(c, r + d) <= focus.Pixel(c, r + d - 1)) << d;
    }
    EXPECT_GT(focus.Pixel(c, r), focus.Pixel(c + 5, r));

    // A bright star clamps to a flat top, without wrapping around.
    SetDefocus(0);
    Focus(20.0);
    EXPECT_EQ(focus.Pixel(c, r), 65535);
    for (int d = 1; d < 15; ++d) EXPECT_LE(focus.Pixel(c + d, r), focus.Pixel(c + d - 1, r)) << d;
}

TEST_F(SimCameraTest, FluxScalesWithExposureAndGain) {
    SetDefocus(400);  // spread out, far from saturation
    const double one = Measure(Focus(1.0), kBackground).flux;
    const double two = Measure(Focus(2.0), 100.0 + 600.0).flux;
    EXPECT_NEAR(two / one, 2.0, 0.02);

    TImageObject& plain = Focus(1.0, 1.0);
    const std::vector<std::uint16_t> before(plain.Pixels(), plain.Pixels() + plain.NumPixels());
    TImageObject& doubled = Focus(1.0, 2.0);
    for (int i = 0; i < doubled.NumPixels(); i += 37) {
        ASSERT_NEAR(doubled.Pixels()[i], 2.0 * before[static_cast<std::size_t>(i)], 1.0) << i;
    }
}

TEST_F(SimCameraTest, BinningSumsPixelsAndShrinksTheFrame) {
    SetDefocus(300);
    const Moments unbinned = Measure(Focus(1.0), kBackground);
    camera_.Uninitialize();
    Configure([](KVSimCameraConfig& c) { c.Binning = 2; });
    ASSERT_TRUE(camera_.Initialize("sim_camera.so"));
    const CameraInfo info = camera_.Info();
    EXPECT_EQ(std::tuple(info.HorizRes, info.FocusBinning, info.HorizPixel), std::tuple(382, 2, 18.0));
    // Four pixels of sky in each binned pixel; the star keeps its flux in half the pixels across.
    const Moments binned = Measure(Focus(1.0, 1.0, kStarX / 2, kStarY / 2), 100.0 + 4 * 300.0, 15);
    EXPECT_NEAR(binned.flux, unbinned.flux, 0.01 * unbinned.flux);
    EXPECT_NEAR(binned.sigma, unbinned.sigma / 2.0, 0.05 * unbinned.sigma);
}

TEST_F(SimCameraTest, NoiseAndSeeingChangeFromFrameToFrame) {
    Configure([](KVSimCameraConfig& c) { c.Noise = 1, c.Seed = 1234; });
    TImageObject& focus = Focus(1.0);
    const std::vector<std::uint16_t> first(focus.Pixels(), focus.Pixels() + focus.NumPixels());
    Focus(1.0);
    int differing = 0;
    for (int i = 0; i < focus.NumPixels(); ++i) differing += focus.Pixels()[i] != first[static_cast<std::size_t>(i)];
    EXPECT_GT(differing, focus.NumPixels() / 2);
}

}  // namespace
}  // namespace kv
