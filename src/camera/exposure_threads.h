// The camera's worker threads and the state they share with the controller.
//
// Every exposure runs on its own thread so the window stays responsive: a main
// image, one focus frame, or the continuous-focus loop that takes focus frames
// back to back. The threads are owned by two ThreadSets of the controller's
// state (the loop apart, because switching continuous focus off joins only
// the loop) and are stopped and joined before the plug-in or the controller
// goes.
//
// A plug-in call may never return (a camera unplugged in the middle of a
// download). The joins are therefore bounded: a thread still inside the
// plug-in then is abandoned and lives on with what it holds. That is why the
// threads hold the state by shared_ptr rather than the controller by
// reference, and why the bound plug-in lives in a CameraSession of its own:
// the stuck session is set aside, marked abandoned and never unloaded, and
// the controller goes on with a fresh, unbound one. A thread of an abandoned
// session that comes back from the plug-in touches nothing but that session.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "camera/focus_figures.h"
#include "camera/plugin_host.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/lum_delay.h"
#include "platform/named_event.h"
#include "platform/waits.h"
#include "platform/worker_thread.h"

namespace kv {

class TCameraControl;

using TCameraBusyEvent = std::function<void(TCameraControl& sender, bool idle)>;
using TCameraNotifyEvent = std::function<void(TCameraControl& sender)>;
using TCameraStatusEvent = std::function<void(TCameraControl& sender, const std::string& text, int value)>;

// Set once when a thread has finished; any number of waiters.
class ThreadCompletion {
public:
    void Set();
    bool Done() const;
    // Signalled when finished within `timeout`, else TimedOut; a negative
    // time-out waits without limit.
    WaitResult Wait(std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

// First come, first served: the camera's exposures take turns in the order
// they asked. (A plain mutex let a main exposure wait behind continuous
// focus frames for as long as the loop ran.) Usable with std::lock_guard.
class ExposureTurn {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    unsigned long long next_ = 0;
    unsigned long long serving_ = 0;
};

// Texts of one exposure kind's timed wait.
struct ExposureTexts {
    const char* acquiring;
    WaitMessages failures;
};
inline constexpr ExposureTexts kMainExposureTexts{
    "Acquiring Image",
    {"Time out during exposing", "Abandoned event during exposing", "An error occurred during exposing"}};
inline constexpr ExposureTexts kFocusExposureTexts{
    "Acquiring Focus Image",
    {"Time out during focus exposing", "Abandoned event during focus exposing",
     "An error occurred during focus exposing"}};

// One plug-in binding and everything an exposure through it holds.
struct CameraSession {
    CameraSession(IDialogs& dialogs, std::string folder) : plugin(dialogs, std::move(folder)) {}
    CameraPlugin plugin;
    ExposureTurn turn;  // one exposure at a time, in turn
    // Exposures and loops running or waiting; guarded by CameraState::idleMutex.
    int busy = 0;
    // Set aside because a thread is stuck in the plug-in.
    std::atomic<bool> abandoned{false};
};

struct ExposureRun;

// Everything the controller and its threads share.
struct CameraState : std::enable_shared_from_this<CameraState> {
    CameraState(TCameraControl& owner, IDialogs& dialogs, std::string pluginFolder, IClock& clock);

    // ---- for the threads ----
    std::shared_ptr<CameraSession> Session() const;
    // One exposure (or the loop) more or fewer in `session`; Idle follows
    // the current session's count.
    void Busy(CameraSession& session, int delta);
    // Logs the failure and defers its message box (nothing once the
    // controller is gone).
    void ReportFailure(const std::string& text);
    void PostStatus(const std::string& text, int value);
    void RaiseImageReady();
    void RaiseFocusImageReady();
    // The focuser's Idle under the interlock; no probe counts as idle.
    bool FocuserIdle();
    // Stores Idle; raises OnBusyChange only when it changed. Caller holds idleMutex.
    void SetIdle(bool value);
    // Measures the session's focus image and stores the reading; with `field`
    // the sizes are the medians over the stars of the main image (see
    // field_figure.h), its middle only and its stars kept with wholeField. The caller holds the session's turn. False, with the
    // last reading kept, when `stop` called the field's find off.
    bool MeasureFocusImage(CameraSession& session, bool field = false, const std::function<bool()>& stop = {});
    FocusSettings MeasureSettings(const CameraSession& session) const;
    FocusReading Reading() const;
    // Starts a thread unless the controller is stopping them all; null then.
    std::shared_ptr<ThreadCompletion> StartFrame();
    std::shared_ptr<ThreadCompletion> StartMainExposure();
    bool StartLoop();

    // ---- fixed at construction ----
    const std::string pluginFolder;
    IClock& clock;  // pauses and the interlock's wait; exposures run on real time
    TlumDelay delayTimer;
    std::shared_ptr<NamedEvent> delayEvent;
    std::shared_ptr<NamedEvent> focusDelayEvent;
    std::shared_ptr<NamedEvent> focuserWaitEvent;
    std::shared_ptr<NamedEvent> generalDelayEvent;

    // ---- settings: written by the GUI thread, read by the workers ----
    std::atomic<FomKind> fomKind{FomKind::FWHM};
    std::atomic<bool> continuousFocus{false};
    std::atomic<bool> idle{true};
    std::atomic<std::int32_t> focusX{0};
    std::atomic<std::int32_t> focusY{0};
    std::atomic<std::int32_t> roiSize{20};
    std::atomic<bool> roiOn{false};
    std::atomic<bool> maskRoi{false};
    std::atomic<double> exposureTime{0.0};
    std::atomic<double> focusGain{0.0};
    std::atomic<std::int32_t> fwhmFactorSetting{1};
    std::atomic<bool> removeBackground{true};
    std::atomic<bool> fieldFigure{false};
    std::atomic<bool> wholeField{false};
    std::atomic<double> fieldFraction{1.0};
    std::atomic<bool> isSbig{false};
    std::atomic<bool> sbigInterlock{false};
    std::atomic<int> answerMs;

    mutable std::mutex focuserMutex;
    std::function<bool()> focuserIdle;
    std::function<TImageObject::FocuserAtExposure()> focuserAtExposure;
    // The focuser's position and temperature now; nothing known without a probe.
    TImageObject::FocuserAtExposure FocuserNow();

    mutable std::mutex statusMutex;
    std::string statusText;
    int statusValue = 0;

    mutable std::mutex readingMutex;
    FocusReading reading;

    // Why the last main image did not come; empty when it did.
    mutable std::mutex mainImageMutex;
    std::string mainImageFailure;
    void SetMainImageFailure(const std::string& text);

    // The controller and the desktop's dialogs; both null once the controller is freed.
    mutable std::mutex ownerMutex;
    TCameraControl* owner;
    IDialogs* dialogs;
    TCameraBusyEvent onBusyChange;
    TCameraNotifyEvent onImageReady;
    TCameraNotifyEvent onFocusImageReady;
    TCameraStatusEvent onStatusMessage;

    std::recursive_mutex idleMutex;  // keeps busy reports in order
    mutable std::mutex sessionMutex;
    std::shared_ptr<CameraSession> session;

    std::mutex continuousMutex;  // SetContinuousFocus callers in turn
    std::mutex startMutex;
    bool stopping = false;  // guarded by startMutex: no thread starts
    ThreadSet loops;
    ThreadSet exposures;
    std::mutex lastFrameMutex;
    std::shared_ptr<ThreadCompletion> lastFrame;

private:
    std::shared_ptr<ThreadCompletion> Start(void (*run)(ExposureRun&), ThreadSet& set);
    // Calls one of the handlers above with the controller as sender; the
    // handler and sender are copied under the lock and called outside it, so
    // a handler may call back into the controller, and nothing is called
    // once the controller is gone.
    template <typename Handler, typename... Args>
    void Raise(Handler CameraState::*member, const Args&... args) {
        Handler handler;
        TCameraControl* sender = nullptr;
        {
            std::lock_guard lock(ownerMutex);
            handler = this->*member;
            sender = owner;
        }
        if (handler && sender != nullptr) handler(*sender, args...);
    }
};

// What one thread works with. It is busy (holds Idle false) from before it
// starts until NotBusy, which its end calls at the latest.
struct ExposureRun {
    CameraState& state;
    CameraSession& session;
    WorkerThread& self;
    bool busy = true;

    // Asked to stop, or its session was set aside.
    bool Stopped() const { return self.StopRequested() || session.abandoned.load(); }
    void NotBusy();
    void Fail(const std::string& text);
};

// True on a thread that `state`'s controller started.
bool IsCameraThreadOf(const CameraState* state);

// Three times the exposure, rounded to nearest (halves to even); 0 for an
// exposure that is not a positive number.
std::int64_t ExposureWaitMs(double exposureSeconds);

// The three thread kinds, each a procedure run on an owned WorkerThread.
// One main-image exposure.
struct TReadExposeThread {
    static void Run(ExposureRun& run);
};
// One focus frame: expose, fetch, mask, measure, report, signal
// "FOCUSER_WAIT_EVENT" then "FOCUS_DELAY_EVENT". A field frame (fieldFigure
// on with a size as the figure, or wholeField on) fetches the main image of the same exposure
// instead and cuts the focus frame out of it.
struct TFocusFrameThread {
    static void Run(ExposureRun& run);
};
// The continuous-focus loop.
struct TCycleFocusThread {
    static void Run(ExposureRun& run);
};

}  // namespace kv
