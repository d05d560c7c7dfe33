// The real main window with a camera and a focuser behind a device server whose
// camera blurs the star by where its focuser stands.
#include <QLabel>
#include <QTimer>
#include <QSlider>
#include <QSpinBox>
#include <cmath>
#include <functional>
#include <cstdlib>
#include <unistd.h>

#include "app/auto_focus_page.h"
#include "app/exposure_page.h"
#include "app/focusing_view.h"
#include "app/radio_group.h"
#include "app/scripting_service.h"
#include "focuser/indi_focus_control.h"
#include "focuser/voice_thread.h"
#include "focusing/measure_focus.h"
#include "app_test_support.h"
#include "indi/indi_server.h"
#include "private_bus.h"

using kvtest::ProcessEventsUntil;

namespace {

constexpr int kStart = 50000;  // where the server's focuser starts
constexpr int kBest = kStart + 60;
// At defocus scale 1000, 10 steps from best cannot be told from best, and the
// search stops at a bracket a fifth of the distance walked; a wrong turn ends 40 off.
constexpr int kTolerance = 15;
// The curve fit reads the whole curve, not just its flat bottom.
constexpr int kCurveFitTolerance = 5;

// The server's camera with optics and a focus curve best at `best`, blurring by
// where `focuser` stands (the server's own focuser when empty).
void AimCamera(kv::test::IndiServer& server, int best, int defocusScale, const std::string& focuser = {}) {
    ASSERT_TRUE(server.Running());
    ASSERT_TRUE(server.Set("CCD Simulator.CONNECTION.CONNECT=On"));
    if (!focuser.empty()) {
        ASSERT_TRUE(server.Set("CCD Simulator.ACTIVE_DEVICES.ACTIVE_FOCUSER=" + focuser));
    }
    ASSERT_TRUE(server.Set("CCD Simulator.SCOPE_INFO.FOCAL_LENGTH;APERTURE=800;120"));
    ASSERT_TRUE(server.Set("CCD Simulator.EQUATORIAL_PE.RA_PE;DEC_PE=12;45"));
    ASSERT_TRUE(server.Set("CCD Simulator.SIM_FOCUSING.SIM_FOCUS_POSITION;SIM_FOCUS_MAX=" + std::to_string(best) + ";" +
                           std::to_string(defocusScale)));
}

// The real window on a device server of the test's own.
class IndiWindow : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kv::test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    }
    // The window's camera and focuser `device` behind the server, up.
    void OpenWindow(const std::string& device) {
        std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "indi_camera.so", folder.File("indi_camera.so"));
        const std::string port = std::to_string(server->Port());
        folder.Write("indi_camera.ini", "Host=localhost\nPort=" + port + "\nDevice=CCD Simulator\n");
        folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=INDI Camera\r\nFocuser=INDI Focuser\r\nComPort=1\r\n"
                                      "[Ports]\r\nCOM1=indi://localhost:" + port + "/" + device + "\r\n");
        window.emplace(dialogs, folder.Dir(), QStringList{"kessivane"});
        ASSERT_TRUE(window->FormCreate());
        ASSERT_TRUE(window->State().cameraReady);
        ASSERT_TRUE(window->State().portOpen);
        window->show();
        focuser = window->FocusControl();
    }
    // Best focus 60 steps out; the window on the server's focuser; a 500 ms
    // image, where the star stands clear of the noise, and the star picked on it.
    void StartOnSimulators() {
        server.emplace();
        ASSERT_NO_FATAL_FAILURE(AimCamera(*server, kBest, 1000));
        ASSERT_NO_FATAL_FAILURE(OpenWindow("Focuser Simulator"));
        ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->CTSCount() == kStart; }));
        ASSERT_NO_FATAL_FAILURE(ImageAndPickStar());
    }
    void ImageAndPickStar() {
        Find<QSlider>("ExposureMS")->setValue(500);
        Find<QSpinBox>("FocusSamples")->setValue(1);
        Find<QAbstractButton>("GetImageButton")->click();
        auto* camera = window->CameraControl();
        ASSERT_TRUE(ProcessEventsUntil(
            [&] { return camera->Idle() && window->StatusPanelText(0).startsWith(" Image:"); }, 30000));
        ASSERT_EQ(camera->MainImage()->Width(), 1280);
        kv::FoundStar star;
        const QString refused = window->ExposurePage()->PickStar(&star);
        ASSERT_TRUE(refused.isEmpty()) << refused.toStdString();
        ASSERT_TRUE(window->State().starSelected);
    }
    // Clicks Auto Focus and waits for its end.
    bool AutoFocus(int timeoutMs) {
        auto* start = Find<QAbstractButton>("StartSearch");
        start->click();
        return ProcessEventsUntil([&] { return !window->Focusing()->Running() && start->isEnabled(); }, timeoutMs) &&
               ProcessEventsUntil([&] { return focuser->GetIdle(); });
    }
    void CurveFit(int initialStepItem) {
        window->AutoFocusPage()->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
        window->AutoFocusPage()->InitialStepRG()->SetItemIndex(initialStepItem);
    }
    template <class T = QWidget>
    T* Find(const char* name) {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    long ServerPosition() {
        return std::lround(
            std::strtod(server->Get("Focuser Simulator.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION").c_str(), nullptr));
    }
    // The program folder has no voice clips, which is said once per announcement.
    void ExpectOnlyVoiceClipBoxes() {
        for (const auto& box : dialogs.shown) {
            if (box.text.find(kv::kVoiceClipsFailedText) != 0) ADD_FAILURE() << "unexpected message: " << box.text;
        }
    }

    std::optional<kv::test::IndiServer> server;
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
    kv::TFocusControl* focuser = nullptr;
};

// The button's auto focus across the network; the script's curve fit is the
// simulated camera's test, the INDI curve fit the test on Kessivane's own driver.
TEST_F(IndiWindow, AutoFocusWithTheServersCameraAndFocuserEndsAtBestFocusAndAScriptReadsTheTemperature) {
    ASSERT_NO_FATAL_FAILURE(StartOnSimulators());
    Find<QSlider>("ExposureMS")->setValue(20);
    // 60 steps from best focus needs the 150-step bracket.
    window->AutoFocusPage()->InitialStepRG()->SetItemIndex(5);
    ASSERT_TRUE(AutoFocus(180000));
    // The server's own position: the search counts from where it started.
    EXPECT_LE(std::abs(ServerPosition() - kBest), kTolerance);
    EXPECT_EQ(window->StatusPanelText(0), QString::fromLatin1(kv::kSearchCompletePanelText));
    ExpectOnlyVoiceClipBoxes();

    kvtest::PrivateBus bus(QStringLiteral("kv-indi-script-test"));
    if (!bus.Up()) GTEST_SKIP() << "the script part needs dbus-daemon";
    QString why;
    ASSERT_TRUE(RegisterScripting(*window, bus.Connection(), &*window, &why)) << why.toStdString();
    // The device's own temperature reaches a script, as it reaches the
    // temperature trigger: the last value the device sent, asked of nobody.
    ASSERT_TRUE(server->Set("Focuser Simulator.FOCUS_TEMPERATURE.TEMPERATURE=7.5"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return kv::KeptTemperatureOf(focuser) == 7.5; }));
    const auto temperature = bus.RunTool(QStringLiteral("kessivanectl"), {QStringLiteral("temperature")});
    EXPECT_EQ(temperature.out, QStringLiteral("7.5\n")) << temperature.err.toStdString();
}

// Far out the star has outgrown the focus frame: the curve fit finds it on whole
// images first. The simulated camera's test comes in from the other side.
TEST_F(IndiWindow, CurveFitFromFarOutEndsAtTheSimulatorsBestFocus) {
    ASSERT_NO_FATAL_FAILURE(StartOnSimulators());
    focuser->MoveBy(kBest - 800 - ServerPosition());
    ASSERT_TRUE(ProcessEventsUntil([&] { return ServerPosition() == kBest - 800 && focuser->GetIdle(); }, 60000));
    CurveFit(2);
    ASSERT_TRUE(AutoFocus(300000));
    EXPECT_LE(std::abs(ServerPosition() - kBest), kCurveFitTolerance) << window->StatusPanelText(0).toStdString();
    EXPECT_TRUE(window->StatusPanelText(0).contains(QStringLiteral("whole-image frames")))
        << window->StatusPanelText(0).toStdString();
}

// The window's INDI focuser on Kessivane's own driver, which drives the
// simulated hub, and the CCD simulator's star blurring by where it stands: a
// curve fit from 200 steps out ends within a tenth of its step of best focus.
TEST_F(IndiWindow, CurveFitThroughKessivanesOwnDriverOverTheSimulatedHubEndsAtBestFocus) {
    const std::string driver = std::string(KV_BIN_DIR) + "/indi_kessivane_focuser";
    if (access(driver.c_str(), X_OK) != 0) GTEST_SKIP() << "the driver was not built (no INDI driver library)";
    const std::string device = "Kessivane Focuser";
    server.emplace(std::vector<std::string>{"indi_simulator_ccd", driver}, std::vector<std::string>{},
                   std::vector<std::string>{"CCD Simulator", device});
    ASSERT_TRUE(server->Running());
    ASSERT_TRUE(server->Set(device + ".DEVICE_PORT.PORT=sim:hub"));
    ASSERT_TRUE(server->Set(device + ".CONNECTION.CONNECT=On"));
    const auto position = [&] {
        const std::string text = server->Get(device + ".ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION");
        return text.empty() ? -1L : std::lround(std::strtod(text.c_str(), nullptr));
    };
    ASSERT_TRUE(ProcessEventsUntil([&] { return position() >= 0; }, 20000));
    constexpr int kDriverBest = 1500;
    ASSERT_TRUE(server->Set(device + ".FOCUS_SYNC.FOCUS_SYNC_VALUE=" + std::to_string(kDriverBest + 200)));
    ASSERT_TRUE(ProcessEventsUntil([&] { return position() == kDriverBest + 200; }, 10000));

    ASSERT_NO_FATAL_FAILURE(AimCamera(*server, kDriverBest, 1500, device));
    ASSERT_NO_FATAL_FAILURE(OpenWindow(device));
    ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->CTSCount() == kDriverBest + 200; }));
    // Move To takes the driver's travel, counted as the window counts (from the same 0 here).
    const int travel = std::atoi(server->Get(device + ".FOCUS_MAX.FOCUS_MAX_VALUE").c_str());
    auto* moveTo = Find<QSpinBox>("MoveToSE");
    EXPECT_TRUE(ProcessEventsUntil([&] { return moveTo->minimum() == 0 && moveTo->maximum() == travel; }))
        << moveTo->minimum() << " to " << moveTo->maximum() << ", the driver's travel 0 to " << travel;

    ASSERT_NO_FATAL_FAILURE(ImageAndPickStar());
    Find<QSpinBox>("FocusSamples")->setValue(5);
    Find<QSlider>("ExposureMS")->setValue(100);
    CurveFit(2);  // 50 steps
    Find<QSpinBox>("FitPointsSE")->setValue(4);
    ASSERT_TRUE(AutoFocus(300000));
    EXPECT_TRUE(window->StatusPanelText(0).startsWith(QStringLiteral("Curve fit: "))) << window->StatusPanelText(0).toStdString();
    EXPECT_LE(std::abs(position() - kDriverBest), kCurveFitTolerance) << window->StatusPanelText(0).toStdString();
    // The window counts from where the search started, the driver absolutely.
    EXPECT_EQ(focuser->CTSCount(), position() - (kDriverBest + 200)) << "the window and the driver agree on the moves";
    ExpectOnlyVoiceClipBoxes();
}

// The window (shown, not yet created) with its camera and focuser both behind
// a server that takes connections and never answers.
class IndiSilentServer : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "indi_camera.so", folder.File("indi_camera.so"));
        folder.Write("indi_camera.ini", "Host=localhost\nPort=" + port + "\n");
        folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=INDI Camera\r\nFocuser=INDI Focuser\r\nComPort=1\r\n"
                                      "[Ports]\r\nCOM1=indi://localhost:" + port + "/Focuser Simulator\r\n");
        window.emplace(dialogs, folder.Dir(), QStringList{"kessivane"});
        window->show();
    }
    kv::test::SilentServer silent;
    const std::string port = std::to_string(silent.Port());
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
};

// Start-up and the update wait for a silent server on workers, each in a box
// naming the device, the window turning. Cancel ends the wait at once and the
// status says what to do; the plug-in's call goes on in the background and is
// not made again. Left alone, a wait lasts the server's whole time-out.
TEST_F(IndiSilentServer, TheWaitBoxCancelsTheWaitAndNamesTheDevice) {
    const std::string server = "localhost:" + port;
    std::vector<std::string> boxes;
    bool cancelling = true;
    int turns = 0;
    QTimer canceller;
    canceller.setInterval(20);
    QObject::connect(&canceller, &QTimer::timeout, [&] {
        ++turns;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!cancelling) break;
            if (w->objectName() != QLatin1String("DeviceWaitBox") || !w->isVisible()) continue;
            boxes.push_back(w->findChild<QLabel*>(QStringLiteral("DeviceWaitText"))->text().toStdString());
            w->findChild<QAbstractButton*>(QStringLiteral("DeviceWaitCancel"))->click();
        }
    });
    canceller.start();
    const auto cancelled = [&](const char* what, const std::function<void()>& run) {
        boxes.clear();
        QElapsedTimer clock;
        clock.start();
        run();
        EXPECT_LT(clock.elapsed(), kv::kIndiConnectWaitMs) << what;
    };
    const std::string focuserBox = "Waiting for the INDI focuser \"Focuser Simulator\" at " + server + " to answer...";
    const std::string whatNext = "cancelled; check that the INDI server at " + server + " answers, then use Update";

    cancelled("Start-up", [&] { ASSERT_TRUE(window->FormCreate()); });
    EXPECT_EQ(boxes, (std::vector<std::string>{"Waiting for the camera plug-in indi_camera.so to answer...", focuserBox}));
    EXPECT_FALSE(window->State().cameraReady);
    EXPECT_FALSE(window->State().portOpen);
    EXPECT_FALSE(window->FocusControl()->PortOpen());
    EXPECT_NE(window->CameraControl()->CancelledText().find("indi_camera.so did not answer"), std::string::npos)
        << window->CameraControl()->CancelledText();
    EXPECT_TRUE(window->StatusPanelText(0).endsWith(QString::fromStdString(whatNext)))
        << window->StatusPanelText(0).toStdString();

    cancelled("The parameter update", [&] { window->UpdatePgmParameters(false); });
    EXPECT_EQ(boxes, std::vector<std::string>{focuserBox});
    EXPECT_NE(window->CameraControl()->CancelledText().find("indi_camera.so has not yet returned"), std::string::npos)
        << window->CameraControl()->CancelledText();
    EXPECT_FALSE(window->State().portOpen);
    EXPECT_TRUE(window->StatusPanelText(0).endsWith(QString::fromStdString(whatNext)));
    // Said in the status bar and the log, not in a box over the one just cancelled.
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text;

    cancelling = false;
    turns = 0;
    QElapsedTimer clock;
    clock.start();
    window->UpdatePgmParameters(false);
    EXPECT_GE(clock.elapsed(), kv::kIndiConnectWaitMs) << "the update did not wait for the server";
    EXPECT_GT(turns, 10) << "the window stood still while it waited";
    EXPECT_FALSE(window->State().portOpen);
}

// With the server gone the window's port is closed as the focuser's is, and
// a script's move is refused with the reason instead of passing for done.
TEST_F(IndiWindow, AfterTheServerIsLostTheWindowsPortIsClosedAndAScriptedMoveRefused) {
    kvtest::PrivateBus bus(QStringLiteral("kv-indi-lost-test"));
    if (!bus.Up()) GTEST_SKIP() << "needs dbus-daemon";
    server.emplace(std::vector<std::string>{"indi_simulator_focus"}, std::vector<std::string>{},
                   std::vector<std::string>{"Focuser Simulator"});
    ASSERT_TRUE(server->Running());
    folder.Write("Kessivane.ini", "[Device/Ports]\r\nFocuser=INDI Focuser\r\nComPort=1\r\n[Ports]\r\nCOM1=indi://localhost:" +
                                      std::to_string(server->Port()) + "/Focuser Simulator\r\n");
    window.emplace(dialogs, folder.Dir(), QStringList{"kessivane"});
    ASSERT_TRUE(window->FormCreate());
    ASSERT_TRUE(window->State().portOpen);
    QString why;
    ASSERT_TRUE(RegisterScripting(*window, bus.Connection(), &*window, &why)) << why.toStdString();

    server->Kill();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->PortOpen(); }));
    EXPECT_FALSE(window->State().portOpen);
    const auto moved = bus.RunTool(QStringLiteral("kessivanectl"), {QStringLiteral("move-by"), QStringLiteral("100")});
    EXPECT_EQ(moved.exitCode, 1) << moved.out.toStdString();
    EXPECT_TRUE(moved.err.contains(QStringLiteral("The focuser is not connected"))) << moved.err.toStdString();
}

}  // namespace
