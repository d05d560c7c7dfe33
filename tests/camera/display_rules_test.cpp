// The image-side decisions of the main window: usable area, ROI placement,
// slider filters and mappings, panel placement and the exact texts.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "camera/display_rules.h"

namespace kv::test {
namespace {

TEST(DisplayRules, UsableAreaAndEdgeBand) {
    // 64-pixel frame, binning 1: margin 32, so a click 3 px from the left is refused.
    const Margins m = UsableMargins(64, 48, 1, 1);
    EXPECT_EQ(m.mx, 32);
    EXPECT_EQ(m.my, 24);
    EXPECT_FALSE(IsUsablePoint(3, 100, 640, 480, m));
    EXPECT_FALSE(IsUsablePoint(32, 100, 640, 480, m));   // bounds are strict
    EXPECT_TRUE(IsUsablePoint(33, 455, 640, 480, m));
    EXPECT_FALSE(IsUsablePoint(608, 100, 640, 480, m));
    EXPECT_FALSE(IsUsablePoint(100, 456, 640, 480, m));

    // Binning 2 halves the margin; a plug-in reporting 0 counts as 1, not a crash.
    EXPECT_EQ(UsableMargins(64, 48, 2, 2).mx, 16);
    const Margins zero = UsableMargins(64, 48, 0, -3);
    EXPECT_EQ(std::vector<int>({zero.mx, zero.my}), std::vector<int>({32, 24}));

    // The edge band is asymmetric at the top: y = 21 is inside, y = 20 near.
    EXPECT_TRUE(NearImageEdge(20, 100, 640, 480));
    EXPECT_FALSE(NearImageEdge(21, 21, 640, 480));
    EXPECT_TRUE(NearImageEdge(100, 20, 640, 480));
    EXPECT_TRUE(NearImageEdge(100, 460, 640, 480));
    EXPECT_FALSE(NearImageEdge(619, 459, 640, 480));
}

TEST(DisplayRules, RoiRectanglesTruncate) {
    const PixelRect f = FocusRoiRect(64, 48, 41);  // 23/2, 7/2, 105/2, 89/2
    EXPECT_EQ(std::vector<int>({f.left, f.top, f.right, f.bottom}), std::vector<int>({11, 3, 52, 44}));
    // ROI larger than the frame: negative halves truncate toward zero.
    EXPECT_EQ(FocusRoiRect(20, 20, 25).left, -2);

    const PixelRect i = ImageRoiRect(100, 50, 41, 2, 2);  // 41 / 4 = 10
    EXPECT_EQ(std::vector<int>({i.left, i.top, i.right, i.bottom}), std::vector<int>({90, 40, 110, 60}));
    EXPECT_EQ(ImageRoiRect(100, 50, 41, 0, 1).left, 80);
    EXPECT_FALSE(FocusRoiShown(2));
}

TEST(DisplayRules, SlidersAndTimers) {
    LineSizeFilter filter(100, 100);
    EXPECT_FALSE(filter.Accept(150));  // 50 since the last applied position
    EXPECT_TRUE(filter.Accept(200));   // 100 applies
    EXPECT_FALSE(filter.Accept(150));  // measured from 200, not from 150
    EXPECT_FALSE(filter.Accept(299));
    EXPECT_TRUE(filter.Accept(100));
    filter.Reset(5000);
    EXPECT_EQ(filter.Last(), 5000);
    EXPECT_FALSE(filter.Accept(4950));

    for (int p = 1; p <= 3; ++p) EXPECT_DOUBLE_EQ(GainFromSlider(p), 0.3) << p;
    EXPECT_DOUBLE_EQ(GainFromSlider(4), 0.4);
    EXPECT_DOUBLE_EQ(GainFromSlider(40), 4.0);

    // 1000 ms exposure + 500 ms download: ticks of 150 ms, ten of them reach 100.
    const int interval = DownloadTimerInterval(500, 1000);
    EXPECT_EQ(interval, 150);
    int elapsed = 0, progress = 0;
    for (int tick = 0; tick < 10; ++tick) progress = DownloadProgress(elapsed += interval, 500, 1000);
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(DownloadProgress(2000, 500, 1000), 100);
    EXPECT_EQ(DownloadProgress(0, 0, 0), 100);
    EXPECT_EQ(DownloadTimerInterval(0, 4), 1);

    const ExposureSliderSetup e = ExposureSliderFor(8.0);
    EXPECT_EQ(std::vector<int>({e.maximum, e.position, e.tick}), std::vector<int>({8000, 4000, 400}));
    EXPECT_EQ(ExposeTimeText(e.position), "Expose Time = 4.00");
}

TEST(DisplayRules, PanelPlacement) {
    EXPECT_EQ(CenteredOffset(642, 800), 79);  // 158 / 2
    EXPECT_EQ(CenteredOffset(643, 800), 78);
    EXPECT_EQ(CenteredOffset(796, 800), 1);   // not below box - 4
    EXPECT_EQ(CenteredOffset(795, 800), 2);
    EXPECT_EQ(FocusPanelLeft(60, 66), -4);    // (-6) / 2 - 1
}

TEST(DisplayRules, TextsUseCFormats) {
    EXPECT_EQ(PositionText(7), "0007");
    EXPECT_EQ(PositionText(-12), "-0012");
    EXPECT_EQ(PositionText(12345), "12345");
    EXPECT_EQ(PointerText(3, 100, 65535, true), " X: 003  Y: 100  Value: 65535  (Too close)");
    EXPECT_EQ(SelectedText(45, 7, 812), " Selected:  X: 045   Y: 007   Value: 00812");
    EXPECT_EQ(ImageStatsText(10, 4000, 2.5), " Image: Min= 10  Max= 4000  Avg= 2");
    EXPECT_EQ(FocusGainText(GainFromSlider(2)), "Focus Gain = 0.3");
}

TEST(DisplayRules, CameraDataLinesInOrder) {
    const CameraInfo info{
        .CameraType = "CCD", .CameraName = "Sim", .Manufacturer = "Santa Clara Optics",
        .ImageBits = 16, .FocusBits = 12, .HorizRes = 765, .VertRes = 510, .HorizFocusFrame = 64,
        .VertFocusFrame = 48, .HorizPixel = 9.05, .VertPixel = 9.0, .FocusOffsetX = -3,
        .FocusOffsetY = 4, .DownloadTime = 0, .DLLFileName = "libsim_camera.so", .DLLVersion = "1.2",
        .InterfaceType = 2, .Location00 = 1, .Orientation = 0, .FWHMFactor = 1.25, .XBinning = 2,
        .YBinning = 3, .FocusBinning = 1};
    const std::vector<std::string> expected = {
        "CameraType: CCD", "Manufacturer: Santa Clara Optics", "Image Bits: 16", "Focus Bits: 12",
        "HorizRes: 765", "VertRes: 510", "HorizFocusFrame: 64", "VertFocusFrame: 48",
        "HorizPixel: 9.1", "VertPixel: 9.0", "FocusOffsetY: 4", "FocusOffsetX: -3",
        "DLLFileName: libsim_camera.so", "DLLVersion: 1.2", "Interface Type: 2", "Location00: 1",
        "Orientation: 0", "FWHM Factor: 1.2", "X  Binning: 2", "Y  Binning: 3", "Focus  Binning: 1"};
    EXPECT_EQ(CameraDataLines(info), expected);
    EXPECT_TRUE(IsSbigManufacturer(info.Manufacturer));
    EXPECT_FALSE(IsSbigManufacturer("santa"));
}

TEST(DisplayRules, FigureOfMeritAxes) {
    // Only the peak has an axis of its own; every width shares the HFD one.
    for (auto [kind, title, max] : {std::tuple{3, "Figure of Merit  ( Peak )", 64000.0},
                                    std::tuple{4, "Figure of Merit  ( HFD )", 8.0},
                                    std::tuple{1, "Figure of Merit  ( xFWHM )", 8.0}}) {
        EXPECT_EQ(std::pair(FomAxisFor(kind).title, FomAxisFor(kind).max), std::pair(std::string(title), max)) << kind;
    }
    EXPECT_STREQ(FomName(5), "");
}

TEST(DisplayRules, ChartAxesWidenToShowEveryPointAndNeverNarrow) {
    const struct { double min, max, value, wantMin, wantMax; } cases[] = {
        {1, 8, 5, 1, 8},       {1, 8, 12.5, 1, 15},         {-150, 150, 180, -150, 200}, {-150, 150, -151, -200, 150},
        {0, 10, 11, 0, 15},    {0, 64000, 70000, 0, 70000}, {1, 8, 0.4, 0, 8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WidenToShow(c.min, c.max, c.value), std::pair(c.wantMin, c.wantMax)) << c.value;
    }
}

}  // namespace
}  // namespace kv::test
