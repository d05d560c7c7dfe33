#include "camera/camera_control.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>

#include "camera/fault_camera/fault_camera.h"
#include "support/eventually.h"
#include "support/recording_dialogs.h"

namespace kv {
namespace {

using std::chrono::milliseconds;
using test::Eventually;

constexpr double kFwhmPerSigma = 2.354820045;

// What the controller told the desktop.
struct Recorder {
    std::mutex mutex;
    std::vector<bool> busy;
    std::vector<std::string> statuses;
    std::atomic<int> imageReady{0}, focusReady{0};

    template <typename F>
    auto Locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }
    void Attach(TCameraControl& camera) {
        camera.SetOnBusyChange([this](TCameraControl&, bool idle) { Locked([&] { busy.push_back(idle); }); });
        camera.SetOnStatusMessage(
            [this](TCameraControl&, const std::string& text, int) { Locked([&] { statuses.push_back(text); }); });
        camera.SetOnImageReady([this](TCameraControl&) { ++imageReady; });
        camera.SetOnFocusImageReady([this](TCameraControl&) { ++focusReady; });
    }
    std::vector<bool> Busy() { return Locked([&] { return busy; }); }
    std::vector<std::string> Statuses() { return Locked([&] { return statuses; }); }
};

class CameraControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string path = std::string(KV_FAULT_CAMERA_DIR) + "/fault_camera.so";
        library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        auto stateOf = reinterpret_cast<FaultCameraStateProc>(dlsym(library_, "FaultCamera_State"));
        ASSERT_NE(stateOf, nullptr);
        (state_ = stateOf())->Reset();
        // No stale signals from an earlier test.
        for (const char* name : {kDelayEvent, kFocusDelayEvent, kFocuserWaitEvent, kGeneralDelayEvent}) {
            OpenNamedEvent(name)->Reset();
        }
    }
    void TearDown() override {
        if (library_ != nullptr) dlclose(library_);
    }

    std::unique_ptr<TCameraControl> Connected(IClock& clock = DefaultClock()) {
        auto camera = std::make_unique<TCameraControl>(dialogs_, KV_FAULT_CAMERA_DIR, clock);
        EXPECT_TRUE(camera->ToggleConnection("fault_camera.so"));
        rec_.Attach(*camera);
        return camera;
    }

    void* library_ = nullptr;
    FaultCameraState* state_ = nullptr;
    test::RecordingDialogs dialogs_;
    Recorder rec_;
};

TEST_F(CameraControlTest, ConnectsAndDisconnects) {
    TCameraControl camera(dialogs_, KV_FAULT_CAMERA_DIR);
    EXPECT_TRUE(camera.Idle());
    EXPECT_EQ(OpenNamedEvent(kDelayEvent)->Wait(milliseconds(0)), WaitResult::TimedOut);

    ASSERT_TRUE(camera.ToggleConnection("fault_camera.so"));
    ASSERT_NE(camera.MainImage(), nullptr);
    EXPECT_EQ(camera.FocusImage()->Height(), kFaultFocusHeight);
    EXPECT_FALSE(camera.IsSBIG());
    EXPECT_FALSE(camera.ToggleConnection("fault_camera.so"));
    EXPECT_EQ(camera.MainImage(), nullptr);

    // A camera that does not come up leaves nothing bound and says so.
    state_->initResult = 0;
    EXPECT_FALSE(camera.ToggleConnection("fault_camera.so"));
    EXPECT_EQ(camera.FocusImage(), nullptr);
    EXPECT_FALSE(camera.ToggleConnection("no_such_camera.so"));
    EXPECT_EQ(dialogs_.Texts(), (std::vector<std::string>{kCouldNotInitializeText, kCouldNotInitializeText}));

    state_->initResult = 1;
    state_->sbig = 1;
    ASSERT_TRUE(camera.ToggleConnection("fault_camera.so"));
    EXPECT_TRUE(camera.IsSBIG());
}

TEST_F(CameraControlTest, ExposuresAreTimedDeliveredAndMeasured) {
    auto camera = Connected();
    camera->SetExposureTime(0.0);  // ends before the timer's setter returns: no time-out
    camera->SetFocusX(300);
    camera->SetFocusY(200);
    camera->SetFocusGain(1.5);
    camera->SetFOMKind(FomKind::HFD);

    EXPECT_TRUE(camera->GetFocusFrame());
    EXPECT_EQ(OpenNamedEvent(kFocuserWaitEvent)->Wait(milliseconds(0)), WaitResult::Signalled);
    EXPECT_EQ(OpenNamedEvent(kFocusDelayEvent)->Wait(milliseconds(0)), WaitResult::Signalled);
    EXPECT_EQ(rec_.focusReady.load(), 1);
    EXPECT_EQ(rec_.Busy(), (std::vector<bool>{false, true}));
    EXPECT_EQ(rec_.Statuses(), (std::vector<std::string>{"Acquiring Focus Image", "Focus Image Ready"}));
    EXPECT_EQ(std::tuple(state_->lastX.load(), state_->lastY.load(), state_->lastGain.load()), std::tuple(300, 200, 1.5));

    const FocusReading r = camera->Reading();
    EXPECT_EQ(std::pair(r.PeakX, r.PeakY), std::pair(kFaultFocusWidth / 2, kFaultFocusHeight / 2));
    EXPECT_NEAR(r.FWHM, 2 * kFwhmPerSigma, 0.1 * 2 * kFwhmPerSigma);
    EXPECT_DOUBLE_EQ(r.FOM, r.HFD);

    // Frames that end at once are never lost by the waiting side.
    state_->setUpExposeResult = 0;
    for (int i = 0; i < 25; ++i) {
        camera->GetFocusFrame();
        ASSERT_EQ(rec_.focusReady.load(), 2 + i);
    }

    // The mask blanks everything not strictly inside the region's border.
    camera->SetRemoveBackground(false);
    camera->SetROIOn(true);
    camera->SetROISize(20);  // border 14: 14 < x < 34, 14 < y < 26
    camera->SetMaskROI(true);
    camera->GetFocusFrame();
    const TImageObject& image = *camera->FocusImage();
    for (auto [x, y] : {std::pair{0, 0}, {14, 20}, {24, 26}}) EXPECT_EQ(image.Pixel(x, y), 0) << x << "," << y;
    EXPECT_EQ(std::pair(image.Pixel(15, 15), image.Pixel(33, 25)), std::pair(std::uint16_t{300}, std::uint16_t{300}));
    EXPECT_EQ(camera->Reading().Peak, 20300);

    state_->setUpExposeResult = 1;
    camera->SetExposureTime(0.05);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 1; }));
    EXPECT_TRUE(camera->Idle());
    EXPECT_DOUBLE_EQ(state_->lastImageExposure.load(), 0.05);
    EXPECT_EQ(camera->MainImage()->Pixel(kFaultMainWidth / 2, kFaultMainHeight / 2), 20300);
    const auto statuses = rec_.Statuses();
    EXPECT_EQ(std::vector<std::string>(statuses.end() - 2, statuses.end()),
              (std::vector<std::string>{"Acquiring Image", "Image Ready"}));
    EXPECT_TRUE(dialogs_.Deferred().empty());
}

TEST_F(CameraControlTest, EveryFailingStepIsReportedAndTheFrameStillEnds) {
    auto camera = Connected();
    camera->SetExposureTime(0.0);

    state_->focusResult = 0;
    camera->GetFocusFrame();
    state_->imageResult = 0;
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 1; }));
    EXPECT_EQ(rec_.focusReady.load(), 1);
    EXPECT_EQ(OpenNamedEvent(kFocusDelayEvent)->Wait(milliseconds(0)), WaitResult::Signalled);

    // The delay timer signals an event nobody waits on: both waits run out.
    state_->focusResult = 1;
    state_->imageResult = 1;
    camera->DelayTimer().SetEventName("CAMERA_TEST_ELSEWHERE");
    camera->SetExposureTime(0.02);
    camera->GetFocusFrame();
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return rec_.imageReady.load() == 2; }));
    // An abandoned event is told apart from a time-out.
    OpenNamedEvent(kDelayEvent)->Abandon();
    camera->GetFocusFrame();
    OpenNamedEvent(kDelayEvent)->Reset();
    EXPECT_EQ(dialogs_.Deferred(),
              (std::vector<std::string>{kFocusExposureFailedText, kImageExposureFailedText,
                                        "Time out during focus exposing", "Time out during exposing",
                                        "Abandoned event during focus exposing"}));
    // Each frame was still fetched after its failed wait.
    EXPECT_EQ(std::pair(state_->focusCalls.load(), state_->imageCalls.load()), std::pair(3, 2));

    // A plug-in that starts no exposure is not timed at all.
    state_->setUpExposeResult = 0;
    camera->SetExposureTime(1000.0);
    camera->GetFocusFrame();
    EXPECT_EQ(state_->focusCalls.load(), 4);
    EXPECT_EQ(dialogs_.Deferred().size(), 5u);
    EXPECT_TRUE(dialogs_.Texts().empty());
}

TEST_F(CameraControlTest, ContinuousFocusRunsOneLoopAndFinishesTheFrameInFlight) {
    auto camera = Connected();
    state_->focusDelayMs = 20;
    camera->SetContinuousFocus(true);
    camera->SetContinuousFocus(true);
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() >= 3; }));
    // One loop: frames never overlap, and the camera stays busy throughout.
    EXPECT_EQ(rec_.Busy(), (std::vector<bool>{false}));

    ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
    camera->SetContinuousFocus(false);
    EXPECT_TRUE(camera->Idle());
    const int frames = state_->focusCalls.load();
    EXPECT_EQ(rec_.focusReady.load(), frames);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(state_->focusCalls.load(), frames);
    EXPECT_EQ(rec_.Busy(), (std::vector<bool>{false, true}));
    EXPECT_TRUE(dialogs_.Deferred().empty());
}

TEST_F(CameraControlTest, InterlockedLoopWaitsForTheFocuserBetweenFrames) {
    ScaledClock clock(100.0);  // the 30 s wait for the focuser lasts 0.3 s
    auto camera = Connected(clock);
    camera->SetFocuserIdle([] { return false; });
    camera->SetSBIGInterlock(true);

    camera->SetContinuousFocus(true);
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() == 1; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(state_->focusCalls.load(), 1);  // held until the move ends
    OpenNamedEvent(kGeneralDelayEvent)->Set();
    ASSERT_TRUE(Eventually([&] { return state_->focusCalls.load() >= 2; }));

    // A move that never ends is reported once, and the loop takes no more frames.
    ASSERT_TRUE(Eventually([&] { return !dialogs_.Deferred().empty(); }));
    const int frames = state_->focusCalls.load();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(state_->focusCalls.load(), frames);
    EXPECT_EQ(dialogs_.Deferred(), (std::vector<std::string>{kCycleTimedOutText}));
    EXPECT_FALSE(camera->Idle());
    camera->SetContinuousFocus(false);
    EXPECT_TRUE(camera->Idle());
    camera->SetFocuserIdle({});
}

TEST_F(CameraControlTest, FrameWaitingBehindAMainExposureKeepsTheCameraBusy) {
    auto camera = Connected();
    camera->SetExposureTime(0.1);
    state_->focusDelayMs = 200;
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    camera->StartFocusFrame();
    // The main exposure has ended; the frame that waited for it is reading out.
    ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
    EXPECT_EQ(rec_.imageReady.load(), 1);
    EXPECT_FALSE(camera->Idle());
    ASSERT_TRUE(Eventually([&] { return rec_.focusReady.load() == 1; }));
    EXPECT_TRUE(camera->Idle());
    EXPECT_EQ(rec_.Busy(), (std::vector<bool>{false, true}));
}

TEST_F(CameraControlTest, DisconnectAndDestructionStopEveryThread) {
    auto camera = Connected();
    camera->SetContinuousFocus(true);
    camera->SetExposureTime(30.0);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    ASSERT_FALSE(camera->ToggleConnection("fault_camera.so"));
    EXPECT_FALSE(camera->ContinuousFocus());
    // The exposure cut short left the timer free for the next one.
    EXPECT_FALSE(camera->DelayTimer().Enabled());
    // Frames asked for without a camera fail cleanly.
    camera->GetFocusFrame();
    EXPECT_EQ(dialogs_.Deferred(), (std::vector<std::string>{kFocusExposureFailedText}));

    // The next exposure is timed by its own delay, not by what was left of the last.
    ASSERT_TRUE(camera->ToggleConnection("fault_camera.so"));
    camera->SetExposureTime(0.05);
    const auto start = std::chrono::steady_clock::now();
    camera->GetFocusFrame();
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(50));
    EXPECT_EQ(dialogs_.Deferred().size(), 1u);

    // Freed in the middle of both: nothing is reported afterwards.
    std::atomic<int> afterwards{0};
    camera->SetContinuousFocus(true);
    camera->SetExposureTime(60.0);
    camera->DoImageFrame();
    ASSERT_TRUE(Eventually([&] { return camera->DelayTimer().Enabled(); }));
    camera->SetOnFocusImageReady([&](TCameraControl&) { ++afterwards; });
    camera->SetOnImageReady([&](TCameraControl&) { ++afterwards; });
    camera.reset();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(afterwards.load(), 0);
}

// A camera unplugged during a download: the plug-in call never returns.
TEST_F(CameraControlTest, StuckPluginIsGivenUpWithoutHangingTheCaller) {
    const std::vector<std::pair<const char*, std::function<void(std::unique_ptr<TCameraControl>&)>>> ways{
        {"continuous focus off", [](auto& camera) { camera->SetContinuousFocus(false); }},
        {"disconnect", [](auto& camera) { EXPECT_FALSE(camera->ToggleConnection("fault_camera.so")); }},
        {"close", [](auto& camera) { camera.reset(); }},
    };
    for (const auto& [way, stop] : ways) {
        SCOPED_TRACE(way);
        auto camera = Connected();
        camera->SetCameraAnswerMs(100);
        const int frames = state_->focusCalls.load();
        const auto reported = dialogs_.Deferred().size();
        const auto newMessages = [&] {
            const auto all = dialogs_.Deferred();
            return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(reported), all.end());
        };
        state_->hang = 1;
        camera->SetContinuousFocus(true);
        ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 1; }));
        stop(camera);
        EXPECT_EQ(newMessages(), (std::vector<std::string>{kCameraNotAnsweringText}));
        if (camera) {  // unbound and usable: it connects again
            EXPECT_TRUE(!camera->Initialized() && camera->Idle() && !camera->ContinuousFocus());
            EXPECT_TRUE(camera->ToggleConnection("fault_camera.so"));
        }
        // The camera comes back: the thread given up ends without a word.
        state_->hang = 0;
        ASSERT_TRUE(Eventually([&] { return state_->focusInProgress.load() == 0; }));
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_EQ(state_->focusCalls.load(), frames + 1);
        EXPECT_EQ(newMessages().size(), 1u);
    }
}

}  // namespace
}  // namespace kv
