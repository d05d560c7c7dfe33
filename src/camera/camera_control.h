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
// OnStatusMessage) run on the worker thread that raised them (OnBusyChange
// also on the thread that asked for an exposure); the desktop hands them to
// the GUI thread without waiting. Exposure failures are logged and deferred
// (IDialogs::Defer; the desktop's MsgBoxTimer shows them), so a worker never
// waits for the GUI thread: the GUI thread itself waits for the workers when
// it switches continuous focus off, disconnects or frees the controller.
//
// Lifetime: Initialize, Uninitialize and the destructor first stop and join
// every exposure thread, so neither the plug-in nor the image objects can go
// away under one. Those joins, and switching continuous focus off, wait for a
// plug-in call at most CameraAnswerMs (beyond the exposure itself): a camera
// that does not answer by then is given up with kCameraNotAnsweringText, its
// plug-in left loaded for the stuck thread, and the controller is left
// unbound but usable. Exposures are serialised: one camera, one exposure at a
// time, whichever thread asked for it. Idle is false while any exposure (or
// the loop) runs or waits for its turn.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "camera/exposure_threads.h"
#include "camera/field_figure.h"
#include "camera/focus_figures.h"
#include "camera/plugin_host.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/lum_delay.h"
#include "platform/named_event.h"

namespace kv {

inline constexpr const char* kDelayEvent = "DELAY_EVENT";

// Fixed texts.
inline constexpr const char* kImageExposureFailedText = "Camera Image Exposure Failed";
inline constexpr const char* kImageNotLoadedText =
    "No image arrived: the camera sent an empty frame (is it busy with another program?)";
inline constexpr const char* kImageStoppedText = "The exposure was stopped before the image came";
inline constexpr const char* kFocusExposureFailedText = "Camera Focus Exposure Failed";
inline constexpr const char* kCycleTimedOutText = "Time out in continuous focus thread";
inline constexpr const char* kCycleAbandonedText = "Abandoned event in continuous focus thread";
inline constexpr const char* kCycleFailedText = "An error occurred in continuous focus thread";
inline constexpr const char* kCouldNotInitializeText = "Could not initialize camera.... ";
inline constexpr const char* kCameraNotAnsweringText =
    "The camera does not answer, so it has been disconnected. Check its cable and power, then restart "
    "Kessivane before connecting it again.";

// Time-outs and pauses, in milliseconds.
inline constexpr int kGetFocusFrameWaitMs = 20000;
inline constexpr int kFocuserMoveWaitMs = 30000;   // "GENERAL_DELAY_EVENT" under the interlock
inline constexpr int kInterlockPauseMs = 200;      // between frames under the interlock
inline constexpr int kFailedLoopPollMs = 50;       // a failed loop waiting to be switched off
inline constexpr int kCameraAnswerMs = 20000;      // a plug-in call longer than this is stuck

class TCameraControl {
public:
    // `pluginFolder` is where plug-in file names are looked up. `clock` times
    // the pauses and the interlock's wait (exposures run on real time); it
    // must outlive the controller and any camera thread it had to give up.
    TCameraControl(IDialogs& dialogs, std::string pluginFolder, IClock& clock = DefaultClock());
    // Stops and joins every thread (giving up a stuck one), then uninitialises.
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
    bool Initialized() const { return s_->Session()->plugin.Initialized(); }
    void QueryCameraData() { s_->Session()->plugin.QueryCameraData(); }
    // Why a cancelled wait left the camera not ready; empty otherwise.
    std::string CancelledText() const { return s_->Session()->plugin.Cancelled(); }
    std::int32_t GetCalibrate() { return s_->Session()->plugin.GetCalibrate(); }
    CameraInfo CameraData() const { return s_->Session()->plugin.Info(); }
    std::int32_t ParPort() const { return s_->Session()->plugin.ParPort(); }
    void SetParPort(std::int32_t port) { s_->Session()->plugin.SetParPort(port); }
    // Null while no plug-in is bound.
    TImageObject* MainImage() { return s_->Session()->plugin.MainImage(); }
    TImageObject* FocusImage() { return s_->Session()->plugin.FocusImage(); }
    // Why the last main image did not come (failed, stopped, no pixels);
    // empty when it came.
    std::string MainImageFailure() const;

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
    // Takes one main image and waits for it, at most kGetFocusFrameWaitMs
    // beyond the camera's download time; false when it did not end in time
    // or ended without an image (MainImageFailure says why).
    bool GetMainImage();
    // On starts the loop (once); off lets the running frame finish, ends the
    // loop and returns when it has ended (at once when called from one of the
    // camera's own threads, which cannot wait for themselves).
    void SetContinuousFocus(bool value);
    bool ContinuousFocus() const { return s_->continuousFocus.load(); }

    // No exposure runs or waits; OnBusyChange reports every change.
    bool Idle() const { return s_->idle.load(); }
    // For TFocusControl::SetCameraControl: the focuser reads Idle through it.
    // Hand the focuser an empty probe before the controller is freed.
    std::function<bool()> IdleProbe() {
        return [this] { return Idle(); };
    }
    void PostStatus(const std::string& text, int value) { s_->PostStatus(text, value); }
    std::string StatusText() const;
    int StatusValue() const;

    // How long a plug-in call may take before the camera counts as stuck.
    int CameraAnswerMs() const { return s_->answerMs.load(); }
    void SetCameraAnswerMs(int ms) { s_->answerMs.store(ms); }

    // ---- measurement ----
    // Measures the focus image now with the current settings.
    void ComputeFocusFigures();
    // The figure selected by FOMKind from the last reading, stored as FigureOfMerit.
    double GetFigureOfMerit();
    FocusReading Reading() const { return s_->Reading(); }
    double FigureOfMerit() const { return Reading().FOM; }
    FocusSettings MeasureSettings() const { return s_->MeasureSettings(*s_->Session()); }

    // ---- settings (written by the GUI thread, read by the workers) ----
    FomKind FOMKind() const { return s_->fomKind.load(); }
    void SetFOMKind(FomKind v) { s_->fomKind.store(v); }
    std::int32_t FocusX() const { return s_->focusX.load(); }
    void SetFocusX(std::int32_t v) { s_->focusX.store(v); }
    std::int32_t FocusY() const { return s_->focusY.load(); }
    void SetFocusY(std::int32_t v) { s_->focusY.store(v); }
    std::int32_t ROISize() const { return s_->roiSize.load(); }
    void SetROISize(std::int32_t v) { s_->roiSize.store(v); }
    bool ROIOn() const { return s_->roiOn.load(); }
    void SetROIOn(bool v) { s_->roiOn.store(v); }
    bool MaskROI() const { return s_->maskRoi.load(); }
    void SetMaskROI(bool v) { s_->maskRoi.store(v); }
    double ExposureTime() const { return s_->exposureTime.load(); }
    void SetExposureTime(double seconds) { s_->exposureTime.store(seconds); }
    double FocusGain() const { return s_->focusGain.load(); }
    void SetFocusGain(double v) { s_->focusGain.store(v); }
    std::int32_t FWHMFactorSetting() const { return s_->fwhmFactorSetting.load(); }
    void SetFWHMFactorSetting(std::int32_t v) { s_->fwhmFactorSetting.store(v); }
    bool RemoveBackground() const { return s_->removeBackground.load(); }
    void SetRemoveBackground(bool v) { s_->removeBackground.store(v); }
    // Each focus frame's size figure is the median over the stars of the
    // whole main image instead of the selected star's own (FWHM and HFD only).
    bool FieldFigure() const { return s_->fieldFigure.load(); }
    void SetFieldFigure(bool v) { s_->fieldFigure.store(v); }
    // Focus on the whole field: each focus frame's reading is the median
    // size over the usable stars of the main image's middle `fraction` of
    // each side (field_figure.h, MeasureWholeField), whatever the figure,
    // and keeps those stars. Off, the focus star's figures as ever.
    bool WholeField() const { return s_->wholeField.load(); }
    void SetWholeField(bool v) { s_->wholeField.store(v); }
    double FieldFraction() const { return s_->fieldFraction.load(); }
    void SetFieldFraction(double fraction) { s_->fieldFraction.store(fraction); }
    // The figure the readings' FOM is: the chosen one, or the whole field's size.
    FomKind MeasureKind() const { return WholeField() ? WholeFieldKind(FOMKind()) : FOMKind(); }
    bool IsSBIG() const { return s_->isSbig.load(); }
    void SetIsSBIG(bool v) { s_->isSbig.store(v); }
    bool SBIGInterlock() const { return s_->sbigInterlock.load(); }
    void SetSBIGInterlock(bool v) { s_->sbigInterlock.store(v); }
    // The focuser's Idle, which the loop waits for under the interlock;
    // empty (the focuser counts as idle) by default. Clear it before
    // whatever it reads is freed.
    void SetFocuserIdle(std::function<bool()> focuserIdle);
    // The focuser's position and temperature, asked as each exposure begins
    // and kept with its frame; empty: frames carry none.
    void SetFocuserAtExposure(std::function<TImageObject::FocuserAtExposure()> probe);

    // ---- notifications ----
    void SetOnBusyChange(TCameraBusyEvent handler);
    void SetOnImageReady(TCameraNotifyEvent handler);
    void SetOnFocusImageReady(TCameraNotifyEvent handler);
    void SetOnStatusMessage(TCameraStatusEvent handler);

    TlumDelay& DelayTimer() { return s_->delayTimer; }
    // Completion of the last focus frame started, null before the first.
    std::shared_ptr<ThreadCompletion> FrameThread() const;

private:
    bool OnCameraThread() const { return IsCameraThreadOf(s_.get()); }
    bool RefusedOnCameraThread(const char* what) const;
    // Stops and joins every thread, the exposures first. False when one was
    // stuck in the plug-in and had to be given up.
    bool StopAllThreads();
    // Sets the stuck plug-in aside, leaves the controller unbound and tells
    // the user. Any thread of it still running is given up too.
    void GiveUpStuckCamera();

    // Shared with the threads, which may outlive the controller when stuck.
    std::shared_ptr<CameraState> s_;
};

}  // namespace kv
