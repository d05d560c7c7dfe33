#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>

#include "camera/focus_figures.h"
#include "camera/plugin_host.h"
#include "indi/indi_server.h"
#include "platform/named_event.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"
#include "support/temp_files.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::IndiServer;

constexpr int kFocusSize = 64;

// The plug-in as the program loads it, from a folder with its settings file
// beside it, against the simulated camera.
class IndiCamera : public ::testing::Test {
protected:
    void SetUp() override {
        if (!IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
        server = std::make_unique<IndiServer>();
        ASSERT_TRUE(server->Running());
        std::filesystem::copy_file(std::string(KV_BIN_DIR) + "/indi_camera.so", folder.File("indi_camera.so"));
    }
    void Configure(const std::string& device) {
        folder.Write("indi_camera.ini", "Host=localhost\nPort=" + std::to_string(server->Port()) + "\nDevice=" + device +
                                            "\nFocusWidth=" + std::to_string(kFocusSize) +
                                            "\nFocusHeight=" + std::to_string(kFocusSize) + "\n");
        camera = std::make_unique<CameraPlugin>(dialogs, folder.Path().string());
    }

    test::RecordingDialogs dialogs;
    test::TempDir folder;
    std::unique_ptr<IndiServer> server;
    std::unique_ptr<CameraPlugin> camera;
};

TEST_F(IndiCamera, TheStarSitsWhereTheSkyPutsItAndSharpensTowardsBestFocus) {
    // Optics and a pointing, which the simulator needs before it draws stars,
    // and best focus 6000 steps inside where its focuser starts.
    ASSERT_TRUE(server->Set("CCD Simulator.CONNECTION.CONNECT=On"));
    ASSERT_TRUE(server->Set("CCD Simulator.SCOPE_INFO.FOCAL_LENGTH;APERTURE=800;120"));
    ASSERT_TRUE(server->Set("CCD Simulator.EQUATORIAL_PE.RA_PE;DEC_PE=12;45"));
    ASSERT_TRUE(server->Set("CCD Simulator.SIM_FOCUSING.SIM_FOCUS_POSITION=44000"));
    Configure("CCD Simulator");
    ASSERT_TRUE(camera->Initialize("indi_camera.so"));
    ASSERT_EQ(std::tuple(camera->Info().HorizRes, camera->Info().VertRes), std::tuple(1280, 1024));

    // 5.2 um pixels at 800 mm; this simulator's sensor has north towards -x
    // and east towards +y.
    const double arcsecPerPixel = 206.265 * 5.2 / 800.0;
    const double starX = 640 - IndiServer::kStarNorthArcmin * 60 / arcsecPerPixel;
    const double starY = 512 + IndiServer::kStarEastArcmin * 60 / arcsecPerPixel;
    TImageObject& image = *camera->MainImage();
    image.SetExposureTime(1.0);
    ASSERT_TRUE(camera->GetImageObject());
    const std::uint16_t* p = image.Pixels();
    const auto brightest = std::max_element(p, p + image.NumPixels()) - p;
    EXPECT_NEAR(brightest % image.Width(), starX, 3);
    EXPECT_NEAR(brightest / image.Width(), starY, 3);

    // The focuser moves the star's blur through the simulator; the focus frame
    // is cut around the star.
    test::TempDir settings;
    auto focuser = test::IndiFocuserOn(*server, "Focuser Simulator", dialogs, settings);
    ASSERT_TRUE(focuser->OpenPort());
    ASSERT_TRUE(test::Eventually([&] { return focuser->CTSCount() == 50000; }, 5s));
    auto done = OpenNamedEvent(kGeneralDelayEvent);
    TImageObject& frame = *camera->FocusImage();
    ASSERT_EQ(frame.Width(), kFocusSize);
    frame.SetExposureTime(0.5);
    std::vector<double> fwhm;
    for (int position : {50000, 47000, 44000}) {
        if (focuser->CTSCount() != position) {
            focuser->MoveTo(position);
            ASSERT_EQ(done->Wait(10s), WaitResult::Signalled);
        }
        ASSERT_TRUE(camera->GetFocusObject(static_cast<int>(std::lround(starX)), static_cast<int>(std::lround(starY)), 1.0));
        FocusReading reading;
        ComputeFocusFigures(frame, FocusSettings{}, reading);
        EXPECT_LE(std::max(std::abs(reading.PeakX - kFocusSize / 2), std::abs(reading.PeakY - kFocusSize / 2)), 3) << position;
        fwhm.push_back(reading.FWHM);
    }
    EXPECT_TRUE(fwhm[0] > fwhm[1] && fwhm[1] > fwhm[2]) << fwhm[0] << " " << fwhm[1] << " " << fwhm[2];
    focuser->ClosePort();
    camera->Uninitialize();
}

TEST_F(IndiCamera, AServerGoneMidExposureFailsTheFrameAtOnce) {
    Configure("CCD Simulator");
    ASSERT_TRUE(camera->Initialize("indi_camera.so"));
    TImageObject& frame = *camera->FocusImage();
    frame.SetExposureTime(30.0);
    const auto start = std::chrono::steady_clock::now();
    auto exposure = std::async(std::launch::async, [&] { return camera->GetFocusObject(640, 512, 1.0); });
    std::this_thread::sleep_for(500ms);
    server->Kill();
    // Waiting out the exposure would take 30 s.
    ASSERT_EQ(exposure.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(exposure.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    camera->Uninitialize();
}

// The folder scan lists the plug-in from its settings alone: a camera that
// is not the chosen one is never connected to.
TEST(IndiCameraScan, ListsThePluginWithoutConnectingToItsServer) {
    test::SilentServer silent;
    test::TempDir folder;
    std::filesystem::copy_file(std::string(KV_BIN_DIR) + "/indi_camera.so", folder.File("indi_camera.so"));
    folder.Write("indi_camera.ini", "Host=localhost\nPort=" + std::to_string(silent.Port()) + "\n");
    const CameraList list = ScanForPlugins(folder.Path().string());
    EXPECT_EQ(list.names, std::vector<std::string>{"INDI Camera"});
    EXPECT_FALSE(silent.Connected());
}

// A host that queries the plug-in, unloads it and exits while the library
// stays loaded (a unique symbol, or a host that never unloads, keeps it): the
// link to the server ends without depending on the order statics go in.
TEST_F(IndiCamera, AHostThatQueriesUnloadsAndExitsWhileTheLibraryStaysEndsCleanly) {
    Configure("CCD Simulator");
    const std::string path = folder.File("indi_camera.so");
    EXPECT_EXIT(
        {
            void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
            if (library == nullptr) std::_Exit(3);
            TCameraData data{};
            reinterpret_cast<KVQueryCameraDataProc>(dlsym(library, "DLLQueryCameraData"))(&data);
            reinterpret_cast<KVInitCameraProc>(dlsym(library, "DLLInitCamera"))(1);
            dlclose(library);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// An installed program folder is not the user's to write: the file in the
// user's settings folder comes before the stale one beside the plug-in.
TEST_F(IndiCamera, AnUnknownDeviceFailsByNameAndTheUsersOwnSettingsFileComesFirst) {
    Configure("No Such Camera");
    testing::internal::CaptureStderr();
    camera->Initialize("indi_camera.so");
    EXPECT_FALSE(camera->Initialized());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("has no device \"No Such Camera\""), std::string::npos) << said;

    test::TempDir own;
    own.Write("indi_camera.ini", "Port=" + std::to_string(server->Port()) + "\nDevice=CCD Simulator\n");
    setenv("KESSIVANE_HOME", own.Path().c_str(), 1);
    camera = std::make_unique<CameraPlugin>(dialogs, folder.Path().string());
    EXPECT_TRUE(camera->Initialize("indi_camera.so") && camera->Initialized());
    camera->Uninitialize();
    unsetenv("KESSIVANE_HOME");
}

}  // namespace
}  // namespace kv
