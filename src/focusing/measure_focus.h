// The averaged focus reading at one focuser position, which the focus scan
// and the auto-focus search take at every position.
//
// The procedures reach the focuser and the camera only through IFocusDevices,
// so they run against the real drivers (TFocuserCameraDevices) or against a
// scripted stand-in. They report to the window through IMeasureView, from the
// worker thread that runs them: the desktop hands each call to the GUI thread
// and must not block the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "camera/coarse_measure.h"
#include "camera/focus_figures.h"
#include "focusing/focus_frames.h"
#include "platform/clock.h"
#include "platform/waits.h"

namespace kv {

class TCameraControl;
class TFocusControl;

// The focuser and camera operations the focusing procedures use. Called on the
// procedure's worker thread only.
class IFocusDevices {
public:
    virtual ~IFocusDevices() = default;
    // No programmed move is running.
    virtual bool FocuserIdle() = 0;
    // The focuser's position counter (CTSCount).
    virtual std::int32_t Position() = 0;
    // Makes the current position 0.
    virtual void ResetPosition() = 0;
    // Start a move and return at once; "GENERAL_DELAY_EVENT" is reset when the
    // move starts and signalled when it has ended (at once for no motion).
    virtual void MoveBy(std::int32_t steps) = 0;
    virtual void MoveTo(std::int32_t position) = 0;
    // Takes one focus frame, waits for its measurement and returns it.
    virtual FocusReading TakeFocusFrame() = 0;
    // The figure-of-merit kind in use.
    virtual FomKind Kind() = 0;
    // The last move did not arrive: a halt (Halt, Stop, a stalled motor, a
    // lost link) came since this object was made, or another move replaced it.
    virtual bool MoveHalted() { return false; }
    // The focuser's own absolute position; nullopt for one that only counts.
    virtual std::optional<std::int32_t> AbsolutePosition() { return std::nullopt; }
    // +1 when Position grows with AbsolutePosition, -1 when it shrinks.
    virtual int CountSense() { return 1; }
    // The temperature at the focuser in degrees Celsius, asked at the end of
    // a procedure for its log line (it may ask the device); nullopt without
    // a temperature unit.
    virtual std::optional<double> Temperature() { return std::nullopt; }
    // A main image can be taken and measured (MeasureImageHfd): the curve
    // fit's coarse phase runs only then.
    virtual bool CanMeasureImage() { return false; }
    // Takes a main image and returns the HFD in pixels of the star followed
    // through the procedure (at first the one in the focus frame); nullopt
    // when it shows none.
    virtual std::optional<double> MeasureImageHfd() { return std::nullopt; }
    // The focus frame's side in pixels (0: unknown).
    virtual int FocusFrameSide() { return 0; }
};

// The focuser's own absolute position (RoboFocus, Optec, a device-server
// focuser that has one); nullopt for a hub focuser, which only counts.
std::optional<std::int32_t> AbsolutePositionOf(const TFocusControl* focuser);
// How the counter (CTSCount) runs against that position: +1 with it, -1
// against it (a RoboFocus unless reversed); +1 for a focuser that only counts.
int CountSenseOf(const TFocusControl* focuser);
// The temperature the program already holds, asking the device nothing: the
// last one a device server's focuser sent, or the average of the hub's unit
// (kept by the Temp Control page's reads); none before either has one.
std::optional<double> KeptTemperatureOf(const TFocusControl* focuser);

// The program's own focuser and camera. Both must outlive the procedure that
// uses this object.
class TFocuserCameraDevices final : public IFocusDevices {
public:
    TFocuserCameraDevices(TFocusControl& focuser, TCameraControl& camera);
    bool FocuserIdle() override;
    std::int32_t Position() override;
    void ResetPosition() override;
    void MoveBy(std::int32_t steps) override;
    void MoveTo(std::int32_t position) override;
    FocusReading TakeFocusFrame() override;
    FomKind Kind() override;
    bool MoveHalted() override;
    // Every focus frame taken from now on is also written by `recorder`.
    void SaveFramesWith(std::unique_ptr<TFocusFrameRecorder> recorder) { recorder_ = std::move(recorder); }
    const TFocusFrameRecorder* Recorder() const { return recorder_.get(); }
    std::optional<std::int32_t> AbsolutePosition() override;
    int CountSense() override;
    // A device-server focuser's last reported temperature; the hub's unit
    // asked once more when it has answered before.
    std::optional<double> Temperature() override;
    bool CanMeasureImage() override;
    std::optional<double> MeasureImageHfd() override;
    int FocusFrameSide() override;

private:
    TFocusControl& focuser_;
    TCameraControl& camera_;
    std::unique_ptr<TFocusFrameRecorder> recorder_;
    std::uint64_t halts_;       // the focuser's halt count when the procedure began
    std::uint64_t ticket_ = 0;  // the ticket of the last move started here (0: none)
    std::optional<CoarseStar> followed_;  // the star the main images showed last
};

// What one averaged reading shows while it is taken.
class IMeasureView {
public:
    virtual ~IMeasureView() = default;
    // The sample progress bar (ProgressBar2): position 0..maximum. Set to
    // (0, N) first, (i, N) after sample i, and back to 0 when the reading is
    // done or cancelled.
    virtual void SampleProgress(int position, int maximum) = 0;
    // Each sample as it arrives, for the focus panel's read-out boxes.
    virtual void SampleTaken(const FocusReading& sample) = 0;
};

// How often the Idle wait looks at the focuser.
inline constexpr int kIdlePollMs = 20;
// Running extremes of the smoothing start from these.
inline constexpr double kSmoothMinStart = 100000.0;
inline constexpr double kSmoothMaxStart = 0.0;

// The mean of `samples`. With `smooth` and at least 4 samples the lowest and
// the highest FOM are left out, the first of equal values in each case, and a
// single sample when both are the same one (all equal). The extremes are found
// by running comparisons from kSmoothMinStart and kSmoothMaxStart, so a FOM not
// below the one or not above the other is never dropped as such. All fields of
// the samples kept are averaged; Peak, PeakX and PeakY are truncated toward
// zero, `stars` rounded. FOM is then taken from the averaged fields by `kind`;
// fomSpread is the standard deviation of every sample's FOM. No samples: all
// zeros.
FocusReading SmoothedAverage(std::span<const FocusReading> samples, bool smooth, FomKind kind);

// The averaged reading of `samples` frames (at least 1) at the focuser's
// position. Waits for the focuser to become idle first, however long that
// takes, but ends when `cancel` (or `stop`) turns true meanwhile; `cancel` is
// also tested after every sample. Frames without a star (StarStatus::NoStar
// or TooFewStars) are left out of the average; when they are most of the
// frames, the reading is the average of all and is itself "no star" or "too
// few stars", whichever most of them were, and too large when at least half
// its no-star frames were. nullopt when cancelled: no reading, and the
// progress is back at 0.
std::optional<FocusReading> MeasureFocus(IFocusDevices& devices, IMeasureView& view, int samples, bool smooth,
                                         FomKind kind, const std::atomic<bool>& cancel, IClock& clock,
                                         const StopFn& stop = {});

}  // namespace kv
