#include "camera/exposure_threads.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <thread>

#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "shell/log_channel.h"

namespace kv {

namespace {

thread_local const TCameraControl* tRunningFor = nullptr;

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// Three times the exposure, rounded to nearest (halves to even). An exposure
// that is not a positive number waits 0 ms: the delay timer has already
// signalled such a delay before SetEnabled returned.
std::int64_t ExposureWaitMs(double exposureSeconds) {
    if (!(exposureSeconds > 0.0) || !std::isfinite(exposureSeconds)) {
        return 0;
    }
    constexpr double kLongest = 1e12;  // about 30 years: keeps the deadline representable
    return static_cast<std::int64_t>(std::nearbyint(std::min(exposureSeconds * 3000.0, kLongest)));
}

// Waits for `event` at most `timeoutMs`, in slices so that a stop request
// (or `alsoEnd`) ends the wait early; nullopt then.
template <class AlsoEnd>
std::optional<WaitResult> SlicedWait(NamedEvent& event, std::int64_t timeoutMs, AlsoEnd alsoEnd) {
    const auto deadline = SteadyClock::now() + Ms(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
        const std::int64_t slice = std::clamp<std::int64_t>(left, 0, kCameraWaitSliceMs);
        const WaitResult result = event.Wait(Ms(slice));
        if (result != WaitResult::TimedOut) {
            return result;
        }
        if (left <= slice) {
            return WaitResult::TimedOut;
        }
        if (alsoEnd()) {
            return std::nullopt;
        }
    }
}

}  // namespace

bool IsCameraThreadOf(const TCameraControl* owner) { return owner != nullptr && tRunningFor == owner; }

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

// ---- TCameraThread ----

TCameraThread::TCameraThread(TCameraControl& owner)
    : owner_(owner),
      worker_([this](WorkerThread&) {
          tRunningFor = &owner_;
          // Waiters are released however the run ends.
          struct Finish {
              ThreadCompletion& completion;
              ~Finish() {
                  tRunningFor = nullptr;
                  completion.Set();
              }
          } finish{*completion_};
          Run();
      }),
      completion_(std::make_shared<ThreadCompletion>()) {}

TCameraThread::~TCameraThread() { StopAndJoin(); }

std::string TCameraThread::ErrorText() const {
    std::lock_guard lock(errorMutex_);
    return errorText_;
}

void TCameraThread::Fail(const std::string& text) {
    {
        std::lock_guard lock(errorMutex_);
        errorText_ = text;
    }
    owner_.ReportFailure(text);
}

bool TCameraThread::Sleep(int ms) {
    const auto deadline = SteadyClock::now() + Ms(ms);
    while (!StopRequested()) {
        const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now());
        if (left.count() <= 0) {
            return true;
        }
        std::this_thread::sleep_for(std::min(left, Ms(kCameraWaitSliceMs)));
    }
    return false;
}

void TCameraThread::TimedWait(const ExposureTexts& texts, const char* afterStatus) {
    TlumDelay& timer = owner_.delayTimer_;
    const double exposure = owner_.ExposureTime();
    timer.SetDelay(exposure);
    owner_.PostStatus(texts.acquiring, 0);
    if (afterStatus != nullptr) {
        WriteProgramLog(afterStatus);
    }
    timer.SetEnabled(true);
    const auto result = SlicedWait(*owner_.delayEvent_, ExposureWaitMs(exposure),
                                   [this] { return StopRequested(); });
    if (!result) {
        return;  // the controller is going away; nobody is left to tell
    }
    switch (*result) {
    case WaitResult::Signalled:
        break;
    case WaitResult::TimedOut:
        Fail(texts.timedOut);
        break;
    case WaitResult::Abandoned:
        Fail(texts.abandoned);
        break;
    case WaitResult::Failed:
        Fail(texts.failed);
        break;
    }
}

// ---- TReadExposeThread ----

TReadExposeThread::~TReadExposeThread() { StopAndJoin(); }

void TReadExposeThread::Run() {
    owner_.SetIdle(false);
    WriteProgramLog("Expose thread executing");
    {
        std::lock_guard exposure(owner_.exposureMutex_);
        if (!StopRequested()) {
            owner_.plugin_.QueryCameraData();
            if (owner_.plugin_.SetUpExpose()) {
                TimedWait(kMainExposureTexts, "Plug-in SetUpExpose called and returned true");
            }
        }
        if (!StopRequested()) {
            if (TImageObject* image = owner_.MainImage()) {
                image->SetExposureTime(owner_.ExposureTime());
            }
            if (!owner_.plugin_.GetImageObject()) {
                Fail(kImageExposureFailedText);
            } else {
                WriteProgramLog("Camera plug-in reported successful image acquisition");
            }
        }
    }
    owner_.SetIdle(true);
    owner_.PostStatus("Image Ready", 0);
    owner_.RaiseImageReady();
    WriteProgramLog("Firing ImageReady event");
}

// ---- TFocusFrameThread ----

TFocusFrameThread::~TFocusFrameThread() { StopAndJoin(); }

void TFocusFrameThread::Run() {
    owner_.SetIdle(false);
    owner_.focusDelayEvent_->Reset();
    owner_.focuserWaitEvent_->Reset();
    bool delivered = false;
    {
        // Held through the measurement: the image objects cannot be freed
        // under this frame by a disconnect.
        std::lock_guard exposure(owner_.exposureMutex_);
        if (!StopRequested() && owner_.plugin_.SetUpExpose()) {
            TimedWait(kFocusExposureTexts);
        }
        if (!StopRequested()) {
            TImageObject* image = owner_.FocusImage();
            if (image != nullptr) {
                image->SetExposureTime(owner_.ExposureTime());
            }
            if (!owner_.plugin_.GetFocusObject(owner_.FocusX(), owner_.FocusY(), owner_.FocusGain())) {
                Fail(kFocusExposureFailedText);
            }
            if (image != nullptr && owner_.MaskROI()) {
                std::lock_guard lock(image->Lock());
                const int w = image->Width();
                const int h = image->Height();
                const int b = RoiBorder(w, owner_.ROISize(), owner_.ROIOn());
                std::uint16_t* pixels = image->Pixels();
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        if (!(b < x && x < w - b && b < y && y < h - b)) {
                            pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                   static_cast<std::size_t>(x)] = 0;
                        }
                    }
                }
                image->SetIsUpdated(false);
            }
            if (!owner_.ContinuousFocus()) {
                owner_.SetIdle(true);
            }
            owner_.PostStatus("Focus Image Ready", 0);
            owner_.MeasureFocusImage();
            delivered = true;
        }
    }
    if (!delivered && !owner_.ContinuousFocus()) {
        owner_.SetIdle(true);
    }
    if (delivered) {
        owner_.RaiseFocusImageReady();
    }
    owner_.focuserWaitEvent_->Set();
    owner_.focusDelayEvent_->Set();
}

// ---- TCycleFocusThread ----

TCycleFocusThread::~TCycleFocusThread() { StopAndJoin(); }

bool TCycleFocusThread::WaitForFocuser(bool& reported) {
    const auto result = SlicedWait(*owner_.generalDelayEvent_, kFocuserMoveWaitMs,
                                   [this] { return StopRequested() || !owner_.ContinuousFocus(); });
    if (!result || *result == WaitResult::Signalled) {
        return true;
    }
    const char* text = *result == WaitResult::TimedOut    ? kCycleTimedOutText
                       : *result == WaitResult::Abandoned ? kCycleAbandonedText
                                                          : kCycleFailedText;
    if (!reported) {
        reported = true;
        Fail(text);
    }
    return false;
}

void TCycleFocusThread::Run() {
    owner_.SetIdle(false);
    bool failed = false;
    bool reported = false;
    for (;;) {
        if (!failed) {
            const auto frame = owner_.StartFrame();
            // No frame while the controller shuts down; the stop ends the loop below.
            // The frame always completes (a stop only shortens it), so this
            // wait has no limit: switching off lets the running frame finish.
            if (frame && frame->Wait(Ms(-1)) != WaitResult::Signalled) {
                if (!reported) {
                    reported = true;
                    Fail(kCycleWaitFailedText);
                }
                failed = true;
            }
        } else {
            Sleep(kFailedLoopPollMs);
        }
        if (!owner_.ContinuousFocus() || StopRequested()) {
            break;
        }
        if (!failed && owner_.SBIGInterlock()) {
            if (!Sleep(kInterlockPauseMs)) {
                break;
            }
            if (!owner_.FocuserIdle() && !WaitForFocuser(reported)) {
                failed = true;
            }
        }
    }
    owner_.SetIdle(true);
}

}  // namespace kv
