// The image object and the display rules around it, and the plug-in host that
// loads cameras and fills image objects (test plug-ins and the simulated camera).
#include <dlfcn.h>
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <numeric>
#include <random>

#include "camera/camera_control.h"
#include "camera/display_rules.h"
#include "camera/field_figure.h"
#include "camera/fits_writer.h"
#include "camera/image_object.h"
#include "camera/plugin_host.h"
#include "focusing/focus_frames.h"
#include "plugins/sim_camera/sim_camera.h"
#include "shell/log_channel.h"
#include "sim/observatory.h"
#include "support/recording_dialogs.h"
#include "support/comma_locale.h"
#include "support/temp_files.h"

namespace kv {
namespace {

TEST(ImageObjectStretch, AutomaticLevelsRoundHalvesToEvenAndTableEdgesForLevelOrderAndRange) {
    // An all-zero interior keeps the reset values: black round(65535 * 1.05)
    // is used as it is, clamped only inside the stretch. Otherwise min 10 ->
    // 10.5 -> 10, max 10 -> 9.5 -> 10; min 30 -> 31.5 -> 32, max 30 -> 28.5 -> 28.
    for (auto [value, min, black, white] : {std::tuple{0, 65535, 68812, 65535}, {10, 10, 10, 10}, {30, 30, 32, 28}}) {
        TImageObject image(3, 3);
        image.SetStretchOn(true);
        image.SetPixel(1, 1, static_cast<std::uint16_t>(value));
        EXPECT_EQ(image.AutoBlack(), 0);  // levels are those of the last Update, and none ran yet
        EXPECT_EQ(std::tuple(image.Min(), image.Max()), std::tuple(min, value));
        EXPECT_EQ(std::tuple(image.AutoBlack(), image.AutoWhite()), std::tuple(black, white));
        EXPECT_TRUE(value != 0 || std::ranges::max(image.StretchedPixels()) == 0);
    }

    const struct { int black, white; double gamma; std::vector<std::pair<std::size_t, int>> points; } cases[] = {
        {1000, 3000, 1.0, {{0, 0}, {1000, 0}, {2000, 32768 /* 32767.5 to even */}, {3000, 65535}, {3001, 65535}}},
        // White below black is a threshold; equal levels map the level itself to black.
        {5000, 2000, 1.0, {{2000, 0}, {2001, 65535}, {4999, 65535}, {65535, 65535}}},
        {3000, 3000, 1.0, {{3000, 0}, {3001, 65535}}},
        // Out-of-range levels are clamped and a meaningless gamma falls back to 1.
        {-50, 70000, -2.0, {{0, 0}, {32768, 32768}, {65535, 65535}}},
        // Gamma 0.5 darkens the mid-tones (r squared), 2.0 brightens them (square root).
        {0, 40000, 0.5, {{4000, 655}, {10000, 4096}, {20000, 16384}, {30000, 36863}}},
        {0, 40000, 2.0, {{4000, 20724}, {10000, 32768 /* 32767.5 to even */}, {20000, 46340}, {30000, 56755}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.black << ".." << c.white << " gamma " << c.gamma);
        const auto table = TImageObject::BuildStretchTable(c.black, c.white, c.gamma);
        for (auto [at, want] : c.points) EXPECT_EQ(table[at], want) << at;
    }
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
    // The zoom shows the frame at 1 / magnification of its size, halves to even.
    EXPECT_EQ(std::pair(image.ZoomBitmap().Width(), image.ZoomBitmap().Height()),
              std::pair(int(std::nearbyint(w / image.Magnification())), int(std::nearbyint(h / image.Magnification()))));
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
    const struct { int width, height; bool stretch; int black, white; double gamma, magnification; } cases[] = {
        {1, 1, false, -1, -1, 1, 1}, {1, 5, true, -1, -1, 1, 1}, {2, 2, true, -1, -1, 0.7, 1}, {90, 60, false, -1, -1, 1, 3},
        {7, 3, false, -1, -1, 1, 2},       {17, 9, true, -1, -1, 2.2, 1},    {33, 5, true, 100, 60000, 0.5, 1},
        {100, 31, true, 9000, 3000, 1, 1}, {64, 48, true, 500, 500, 1, 1.5}, {1000, 3, false, -1, -1, 1, 1},
        // Rows longer than the sums' batches, all at the largest value.
        {270001, 3, false, -1, -1, 1, 1},
    };
    std::mt19937 rng(11);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " stretch " << c.stretch);
        TImageObject image(c.width, c.height);
        std::uniform_int_distribution<int> value(0, 65535), pick(0, 9);
        for (int i = 0; i < image.NumPixels(); ++i) {
            const int k = pick(rng);
            image.Pixels()[i] = static_cast<std::uint16_t>(k == 0 || c.width > 100000 ? 65535 : k == 1 ? 0 : value(rng));
        }
        image.SetStretchOn(c.stretch), image.SetBlack(c.black), image.SetWhite(c.white);
        image.SetGamma(c.gamma), image.SetMagnification(c.magnification);
        ExpectUpdateMatchesPlainComputation(image);
        // Again with a narrow range of values, as a sky is.
        for (int i = 0; i < image.NumPixels(); ++i) image.Pixels()[i] = static_cast<std::uint16_t>(900 + pick(rng) * 37);
        ExpectUpdateMatchesPlainComputation(image);
    }
}

TEST(ImageObjectRendering, ZoomShowsTheCentreDerivedDataFollowChangesAndPutImageShowsDisplayOrZoom) {
    TImageObject image(8, 8);
    for (int i = 0; i < 64; ++i) image.Pixels()[i] = static_cast<std::uint16_t>(i << 8);
    // Magnification 2 shows the central half (2..5) at half size; the same bitmap object throughout.
    const TBitmap24& zoom = image.ZoomBitmap();
    image.SetMagnification(2.0);
    image.Update();
    ASSERT_EQ(std::tuple(zoom.Width(), zoom.Height()), std::tuple(4, 4));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) ASSERT_EQ(zoom.GreyAt(x, y), image.DisplayBitmap().GreyAt(x + 2, y + 2)) << x << "," << y;
    }
    image.SetMagnification(1.0);
    image.Update();
    EXPECT_EQ(std::tuple(zoom.Width(), zoom.GreyAt(7, 7)), std::tuple(8, image.DisplayBitmap().GreyAt(7, 7)));
    // Nonsense magnifications and tiny frames neither crash nor read outside.
    TImageObject tiny(1, 1);
    for (double m : {0.0, -3.0, 0.5, 50.0, std::nan(""), 1.4}) tiny.Zoom(m);
    EXPECT_EQ(tiny.ZoomBitmap().Width(), 1);

    // Derived data are recomputed after a change; PutImage shows the display or the stretched zoom.
    TImageObject changed(4, 4);
    changed.SetPixel(1, 1, 700);
    EXPECT_TRUE(changed.Max() == 700 && changed.IsUpdated());
    changed.SetGamma(0.5);
    EXPECT_FALSE(changed.IsUpdated());
    changed.Clear();
    EXPECT_EQ(changed.Max(), 0);

    struct Recorder final : IPictureTarget {
        int stretchCalls = 0, width = -1, height = -1;
        void SetStretch(bool s) override { stretchCalls += s ? 1 : 100; }
        void ShowBitmap(const TBitmap24& bitmap) override { std::tie(width, height) = std::pair(bitmap.Width(), bitmap.Height()); }
    } target;
    TImageObject put(40, 20);
    put.PutImage(target);
    // The target's own stretch setting is left alone.
    EXPECT_EQ(std::tuple(put.IsUpdated(), target.width, target.stretchCalls), std::tuple(true, 40, 0));
    put.SetMagnification(2.0);
    {
        // The owner may hold the lock around PutImage; it is re-entrant.
        std::lock_guard lock(put.Lock());
        put.PutImage(target);
    }
    EXPECT_EQ(std::tuple(target.width, target.height, target.stretchCalls), std::tuple(20, 10, 1));
}

TEST(ImageObjectInterface, AttachedObjectIsReadWrittenAndLoadedAndUnknownFreedOrDetachedHandlesAreSafe) {
    TImageObject image(3, 2);
    image.SetExposureTime(2.5);
    TKVImageObject adapter;
    KVImageObject* i = adapter.Interface();
    ASSERT_EQ(i->SetImageObject(i, image.Handle()), KV_S_OK);
    std::int32_t w = 0, h = 0, flag = 0;
    double seconds = 0.0;
    ASSERT_EQ(i->GetHorizWords(i, &w) | i->GetVertWords(i, &h) | i->GetExposureTime(i, &seconds), KV_S_OK);
    EXPECT_EQ(std::tuple(w, h, seconds), std::tuple(3, 2, 2.5));
    EXPECT_TRUE(i->SetExposureTime(i, 4.0) == KV_S_OK && image.ExposureTime() == 4.0);
    // Any non-zero value sets the flag; it reads back with all bits set.
    ASSERT_EQ(i->SetIsUpdated(i, 5) | i->GetIsUpdated(i, &flag), KV_S_OK);
    EXPECT_EQ(flag, KV_VARIANT_TRUE);
    // LoadArray copies NumPixels 16-bit pixels and clears IsUpdated.
    const std::uint16_t pixels[6] = {1, 2, 3, 40000, 5, 6};
    EXPECT_TRUE(i->LoadArray(i, image.Handle(), pixels) == KV_S_OK && !image.IsUpdated());
    EXPECT_EQ(std::tuple(image.Pixel(0, 1), image.Pixel(2, 1)), std::tuple(std::uint16_t{40000}, std::uint16_t{6}));
    EXPECT_EQ(i->LoadArray(i, image.Handle(), nullptr), KV_E_POINTER);

    std::uint16_t four[4] = {};
    int notAnImage = 0;
    KVImageHandle bogus = reinterpret_cast<KVImageHandle>(&notAnImage);
    EXPECT_EQ(std::tuple(i->SetImageObject(i, bogus), i->LoadArray(i, bogus, four)), std::tuple(KV_E_HANDLE, KV_E_HANDLE));

    auto freed = std::make_unique<TImageObject>(2, 2);
    const KVImageHandle handle = freed->Handle();
    ASSERT_EQ(i->SetImageObject(i, handle), KV_S_OK);
    freed.reset();
    w = 5;
    EXPECT_EQ(std::tuple(i->GetHorizWords(i, &w), i->LoadArray(i, handle, four)), std::tuple(KV_E_HANDLE, KV_E_HANDLE));
    EXPECT_EQ(w, 0);

    // Nothing attached: reads give zero, puts are ignored, null out parameters are refused.
    EXPECT_EQ(i->SetImageObject(i, nullptr), KV_S_OK);
    EXPECT_FALSE(adapter.Attached());
    for (auto get : {i->GetIsUpdated, i->GetHorizWords, i->GetVertWords}) {
        std::int32_t value = 77;
        EXPECT_EQ(get(i, &value), KV_S_OK);
        EXPECT_EQ(value, 0);  // KV_VARIANT_FALSE for the flag
    }
    seconds = 9.0;
    EXPECT_EQ(i->SetExposureTime(i, 3.0) | i->GetExposureTime(i, &seconds), KV_S_OK);
    EXPECT_EQ(seconds, 0.0);
    EXPECT_EQ(i->GetHorizWords(i, nullptr), KV_E_POINTER);
}

TEST(DisplayRules, UsableAreaEdgeBandAndRoiRectanglesThatTruncate) {
    // 64-pixel frame, binning 1: margin 32, so a click 3 px from the left is refused; bounds are strict.
    const Margins m = UsableMargins(64, 48, 1, 1);
    EXPECT_EQ(std::tuple(m.mx, m.my), std::tuple(32, 24));
    for (auto [x, y, usable] : {std::tuple{3, 100, false}, {32, 100, false}, {33, 455, true}, {608, 100, false},
                                {100, 456, false}}) {
        EXPECT_EQ(IsUsablePoint(x, y, 640, 480, m), usable) << x << "," << y;
    }

    // Binning 2 halves the margin; a plug-in reporting 0 counts as 1, not a crash.
    EXPECT_EQ(UsableMargins(64, 48, 2, 2).mx, 16);
    const Margins zero = UsableMargins(64, 48, 0, -3);
    EXPECT_EQ(std::tuple(zero.mx, zero.my), std::tuple(32, 24));

    // The edge band is asymmetric at the top: y = 21 is inside, y = 20 near.
    for (auto [x, y, near] : {std::tuple{20, 100, true}, {21, 21, false}, {100, 20, true}, {100, 460, true},
                              {619, 459, false}}) {
        EXPECT_EQ(NearImageEdge(x, y, 640, 480), near) << x << "," << y;
    }

    // 23/2, 7/2, 105/2, 89/2; then 41 / 4 = 10 at binning 2. A ROI larger than
    // the frame has negative halves that truncate toward zero.
    const PixelRect f = FocusRoiRect(64, 48, 41), i = ImageRoiRect(100, 50, 41, 2, 2);
    EXPECT_EQ(std::tuple(f.left, f.top, f.right, f.bottom, FocusRoiRect(20, 20, 25).left), std::tuple(11, 3, 52, 44, -2));
    EXPECT_EQ(std::tuple(i.left, i.top, i.right, i.bottom, ImageRoiRect(100, 50, 41, 0, 1).left),
              std::tuple(90, 40, 110, 60, 80));
    EXPECT_FALSE(FocusRoiShown(2));
}

TEST(DisplayRules, SlidersTimersPanelPlacementTextsCameraDataLinesAndChartAxes) {
    // Steps are measured from the last applied position (200 after the second), not the last offered.
    LineSizeFilter filter(100, 100);
    for (auto [position, applies] : {std::pair{150, false}, {200, true}, {150, false}, {299, false}, {100, true}}) {
        EXPECT_EQ(filter.Accept(position), applies) << position;
    }
    filter.Reset(5000);
    EXPECT_FALSE(filter.Accept(4950));

    EXPECT_EQ(std::tuple(GainFromSlider(1), GainFromSlider(3), GainFromSlider(4), GainFromSlider(40)),
              std::tuple(0.3, 0.3, 0.4, 4.0));

    // 1000 ms exposure + 500 ms download: ticks of 150 ms, ten of them reach 100.
    const int interval = DownloadTimerInterval(500, 1000);
    int elapsed = 0, progress = 0;
    for (int tick = 0; tick < 10; ++tick) progress = DownloadProgress(elapsed += interval, 500, 1000);
    EXPECT_EQ(std::pair(interval, progress), std::pair(150, 100));
    EXPECT_EQ(std::tuple(DownloadProgress(2000, 500, 1000), DownloadProgress(0, 0, 0), DownloadTimerInterval(0, 4)),
              std::tuple(100, 100, 1));

    const ExposureSliderSetup e = ExposureSliderFor(8.0);
    EXPECT_EQ(std::vector<int>({e.maximum, e.position, e.tick}), std::vector<int>({8000, 4000, 400}));
    EXPECT_EQ(ExposeTimeText(e.position), "Expose Time = 4.00 s");

    // 158 / 2; never nearer the edge than box - 4.
    for (auto [size, offset] : {std::pair{642, 79}, {643, 78}, {796, 1}, {795, 2}}) {
        EXPECT_EQ(CenteredOffset(size, 800), offset) << size;
    }
    EXPECT_EQ(FocusPanelLeft(60, 66), -4);    // (-6) / 2 - 1

    EXPECT_EQ(std::tuple(PositionText(7), PositionText(-12), PositionText(12345)), std::tuple("0007", "-0012", "12345"));
    EXPECT_EQ(PointerText(3, 100, 65535, true), " X: 003  Y: 100  Value: 65535  (Too close)");
    EXPECT_EQ(SelectedText(45, 7, 812), " Selected:  X: 045   Y: 007   Value: 00812");
    EXPECT_EQ(ImageStatsText(10, 4000, 2.5), " Image: Min= 10  Max= 4000  Avg= 2");
    EXPECT_EQ(FocusGainText(GainFromSlider(2)), "Focus Gain = 0.3");

    const CameraInfo info{.CameraType = "CCD", .CameraName = "Sim", .Manufacturer = "Santa Clara Optics", .ImageBits = 16,
                          .FocusBits = 12, .HorizRes = 765, .VertRes = 510, .HorizFocusFrame = 64, .VertFocusFrame = 48,
                          .HorizPixel = 9.05, .VertPixel = 9.0, .FocusOffsetX = -3, .FocusOffsetY = 4, .DownloadTime = 0,
                          .DLLFileName = "libsim_camera.so", .DLLVersion = "1.2", .InterfaceType = 2, .Location00 = 1,
                          .Orientation = 0, .FWHMFactor = 1.25, .XBinning = 2, .YBinning = 3, .FocusBinning = 1};
    EXPECT_EQ(CameraDataLines(info),
              (std::vector<std::string>{"CameraType: CCD", "Manufacturer: Santa Clara Optics", "Image Bits: 16",
                                        "Focus Bits: 12", "HorizRes: 765", "VertRes: 510", "HorizFocusFrame: 64",
                                        "VertFocusFrame: 48", "HorizPixel: 9.1", "VertPixel: 9.0", "FocusOffsetY: 4",
                                        "FocusOffsetX: -3", "DLLFileName: libsim_camera.so", "DLLVersion: 1.2",
                                        "Interface Type: 2", "Location00: 1", "Orientation: 0", "FWHM Factor: 1.2",
                                        "X  Binning: 2", "Y  Binning: 3", "Focus  Binning: 1"}));
    EXPECT_TRUE(IsSbigManufacturer(info.Manufacturer) && !IsSbigManufacturer("santa"));

    // Only the peak has an axis of its own; every width shares the HFD one.
    for (auto [kind, title, max] : {std::tuple{3, "Figure of Merit  ( Peak )", 64000.0},
                                    {4, "Figure of Merit  ( HFD )", 8.0}, {1, "Figure of Merit  ( xFWHM )", 8.0}}) {
        EXPECT_EQ(std::pair(FomAxisFor(kind).title, FomAxisFor(kind).max), std::pair(std::string(title), max)) << kind;
    }
    EXPECT_STREQ(FomName(5), "");

    for (auto [min, max, value, wantMin, wantMax] : std::vector<std::array<double, 5>>{
             {1, 8, 5, 1, 8}, {1, 8, 12.5, 1, 15}, {-150, 150, 180, -150, 200}, {-150, 150, -151, -200, 150},
             {0, 10, 11, 0, 15}, {0, 64000, 70000, 0, 70000}, {1, 8, 0.4, 0, 8}}) {
        EXPECT_EQ(WidenToShow(min, max, value), std::pair(wantMin, wantMax)) << value;
    }
}

namespace fs = std::filesystem;

const std::string kTestPlugins = KV_TEST_PLUGIN_DIR;

std::vector<std::string> TakeProgramLog() {
    std::vector<std::string> lines;
    for (const LogLine& l : LogChannel::Instance().TakePending()) {
        if (l.channel == kProgramLog) lines.push_back(l.text);
    }
    return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::ranges::find(lines, text) != lines.end();
}

// A FITS file read back by cfitsio: its 16-bit pixels and every header card's
// value as written (strings in their quotes).
struct FitsReadBack {
    int status = 0, type = 0;
    long dims[2] = {0, 0};
    std::vector<std::uint16_t> pixels;
    std::map<std::string, std::string> keys;
};

FitsReadBack ReadFits(const std::string& path) {
    FitsReadBack r;
    fitsfile* f = nullptr;
    // The disk-file opener takes the name as it is, brackets included.
    if (fits_open_diskfile(&f, path.c_str(), READONLY, &r.status) != 0) return r;
    int count = 0, anyNull = 0, closing = 0;
    fits_get_img_equivtype(f, &r.type, &r.status);
    fits_get_img_size(f, 2, r.dims, &r.status);
    fits_get_hdrspace(f, &count, nullptr, &r.status);
    for (int i = 1; i <= count && r.status == 0; ++i) {
        char key[FLEN_KEYWORD], value[FLEN_VALUE], comment[FLEN_COMMENT];
        fits_read_keyn(f, i, key, value, comment, &r.status);
        r.keys[key] = value;
    }
    r.pixels.resize(static_cast<std::size_t>(r.dims[0] * r.dims[1]));
    fits_read_img(f, TUSHORT, 1, static_cast<LONGLONG>(r.pixels.size()), nullptr, r.pixels.data(), &anyNull, &r.status);
    fits_close_file(f, &closing);
    EXPECT_EQ(r.status, 0) << path;
    return r;
}

TEST(FitsFile, PixelsAndHeaderReadBackAsWrittenAFailedWriteNamesTheFileLeavesNothingAndARunGoesOn) {
    test::TempDir dir;
    TImageObject image(5, 3);
    const std::vector<std::uint16_t> pixels{0, 1, 32767, 32768, 65535, 7, 8, 9, 10, 11, 12, 13, 14, 15, 40000};
    image.LoadPixels(pixels.data());
    image.SetExposureTime(1.5);
    using namespace std::chrono;
    image.SetExposureStart(sys_days(year(2026) / 12 / 7) + 19h + 38min + 47s + 250ms);

    // Where the focuser stood for the exposure: a move since does not change it.
    image.SetFocuserAtStart({-120, 4.25});
    FitsHeader full;
    full.xBinning = 2, full.yBinning = 3, full.focuserPosition = 999, full.focuserTemperature = 9.5;
    full.star = FitsStar{2.78231, 2.49551, 24063, 4, 2}, full.instrument = "Simulated Camera";
    // Brackets and parentheses are file-name characters here, not cfitsio's filters.
    const std::string named = dir.File("night [1] (b).fits");
    {
        // Written under a decimal-comma locale, read back under "C".
        test::CommaLocale comma;
        ASSERT_TRUE(comma.Active());
        ASSERT_TRUE(WriteFitsImage(named, image, full).ok);
    }
    FitsReadBack r = ReadFits(named);
    // BITPIX 16 with BZERO 32768.
    EXPECT_EQ(std::tuple(r.type, r.dims[0], r.dims[1], r.pixels), std::tuple(USHORT_IMG, 5, 3, pixels));
    const std::map<std::string, std::string> want{
        {"BITPIX", "16"}, {"BZERO", "32768"}, {"DATE-OBS", "'2026-12-07T19:38:47.250'"}, {"EXPTIME", "1.500"},
        {"XBINNING", "2"}, {"YBINNING", "3"}, {"FOCUSPOS", "-120"}, {"FOCUSTEM", "4.25"}, {"FWHM", "2.7823"},
        {"HFD", "2.4955"}, {"PEAK", "24063"}, {"STARX", "5"}, {"STARY", "3"}, {"INSTRUME", "'Simulated Camera'"},
        {"PROGRAM", "'Kessivane'"}, {"CREATOR", "'Kessivane " KV_VERSION "'"}};
    for (const auto& [key, value] : want) EXPECT_EQ(r.keys[key], value) << key;

    // What is not known is left out rather than written as a made-up value.
    TImageObject fresh(5, 3);
    ASSERT_TRUE(WriteFitsImage(dir.File("bare.fits"), fresh, FitsHeader{}).ok);
    r = ReadFits(dir.File("bare.fits"));
    for (const char* key : {"DATE-OBS", "FOCUSPOS", "FOCUSTEM", "FWHM", "HFD", "PEAK", "STARX", "INSTRUME"}) {
        EXPECT_EQ(r.keys.count(key), 0U) << key;
    }
    EXPECT_EQ(r.keys["PROGRAM"], "'Kessivane'");
    // A value that is no number is left out; one too long for a fixed card gets an exponent.
    fresh.SetFocuserAtStart({7, std::numeric_limits<double>::quiet_NaN()});
    fresh.SetExposureTime(1e300);
    ASSERT_TRUE(WriteFitsImage(dir.File("odd.fits"), fresh, FitsHeader{}).ok);
    r = ReadFits(dir.File("odd.fits"));
    EXPECT_EQ(std::tuple(r.keys.count("FOCUSTEM"), r.keys["FOCUSPOS"]), std::tuple(0U, "7"));
    EXPECT_DOUBLE_EQ(std::strtod(r.keys["EXPTIME"].c_str(), nullptr), 1e300) << r.keys["EXPTIME"];
    // Before 1970 the milliseconds count back from the second before.
    EXPECT_EQ(FitsDate(system_clock::time_point(-1ms)), "1969-12-31T23:59:59.999");
    EXPECT_EQ(FitsDate(system_clock::time_point(-1000ms)), "1969-12-31T23:59:59.000");

    EXPECT_TRUE(IsFitsFileName("/a.b/night.FITS") && IsFitsFileName("x.fit") && IsFitsFileName("x.fts"));
    EXPECT_FALSE(IsFitsFileName("night.bmp") || IsFitsFileName("/a.fits/night") || IsFitsFileName("fits"));

    TImageObject big(100, 100);  // 20 000 bytes of pixels
    std::filesystem::create_directory(dir.File("taken.fits"));
    dir.Write("plain", "x");
    // Root writes where permissions say no: a full disk is made with a file-size limit (0: none) instead.
    for (auto [path, fileLimit, reason] : {std::tuple{dir.File("missing/night.fits"), 0, "No such file or directory"},
                                           {dir.File("plain/night.fits"), 0, "Not a directory"},
                                           {dir.File("taken.fits"), 0, "Is a directory"},
                                           {dir.File("full.fits"), 4096, "File too large"}}) {
        SCOPED_TRACE(path);
        std::optional<test::FileSizeLimit> limit;
        if (fileLimit != 0) limit.emplace(fileLimit);
        const WriteResult written = WriteFitsImage(path, big, FitsHeader{});
        limit.reset();
        EXPECT_FALSE(written.ok);
        EXPECT_EQ(written.message, "Could not write the FITS image " + path + ": " + reason);
    }
    // Nothing left behind: the three images written above, the plain file and the still empty folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 5);
    EXPECT_TRUE(fs::is_regular_file(dir.File("plain")) && fs::is_empty(dir.File("taken.fits")));

    // A run's frames go to a folder of their own, named by the run's start;
    // a second run of the same second gets another.
    test::RecordingDialogs dialogs;
    const auto start = sys_days(year(2026) / 12 / 7) + 19h + 38min + 47s;
    for (const char* run : {"20261207-193847/", "20261207-193847_2/"}) {
        TFocusFrameRecorder recorder(dir.File("frames"), dialogs, start);
        EXPECT_TRUE(recorder.Record(big, FitsHeader{}, -120) && recorder.Record(big, FitsHeader{}, 30));
        EXPECT_EQ(recorder.RunFolder(), dir.File("frames/") + run);
        EXPECT_TRUE(std::filesystem::exists(recorder.RunFolder() + "20261207-193847_pos-120_001.fits"));
        ReadFits(recorder.RunFolder() + "20261207-193847_pos30_002.fits");
    }
    // One message for a run whose frames cannot be written, however many it takes.
    TFocusFrameRecorder failing(dir.File("plain/frames"), dialogs, start);
    EXPECT_FALSE(failing.Record(big, FitsHeader{}, 0) || failing.Record(big, FitsHeader{}, 10));
    ASSERT_EQ(dialogs.Deferred().size(), 1U);
    const std::string told = dialogs.Deferred()[0];
    EXPECT_TRUE(told.find(dir.File("plain/frames/")) != std::string::npos &&
                told.find("The focusing goes on") != std::string::npos) << told;
}

// A variable a test plug-in exports, read through a second reference to the
// library the host has loaded (the same instance).
std::int32_t PluginCounter(const std::string& file, const char* symbol) {
    void* lib = dlopen((kTestPlugins + "/" + file).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return -1;
    const auto* value = static_cast<const std::int32_t*>(dlsym(lib, symbol));
    const std::int32_t result = value != nullptr ? *value : -1;
    dlclose(lib);
    return result;
}

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ProgramLog::Instance().logging = true, ProgramLog::Instance().timestamp = false;
        TakeProgramLog();
    }
    test::RecordingDialogs dialogs;
};

TEST_F(PluginHostTest, ScanPassesOverWhatIsNoCameraAndKeepsTheListsParallel) {
    test::TempDir dir;
    fs::create_directories(dir.Path() / "folder.so");
    for (const char* name : {"kvt_good.so", "kvt_no_export.so", "kvt_renamed.so", "kvt_null_texts.so"}) {
        fs::copy_file(kTestPlugins + "/" + name, dir.Path() / name);
    }
    dir.Write("not_a_library.so", "this is text, not an ELF object\n");
    dir.Write("kvt_good.so.txt", "wrong extension\n");

    const CameraList list = ScanForPlugins(dir.Path().string());
    // Name order; a NULL name and file name fall back to the file found.
    EXPECT_EQ(list.names, (std::vector<std::string>{"Test Camera", "kvt_null_texts.so", "Renamed Camera"}));
    EXPECT_EQ(list.fileNames, (std::vector<std::string>{"kvt_good.so", "kvt_null_texts.so", "kvt_good.so"}));
    const auto log = TakeProgramLog();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.front() == "Scanning for Camera Plug-ins" && Contains(log, "Camera Found: Test Camera version: 9.8") &&
                Contains(log, "Camera Found: kvt_null_texts.so version: "));
    EXPECT_TRUE(dialogs.Texts().empty());

    // An empty or missing folder gives an empty list.
    EXPECT_EQ(ScanForPlugins(dir.File("folder.so")).size() + ScanForPlugins(dir.File("missing")).size(), 0u);
}

TEST_F(PluginHostTest, InitializeCopiesTheWholeRecordBindsTheCallsAndIsRefusedAgainUnlessTheCameraFailed) {
    CameraPlugin camera(dialogs, kTestPlugins);
    camera.SetParPort(3);
    ASSERT_TRUE(camera.Initialize("kvt_good.so"));
    EXPECT_TRUE(camera.Initialized() && PluginCounter("kvt_good.so", "kvt_last_port") == 3);

    // Every field as the C compiler laid it out in the plug-in: one after
    // each change of type is enough to catch a shifted layout.
    const CameraInfo i = camera.Info();
    EXPECT_EQ(std::tuple(i.CameraType, i.Manufacturer, i.ImageBits, i.VertFocusFrame, i.HorizPixel, i.VertPixel),
              std::tuple("Test type", "Santa Test Works", 12, 12, 6.8, 6.8 * 1.25));
    EXPECT_EQ(std::tuple(i.DownloadTime, i.DLLVersion, i.Orientation, i.FWHMFactor, i.FocusBinning),
              std::tuple(250, "9.8", 8, 1.5, 2));

    ASSERT_NE(camera.FocusImage(), nullptr);
    EXPECT_EQ(std::tuple(camera.MainImage()->Height(), camera.FocusImage()->Width(), camera.GetCalibrate()), std::tuple(24, 16, 42));

    EXPECT_TRUE(camera.SetUpExpose());
    camera.MainImage()->SetIsUpdated(true);
    ASSERT_TRUE(camera.GetImageObject());
    EXPECT_TRUE(!camera.MainImage()->IsUpdated() && camera.MainImage()->Pixel(31, 23) == 2331);
    ASSERT_TRUE(camera.GetFocusObject(120, 80, 2.0));
    EXPECT_EQ(std::tuple(PluginCounter("kvt_good.so", "kvt_last_x"), PluginCounter("kvt_good.so", "kvt_last_y")),
              std::tuple(120, 80));
    EXPECT_EQ(camera.FocusImage()->Pixel(1, 1), 2101);

    EXPECT_EQ(TakeProgramLog(),
              (std::vector<std::string>{"Linking Camera plug-in", "Camera plug-in linked", "Main Image object instantiated",
                                        "Focus Image object instantiated", "Plug-in reported successful initialization"}));
    camera.Uninitialize();
    EXPECT_FALSE(camera.Loaded() || camera.MainImage() != nullptr || camera.GetImageObject());
    EXPECT_EQ(TakeProgramLog(), (std::vector<std::string>{"In CameraControl Unitialization method",
                                                          "Main image object freed", "Focus image object freed",
                                                          "Camera plug-in freed"}));
    EXPECT_TRUE(dialogs.Texts().empty());

    // Initializing again is refused unless the camera failed.
    EXPECT_TRUE(camera.Initialize("kvt_init_fails.so") && !camera.Initialized() && camera.MainImage() != nullptr);
    EXPECT_TRUE(Contains(TakeProgramLog(), "Plug-in reported initialization FAILED"));
    // Choosing again releases the failed binding instead of leaking it.
    ASSERT_TRUE(camera.Initialize("kvt_good.so"));
    EXPECT_TRUE(PluginCounter("kvt_init_fails.so", "kvt_init_calls") == -1 && dialogs.Texts().empty()) << "still loaded";

    TImageObject* main = camera.MainImage();
    EXPECT_FALSE(camera.Initialize("kvt_good.so"));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"TCameraControl already initialized"});
    EXPECT_TRUE(camera.Initialized() && camera.MainImage() == main && PluginCounter("kvt_good.so", "kvt_init_calls") == 1);
}

TEST_F(PluginHostTest, LibrariesThatCannotServeOrReportUnusableFrameSizesAreRefusedWithAMessage) {
    CameraPlugin camera(dialogs, kTestPlugins);
    EXPECT_FALSE(camera.Initialize("kvt_no_export.so"));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Can't link to Camera dll functions"});
    EXPECT_FALSE(camera.Loaded() || camera.MainImage() != nullptr);

    EXPECT_FALSE(camera.Initialize("no_such_plugin.so"));
    EXPECT_EQ(dialogs.Texts().size(), 1u);  // the caller reports a plain load failure

    // Only DLLQueryCameraData: bound, but the missing calls are never made.
    EXPECT_TRUE(camera.Initialize("kvt_query_only.so"));
    EXPECT_FALSE(camera.Initialized() || camera.SetUpExpose() || camera.GetImageObject() ||
                 camera.GetFocusObject(1, 1, 1.0) || camera.GetCalibrate() != 0);
    EXPECT_TRUE(Contains(TakeProgramLog(), "Camera plug-in does not export DLLGetFocusObject"));

    for (const char* file : {"kvt_zero_size.so", "kvt_negative_size.so", "kvt_huge_size.so", "kvt_huge_focus.so"}) {
        SCOPED_TRACE(file);
        test::RecordingDialogs local;
        CameraPlugin refused(local, kTestPlugins);
        EXPECT_FALSE(refused.Initialize(file) || refused.Loaded() || refused.FocusImage() != nullptr);
        ASSERT_EQ(local.Texts().size(), 1u);
        EXPECT_EQ(local.Texts()[0].rfind("The camera plug-in reports an unusable ", 0), 0u) << local.Texts()[0];
    }
    // Above 64 Mpixel in all is unusable too.
    EXPECT_EQ(std::tuple(CheckFrameSize(32768, 2048), CheckFrameSize(32769, 1), CheckFrameSize(10000, 10000).empty()),
              std::tuple("", "32769 x 1 pixels", false));
}

TEST_F(PluginHostTest, NullTextsLongTextsAndBadDivisorsAreGuarded) {
    CameraPlugin camera(dialogs, kTestPlugins);
    ASSERT_TRUE(camera.Initialize("kvt_null_texts.so"));
    EXPECT_TRUE(camera.Initialized());
    EXPECT_EQ(std::tuple(camera.Info().Manufacturer, camera.Info().FocusBinning, camera.Info().VertPixel),
              std::tuple("", 1, 1.0));
    const auto log = TakeProgramLog();
    EXPECT_TRUE(Contains(log, "Camera plug-in reported FocusBinning 0; 1 is used") &&
                Contains(log, "Camera plug-in reported pixel size 0 x 0; 1 x 1 is used"));
    camera.QueryCameraData();  // the refresh before a main exposure guards the same way
    EXPECT_EQ(camera.Info().FocusBinning, 1);

    // One bad pixel size resets both; texts are cut.
    const std::string longText(5000, 'x');
    TCameraData raw{};
    raw.CameraName = longText.c_str();
    raw.HorizPixel = 9.0, raw.VertPixel = -9.0, raw.XBinning = -2, raw.YBinning = 0, raw.FocusBinning = 3;
    raw.FWHMFactor = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::string> notes;
    const CameraInfo info = CopyCameraData(raw, &notes);
    EXPECT_EQ(std::tuple(info.CameraName.size(), info.HorizPixel, info.XBinning, info.YBinning, info.FocusBinning,
                         info.FWHMFactor, notes.size()),
              std::tuple(kMaxCameraText, 1.0, 1, 1, 3, 0.0, 4u));
}

TEST_F(PluginHostTest, ExampleCameraFromTheGuideDeliversItsStar) {
    CameraPlugin camera(dialogs, KV_BIN_DIR);
    ASSERT_TRUE(camera.Initialize("example_camera.so"));
    TImageObject& focus = *camera.FocusImage();
    focus.SetExposureTime(0.5);
    ASSERT_TRUE(camera.GetFocusObject(320, 240, 1.0));
    // Peak in the middle of the frame, flat sky at the corner.
    EXPECT_EQ(std::tuple(focus.Pixel(1, 1), focus.Pixel(32, 32)), std::tuple(std::uint16_t{400}, std::uint16_t{10400}));
    ASSERT_TRUE(camera.GetImageObject());
    EXPECT_EQ(std::tuple(camera.MainImage()->MaxX(), camera.MainImage()->MaxY()), std::tuple(320, 240));
}

// The simulated camera plug-in, judged by the properties of the images it renders.
constexpr int kStarX = 382, kStarY = 255;  // the bright star, main-image pixels at binning 1
constexpr double kBackground = 100.0 + 300.0;  // bias + one second of sky

struct Moments {
    double flux = 0.0, cx = 0.0, cy = 0.0, sigma = 0.0;  // flux above the background, radial second moment
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
    m.cx = sx / m.flux, m.cy = sy / m.flux;
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

TEST_F(SimCameraTest, TheCurveSetsHowTheStarGrows) {
    // The star's FWHM (from its second moment, less the pixel's own width) against
    // the distance from best focus, for both curves and on both sides of it: 2.5 px
    // seeing, 0.02 px a step.
    const struct { int curve; std::int64_t steps; double fwhm; } cases[] = {
        {KV_SIM_CURVE_V, 0, 2.5},         {KV_SIM_CURVE_V, 150, 5.5},         {KV_SIM_CURVE_V, -150, 5.5},
        {KV_SIM_CURVE_V, -500, 12.5},     {KV_SIM_CURVE_HYPERBOLA, 0, 2.5},   {KV_SIM_CURVE_HYPERBOLA, 150, 3.905},
        {KV_SIM_CURVE_HYPERBOLA, -150, 3.905}, {KV_SIM_CURVE_HYPERBOLA, -500, 10.308},
    };
    for (const auto& c : cases) {
        Configure([&](KVSimCameraConfig& k) { k.Curve = c.curve; });
        SetDefocus(c.steps);
        const double sigma = Measure(Focus(1.0), kBackground).sigma;
        EXPECT_NEAR(2.0 * std::sqrt(2.0 * std::log(2.0)) * std::sqrt(sigma * sigma - 1.0 / 12.0), c.fwhm, 0.03 * c.fwhm)
            << "curve " << c.curve << " at " << c.steps;
    }
}

TEST_F(SimCameraTest, ProfileIsSymmetricFallsOffMonotonicallyAndFluxScalesWithExposureAndGain) {
    SetDefocus(200);
    TImageObject& focus = Focus(1.0);
    const int c = focus.Width() / 2, r = focus.Height() / 2;
    for (int d = 1; d < 20; ++d) {
        EXPECT_TRUE(std::abs(focus.Pixel(c + d, r) - focus.Pixel(c - d, r)) <= 1 && std::abs(focus.Pixel(c, r + d) - focus.Pixel(c, r - d)) <= 1 &&
                    focus.Pixel(c + d, r) <= focus.Pixel(c + d - 1, r) && focus.Pixel(c, r + d) <= focus.Pixel(c, r + d - 1)) << d;
    }
    EXPECT_GT(focus.Pixel(c, r), focus.Pixel(c + 5, r));

    // A bright star clamps to a flat top, without wrapping around.
    SetDefocus(0);
    Focus(20.0);
    EXPECT_EQ(focus.Pixel(c, r), 65535);
    for (int d = 1; d < 15; ++d) EXPECT_LE(focus.Pixel(c + d, r), focus.Pixel(c + d - 1, r)) << d;

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

    // With noise on, no two frames are alike.
    Configure([](KVSimCameraConfig& k) { k.Noise = 1, k.Seed = 99; });
    Focus(1.0);
    const std::vector<std::uint16_t> first(plain.Pixels(), plain.Pixels() + plain.NumPixels());
    Focus(1.0);  // the same object, refilled
    int differing = 0;
    for (int i = 0; i < plain.NumPixels(); ++i) differing += plain.Pixels()[i] != first[static_cast<std::size_t>(i)];
    EXPECT_GT(differing, plain.NumPixels() / 2);
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

// The simulated sky holds eight stars, or a field of 60. A field figure takes
// the median over those bright enough, its Peak still the selected star's; a
// whole-field frame takes the usable ones of the chosen share, kept where they
// stand on the whole image (the bright one too when only the middle half is
// read), and its figure is the HFD even with Peak chosen. A sky too faint for
// three (five on a whole field) reads "too few stars" instead of a figure.
TEST_F(SimCameraTest, AFieldOrWholeFieldFrameTakesTheMedianOfItsStarsOrSaysTooFewStars) {
    SetDefocus(150);
    const struct { bool whole; double flux, fraction; FomKind kind; StarStatus status; int minStars, maxStars; } cases[] = {
        {false, 1.0, 1.0, FomKind::HFD, StarStatus::Ok, 6, 8}, {false, 1.0, 1.0, FomKind::Peak, StarStatus::Ok, 1, 1},
        {false, 0.003, 1.0, FomKind::HFD, StarStatus::TooFewStars, 0, kMinFieldStars - 1},
        {true, 1.0, 1.0, FomKind::Peak, StarStatus::Ok, 20, 60}, {true, 1.0, 0.5, FomKind::Peak, StarStatus::Ok, 5, 19},
        {true, 0.0005, 1.0, FomKind::Peak, StarStatus::TooFewStars, 0, kMinWholeFieldStars - 1}};
    TCameraControl control(dialogs_, KV_BIN_DIR);
    ASSERT_TRUE(control.ToggleConnection("sim_camera.so"));
    control.SetExposureTime(0.0);
    control.SetFocusX(kStarX), control.SetFocusY(kStarY), control.SetFocusGain(1.0);
    std::shared_ptr<const FieldStars> whole;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "whole " << c.whole << " flux " << c.flux << " share " << c.fraction);
        Configure([&](KVSimCameraConfig& k) { k.Noise = 1, k.Seed = c.whole ? 7 : 99, k.FieldStars = c.whole ? 60 : 0, k.FluxScale = c.flux; });
        control.SetFOMKind(c.kind), control.SetFieldFigure(!c.whole), control.SetWholeField(c.whole), control.SetFieldFraction(c.fraction);
        control.GetFocusFrame();
        const FocusReading r = control.Reading();
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.stars >= c.minStars && r.stars <= c.maxStars) << r.stars;
        if (!c.whole) {
            // The focus frame is still cut around the selected star; defocused by
            // 150 steps the stars are 5.5 px across, and the median says so.
            if (c.flux == 1.0) { EXPECT_LE(std::abs(r.PeakX - 50) + std::abs(r.PeakY - 50), 2) << r.PeakX << "," << r.PeakY; }
            if (c.status == StarStatus::Ok && c.kind == FomKind::HFD) { EXPECT_NEAR(r.HFD, 5.5, 0.8); }
            continue;
        }
        ASSERT_NE(r.field, nullptr);
        EXPECT_EQ(std::tuple(r.field->width, r.field->height, r.field->stars.size()),
                  std::tuple(765, 510, static_cast<std::size_t>(r.stars)));
        if (c.status != StarStatus::Ok) continue;
        EXPECT_EQ(control.MeasureKind(), FomKind::HFD);
        EXPECT_NEAR(r.FOM, 5.5, 0.8);
        if (c.fraction == 1.0) whole = r.field;
        bool bright = false;
        for (const FieldStar& s : r.field->stars) {
            EXPECT_TRUE(std::fabs(s.x - 382.5) <= 765 * c.fraction / 2 && std::fabs(s.y - 255) <= 510 * c.fraction / 2)
                << s.x << "," << s.y;
            bright = bright || std::hypot(s.x - kStarX, s.y - kStarY) < 1.0;
            // The middle's stars are the whole image's, where they stand.
            EXPECT_TRUE(std::any_of(whole->stars.begin(), whole->stars.end(),
                                    [&](const FieldStar& w) { return std::hypot(w.x - s.x, w.y - s.y) < 1.0; }))
                << s.x << "," << s.y;
        }
        EXPECT_TRUE(bright);
    }
    EXPECT_TRUE(dialogs_.Deferred().empty());
}

// Tilt and curvature move each star's best focus: the part of the field
// whose best focus lies where the focuser stands is the sharp one. 500 um
// at the right (bottom) edge is 100 steps there and -100 at the left (top);
// 1000 um of curvature is 200 steps at the corners, 0 in the middle.
TEST_F(SimCameraTest, TiltAndCurvatureSharpenThePartOfTheFieldWhoseBestFocusTheFocuserReaches) {
    struct Region { double x0, x1, y0, y1; bool outside = false; };  // outside: all but the box
    const Region left{0, 0.3, 0, 1}, right{0.7, 1, 0, 1}, top{0, 1, 0, 0.3}, bottom{0, 1, 0.7, 1};
    const Region middle{0.35, 0.65, 0.3, 0.7}, corners{0.15, 0.85, 0.15, 0.85, true};
    const struct { double tiltX, tiltY, curvature; std::int64_t defocus; Region sharp, blurred; } cases[] = {
        {500, 0, 0, 100, right, left},  {500, 0, 0, -100, left, right},
        {0, 500, 0, 100, bottom, top},  {0, -500, 0, 100, top, bottom},
        {0, 0, 1000, 0, middle, corners}, {0, 0, 1000, 200, corners, middle},
    };
    TImageObject& main = *camera_.MainImage();
    main.SetExposureTime(1.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tiltX << "," << c.tiltY << "," << c.curvature << " at " << c.defocus);
        Configure([&](KVSimCameraConfig& k) {
            k.Noise = 1, k.Seed = 3, k.FieldStars = 120, k.TiltX = c.tiltX, k.TiltY = c.tiltY, k.Curvature = c.curvature, k.StepMicrons = 5;
        });
        SetDefocus(c.defocus);
        ASSERT_TRUE(camera_.GetImageObject());
        const std::optional<WholeField> field =
            MeasureWholeField(main.Width(), main.Height(), main.Pixels(), {.fraction = 1.0, .focusFrame = 40});
        ASSERT_TRUE(field.has_value());
        const auto median = [&](const Region& g) {
            std::vector<double> hfd;
            for (const FieldStar& s : field->stars.stars) {
                const double u = s.x / main.Width(), v = s.y / main.Height();
                const bool in = u >= g.x0 && u <= g.x1 && v >= g.y0 && v <= g.y1;
                if (in != g.outside) hfd.push_back(s.hfd);
            }
            EXPECT_GE(hfd.size(), 5u);
            std::sort(hfd.begin(), hfd.end());
            return hfd.empty() ? 0.0 : hfd[hfd.size() / 2];
        };
        const double sharp = median(c.sharp), blurred = median(c.blurred);
        EXPECT_LT(sharp * 1.2, blurred) << sharp << " against " << blurred;
    }
}

// Behind a central obstruction a defocused star is a ring with a dark
// middle; from best focus out to rings of 20 px radius (0.01 px a step) the
// field figure still has its stars, growing, and the pick takes the bright
// star in the middle. The flux keeps the bright star unclipped at focus.
TEST_F(SimCameraTest, AnObstructedTelescopeShowsRingsThatTheFieldFigureAndThePickStillTake) {
    const struct { std::int64_t steps; double flux; } cases[] = {{0, 0.1}, {400, 1.0}, {1000, 2.0}, {2000, 4.0}};
    TImageObject& main = *camera_.MainImage();
    main.SetExposureTime(1.0);
    double lastHfd = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Configure([&](KVSimCameraConfig& k) { k.Noise = 1, k.Seed = 5, k.Obstruction = 0.35, k.FluxScale = c.flux; });
        SetDefocus(c.steps);
        ASSERT_TRUE(camera_.GetImageObject());
        if (c.steps == 2000) {
            EXPECT_LT(main.Pixel(kStarX, kStarY), main.Pixel(kStarX + 15, kStarY));
        }
        const StarField field = FindStars(main);
        const FieldFigures figures = FieldMedian(field);
        EXPECT_TRUE(figures.stars >= kMinFieldStars && field.stars.size() <= 8u) << figures.stars << " of " << field.stars.size();
        EXPECT_GT(figures.hfd, lastHfd);
        lastHfd = figures.hfd;
        const StarPick pick = PickFocusStar(field, main.Width(), main.Height(), [](int, int) { return true; });
        ASSERT_TRUE(pick.star) << pick.reason;
        EXPECT_LT(std::hypot(pick.star->x - kStarX, pick.star->y - kStarY), 0.5) << pick.star->x << "," << pick.star->y;
    }
}

}  // namespace
}  // namespace kv
