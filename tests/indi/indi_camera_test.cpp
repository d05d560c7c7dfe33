#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "camera/plugin_host.h"
#include "indi/indi_server.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

// The plug-in as the program loads it, from a folder with its settings file
// beside it, against the simulated camera.
TEST(IndiCamera, TakesAFocusFrameThroughThePluginHost) {
    if (!test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    test::IndiServer server;
    ASSERT_TRUE(server.Running());
    test::TempDir folder;
    std::filesystem::copy_file(std::string(KV_BIN_DIR) + "/indi_camera.so", folder.File("indi_camera.so"));
    folder.Write("indi_camera.ini", "Host=localhost\nPort=" + std::to_string(server.Port()) +
                                        "\nDevice=CCD Simulator\nFocusWidth=48\nFocusHeight=40\n");
    test::RecordingDialogs dialogs;
    CameraPlugin camera(dialogs, folder.Path().string());
    ASSERT_TRUE(camera.Initialize("indi_camera.so"));
    ASSERT_TRUE(camera.Initialized());
    const CameraInfo info = camera.Info();
    EXPECT_EQ(info.HorizRes, 1280);  // the simulator's sensor
    EXPECT_EQ(info.VertRes, 1024);

    TImageObject& frame = *camera.FocusImage();
    ASSERT_EQ(frame.Width(), 48);
    ASSERT_EQ(frame.Height(), 40);
    frame.SetExposureTime(0.1);
    camera.SetUpExpose();
    ASSERT_TRUE(camera.GetFocusObject(640, 512, 1.0));
    const std::uint16_t* p = frame.Pixels();
    EXPECT_TRUE(std::any_of(p, p + frame.NumPixels(), [](std::uint16_t v) { return v != 0; }));

    // A server gone mid-session fails the next frame instead of hanging it.
    server.Kill();
    EXPECT_FALSE(camera.GetFocusObject(640, 512, 1.0));
    camera.Uninitialize();
}

}  // namespace
}  // namespace kv
