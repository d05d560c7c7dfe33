#include "camera/exposure_threads.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "camera/camera_control.h"
#include "camera/field_figure.h"
#include "camera/image_object.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

thread_local const CameraState* tRunningFor = nullptr;

using Ms = std::chrono::milliseconds;

constexpr WaitMessages kLoopWaitTexts{kCycleTimedOutText, kCycleAbandonedText, kCycleFailedText};

// Run after DLLSetUpExpose returned true: arm the delay timer for
// ExposureTime and wait for its event, at most three times the exposure.
// `afterStatus` is logged after the status post.
void TimedWait(ExposureRun& run, const ExposureTexts& texts, const char* afterStatus = nullptr) {
    CameraState& state = run.state;
    TlumDelay& timer = state.delayTimer;
    const double exposure = state.exposureTime.load();
    timer.SetDelay(exposure);
    state.PostStatus(texts.acquiring, 0);
    if (afterStatus != nullptr) {
        WriteProgramLog(afterStatus, LogKind::Trace);
    }
    timer.SetEnabled(true);
    // Real time: the timer measures the exposure on the steady clock.
    const auto result = WaitForEvent(*state.delayEvent, ExposureWaitMs(exposure), DefaultClock(),
                                     [&] { return run.Stopped(); });
    if (result == WaitResult::Signalled) {
        return;
    }
    // Left running, the delay would make the timer ignore the next start and
    // end that exposure at this one's time.
    timer.Cancel();
    if (result) {
        run.Fail(WaitFailureText(texts.failures, *result));
    }
}

void MaskOutsideRegion(TImageObject& image, std::int32_t roiSize, bool roiOn) {
    std::lock_guard lock(image.Lock());
    const int w = image.Width();
    const int h = image.Height();
    const int b = RoiBorder(w, roiSize, roiOn);
    std::uint16_t* pixels = image.Pixels();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (!(b < x && x < w - b && b < y && y < h - b)) {
                pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = 0;
            }
        }
    }
    image.SetIsUpdated(false);
}

// The focus frame a plug-in would have read out around (x, y), cut from the
// main image: the focus display and the selected star's own figures go on
// as with a focus frame. Pixels beyond the chip are 0, the gain applies as
// the plug-in applies it.
void CutFocusFrame(TImageObject& main, TImageObject& focus, std::int32_t x, std::int32_t y, double gain) {
    if (!(gain > 0.0) || !std::isfinite(gain)) gain = 1.0;
    std::scoped_lock lock(main.Lock(), focus.Lock());
    const int w = focus.Width();
    const int h = focus.Height();
    const int left = x - w / 2;
    const int top = y - h / 2;
    const std::uint16_t* from = main.Pixels();
    std::uint16_t* to = focus.Pixels();
    for (int row = 0; row < h; ++row) {
        for (int col = 0; col < w; ++col) {
            const int mx = left + col;
            const int my = top + row;
            double v = 0.0;
            if (mx >= 0 && mx < main.Width() && my >= 0 && my < main.Height()) {
                v = from[static_cast<std::size_t>(my) * static_cast<std::size_t>(main.Width()) +
                         static_cast<std::size_t>(mx)] *
                    gain;
            }
            to[static_cast<std::size_t>(row) * static_cast<std::size_t>(w) + static_cast<std::size_t>(col)] =
                static_cast<std::uint16_t>(std::clamp(std::nearbyint(v), 0.0, 65535.0));
        }
    }
    focus.SetIsUpdated(false);
}

}  // namespace

bool IsCameraThreadOf(const CameraState* state) { return state != nullptr && tRunningFor == state; }

std::int64_t ExposureWaitMs(double exposureSeconds) {
    if (!(exposureSeconds > 0.0) || !std::isfinite(exposureSeconds)) {
        return 0;
    }
    constexpr double kLongest = 1e12;  // about 30 years: keeps the deadline representable
    return static_cast<std::int64_t>(std::nearbyint(std::min(exposureSeconds * 3000.0, kLongest)));
}

// ---- ExposureTurn ----

void ExposureTurn::lock() {
    std::unique_lock lock(mutex_);
    const auto ticket = next_++;
    cv_.wait(lock, [&] { return serving_ == ticket; });
}

void ExposureTurn::unlock() {
    {
        std::lock_guard lock(mutex_);
        ++serving_;
    }
    cv_.notify_all();
}

// ---- ThreadCompletion ----

void ThreadCompletion::Set() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    cv_.notify_all();
}

bool ThreadCompletion::Done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

WaitResult ThreadCompletion::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (timeout.count() < 0) {
        cv_.wait(lock, [this] { return done_; });
        return WaitResult::Signalled;
    }
    return cv_.wait_for(lock, timeout, [this] { return done_; }) ? WaitResult::Signalled : WaitResult::TimedOut;
}

// ---- CameraState ----

CameraState::CameraState(TCameraControl& owner_, IDialogs& dialogs_, std::string folder, IClock& clock_)
    : pluginFolder(std::move(folder)),
      clock(clock_),
      answerMs(kCameraAnswerMs),
      owner(&owner_),
      dialogs(&dialogs_),
      session(std::make_shared<CameraSession>(dialogs_, pluginFolder)) {}

std::shared_ptr<CameraSession> CameraState::Session() const {
    std::lock_guard lock(sessionMutex);
    return session;
}

void CameraState::Busy(CameraSession& s, int delta) {
    std::lock_guard order(idleMutex);
    s.busy += delta;
    if (&s == Session().get()) {
        SetIdle(s.busy == 0);
    }
}

void CameraState::SetIdle(bool value) {
    if (idle.exchange(value) == value) {
        return;
    }
    Raise(&CameraState::onBusyChange, value);
}

void CameraState::ReportFailure(const std::string& text) {
    WriteProgramLog(text);
    std::lock_guard lock(ownerMutex);
    if (dialogs != nullptr) {
        dialogs->Defer(DeferredMessage{text, DialogType::Error, DialogButtons::Ok});
    }
}

void CameraState::SetMainImageFailure(const std::string& text) {
    std::lock_guard lock(mainImageMutex);
    mainImageFailure = text;
}

void CameraState::PostStatus(const std::string& text, int value) {
    {
        std::lock_guard lock(statusMutex);
        statusText = text;
        statusValue = value;
    }
    Raise(&CameraState::onStatusMessage, text, value);
}

void CameraState::RaiseImageReady() {
    Raise(&CameraState::onImageReady);
}

void CameraState::RaiseFocusImageReady() {
    Raise(&CameraState::onFocusImageReady);
}

bool CameraState::FocuserIdle() {
    std::function<bool()> probe;
    {
        std::lock_guard lock(focuserMutex);
        probe = focuserIdle;
    }
    return !probe || probe();
}

TImageObject::FocuserAtExposure CameraState::FocuserNow() {
    std::function<TImageObject::FocuserAtExposure()> probe;
    {
        std::lock_guard lock(focuserMutex);
        probe = focuserAtExposure;
    }
    return probe ? probe() : TImageObject::FocuserAtExposure{};
}

FocusSettings CameraState::MeasureSettings(const CameraSession& s) const {
    const CameraInfo info = s.plugin.Info();
    FocusSettings settings;
    settings.ROISize = roiSize.load();
    settings.ROIOn = roiOn.load();
    settings.RemoveBackground = removeBackground.load();
    settings.FWHMFactorSetting = fwhmFactorSetting.load();
    settings.FWHMFactor = info.FWHMFactor;
    settings.HorizPixel = info.HorizPixel;
    settings.VertPixel = info.VertPixel;
    settings.FocusBinning = info.FocusBinning;
    settings.FOMKind = fomKind.load();
    return settings;
}

bool CameraState::MeasureFocusImage(CameraSession& s, bool field, const std::function<bool()>& stop) {
    TImageObject* image = s.plugin.FocusImage();
    if (image == nullptr) {
        return true;
    }
    FocusReading next = Reading();
    const FocusSettings settings = MeasureSettings(s);
    ::kv::ComputeFocusFigures(*image, settings, next);
    next.stars = 1;
    if (TImageObject* main = s.plugin.MainImage(); field && main != nullptr) {
        // Searched on a copy: a crowded field takes a while, and the window
        // draws the main image under the same lock meanwhile.
        const FrameCopy frame = CopyFrame(*main);
        if (wholeField.load()) {
            const WholeFieldOptions options{fieldFraction.load(), image->Width()};
            const std::optional<WholeField> whole =
                MeasureWholeField(frame.width, frame.height, frame.pixels.data(), options, stop);
            if (!whole) return false;
            ApplyWholeField(*whole, settings, next);
        } else {
            const std::optional<FieldFigures> figures =
                MeasureField(frame.width, frame.height, frame.pixels.data(), image->Width(), stop);
            if (!figures) return false;
            ApplyFieldFigures(*figures, settings, next);
        }
    }
    std::lock_guard lock(readingMutex);
    reading = next;
    return true;
}

FocusReading CameraState::Reading() const {
    std::lock_guard lock(readingMutex);
    return reading;
}

std::shared_ptr<ThreadCompletion> CameraState::Start(void (*run)(ExposureRun&), ThreadSet& set) {
    // Busy from the request on, before the thread waits for its turn; told
    // outside the start lock, so a busy handler may ask for a frame itself.
    auto s = Session();
    Busy(*s, +1);
    std::unique_lock lock(startMutex);
    if (stopping) {
        lock.unlock();
        Busy(*s, -1);
        return nullptr;
    }
    auto completion = std::make_shared<ThreadCompletion>();
    set.Start([state = shared_from_this(), s, completion, run](WorkerThread& self) {
        tRunningFor = state.get();
        ExposureRun exposure{*state, *s, self};
        // Waiters are released however the run ends.
        struct Finish {
            ExposureRun& exposure;
            ThreadCompletion& completion;
            ~Finish() {
                exposure.NotBusy();
                tRunningFor = nullptr;
                completion.Set();
            }
        } finish{exposure, *completion};
        run(exposure);
    });
    return completion;
}

std::shared_ptr<ThreadCompletion> CameraState::StartFrame() {
    auto completion = Start(&TFocusFrameThread::Run, exposures);
    if (completion) {
        std::lock_guard lock(lastFrameMutex);
        lastFrame = completion;
    }
    return completion;
}

std::shared_ptr<ThreadCompletion> CameraState::StartMainExposure() { return Start(&TReadExposeThread::Run, exposures); }

bool CameraState::StartLoop() { return Start(&TCycleFocusThread::Run, loops) != nullptr; }

// ---- ExposureRun ----

void ExposureRun::NotBusy() {
    if (busy) {
        busy = false;
        state.Busy(session, -1);
    }
}

void ExposureRun::Fail(const std::string& text) {
    if (!session.abandoned.load()) {
        state.ReportFailure(text);
    }
}

// ---- the three procedures ----

void TReadExposeThread::Run(ExposureRun& run) {
    CameraState& state = run.state;
    CameraPlugin& plugin = run.session.plugin;
    WriteProgramLog("Expose thread executing", LogKind::Trace);
    {
        std::lock_guard turn(run.session.turn);
        const auto started = std::chrono::system_clock::now();
        const TImageObject::FocuserAtExposure focuser = state.FocuserNow();
        state.SetMainImageFailure(kImageStoppedText);
        if (!run.Stopped()) {
            plugin.QueryCameraData();
            if (plugin.SetUpExpose() && !run.Stopped()) {
                TimedWait(run, kMainExposureTexts, "Plug-in SetUpExpose called and returned true");
            }
        }
        if (!run.Stopped()) {
            TImageObject* image = plugin.MainImage();
            const std::uint64_t loadsBefore = image != nullptr ? image->LoadCount() : 0;
            if (image != nullptr) {
                image->SetExposureTime(state.exposureTime.load());
                image->SetExposureStart(started);
                image->SetFocuserAtStart(focuser);
            }
            const bool delivered = plugin.GetImageObject();
            if (!delivered) {
                state.SetMainImageFailure(kImageExposureFailedText);
                run.Fail(kImageExposureFailedText);
            } else if (image == nullptr || image->LoadCount() == loadsBefore) {
                // Success without pixels: the picture on screen is still the
                // previous one, and must not be taken for this exposure's.
                state.SetMainImageFailure(kImageNotLoadedText);
                run.Fail(kImageNotLoadedText);
            } else {
                state.SetMainImageFailure({});
                WriteProgramLog("Camera plug-in reported successful image acquisition");
            }
        }
    }
    if (run.session.abandoned.load()) {
        return;  // back from a plug-in given up for stuck: nobody waits for this image
    }
    run.NotBusy();
    state.PostStatus("Image Ready", 0);
    state.RaiseImageReady();
    WriteProgramLog("Firing ImageReady event", LogKind::Trace);
}

void TFocusFrameThread::Run(ExposureRun& run) {
    CameraState& state = run.state;
    CameraPlugin& plugin = run.session.plugin;
    state.focusDelayEvent->Reset();
    state.focuserWaitEvent->Reset();
    bool delivered = false;
    {
        // Held through the measurement: the image objects cannot be freed
        // under this frame by a disconnect.
        std::lock_guard turn(run.session.turn);
        const auto started = std::chrono::system_clock::now();
        const TImageObject::FocuserAtExposure focuser = state.FocuserNow();
        if (!run.Stopped() && plugin.SetUpExpose() && !run.Stopped()) {
            TimedWait(run, kFocusExposureTexts);
        }
        if (!run.Stopped()) {
            TImageObject* image = plugin.FocusImage();
            TImageObject* main = plugin.MainImage();
            // The plug-in interface reads out a focus frame of the size the
            // camera description fixes, so the field comes from the main
            // image; one exposure serves both the field and the focus frame.
            const bool field = (state.wholeField.load() || (state.fieldFigure.load() && FieldKind(state.fomKind.load()))) &&
                               image != nullptr && main != nullptr;
            for (TImageObject* object : {image, field ? main : nullptr}) {
                if (object != nullptr) {
                    object->SetExposureTime(state.exposureTime.load());
                    object->SetExposureStart(started);
                    object->SetFocuserAtStart(focuser);
                }
            }
            const bool fetched = field ? plugin.GetImageObject()
                                       : plugin.GetFocusObject(state.focusX.load(), state.focusY.load(),
                                                               state.focusGain.load());
            if (!fetched) {
                run.Fail(kFocusExposureFailedText);
            } else if (field) {
                CutFocusFrame(*main, *image, state.focusX.load(), state.focusY.load(), state.focusGain.load());
            }
            if (!run.session.abandoned.load()) {
                if (image != nullptr && state.maskRoi.load()) {
                    MaskOutsideRegion(*image, state.roiSize.load(), state.roiOn.load());
                }
                // The loop, when it runs, keeps the camera busy on its own count.
                run.NotBusy();
                state.PostStatus("Focus Image Ready", 0);
                // A stop (the camera closing, say) ends a long field find;
                // the frame is then not delivered with a half reading.
                delivered = state.MeasureFocusImage(run.session, field && fetched, [&run] { return run.Stopped(); });
            }
        }
    }
    if (run.session.abandoned.load()) {
        return;
    }
    run.NotBusy();
    if (delivered) {
        state.RaiseFocusImageReady();
    }
    state.focuserWaitEvent->Set();
    state.focusDelayEvent->Set();
}

void TCycleFocusThread::Run(ExposureRun& run) {
    CameraState& state = run.state;
    const StopFn stopped = [&] { return run.Stopped(); };
    bool failed = false;
    for (;;) {
        if (!failed) {
            // Null while the controller stops its threads; the stop ends the loop below.
            if (const auto frame = state.StartFrame()) {
                // Switching off lets the running frame finish, however long
                // it takes; only a frame stuck in the plug-in is given up.
                while (frame->Wait(Ms(kWaitSliceMs)) == WaitResult::TimedOut && !run.session.abandoned.load()) {
                }
            }
        } else {
            SleepFor(DefaultClock(), kFailedLoopPollMs, stopped);
        }
        if (!state.continuousFocus.load() || run.Stopped()) {
            break;
        }
        if (failed || !state.sbigInterlock.load()) {
            continue;
        }
        if (!SleepFor(state.clock, kInterlockPauseMs, stopped)) {
            break;
        }
        if (state.FocuserIdle()) {
            continue;
        }
        const auto result = WaitForEvent(*state.generalDelayEvent, kFocuserMoveWaitMs, state.clock,
                                         [&] { return run.Stopped() || !state.continuousFocus.load(); });
        if (result && *result != WaitResult::Signalled) {
            // Shown once; the loop then takes no more frames until switched off.
            run.Fail(WaitFailureText(kLoopWaitTexts, *result));
            failed = true;
        }
    }
}

}  // namespace kv
