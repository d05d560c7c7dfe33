#include "camera/plugin_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <tuple>

#include "shell/log_channel.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

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
    return std::find(lines.begin(), lines.end(), text) != lines.end();
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
        ProgramLog::Instance().logging = true;
        ProgramLog::Instance().timestamp = false;
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
    EXPECT_EQ(log.front(), "Scanning for Camera Plug-ins");
    EXPECT_TRUE(Contains(log, "Camera Found: Test Camera version: 9.8"));
    EXPECT_TRUE(Contains(log, "Camera Found: kvt_null_texts.so version: "));
    EXPECT_TRUE(dialogs.Texts().empty());

    // An empty or missing folder gives an empty list.
    EXPECT_EQ(ScanForPlugins(dir.File("folder.so")).size(), 0u);
    EXPECT_EQ(ScanForPlugins(dir.File("missing")).size(), 0u);
}

TEST_F(PluginHostTest, InitializeCopiesTheWholeRecordAndBindsTheCalls) {
    CameraPlugin camera(dialogs, kTestPlugins);
    camera.SetParPort(3);
    ASSERT_TRUE(camera.Initialize("kvt_good.so"));
    EXPECT_TRUE(camera.Initialized());
    EXPECT_EQ(PluginCounter("kvt_good.so", "kvt_last_port"), 3);

    // Every field as the C compiler laid it out in the plug-in: one after
    // each change of type is enough to catch a shifted layout.
    const CameraInfo i = camera.Info();
    EXPECT_EQ(std::tuple(i.CameraType, i.Manufacturer, i.ImageBits, i.VertFocusFrame, i.HorizPixel, i.VertPixel),
              std::tuple("Test type", "Santa Test Works", 12, 12, 6.8, 6.8 * 1.25));
    EXPECT_EQ(std::tuple(i.DownloadTime, i.DLLVersion, i.Orientation, i.FWHMFactor, i.FocusBinning),
              std::tuple(250, "9.8", 8, 1.5, 2));

    ASSERT_NE(camera.FocusImage(), nullptr);
    EXPECT_EQ(std::pair(camera.MainImage()->Height(), camera.FocusImage()->Width()), std::pair(24, 16));
    EXPECT_EQ(camera.GetCalibrate(), 42);

    EXPECT_TRUE(camera.SetUpExpose());
    camera.MainImage()->SetIsUpdated(true);
    ASSERT_TRUE(camera.GetImageObject());
    EXPECT_FALSE(camera.MainImage()->IsUpdated());
    EXPECT_EQ(camera.MainImage()->Pixel(31, 23), 2331);
    ASSERT_TRUE(camera.GetFocusObject(120, 80, 2.0));
    EXPECT_EQ(std::pair(PluginCounter("kvt_good.so", "kvt_last_x"), PluginCounter("kvt_good.so", "kvt_last_y")),
              std::pair(120, 80));
    EXPECT_EQ(camera.FocusImage()->Pixel(1, 1), 2101);

    EXPECT_EQ(TakeProgramLog(),
              (std::vector<std::string>{"Linking Camera plug-in", "Camera plug-in linked", "Main Image object instantiated",
                                        "Focus Image object instantiated", "Plug-in reported successful initialization"}));
    camera.Uninitialize();
    EXPECT_FALSE(camera.Loaded());
    EXPECT_EQ(camera.MainImage(), nullptr);
    EXPECT_FALSE(camera.GetImageObject());
    EXPECT_EQ(TakeProgramLog(), (std::vector<std::string>{"In CameraControl Unitialization method",
                                                          "Main image object freed", "Focus image object freed",
                                                          "Camera plug-in freed"}));
    EXPECT_TRUE(dialogs.Texts().empty());
}

TEST_F(PluginHostTest, InitializingAgainIsRefusedUnlessTheCameraFailed) {
    CameraPlugin camera(dialogs, kTestPlugins);
    EXPECT_TRUE(camera.Initialize("kvt_init_fails.so"));
    EXPECT_FALSE(camera.Initialized());
    EXPECT_NE(camera.MainImage(), nullptr);
    EXPECT_TRUE(Contains(TakeProgramLog(), "Plug-in reported initialization FAILED"));
    // Choosing again releases the failed binding instead of leaking it.
    ASSERT_TRUE(camera.Initialize("kvt_good.so"));
    EXPECT_EQ(PluginCounter("kvt_init_fails.so", "kvt_init_calls"), -1);  // no longer loaded
    EXPECT_TRUE(dialogs.Texts().empty());

    TImageObject* main = camera.MainImage();
    EXPECT_FALSE(camera.Initialize("kvt_good.so"));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"TCameraControl already initialized"});
    EXPECT_TRUE(camera.Initialized());
    EXPECT_EQ(camera.MainImage(), main);
    EXPECT_EQ(PluginCounter("kvt_good.so", "kvt_init_calls"), 1);
}

TEST_F(PluginHostTest, LibrariesThatCannotServeAreRefused) {
    CameraPlugin camera(dialogs, kTestPlugins);
    EXPECT_FALSE(camera.Initialize("kvt_no_export.so"));
    EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Can't link to Camera dll functions"});
    EXPECT_FALSE(camera.Loaded());
    EXPECT_EQ(camera.MainImage(), nullptr);

    EXPECT_FALSE(camera.Initialize("no_such_plugin.so"));
    EXPECT_EQ(dialogs.Texts().size(), 1u);  // the caller reports a plain load failure

    // Only DLLQueryCameraData: bound, but the missing calls are never made.
    EXPECT_TRUE(camera.Initialize("kvt_query_only.so"));
    EXPECT_FALSE(camera.Initialized());
    EXPECT_FALSE(camera.SetUpExpose());
    EXPECT_FALSE(camera.GetImageObject());
    EXPECT_FALSE(camera.GetFocusObject(1, 1, 1.0));
    EXPECT_EQ(camera.GetCalibrate(), 0);
    EXPECT_TRUE(Contains(TakeProgramLog(), "Camera plug-in does not export DLLGetFocusObject"));
}

TEST_F(PluginHostTest, UnusableFrameSizesRefuseTheCameraWithAMessage) {
    for (const char* file : {"kvt_zero_size.so", "kvt_negative_size.so", "kvt_huge_size.so", "kvt_huge_focus.so"}) {
        SCOPED_TRACE(file);
        test::RecordingDialogs local;
        CameraPlugin camera(local, kTestPlugins);
        EXPECT_FALSE(camera.Initialize(file));
        EXPECT_FALSE(camera.Loaded());
        EXPECT_EQ(camera.FocusImage(), nullptr);
        ASSERT_EQ(local.Texts().size(), 1u);
        EXPECT_EQ(local.Texts()[0].rfind("The camera plug-in reports an unusable ", 0), 0u) << local.Texts()[0];
    }
    EXPECT_EQ(CheckFrameSize(32768, 2048), "");
    EXPECT_EQ(CheckFrameSize(32769, 1), "32769 x 1 pixels");
    EXPECT_NE(CheckFrameSize(10000, 10000), "");  // above 64 Mpixel in all
}

TEST_F(PluginHostTest, NullTextsLongTextsAndBadDivisorsAreGuarded) {
    CameraPlugin camera(dialogs, kTestPlugins);
    ASSERT_TRUE(camera.Initialize("kvt_null_texts.so"));
    EXPECT_TRUE(camera.Initialized());
    EXPECT_EQ(std::tuple(camera.Info().Manufacturer, camera.Info().FocusBinning, camera.Info().VertPixel),
              std::tuple("", 1, 1.0));
    const auto log = TakeProgramLog();
    EXPECT_TRUE(Contains(log, "Camera plug-in reported FocusBinning 0; 1 is used"));
    EXPECT_TRUE(Contains(log, "Camera plug-in reported pixel size 0 x 0; 1 x 1 is used"));
    // The refresh before a main exposure guards the same way.
    camera.QueryCameraData();
    EXPECT_EQ(camera.Info().FocusBinning, 1);

    // One bad pixel size resets both; texts are cut.
    const std::string longText(5000, 'x');
    TCameraData raw{};
    raw.CameraName = longText.c_str();
    raw.HorizPixel = 9.0;
    raw.VertPixel = -9.0;
    raw.XBinning = -2;
    raw.YBinning = 0;
    raw.FocusBinning = 3;
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
    EXPECT_EQ(std::pair(focus.Pixel(1, 1), focus.Pixel(32, 32)), std::pair(std::uint16_t{400}, std::uint16_t{10400}));
    ASSERT_TRUE(camera.GetImageObject());
    EXPECT_EQ(std::pair(camera.MainImage()->MaxX(), camera.MainImage()->MaxY()), std::pair(320, 240));
}

}  // namespace
}  // namespace kv
