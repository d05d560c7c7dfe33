#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "camera/image_object.h"

namespace kv {
namespace {

TEST(ImageObjectStatistics, AutomaticLevelsRoundHalvesToEven) {
    // An all-zero interior keeps the reset values: black round(65535 * 1.05)
    // is used as it is, clamped only inside the stretch. Otherwise min 10 ->
    // 10.5 -> 10, max 10 -> 9.5 -> 10; min 30 -> 31.5 -> 32, max 30 -> 28.5 -> 28.
    for (auto [value, min, black, white] : {std::tuple{0, 65535, 68812, 65535}, {10, 10, 10, 10}, {30, 30, 32, 28}}) {
        TImageObject image(3, 3);
        image.SetStretchOn(true);
        image.SetPixel(1, 1, static_cast<std::uint16_t>(value));
        EXPECT_EQ(image.AutoBlack(), 0);  // levels are those of the last Update, and none ran yet
        EXPECT_EQ(std::tuple(image.Min(), image.Max()), std::tuple(min, value));
        EXPECT_EQ(std::pair(image.AutoBlack(), image.AutoWhite()), std::pair(black, white));
        if (value == 0) {
            EXPECT_EQ(*std::max_element(image.StretchedPixels().begin(), image.StretchedPixels().end()), 0);
        }
    }
}

TEST(ImageObjectStretch, TableEdgesForLevelOrderAndRange) {
    struct Case {
        int black, white;
        double gamma;
        std::vector<std::pair<std::size_t, int>> points;
    };
    const Case cases[] = {
        {1000, 3000, 1.0, {{0, 0}, {1000, 0}, {2000, 32768 /* 32767.5 to even */}, {3000, 65535}, {3001, 65535}}},
        // White below black is a threshold; equal levels map the level itself to black.
        {5000, 2000, 1.0, {{2000, 0}, {2001, 65535}, {4999, 65535}, {65535, 65535}}},
        {3000, 3000, 1.0, {{3000, 0}, {3001, 65535}}},
        // Out-of-range levels are clamped and a meaningless gamma falls back to 1.
        {-50, 70000, -2.0, {{0, 0}, {32768, 32768}, {65535, 65535}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.black << ".." << c.white << " gamma " << c.gamma);
        const auto table = TImageObject::BuildStretchTable(c.black, c.white, c.gamma);
        for (auto [at, want] : c.points) EXPECT_EQ(table[at], want) << at;
    }
    // Gamma 0.5 darkens the mid-tones (r squared), 2.0 brightens them (square root).
    const auto dark = TImageObject::BuildStretchTable(0, 40000, 0.5);
    const auto bright = TImageObject::BuildStretchTable(0, 40000, 2.0);
    for (int v : {4000, 10000, 20000, 30000}) {
        const double r = v / 40000.0;
        EXPECT_EQ(dark[static_cast<std::size_t>(v)], std::nearbyint(65535.0 * r * r)) << v;
        EXPECT_EQ(bright[static_cast<std::size_t>(v)], std::nearbyint(65535.0 * std::sqrt(r))) << v;
    }
    EXPECT_TRUE(std::is_sorted(dark.begin(), dark.end()) && std::is_sorted(bright.begin(), bright.end()));
}

// Every derived value of one update, computed pixel by pixel in the plainest
// way. The statistics cover rows 1..h-2 and columns 1..w-1; ties keep the first
// pixel; 0 is no candidate for the minimum; the average is over all pixels.
void ExpectUpdateMatchesPlainComputation(TImageObject& image) {
    const int w = image.Width(), h = image.Height();
    const std::uint16_t* p = image.Pixels();
    int max = 0, min = 65535, maxX = 0, maxY = 0, minX = 0, minY = 0;
    std::int64_t sum = 0;
    for (int y = 1; y <= h - 2; ++y) {
        for (int x = 1; x <= w - 1; ++x) {
            const int v = p[y * w + x];
            sum += v;
            if (v > max) std::tie(max, maxX, maxY) = std::tuple(v, x, y);
            if (v < min && v > 0) std::tie(min, minX, minY) = std::tuple(v, x, y);
        }
    }
    image.Update();
    EXPECT_EQ(std::tuple(image.Max(), image.MaxX(), image.MaxY()), std::tuple(max, maxX, maxY));
    EXPECT_EQ(std::tuple(image.Min(), image.MinX(), image.MinY()), std::tuple(min, minX, minY));
    EXPECT_EQ(image.Avg(), static_cast<double>(sum) / (w * h));
    std::vector<std::uint16_t> table(65536);
    std::iota(table.begin(), table.end(), 0);
    if (image.StretchOn()) {
        table = TImageObject::BuildStretchTable(image.Black() != -1 ? image.Black() : image.AutoBlack(),
                                                image.White() != -1 ? image.White() : image.AutoWhite(), image.Gamma());
    }
    const std::size_t n = static_cast<std::size_t>(w * h);
    for (std::size_t i = 0; i < n; ++i) {
        // The grey value is the stretched value's high byte, three times.
        const std::uint16_t stretched = table[p[i]];
        ASSERT_EQ(image.StretchedPixels()[i], stretched) << i;
        for (int k = 0; k < 3; ++k) ASSERT_EQ(image.GreyPixels()[3 * i + k], stretched >> 8) << i;
        // Display position i shows grey pixel i + 1 (the last one itself), as does the zoom at 1.
        const std::size_t from = 3 * std::min(i + 1, n - 1);
        const auto* shown = image.DisplayBitmap().Row(static_cast<int>(i) / w) + 3 * (i % w);
        ASSERT_EQ(std::memcmp(shown, &image.GreyPixels()[from], 3), 0) << i;
        if (image.Magnification() == 1.0) {
            ASSERT_EQ(std::memcmp(image.ZoomBitmap().Row(static_cast<int>(i) / w) + 3 * (i % w), shown, 3), 0) << i;
        }
    }
}

TEST(ImageObjectUpdate, MatchesThePlainComputationOnVariedFrames) {
    struct Case {
        int width, height;
        bool stretch;
        int black, white;
        double gamma, magnification;
    };
    const Case cases[] = {
        {1, 1, false, -1, -1, 1, 1},       {1, 5, true, -1, -1, 1, 1},       {2, 2, true, -1, -1, 0.7, 1},
        {7, 3, false, -1, -1, 1, 2},       {17, 9, true, -1, -1, 2.2, 1},    {33, 5, true, 100, 60000, 0.5, 1},
        {100, 31, true, 9000, 3000, 1, 1}, {64, 48, true, 500, 500, 1, 1.5}, {1000, 3, false, -1, -1, 1, 1},
        // Rows longer than the sums' batches, all at the largest value.
        {270001, 3, false, -1, -1, 1, 1},
    };
    std::mt19937 rng(11);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " stretch " << c.stretch);
        TImageObject image(c.width, c.height);
        std::uniform_int_distribution<int> value(0, 65535), pick(0, 9);
        for (int i = 0; i < image.NumPixels(); ++i) {
            const int k = pick(rng);
            image.Pixels()[i] = static_cast<std::uint16_t>(k == 0 || c.width > 100000 ? 65535 : k == 1 ? 0 : value(rng));
        }
        image.SetStretchOn(c.stretch);
        image.SetBlack(c.black);
        image.SetWhite(c.white);
        image.SetGamma(c.gamma);
        image.SetMagnification(c.magnification);
        ExpectUpdateMatchesPlainComputation(image);
        // Again with a narrow range of values, as a sky is.
        for (int i = 0; i < image.NumPixels(); ++i) image.Pixels()[i] = static_cast<std::uint16_t>(900 + pick(rng) * 37);
        ExpectUpdateMatchesPlainComputation(image);
    }
}

TEST(ImageObjectRendering, ZoomShowsTheCentreAtTheMagnifiedSize) {
    TImageObject image(8, 8);
    for (int i = 0; i < 64; ++i) image.Pixels()[i] = static_cast<std::uint16_t>(i << 8);
    // Magnification 2 shows the central half (2..5) at half size; the same bitmap object throughout.
    const TBitmap24& zoom = image.ZoomBitmap();
    image.SetMagnification(2.0);
    image.Update();
    ASSERT_EQ(std::pair(zoom.Width(), zoom.Height()), std::pair(4, 4));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) ASSERT_EQ(zoom.GreyAt(x, y), image.DisplayBitmap().GreyAt(x + 2, y + 2)) << x << "," << y;
    }
    image.SetMagnification(1.0);
    image.Update();
    EXPECT_EQ(std::pair(zoom.Width(), zoom.GreyAt(7, 7)), std::pair(8, image.DisplayBitmap().GreyAt(7, 7)));
    // Magnification 3 on a 90 x 60 frame: a third-size bitmap.
    TImageObject wide(90, 60);
    wide.SetMagnification(3.0);
    wide.Update();
    EXPECT_EQ(std::pair(wide.ZoomBitmap().Width(), wide.ZoomBitmap().Height()), std::pair(30, 20));
    // Nonsense magnifications and tiny frames neither crash nor read outside.
    TImageObject tiny(1, 1);
    for (double m : {0.0, -3.0, 0.5, 50.0, std::nan(""), 1.4}) tiny.Zoom(m);
    EXPECT_EQ(tiny.ZoomBitmap().Width(), 1);
}

TEST(ImageObjectUpdate, DerivedDataAreRecomputedAfterAChange) {
    TImageObject image(4, 4);
    image.SetPixel(1, 1, 700);
    EXPECT_EQ(image.Max(), 700);
    EXPECT_TRUE(image.IsUpdated());
    image.SetGamma(0.5);
    EXPECT_FALSE(image.IsUpdated());
    image.Clear();
    EXPECT_EQ(image.Max(), 0);
}

TEST(ImageObjectUpdate, PutImageShowsDisplayOrStretchedZoom) {
    struct Recorder final : IPictureTarget {
        int stretchCalls = 0, width = -1, height = -1;
        void SetStretch(bool s) override { stretchCalls += s ? 1 : 100; }
        void ShowBitmap(const TBitmap24& bitmap) override { std::tie(width, height) = std::pair(bitmap.Width(), bitmap.Height()); }
    } target;
    TImageObject image(40, 20);
    image.PutImage(target);
    EXPECT_TRUE(image.IsUpdated());
    EXPECT_EQ(std::tuple(target.width, target.stretchCalls), std::tuple(40, 0));  // the target's own setting is left alone
    image.SetMagnification(2.0);
    {
        // The owner may hold the lock around PutImage; it is re-entrant.
        std::lock_guard lock(image.Lock());
        image.PutImage(target);
    }
    EXPECT_EQ(std::tuple(target.width, target.height, target.stretchCalls), std::tuple(20, 10, 1));
}

TEST(ImageObjectInterface, AttachedObjectIsReadWrittenAndLoaded) {
    TImageObject image(3, 2);
    image.SetExposureTime(2.5);
    TKVImageObject adapter;
    KVImageObject* i = adapter.Interface();
    ASSERT_EQ(i->SetImageObject(i, image.Handle()), KV_S_OK);
    EXPECT_TRUE(adapter.Attached());
    std::int32_t w = 0, h = 0, flag = 0;
    double seconds = 0.0;
    ASSERT_EQ(i->GetHorizWords(i, &w) | i->GetVertWords(i, &h) | i->GetExposureTime(i, &seconds), KV_S_OK);
    EXPECT_EQ(std::tuple(w, h, seconds), std::tuple(3, 2, 2.5));
    EXPECT_EQ(i->SetExposureTime(i, 4.0), KV_S_OK);
    EXPECT_EQ(image.ExposureTime(), 4.0);
    // Any non-zero value sets the flag; it reads back with all bits set.
    EXPECT_EQ(i->SetIsUpdated(i, 5), KV_S_OK);
    EXPECT_EQ(i->GetIsUpdated(i, &flag), KV_S_OK);
    EXPECT_EQ(flag, KV_VARIANT_TRUE);
    // LoadArray copies NumPixels 16-bit pixels and clears IsUpdated.
    const std::uint16_t pixels[6] = {1, 2, 3, 40000, 5, 6};
    EXPECT_EQ(i->LoadArray(i, image.Handle(), pixels), KV_S_OK);
    EXPECT_FALSE(image.IsUpdated());
    EXPECT_EQ(std::pair(image.Pixel(0, 1), image.Pixel(2, 1)), std::pair(std::uint16_t{40000}, std::uint16_t{6}));
    EXPECT_EQ(i->LoadArray(i, image.Handle(), nullptr), KV_E_POINTER);
}

TEST(ImageObjectInterface, UnknownFreedAndDetachedHandles) {
    TKVImageObject adapter;
    KVImageObject* i = adapter.Interface();
    std::uint16_t pixels[4] = {};
    int notAnImage = 0;
    KVImageHandle bogus = reinterpret_cast<KVImageHandle>(&notAnImage);
    EXPECT_EQ(i->SetImageObject(i, bogus), KV_E_HANDLE);
    EXPECT_EQ(i->LoadArray(i, bogus, pixels), KV_E_HANDLE);

    auto image = std::make_unique<TImageObject>(2, 2);
    const KVImageHandle handle = image->Handle();
    ASSERT_EQ(i->SetImageObject(i, handle), KV_S_OK);
    image.reset();
    std::int32_t w = 5;
    EXPECT_EQ(i->GetHorizWords(i, &w), KV_E_HANDLE);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(i->LoadArray(i, handle, pixels), KV_E_HANDLE);

    // Nothing attached: reads give zero, puts are ignored, null out parameters are refused.
    EXPECT_EQ(i->SetImageObject(i, nullptr), KV_S_OK);
    EXPECT_FALSE(adapter.Attached());
    for (auto get : {i->GetIsUpdated, i->GetHorizWords, i->GetVertWords}) {
        std::int32_t value = 77;
        EXPECT_EQ(get(i, &value), KV_S_OK);
        EXPECT_EQ(value, 0);  // KV_VARIANT_FALSE for the flag
    }
    double seconds = 9.0;
    EXPECT_EQ(i->SetExposureTime(i, 3.0) | i->GetExposureTime(i, &seconds), KV_S_OK);
    EXPECT_EQ(seconds, 0.0);
    EXPECT_EQ(i->GetHorizWords(i, nullptr), KV_E_POINTER);
}

}  // namespace
}  // namespace kv
