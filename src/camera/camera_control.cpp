#include "camera/camera_control.h"

#include <utility>

#include "focuser/focus_control.h"
#include "shell/log_channel.h"

namespace kv {

TCameraControl::TCameraControl(IDialogs& dialogs, std::string pluginFolder)
    : dialogs_(dialogs), plugin_(dialogs, std::move(pluginFolder)) {
    WriteProgramLog("In CameraControl constructor");
    WriteProgramLog("Timing class instantiated");
    delayTimer_.SetEventName(kDelayEvent);
    delayEvent_ = OpenNamedEvent(kDelayEvent);
    WriteProgramLog("Timer signalled object created");
    focusDelayEvent_ = OpenNamedEvent(kFocusDelayEvent);
    focuserWaitEvent_ = OpenNamedEvent(kFocuserWaitEvent);
    generalDelayEvent_ = OpenNamedEvent(kGeneralDelayEvent);
    WriteProgramLog("Camera control created");
}

TCameraControl::~TCameraControl() {
    // Nothing is reported to a desktop that is taking the controller down,
    // and no thread may still be running once the timer and plug-in go.
    ClearHandlers();
    continuousFocus_.store(false);
    shuttingDown_.store(true);
    StopAllThreads();
    WriteProgramLog("Freeing Timer object");
    WriteProgramLog("Freeing signalled object");
    if (Initialized()) {
        WriteProgramLog("Uninitializing Camera");
        std::lock_guard exposure(exposureMutex_);
        plugin_.Uninitialize();
    }
}

// ---- plug-in ----

bool TCameraControl::Initialize(const std::string& fileName) {
    if (RefusedOnCameraThread("Initialize")) {
        return false;
    }
    StopAllThreads();
    bool ok = false;
    {
        std::lock_guard exposure(exposureMutex_);
        ok = plugin_.Initialize(fileName);
    }
    if (ok) {
        isSbig_.store(plugin_.Info().Manufacturer.find("Santa") != std::string::npos);
    }
    return ok;
}

void TCameraControl::Uninitialize() {
    if (RefusedOnCameraThread("Uninitialize")) {
        return;
    }
    StopAllThreads();
    std::lock_guard exposure(exposureMutex_);
    plugin_.Uninitialize();
}

bool TCameraControl::ToggleConnection(const std::string& fileName) {
    if (Initialized()) {
        Uninitialize();
        return false;
    }
    if (!Initialize(fileName) || !Initialized()) {
        // A camera that did not come up is not left half bound: the next
        // attempt starts from nothing.
        if (plugin_.Loaded()) {
            Uninitialize();
        }
        WriteProgramLog(kCouldNotInitializeText);
        dialogs_.Show(kCouldNotInitializeText, DialogType::Error, DialogButtons::Ok);
        return false;
    }
    return true;
}

// ---- threads ----

std::shared_ptr<ThreadCompletion> TCameraControl::StartThread(std::unique_ptr<TCameraThread> thread, bool isFrame) {
    std::lock_guard lock(threadsMutex_);
    if (shuttingDown_.load()) {
        return nullptr;
    }
    std::erase_if(threads_, [](const std::unique_ptr<TCameraThread>& t) { return t->Finished(); });
    auto completion = thread->Completion();
    if (isFrame) {
        lastFrame_ = completion;
    }
    thread->Start();
    threads_.push_back(std::move(thread));
    return completion;
}

std::shared_ptr<ThreadCompletion> TCameraControl::StartFrame() {
    return StartThread(std::make_unique<TFocusFrameThread>(*this), true);
}

void TCameraControl::StopAllThreads() {
    const bool wasShuttingDown = shuttingDown_.exchange(true);
    continuousFocus_.store(false);
    std::unique_ptr<TCycleFocusThread> loop;
    {
        std::lock_guard lock(threadsMutex_);
        loop = std::move(cycleThread_);
        for (auto& t : threads_) {
            t->RequestStop();
        }
    }
    // The loop first: it starts frames and waits for them.
    if (loop) {
        loop->RequestStop();
        loop->Join();
        loop.reset();
    }
    std::vector<std::unique_ptr<TCameraThread>> threads;
    {
        std::lock_guard lock(threadsMutex_);
        threads = std::move(threads_);
        threads_.clear();
    }
    for (auto& t : threads) {
        t->RequestStop();
        t->Join();
    }
    threads.clear();
    shuttingDown_.store(wasShuttingDown);
}

bool TCameraControl::OnCameraThread() const { return IsCameraThreadOf(this); }

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
    WriteProgramLog("Creating exposure thread");
    StartThread(std::make_unique<TReadExposeThread>(*this), false);
}

void TCameraControl::StartFocusFrame() { StartFrame(); }

bool TCameraControl::GetFocusFrame() {
    // The completion exists before the frame starts, so however fast the
    // frame is, its end is not missed.
    const auto done = StartFrame();
    if (!done) {
        return true;
    }
    switch (done->Wait(std::chrono::milliseconds(kGetFocusFrameWaitMs))) {
    case WaitResult::Signalled:
        break;
    case WaitResult::TimedOut:
        WriteProgramLog("The focus frame did not end within 20 s");
        break;
    case WaitResult::Abandoned:
    case WaitResult::Failed:
        ReportFailure(kGetFocusFrameWaitFailedText);
        break;
    }
    return true;
}

void TCameraControl::SetContinuousFocus(bool value) {
    const bool onOwnThread = OnCameraThread();
    // A camera thread (a handler of OnFocusImageReady, say) may not wait for
    // the loop that waits for it, nor for a GUI-side caller holding the turn.
    std::unique_lock turn(continuousMutex_, std::defer_lock);
    if (!onOwnThread) {
        turn.lock();
    }
    if (continuousFocus_.load() == value) {
        return;
    }
    std::unique_ptr<TCycleFocusThread> old;
    if (value) {
        std::lock_guard lock(threadsMutex_);
        if (shuttingDown_.load()) {
            return;
        }
        // A loop switched off from its own frame may still be ending.
        if (cycleThread_) {
            cycleThread_->RequestStop();
            old = std::move(cycleThread_);
        }
        continuousFocus_.store(true);
        cycleThread_ = std::make_unique<TCycleFocusThread>(*this);
        cycleThread_->Start();
    } else {
        continuousFocus_.store(false);
        if (sbigInterlock_.load()) {
            generalDelayEvent_->Set();
        }
        std::lock_guard lock(threadsMutex_);
        if (cycleThread_) {
            cycleThread_->RequestStop();
            old = std::move(cycleThread_);
        }
    }
    if (!old) {
        return;
    }
    if (onOwnThread) {
        // Joined later with the other finished threads.
        std::lock_guard lock(threadsMutex_);
        threads_.push_back(std::move(old));
        return;
    }
    old->Join();
}

void TCameraControl::SetIdle(bool value) {
    std::lock_guard order(idleMutex_);
    if (idle_.exchange(value) == value) {
        return;
    }
    TCameraBusyEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onBusyChange_;
    }
    if (handler) {
        handler(*this, value);
    }
}

void TCameraControl::PostStatus(const std::string& text, int value) {
    {
        std::lock_guard lock(statusMutex_);
        statusText_ = text;
        statusValue_ = value;
    }
    TCameraStatusEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onStatusMessage_;
    }
    if (handler) {
        handler(*this, text, value);
    }
}

std::string TCameraControl::StatusText() const {
    std::lock_guard lock(statusMutex_);
    return statusText_;
}

int TCameraControl::StatusValue() const {
    std::lock_guard lock(statusMutex_);
    return statusValue_;
}

void TCameraControl::ReportFailure(const std::string& text) {
    WriteProgramLog(text);
    dialogs_.Defer(DeferredMessage{text, DialogType::Error, DialogButtons::Ok});
}

void TCameraControl::RaiseImageReady() {
    TCameraNotifyEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onImageReady_;
    }
    if (handler) {
        handler(*this);
    }
}

void TCameraControl::RaiseFocusImageReady() {
    TCameraNotifyEvent handler;
    {
        std::lock_guard lock(handlersMutex_);
        handler = onFocusImageReady_;
    }
    if (handler) {
        handler(*this);
    }
}

bool TCameraControl::FocuserIdle() {
    std::lock_guard lock(focuserMutex_);
    return focuser_ == nullptr || focuser_->GetIdle();
}

void TCameraControl::SetFocuser(TFocusControl* focuser) {
    std::lock_guard lock(focuserMutex_);
    focuser_ = focuser;
}

// ---- measurement ----

FocusSettings TCameraControl::MeasureSettings() const {
    const CameraInfo info = plugin_.Info();
    FocusSettings s;
    s.ROISize = roiSize_.load();
    s.ROIOn = roiOn_.load();
    s.RemoveBackground = removeBackground_.load();
    s.FWHMFactorSetting = fwhmFactorSetting_.load();
    s.FWHMFactor = info.FWHMFactor;
    s.HorizPixel = info.HorizPixel;
    s.VertPixel = info.VertPixel;
    s.FocusBinning = info.FocusBinning;
    s.FOMKind = fomKind_.load();
    return s;
}

void TCameraControl::MeasureFocusImage() {
    TImageObject* image = plugin_.FocusImage();
    if (image == nullptr) {
        return;
    }
    FocusReading reading = Reading();
    ::kv::ComputeFocusFigures(*image, MeasureSettings(), reading);
    std::lock_guard lock(readingMutex_);
    reading_ = reading;
}

void TCameraControl::ComputeFocusFigures() {
    std::lock_guard exposure(exposureMutex_);
    MeasureFocusImage();
}

double TCameraControl::GetFigureOfMerit() {
    std::lock_guard lock(readingMutex_);
    return ::kv::GetFigureOfMerit(reading_, fomKind_.load());
}

FocusReading TCameraControl::Reading() const {
    std::lock_guard lock(readingMutex_);
    return reading_;
}

std::shared_ptr<ThreadCompletion> TCameraControl::FrameThread() const {
    std::lock_guard lock(threadsMutex_);
    return lastFrame_;
}

// ---- notifications ----

void TCameraControl::SetOnBusyChange(TCameraBusyEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onBusyChange_ = std::move(handler);
}

void TCameraControl::SetOnImageReady(TCameraNotifyEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onImageReady_ = std::move(handler);
}

void TCameraControl::SetOnFocusImageReady(TCameraNotifyEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onFocusImageReady_ = std::move(handler);
}

void TCameraControl::SetOnStatusMessage(TCameraStatusEvent handler) {
    std::lock_guard lock(handlersMutex_);
    onStatusMessage_ = std::move(handler);
}

void TCameraControl::ClearHandlers() {
    std::lock_guard lock(handlersMutex_);
    onBusyChange_ = nullptr;
    onImageReady_ = nullptr;
    onFocusImageReady_ = nullptr;
    onStatusMessage_ = nullptr;
}

}  // namespace kv
