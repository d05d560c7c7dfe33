// The real main window with a camera and a focuser behind a device server whose
// camera blurs the star by where its focuser stands: an auto focus closes the
// loop across the network, the plug-in and the focuser driver together.
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
// At defocus scale 1000 the star's FWHM is 2.70 px at best focus, 2.76 px 20
// steps away, 3.24 px 60 away, with 0.01 px between frames: 10 steps from best
// it cannot be told from best, and the search stops once its bracket is a fifth
// of the distance walked. 15 steps holds both; a wrong turn ends 40 or more away.
constexpr int kTolerance = 15;
// The curve fit reads the whole curve, not just its flat bottom.
constexpr int kCurveFitTolerance = 5;

// The server's camera with optics, a pointing and a focus curve with its best
// point at `best`, `defocusScale` steep, blurring by where `focuser` stands
// (the server's own focuser when empty).
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

// The window's camera and focuser `device` behind that server, up.
void OpenWindow(kv::test::IndiServer& server, const std::string& device, kvtest::ProgramFolder& folder,
                kvtest::RecordingDialogs& dialogs, std::optional<TMainForm>& window) {
    std::filesystem::copy_file(std::filesystem::path(KV_BIN_DIR) / "indi_camera.so", folder.File("indi_camera.so"));
    const std::string port = std::to_string(server.Port());
    folder.Write("indi_camera.ini", "Host=localhost\nPort=" + port + "\nDevice=CCD Simulator\n");
    folder.Write("Kessivane.ini", "[Device/Ports]\r\nCamera=INDI Camera\r\nFocuser=INDI Focuser\r\nComPort=1\r\n"
                                  "[Ports]\r\nCOM1=indi://localhost:" + port + "/" + device + "\r\n");
    window.emplace(dialogs, folder.Dir(), QStringList{"kessivane"});
    ASSERT_TRUE(window->FormCreate());
    ASSERT_TRUE(window->State().cameraReady);
    ASSERT_TRUE(window->State().portOpen);
    window->show();
}

// The server's focus curve with its best point 60 steps out; the window on
// the server's focuser, showing its start.
void StartOnSimulators(kv::test::IndiServer& server, int defocusScale, kvtest::ProgramFolder& folder,
                       kvtest::RecordingDialogs& dialogs, std::optional<TMainForm>& window) {
    ASSERT_NO_FATAL_FAILURE(AimCamera(server, kBest, defocusScale));
    ASSERT_NO_FATAL_FAILURE(OpenWindow(server, "Focuser Simulator", folder, dialogs, window));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window->FocusControl()->CTSCount() == kStart; }));
}

// A main image at 500 ms, long enough for the star to stand clear of the
// noise (the focus frames are single and short), and the star Pick Star
// chooses on it.
void ImageAndPickStar(TMainForm& window) {
    const auto find = [&](const char* name) { return window.findChild<QWidget*>(QString::fromLatin1(name)); };
    qobject_cast<QSlider*>(find("ExposureMS"))->setValue(500);
    qobject_cast<QSpinBox*>(find("FocusSamples"))->setValue(1);
    qobject_cast<QAbstractButton*>(find("GetImageButton"))->click();
    auto* camera = window.CameraControl();
    ASSERT_TRUE(ProcessEventsUntil([&] { return camera->Idle() && window.StatusPanelText(0).startsWith(" Image:"); },
                                   30000));
    ASSERT_EQ(camera->MainImage()->Width(), 1280);
    kv::FoundStar star;
    const QString refused = window.ExposurePage()->PickStar(&star);
    ASSERT_TRUE(refused.isEmpty()) << refused.toStdString();
    ASSERT_TRUE(window.State().starSelected);
}

long ServerPosition(kv::test::IndiServer& server) {
    return std::lround(
        std::strtod(server.Get("Focuser Simulator.ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION").c_str(), nullptr));
}

TEST(IndiWindow, AutoFocusAndAScriptsCurveFitWithTheServersCameraAndFocuserEndAtTheSimulatorsBestFocus) {
    if (!kv::test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    kv::test::IndiServer server;
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
    StartOnSimulators(server, 1000, folder, dialogs, window);
    if (HasFatalFailure()) return;
    kv::TFocusControl* focuser = window->FocusControl();
    const auto find = [&](const char* name) { return window->findChild<QWidget*>(QString::fromLatin1(name)); };

    ImageAndPickStar(*window);
    if (HasFatalFailure()) return;
    qobject_cast<QSlider*>(find("ExposureMS"))->setValue(20);

    // 60 steps from best focus needs the 150-step bracket.
    window->AutoFocusPage()->InitialStepRG()->SetItemIndex(5);
    auto* start = qobject_cast<QAbstractButton*>(find("StartSearch"));
    start->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->Focusing()->Running() && start->isEnabled(); }, 180000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->GetIdle(); }));
    // The server's own position: the search counts from where it started.
    EXPECT_LE(std::abs(ServerPosition(server) - kBest), kTolerance);
    EXPECT_EQ(window->StatusPanelText(0), QString::fromLatin1(kv::kSearchCompletePanelText));
    // A gentler curve (defocus scale 1500): 250 steps out the star still
    // stands clear of the noise, which the walk's far side reaches; five
    // frames a reading. The camera draws a new curve once the focuser moves.
    ASSERT_TRUE(server.Set("CCD Simulator.SIM_FOCUSING.SIM_FOCUS_POSITION;SIM_FOCUS_MAX=" + std::to_string(kBest) +
                           ";1500"));
    qobject_cast<QSpinBox*>(find("FocusSamples"))->setValue(5);
    qobject_cast<QSpinBox*>(find("FitPointsSE"))->setValue(4);

    // A script's focus run (the one the simulated observatory passes): the
    // curve fit from 200 steps off, its image and star its own. The button's
    // curve fit is the test on Kessivane's own driver below.
    kvtest::PrivateBus bus(QStringLiteral("kv-indi-script-test"));
    if (!bus.Up()) GTEST_SKIP() << "the script part needs dbus-daemon";
    QString why;
    ASSERT_TRUE(RegisterScripting(*window, bus.Connection(), &*window, &why)) << why.toStdString();
    // The device's own temperature reaches a script, as it reaches the
    // temperature trigger: the last value the device sent, asked of nobody.
    ASSERT_TRUE(server.Set("Focuser Simulator.FOCUS_TEMPERATURE.TEMPERATURE=7.5"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return kv::KeptTemperatureOf(focuser) == 7.5; }));
    const auto temperature = bus.RunTool(QStringLiteral("kessivanectl"), {QStringLiteral("temperature")});
    EXPECT_EQ(temperature.out, QStringLiteral("7.5\n")) << temperature.err.toStdString();
    focuser->MoveBy(kBest + 200 - ServerPosition(server));
    ASSERT_TRUE(ProcessEventsUntil([&] { return ServerPosition(server) == kBest + 200 && focuser->GetIdle(); }, 30000));
    auto* exposure = qobject_cast<QSlider*>(find("ExposureMS"));
    exposure->setValue(500);
    // At 20 ms the star's width wanders by 0.2 px from frame to frame in the
    // simulator's noise, which moves the fit's bottom by 5 steps; at 100 ms
    // it ends on the best focus.
    const kvtest::FocusScript run = kvtest::RunFocusScript(
        bus, {QStringLiteral("--method"), QStringLiteral("fit"), QStringLiteral("--step"), QStringLiteral("50")}, 300000,
        [&] { exposure->setValue(100); });
    ASSERT_TRUE(run.failure.isEmpty()) << run.failure.toStdString();
    EXPECT_EQ(run.position, focuser->CTSCount());
    EXPECT_LE(std::abs(ServerPosition(server) - kBest), kCurveFitTolerance) << run.result.toStdString();

    // The program folder has no voice clips, which is said once per announcement.
    for (const auto& box : dialogs.shown) {
        if (box.text.find(kv::kVoiceClipsFailedText) != 0) ADD_FAILURE() << "unexpected message: " << box.text;
    }
}

// Far out on the simulators the star has outgrown the 64-pixel focus frame:
// the curve fit finds it on whole images first. The simulated camera's test
// comes in from the other side.
TEST(IndiWindow, CurveFitFromFarOutEndsAtTheSimulatorsBestFocus) {
    if (!kv::test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    kv::test::IndiServer server;
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
    StartOnSimulators(server, 1000, folder, dialogs, window);
    if (HasFatalFailure()) return;
    kv::TFocusControl* focuser = window->FocusControl();
    ImageAndPickStar(*window);
    if (HasFatalFailure()) return;
    focuser->MoveBy(kBest - 800 - ServerPosition(server));
    ASSERT_TRUE(ProcessEventsUntil([&] { return ServerPosition(server) == kBest - 800 && focuser->GetIdle(); }, 60000));
    window->AutoFocusPage()->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
    window->AutoFocusPage()->InitialStepRG()->SetItemIndex(2);
    auto* start = window->findChild<QAbstractButton*>(QStringLiteral("StartSearch"));
    start->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->Focusing()->Running() && start->isEnabled(); }, 300000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->GetIdle(); }));
    EXPECT_LE(std::abs(ServerPosition(server) - kBest), kCurveFitTolerance) << window->StatusPanelText(0).toStdString();
    EXPECT_TRUE(window->StatusPanelText(0).contains(QStringLiteral("whole-image frames")))
        << window->StatusPanelText(0).toStdString();
}

// Kessivane's own driver shares the focuser: the window's camera on the
// server's CCD simulator, whose star blurs by where that driver's focuser
// stands, and the window's INDI focuser kind on the driver, which drives the
// simulated hub through the focuser service. A curve fit from 200 steps out
// ends within a tenth of its step of best focus, as the battery counts success.
TEST(IndiWindow, CurveFitThroughKessivanesOwnDriverOverTheSimulatedHubEndsAtBestFocus) {
    if (!kv::test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    const std::string driver = std::string(KV_BIN_DIR) + "/indi_kessivane_focuser";
    if (access(driver.c_str(), X_OK) != 0) GTEST_SKIP() << "the driver was not built (no INDI driver library)";
    kv::test::IndiServer server({"indi_simulator_ccd", driver}, {}, {"CCD Simulator", "Kessivane Focuser"});
    ASSERT_TRUE(server.Running());
    const std::string device = "Kessivane Focuser";
    ASSERT_TRUE(server.Set(device + ".DEVICE_PORT.PORT=sim:hub"));
    ASSERT_TRUE(server.Set(device + ".CONNECTION.CONNECT=On"));
    const auto position = [&] {
        const std::string text = server.Get(device + ".ABS_FOCUS_POSITION.FOCUS_ABSOLUTE_POSITION");
        return text.empty() ? -1L : std::lround(std::strtod(text.c_str(), nullptr));
    };
    ASSERT_TRUE(ProcessEventsUntil([&] { return position() >= 0; }, 20000));
    constexpr int kDriverBest = 1500;
    ASSERT_TRUE(server.Set(device + ".FOCUS_SYNC.FOCUS_SYNC_VALUE=" + std::to_string(kDriverBest + 200)));
    ASSERT_TRUE(ProcessEventsUntil([&] { return position() == kDriverBest + 200; }, 10000));

    ASSERT_NO_FATAL_FAILURE(AimCamera(server, kDriverBest, 1500, device));
    kvtest::ProgramFolder folder;
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
    ASSERT_NO_FATAL_FAILURE(OpenWindow(server, device, folder, dialogs, window));
    kv::TFocusControl* focuser = window->FocusControl();
    ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->CTSCount() == kDriverBest + 200; }));
    const auto find = [&](const char* name) { return window->findChild<QWidget*>(QString::fromLatin1(name)); };
    // Move To takes the driver's travel, counted as the window counts (from the same 0 here).
    const int travel = std::atoi(server.Get(device + ".FOCUS_MAX.FOCUS_MAX_VALUE").c_str());
    auto* moveTo = qobject_cast<QSpinBox*>(find("MoveToSE"));
    EXPECT_TRUE(ProcessEventsUntil([&] { return moveTo->minimum() == 0 && moveTo->maximum() == travel; }))
        << moveTo->minimum() << " to " << moveTo->maximum() << ", the driver's travel 0 to " << travel;

    ASSERT_NO_FATAL_FAILURE(ImageAndPickStar(*window));
    qobject_cast<QSpinBox*>(find("FocusSamples"))->setValue(5);
    qobject_cast<QSlider*>(find("ExposureMS"))->setValue(100);
    window->AutoFocusPage()->MethodRG()->SetItemIndex(TAutoFocusPage::kCurveFitItem);
    window->AutoFocusPage()->InitialStepRG()->SetItemIndex(2);  // 50 steps
    qobject_cast<QSpinBox*>(find("FitPointsSE"))->setValue(4);
    auto* start = qobject_cast<QAbstractButton*>(find("StartSearch"));
    start->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->Focusing()->Running() && start->isEnabled(); }, 300000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return focuser->GetIdle(); }));
    EXPECT_TRUE(window->StatusPanelText(0).startsWith(QStringLiteral("Curve fit: "))) << window->StatusPanelText(0).toStdString();
    EXPECT_LE(std::abs(position() - kDriverBest), kCurveFitTolerance) << window->StatusPanelText(0).toStdString();
    // The window counts from where the search started, the driver absolutely.
    EXPECT_EQ(focuser->CTSCount(), position() - (kDriverBest + 200)) << "the window and the driver agree on the moves";
    for (const auto& box : dialogs.shown) {
        if (box.text.find(kv::kVoiceClipsFailedText) != 0) ADD_FAILURE() << "unexpected message: " << box.text;
    }
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

// Start-up and the parameter update wait for a silent server on workers: each
// wait gets a box naming what it waits for, and the window goes on turning.
// Cancel ends the wait long before the server's time-out, the focuser stays
// closed and the status says what to do. The camera plug-in's call, which
// cannot be cut short, goes on in the background: an Update at once does not
// call into the plug-in again, and closing the window waits for that call.
// Left alone, a wait lasts the server's whole time-out.
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
TEST(IndiWindow, AfterTheServerIsLostTheWindowsPortIsClosedAndAScriptedMoveRefused) {
    if (!kv::test::IndiServer::Installed()) GTEST_SKIP() << "indiserver is not installed";
    kvtest::PrivateBus bus(QStringLiteral("kv-indi-lost-test"));
    if (!bus.Up()) GTEST_SKIP() << "needs dbus-daemon";
    kv::test::IndiServer server({"indi_simulator_focus"}, {}, {"Focuser Simulator"});
    ASSERT_TRUE(server.Running());
    kvtest::ProgramFolder folder;
    folder.Write("Kessivane.ini", "[Device/Ports]\r\nFocuser=INDI Focuser\r\nComPort=1\r\n[Ports]\r\nCOM1=indi://localhost:" +
                                      std::to_string(server.Port()) + "/Focuser Simulator\r\n");
    kvtest::RecordingDialogs dialogs;
    std::optional<TMainForm> window;
    window.emplace(dialogs, folder.Dir(), QStringList{"kessivane"});
    ASSERT_TRUE(window->FormCreate());
    ASSERT_TRUE(window->State().portOpen);
    QString why;
    ASSERT_TRUE(RegisterScripting(*window, bus.Connection(), &*window, &why)) << why.toStdString();

    server.Kill();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !window->FocusControl()->PortOpen(); }));
    EXPECT_FALSE(window->State().portOpen);
    const auto moved = bus.RunTool(QStringLiteral("kessivanectl"), {QStringLiteral("move-by"), QStringLiteral("100")});
    EXPECT_EQ(moved.exitCode, 1) << moved.out.toStdString();
    EXPECT_TRUE(moved.err.contains(QStringLiteral("The focuser is not connected"))) << moved.err.toStdString();
}

}  // namespace
