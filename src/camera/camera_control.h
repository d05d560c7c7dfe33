// The camera controller.
//
// TCameraControl is the program's one camera object. It binds the chosen
// plug-in (through CameraPlugin), times every exposure with its TlumDelay on
// "DELAY_EVENT", runs each exposure on a worker thread (exposure_threads.h)
// and measures every focus frame. Named events let other code wait for a
// frame: "FOCUSER_WAIT_EVENT" (the focuser, before it moves under the SBIG
// interlock) and "FOCUS_DELAY_EVENT" (the focusing procedures) are reset when
// a frame starts and signalled, in that order, when it has ended.
//
// Notifications (OnBusyChange, OnImageReady, OnFocusImageReady,
// OnStatusMessage) run on the worker thread that raised them; the desktop
// hands them to the GUI thread without waiting. Exposure failures are logged
// and deferred (IDialogs::Defer; the desktop's MsgBoxTimer shows them), so a
// worker never waits for the GUI thread: the GUI thread itself waits for the
// workers when it switches continuous focus off, disconnects or frees the
// controller.
//
// Lifetime: Initialize, Uninitialize and the destructor first stop and join
// every exposure thread, so neither the plug-in nor the image objects can go
// away under one. Exposures are serialised: one camera, one exposure at a
// time, whichever thread asked for it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/exposure_threads.h"
#include "camera/focus_figures.h"
#include "camera/plugin_host.h"
#include "focuser/lum_delay.h"
#include "platform/dialogs.h"
#include "platform/named_event.h"

namespace kv {

class TFocusControl;
class TCameraControl;

using TCameraBusyEvent = std::function<void(TCameraControl& sender, bool idle)>;
using TCameraNotifyEvent = std::function<void(TCameraControl& sender)>;
using TCameraStatusEvent = std::function<void(TCameraControl& sender, const std::string& text, int value)>;

inline constexpr const char* kDelayEvent = "DELAY_EVENT";

// Fixed texts.
inline constexpr const char* kImageExposureFailedText = "Camera Image Exposure Failed";
inline constexpr const char* kFocusExposureFailedText = "Camera Focus Exposure Failed";
inline constexpr const char* kGetFocusFrameWaitFailedText = "Waitfor failed in GetFocusFrame";
inline constexpr const char* kCycleWaitFailedText = "waitfor failed in CycleFocus Thread";
inline constexpr const char* kCycleTimedOutText = "Time out in continuous focus thread";
inline constexpr const char* kCycleAbandonedText = "Abandoned event in continuous focus thread";
inline constexpr const char* kCycleFailedText = "An error occurred in continuous focus thread";
inline constexpr const char* kCouldNotInitializeText = "Could not initialize camera.... ";

// Time-outs and pauses, in milliseconds.
inline constexpr int kGetFocusFrameWaitMs = 20000;
inline constexpr int kFocuserMoveWaitMs = 30000;   // "GENERAL_DELAY_EVENT" under the interlock
inline constexpr int kInterlockPauseMs = 200;      // between frames under the interlock
inline constexpr int kFailedLoopPollMs = 50;       // a failed loop waiting to be switched off
inline constexpr int kCameraWaitSliceMs = 50;      // long waits re-check the stop request

class TCameraControl {
public:
    // `pluginFolder` is where plug-in file names are looked up.
    TCameraControl(IDialogs& dialogs, std::string pluginFolder);
    // Stops and joins every thread, then frees the timer and uninitialises.
    ~TCameraControl();
    TCameraControl(const TCameraControl&) = delete;
    TCameraControl& operator=(const TCameraControl&) = delete;

    // ---- plug-in ----
    // GUI thread (refused, with a log line, on the camera's own threads).
    // Stops every exposure thread, then binds the plug-in (see CameraPlugin).
    // Marks the camera SBIG when its Manufacturer contains "Santa".
    bool Initialize(const std::string& fileName);
    // Stops every exposure thread (continuous focus included), then unbinds.
    void Uninitialize();
    bool Initialized() const { return plugin_.Initialized(); }
    void QueryCameraData() { plugin_.QueryCameraData(); }
    std::int32_t GetCalibrate() { return plugin_.GetCalibrate(); }
    CameraInfo CameraData() const { return plugin_.Info(); }
    std::int32_t ParPort() const { return plugin_.ParPort(); }
    void SetParPort(std::int32_t port) { plugin_.SetParPort(port); }
    // Null while no plug-in is bound.
    TImageObject* MainImage() { return plugin_.MainImage(); }
    TImageObject* FocusImage() { return plugin_.FocusImage(); }

    // The Connect/Disconnect button: disconnects when initialised, else
    // initialises from `fileName`; a connection that fails shows
    // "Could not initialize camera.... " and leaves no plug-in bound.
    // Returns Initialized() afterwards.
    bool ToggleConnection(const std::string& fileName);

    // ---- exposures ----
    // Starts a main-image exposure; returns at once.
    void DoImageFrame();
    // Starts one focus frame; returns at once.
    void StartFocusFrame();
    // Takes one focus frame and waits for it, at most kGetFocusFrameWaitMs.
    // Always true; a frame that did not end in time is logged.
    bool GetFocusFrame();
    // On starts the loop (once); off lets the running frame finish, ends the
    // loop and returns when it has ended (at once when called from one of the
    // camera's own threads, which cannot wait for themselves).
    void SetContinuousFocus(bool value);
    bool ContinuousFocus() const { return continuousFocus_.load(); }

    bool Idle() const { return idle_.load(); }
    // Stores Idle; raises OnBusyChange only when it changed.
    void SetIdle(bool value);
    // For TFocusControl::SetCameraControl: the focuser reads Idle through it.
    // Hand the focuser an empty probe before the controller is freed.
    std::function<bool()> IdleProbe() {
        return [this] { return Idle(); };
    }
    void PostStatus(const std::string& text, int value);
    std::string StatusText() const;
    int StatusValue() const;

    // ---- measurement ----
    // Measures the focus image now with the current settings.
    void ComputeFocusFigures();
    // The figure selected by FOMKind from the last reading, stored as FigureOfMerit.
    double GetFigureOfMerit();
    FocusReading Reading() const;
    double FigureOfMerit() const { return Reading().FOM; }
    FocusSettings MeasureSettings() const;

    // ---- settings (written by the GUI thread, read by the workers) ----
    FomKind FOMKind() const { return fomKind_.load(); }
    void SetFOMKind(FomKind v) { fomKind_.store(v); }
    std::int32_t FocusX() const { return focusX_.load(); }
    void SetFocusX(std::int32_t v) { focusX_.store(v); }
    std::int32_t FocusY() const { return focusY_.load(); }
    void SetFocusY(std::int32_t v) { focusY_.store(v); }
    std::int32_t ROISize() const { return roiSize_.load(); }
    void SetROISize(std::int32_t v) { roiSize_.store(v); }
    bool ROIOn() const { return roiOn_.load(); }
    void SetROIOn(bool v) { roiOn_.store(v); }
    bool MaskROI() const { return maskRoi_.load(); }
    void SetMaskROI(bool v) { maskRoi_.store(v); }
    double ExposureTime() const { return exposureTime_.load(); }
    void SetExposureTime(double seconds) { exposureTime_.store(seconds); }
    double FocusGain() const { return focusGain_.load(); }
    void SetFocusGain(double v) { focusGain_.store(v); }
    std::int32_t FWHMFactorSetting() const { return fwhmFactorSetting_.load(); }
    void SetFWHMFactorSetting(std::int32_t v) { fwhmFactorSetting_.store(v); }
    bool RemoveBackground() const { return removeBackground_.load(); }
    void SetRemoveBackground(bool v) { removeBackground_.store(v); }
    bool IsSBIG() const { return isSbig_.load(); }
    void SetIsSBIG(bool v) { isSbig_.store(v); }
    bool SBIGInterlock() const { return sbigInterlock_.load(); }
    void SetSBIGInterlock(bool v) { sbigInterlock_.store(v); }
    // The focuser the loop waits for under the interlock. Set it to null
    // before the focuser is freed.
    void SetFocuser(TFocusControl* focuser);

    // ---- notifications ----
    void SetOnBusyChange(TCameraBusyEvent handler);
    void SetOnImageReady(TCameraNotifyEvent handler);
    void SetOnFocusImageReady(TCameraNotifyEvent handler);
    void SetOnStatusMessage(TCameraStatusEvent handler);

    TlumDelay& DelayTimer() { return delayTimer_; }
    // Completion of the last focus frame started, null before the first.
    std::shared_ptr<ThreadCompletion> FrameThread() const;

private:
    friend class TCameraThread;
    friend class TReadExposeThread;
    friend class TFocusFrameThread;
    friend class TCycleFocusThread;

    // Starts the thread unless the controller is shutting down; returns its
    // completion (null when not started). Reaps finished threads first.
    std::shared_ptr<ThreadCompletion> StartThread(std::unique_ptr<TCameraThread> thread, bool isFrame);
    std::shared_ptr<ThreadCompletion> StartFrame();
    // Asks every thread to stop and joins them (the loop first).
    void StopAllThreads();
    bool OnCameraThread() const;
    bool RefusedOnCameraThread(const char* what) const;
    // Logs one failure and defers its message box.
    void ReportFailure(const std::string& text);
    void RaiseImageReady();
    void RaiseFocusImageReady();
    // Focuser Idle under the interlock; a missing focuser counts as idle.
    bool FocuserIdle();
    // Measures the focus image and stores the reading; the caller holds
    // exposureMutex_.
    void MeasureFocusImage();
    void ClearHandlers();

    IDialogs& dialogs_;
    CameraPlugin plugin_;
    TlumDelay delayTimer_;
    std::shared_ptr<NamedEvent> delayEvent_;
    std::shared_ptr<NamedEvent> focusDelayEvent_;
    std::shared_ptr<NamedEvent> focuserWaitEvent_;
    std::shared_ptr<NamedEvent> generalDelayEvent_;

    std::atomic<FomKind> fomKind_{FomKind::FWHM};
    std::atomic<bool> continuousFocus_{false};
    std::atomic<bool> idle_{true};
    std::atomic<std::int32_t> focusX_{0};
    std::atomic<std::int32_t> focusY_{0};
    std::atomic<std::int32_t> roiSize_{20};
    std::atomic<bool> roiOn_{false};
    std::atomic<bool> maskRoi_{false};
    std::atomic<double> exposureTime_{0.0};
    std::atomic<double> focusGain_{0.0};
    std::atomic<std::int32_t> fwhmFactorSetting_{1};
    std::atomic<bool> removeBackground_{true};
    std::atomic<bool> isSbig_{false};
    std::atomic<bool> sbigInterlock_{false};
    std::atomic<bool> shuttingDown_{false};

    std::mutex focuserMutex_;
    TFocusControl* focuser_ = nullptr;

    mutable std::mutex statusMutex_;
    std::string statusText_;
    int statusValue_ = 0;

    mutable std::mutex readingMutex_;
    FocusReading reading_;

    std::recursive_mutex idleMutex_;  // keeps busy reports in order
    mutable std::mutex handlersMutex_;
    TCameraBusyEvent onBusyChange_;
    TCameraNotifyEvent onImageReady_;
    TCameraNotifyEvent onFocusImageReady_;
    TCameraStatusEvent onStatusMessage_;

    ExposureTurn exposureMutex_;  // one exposure at a time, in turn
    std::mutex continuousMutex_;  // SetContinuousFocus callers in turn
    mutable std::mutex threadsMutex_;
    std::vector<std::unique_ptr<TCameraThread>> threads_;
    std::unique_ptr<TCycleFocusThread> cycleThread_;
    std::shared_ptr<ThreadCompletion> lastFrame_;
};

}  // namespace kv
