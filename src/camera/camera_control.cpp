#include "camera/camera_control.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "shell/log_channel.h"

namespace kv {

TCameraControl::TCameraControl(IDialogs& dialogs, std::string pluginFolder, IClock& clock) {
    WriteProgramLog("In CameraControl constructor", LogKind::Trace);
    s_ = std::make_shared<CameraState>(*this, dialogs, std::move(pluginFolder), clock);
    WriteProgramLog("Timing class instantiated", LogKind::Trace);
    s_->delayTimer.SetEventName(kDelayEvent);
    s_->delayEvent = OpenNamedEvent(kDelayEvent);
    WriteProgramLog("Timer signalled object created", LogKind::Trace);
    s_->focusDelayEvent = OpenNamedEvent(kFocusDelayEvent);
    s_->focuserWaitEvent = OpenNamedEvent(kFocuserWaitEvent);
    s_->generalDelayEvent = OpenNamedEvent(kGeneralDelayEvent);
    WriteProgramLog("Camera control created", LogKind::Trace);
}

TCameraControl::~TCameraControl() {
    // Nothing is reported to a desktop that is taking the controller down.
    {
        std::lock_guard lock(s_->ownerMutex);
        s_->onBusyChange = nullptr;
        s_->onImageReady = nullptr;
        s_->onFocusImageReady = nullptr;
        s_->onStatusMessage = nullptr;
    }
    {
        std::lock_guard lock(s_->startMutex);
        s_->stopping = true;
    }
    StopAllThreads();
    WriteProgramLog("Freeing Timer object", LogKind::Trace);
    WriteProgramLog("Freeing signalled object", LogKind::Trace);
    const auto session = s_->Session();
    if (session->plugin.Initialized()) {
        WriteProgramLog("Uninitializing Camera", LogKind::Trace);
        std::lock_guard turn(session->turn);
        session->plugin.Uninitialize();
    }
    // A thread given up for stuck keeps the state; should it ever come back,
    // it finds neither the controller nor the dialogs.
    std::lock_guard lock(s_->ownerMutex);
    s_->owner = nullptr;
    s_->dialogs = nullptr;
}

// ---- plug-in ----

bool TCameraControl::Initialize(const std::string& fileName) {
    if (RefusedOnCameraThread("Initialize")) {
        return false;
    }
    StopAllThreads();
    const auto session = s_->Session();
    bool ok = false;
    {
        std::lock_guard turn(session->turn);
        ok = session->plugin.Initialize(fileName);
    }
    if (ok) {
        s_->isSbig.store(session->plugin.Info().Manufacturer.find("Santa") != std::string::npos);
    }
    return ok;
}

void TCameraControl::Uninitialize() {
    if (RefusedOnCameraThread("Uninitialize")) {
        return;
    }
    StopAllThreads();
    const auto session = s_->Session();
    std::lock_guard turn(session->turn);
    session->plugin.Uninitialize();
}

bool TCameraControl::ToggleConnection(const std::string& fileName) {
    if (Initialized()) {
        Uninitialize();
        return false;
    }
    if (!Initialize(fileName) || !Initialized()) {
        // A camera that did not come up is not left half bound: the next
        // attempt starts from nothing.
        if (s_->Session()->plugin.Loaded()) {
            Uninitialize();
        }
        // A wait the user cancelled is not reported back to them in a box.
        if (!CancelledText().empty()) return false;
        WriteProgramLog(kCouldNotInitializeText);
        s_->dialogs->Show(kCouldNotInitializeText, DialogType::Error, DialogButtons::Ok);
        return false;
    }
    return true;
}

// ---- threads ----

bool TCameraControl::StopAllThreads() {
    bool wasStopping = false;
    {
        std::lock_guard lock(s_->startMutex);
        wasStopping = std::exchange(s_->stopping, true);
    }
    s_->continuousFocus.store(false);
    s_->loops.RequestStopAll();
    // The exposures first: on the stop each ends at once unless it is stuck
    // in the plug-in, and the loop is waiting for its frame.
    const int bound = s_->answerMs.load();
    bool answered = s_->exposures.StopAndJoinAllFor(bound);
    if (!answered) {
        GiveUpStuckCamera();
    }
    answered = s_->loops.StopAndJoinAllFor(bound) && answered;
    std::lock_guard lock(s_->startMutex);
    s_->stopping = wasStopping;
    return answered;
}

void TCameraControl::GiveUpStuckCamera() {
    const auto stuck = s_->Session();
    stuck->abandoned.store(true);
    // The stuck thread is still inside the library.
    stuck->plugin.LeaveLoaded();
    s_->continuousFocus.store(false);
    // Whatever else of that camera runs waits behind the stuck call.
    s_->exposures.StopAndJoinAllFor(0);
    {
        std::lock_guard order(s_->idleMutex);
        {
            std::lock_guard lock(s_->sessionMutex);
            s_->session = std::make_shared<CameraSession>(*s_->dialogs, s_->pluginFolder);
        }
        s_->SetIdle(true);
    }
    s_->ReportFailure(kCameraNotAnsweringText);
}

bool TCameraControl::RefusedOnCameraThread(const char* what) const {
    // Binding and unbinding stop every camera thread, which one of them
    // cannot do to itself.
    if (!OnCameraThread()) {
        return false;
    }
    WriteProgramLog(std::string("Camera ") + what + " refused on a camera thread");
    return true;
}

void TCameraControl::DoImageFrame() {
    WriteProgramLog("Creating exposure thread", LogKind::Trace);
    s_->StartMainExposure();
}

void TCameraControl::StartFocusFrame() { s_->StartFrame(); }

bool TCameraControl::GetFocusFrame() {
    // The completion exists before the frame starts, so however fast the
    // frame is, its end is not missed.
    const auto done = s_->StartFrame();
    if (done && done->Wait(std::chrono::milliseconds(kGetFocusFrameWaitMs)) != WaitResult::Signalled) {
        WriteProgramLog("The focus frame did not end within 20 s");
    }
    return true;
}

std::string TCameraControl::MainImageFailure() const {
    std::lock_guard lock(s_->mainImageMutex);
    return s_->mainImageFailure;
}

bool TCameraControl::GetMainImage() {
    const auto done = s_->StartMainExposure();
    if (!done) return false;
    const int waitMs = kGetFocusFrameWaitMs + std::max(0, CameraData().DownloadTime);
    if (done->Wait(std::chrono::milliseconds(waitMs)) != WaitResult::Signalled) {
        WriteProgramLog("The main image did not end within " + std::to_string(waitMs / 1000) + " s");
        return false;
    }
    return MainImageFailure().empty();
}

void TCameraControl::SetContinuousFocus(bool value) {
    const bool onOwnThread = OnCameraThread();
    // A camera thread (a handler of OnFocusImageReady, say) may not wait for
    // the loop that waits for it, nor for a GUI-side caller holding the turn.
    std::unique_lock turn(s_->continuousMutex, std::defer_lock);
    if (!onOwnThread) {
        turn.lock();
    }
    if (s_->continuousFocus.load() == value) {
        return;
    }
    // A loop switched off from its own frame may still be ending: it ends
    // on its own and is joined with the others.
    s_->loops.RequestStopAll();
    if (value) {
        s_->continuousFocus.store(true);
        if (!s_->StartLoop()) {
            s_->continuousFocus.store(false);
        }
        return;
    }
    s_->continuousFocus.store(false);
    if (s_->sbigInterlock.load()) {
        s_->generalDelayEvent->Set();
    }
    if (onOwnThread) {
        return;
    }
    // The running frame is let finish: its exposure, then one answer.
    const std::int64_t bound = ExposureWaitMs(s_->exposureTime.load()) + s_->answerMs.load();
    if (!s_->loops.StopAndJoinAllFor(static_cast<int>(std::min<std::int64_t>(bound, INT_MAX)))) {
        GiveUpStuckCamera();
    }
}

std::string TCameraControl::StatusText() const {
    std::lock_guard lock(s_->statusMutex);
    return s_->statusText;
}

int TCameraControl::StatusValue() const {
    std::lock_guard lock(s_->statusMutex);
    return s_->statusValue;
}

void TCameraControl::SetFocuserIdle(std::function<bool()> focuserIdle) {
    std::lock_guard lock(s_->focuserMutex);
    s_->focuserIdle = std::move(focuserIdle);
}

void TCameraControl::SetFocuserAtExposure(std::function<TImageObject::FocuserAtExposure()> probe) {
    std::lock_guard lock(s_->focuserMutex);
    s_->focuserAtExposure = std::move(probe);
}

// ---- measurement ----

void TCameraControl::ComputeFocusFigures() {
    const auto session = s_->Session();
    std::lock_guard turn(session->turn);
    s_->MeasureFocusImage(*session);
}

double TCameraControl::GetFigureOfMerit() {
    std::lock_guard lock(s_->readingMutex);
    return ::kv::GetFigureOfMerit(s_->reading, s_->fomKind.load());
}

std::shared_ptr<ThreadCompletion> TCameraControl::FrameThread() const {
    std::lock_guard lock(s_->lastFrameMutex);
    return s_->lastFrame;
}

// ---- notifications ----

void TCameraControl::SetOnBusyChange(TCameraBusyEvent handler) {
    std::lock_guard lock(s_->ownerMutex);
    s_->onBusyChange = std::move(handler);
}

void TCameraControl::SetOnImageReady(TCameraNotifyEvent handler) {
    std::lock_guard lock(s_->ownerMutex);
    s_->onImageReady = std::move(handler);
}

void TCameraControl::SetOnFocusImageReady(TCameraNotifyEvent handler) {
    std::lock_guard lock(s_->ownerMutex);
    s_->onFocusImageReady = std::move(handler);
}

void TCameraControl::SetOnStatusMessage(TCameraStatusEvent handler) {
    std::lock_guard lock(s_->ownerMutex);
    s_->onStatusMessage = std::move(handler);
}

}  // namespace kv
