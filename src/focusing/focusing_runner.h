// The focusing procedures' worker: runs one focus scan or one auto-focus
// search at a time on its own thread, and reports every step to the window
// through IFocusingView.
//
// The desktop's part (GUI thread):
//   - before starting, stop continuous focus, warn with kTempCompUnderwayText
//     when automatic compensation runs, and take the one focus image the
//     procedures start from (unless the SBIG interlock conditions hold);
//   - StartScan / StartSearch with a fresh IFocusDevices for the focuser and
//     camera in use (TFocuserCameraDevices); both return false, starting
//     nothing, while a procedure still runs;
//   - the Cancel buttons call Cancel(), which returns at once;
//   - keep FocusSamples and SmoothDataCB mirrored with SetSamples/SetSmooth
//     (read at each averaged reading, so a change applies to the next one);
//   - destroy the runner (or Cancel() and Join()) before the focuser, the
//     camera or the view goes away. Every wait of the worker ends on a cancel
//     at once, except a focus frame in progress (the camera controller's own
//     bound, kGetFocusFrameWaitMs).
//
// Each procedure's end (any outcome) is written to the focus log, when one is
// set, on the worker thread just before the view hears of it; a log that
// cannot be written only keeps its warning (TFocusLog::TakeWarning).
//
// The worker never waits for the GUI thread: every IFocusingView call is made
// on the worker thread and must only hand its work over (queued invocation).
// Failures the user must see are also handed to IDialogs::Defer (the
// MsgBoxTimer shows them about a second later).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "focusing/auto_focus_search.h"
#include "focusing/curve_fit_search.h"
#include "focusing/focus_log.h"
#include "focusing/focus_scan.h"
#include "focusing/measure_focus.h"
#include "focusing/quick_refocus.h"
#include "shell/settings_model.h"  // kFocusSamplesMin, kFocusSamplesMax
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/named_event.h"
#include "platform/worker_thread.h"

namespace kv {

// Logged when a halt (Halt, Stop, a stalled motor) or another move ended a
// procedure's move; the procedure then ends as cancelled.
inline constexpr const char* kMoveHaltedText = "The focuser move was halted";

enum class FocusOutcome {
    Completed,
    Cancelled,   // by Cancel(), or a halt of a move (kMoveHaltedText logged first)
    Failed,      // a move did not end in time (or its wait was abandoned or failed); see message
    NotInRange,  // the search found best focus outside +-initial step; see message
    Rejected,    // the curve fit's quality gate refused the answer; the focuser is back at the start; see message
    // The curve fit or the quick refocus ended at its answer, but its own
    // error estimate exceeds what it may claim (UncertainTolerance): the
    // focuser stands at the answer, the message says how far off it may be
    // and what would steady it. Nothing is learned from it.
    Uncertain,
};

enum class FocusMethod { GoldenSection, CurveFit, QuickRefocus };

struct SearchOptions {
    FocusMethod method = FocusMethod::GoldenSection;
    int initialStep = 100;  // the golden section's
    CurveFitSettings fit;   // the curve fit's
    // The quick refocus's. Its learned shape's last best focus is on the
    // focus log's scale (BestFocusPosition): the focuser's absolute position
    // where it has one, else the session's. Without a temperature the
    // devices' is used; its fallback's settings are the curve fit's.
    QuickRefocusSettings quick;
    // The critical focus zone in steps (FocusZoneOptics::CfzSteps), for the
    // result and the log; nullopt when the optics are not set.
    std::optional<double> cfzSteps;
};

struct ScanResult {
    FocusOutcome outcome = FocusOutcome::Completed;
    // Completed only: the position for MoveMinSE. Otherwise MoveMinSE keeps
    // its value (the points drawn so far stay on the chart).
    std::optional<std::int32_t> best;
    std::vector<ChartPoint> points;
    std::string message;  // Failed: the text also deferred
};

// The focus log's position scale against the counter a procedure zeroes at
// its start: the focuser's own read-out where it has one, else the counter
// from where this session began. The counter may run opposite to the
// read-out (a RoboFocus unless reversed), so every crossing between the two
// goes through here.
struct LogScale {
    std::int64_t origin = 0;  // the log position at counter 0
    int sense = 1;            // +1: the counter grows with the log position; -1: it shrinks
    double ToLog(double count) const { return static_cast<double>(origin) + sense * count; }
    std::int64_t ToLog(std::int32_t count) const { return origin + std::int64_t{sense} * count; }
    double ToCount(double position) const { return sense * (position - static_cast<double>(origin)); }
    // A fit on the counter, moved (and mirrored where the two run opposite)
    // onto the log's scale; ToCount takes a learned shape back.
    void ToLog(FitSummary& fit) const;
    void ToCount(LearnedShape& shape) const;
};

struct SearchResult {
    FocusOutcome outcome = FocusOutcome::Completed;
    // What the focus panel's boxes show now: the final reading when
    // Completed, all zeros when Failed; nullopt (boxes untouched) otherwise.
    std::optional<FocusReading> reading;
    std::int32_t position = 0;  // where the focuser stands (CTSCount)
    int narrowingSteps = 0;
    std::vector<SearchPoint> points;
    std::string message;  // Failed, NotInRange, Rejected: the text also deferred
    FocusMethod method = FocusMethod::GoldenSection;
    int frames = 0;  // focus frames taken by the search
    int coarseFrames = 0;  // curve fit: main images taken by its coarse phase
    // Quick refocus: where it predicted best focus and where it found it
    // (the search's scale, 0 where it started); whether it fell back to the
    // full curve fit, and why.
    std::optional<std::int32_t> predicted;
    std::optional<std::int32_t> found;
    bool fellBack = false;
    std::string fallbackReason;
    // Curve fit: the fit (also when the gate refused it). Golden section: its
    // own points fitted after it ended (refinement), beside its answer.
    std::optional<FitSummary> fit;
    // Curve fit: every reading on the curve, "no star" ones included.
    std::vector<CurveSample> measured;
    // The critical focus zone in steps the search was started with, and how
    // far its answer may lie from best focus (SearchErrorSteps; a method
    // that knows better sets its own); the error for completed searches only.
    std::optional<double> cfzSteps;
    std::optional<double> errorSteps;
    // The focus log's scale: a fit's best position or `found` on it lasts
    // beyond this run. On an absolute scale they mean the same after a
    // restart; on a counted one only in this session.
    LogScale scale;
    bool absoluteScale = false;
    std::optional<double> temperatureC;  // at the end, as logged
};

// Everything a running procedure shows. Called on the worker thread, in order.
class IFocusingView : public IMeasureView {
public:
    // A program-log line (WriteProgramLog by default).
    virtual void Log(const std::string& text);
    // A status line: the program log and the first status-bar panel (ShowStatus by default).
    virtual void Status(const std::string& text);
    // The first status-bar panel's text alone (the status-bar log channel by default).
    virtual void StatusPanel(const std::string& text);

    // The scan has started: disable the focusing controls but ScanCancelButton,
    // clear ScanChart's series, set its position axis to `positions` and its
    // figure-of-merit axis (FomAxisFor).
    virtual void ScanStarted(const AxisRange& positions) = 0;
    // A measured point, in order of position.
    virtual void ScanPoint(const ChartPoint& point) = 0;
    // The scan is over (any outcome): re-enable the controls.
    virtual void ScanEnded(const ScanResult& result) = 0;

    // The search has started: disable the focusing controls but CancelSearch,
    // clear both charts, set their axes, widen the first status panel
    // (kSearchStatusPanelWidth).
    virtual void SearchStarted(const SearchChartAxes& axes) = 0;
    // A point for both charts: (step, position) and (step, FOM).
    virtual void SearchPoint(const kv::SearchPoint& point) = 0;
    // The search is over (any outcome): show result.reading if any, restore
    // the status panels and re-enable the controls.
    virtual void SearchEnded(const SearchResult& result) = 0;
    // A fitted curve to draw over the quality chart (FitSummaryValue), once
    // fitted and again with the check frame; the golden section's refinement
    // comes just before SearchEnded.
    virtual void SearchFit(const FitSummary& /*fit*/) {}
};

inline constexpr int kDefaultFocusSamples = 5;

class TFocusingRunner {
public:
    // `clock` times the move waits and the Idle poll. All three must outlive the runner.
    TFocusingRunner(IFocusingView& view, IDialogs& dialogs, IClock& clock = DefaultClock());
    // Cancels and joins a running procedure.
    ~TFocusingRunner();
    TFocusingRunner(const TFocusingRunner&) = delete;
    TFocusingRunner& operator=(const TFocusingRunner&) = delete;

    // Scans the positions of ScanPositions(settings) relative to where the
    // focuser stands (its position counter is reset first) and leaves the
    // focuser at the last one.
    bool StartScan(std::unique_ptr<IFocusDevices> devices, const ScanSettings& settings);
    // Searches for best focus within +-initialStep of where the focuser
    // stands (its position counter is reset first).
    bool StartSearch(std::unique_ptr<IFocusDevices> devices, int initialStep);
    // The search of `options.method`; the golden section as above, the curve
    // fit (TCurveFitSearch) walking from where the focuser stands.
    bool StartSearch(std::unique_ptr<IFocusDevices> devices, const SearchOptions& options);

    // Any thread. The procedure ends at its next test of the flag; a reading
    // in progress ends after its current sample.
    void Cancel() { cancel_.store(true); }
    bool CancelRequested() const { return cancel_.load(); }
    bool Running() const;
    // Waits for the procedure to end. Never from a view callback.
    void Join();

    // Samples per averaged reading (FocusSamples), kept within 1..20.
    void SetSamples(int samples);
    int Samples() const { return samples_.load(); }
    // Leave out the highest and lowest sample (SmoothDataCB).
    void SetSmooth(bool smooth) { smooth_.store(smooth); }
    bool Smooth() const { return smooth_.load(); }

    // Where each procedure's line goes (nullptr: nowhere). Not while one runs;
    // the log must outlive the runner or the next call.
    void SetFocusLog(TFocusLog* log) { log_ = log; }

private:
    // What the log needs from before the procedure zeroes the counter.
    void NoteStart(IFocusDevices& devices);
    // `relativeFinal` on the procedure's own scale (0 where it started).
    void WriteLog(IFocusDevices& devices, FocusLogEntry entry, FocusOutcome outcome, std::int32_t relativeFinal);
    void LogSearch(IFocusDevices& devices, const SearchResult& result);
    // The zone and error figures of a search that has ended, just before it is logged.
    void AddZoneFigures(IFocusDevices& devices, SearchResult& result) const;
    // A completed fit whose error estimate exceeds what a search of `step`
    // may claim becomes Uncertain, with its message deferred as a warning.
    void JudgeCertainty(SearchResult& result, int step);
    bool Start(std::unique_ptr<IFocusDevices> devices, WorkerThread::Procedure procedure);
    void RunScan(WorkerThread& self, ScanSettings settings);
    void RunSearch(WorkerThread& self, int initialStep);
    void RunCurveFit(WorkerThread& self, CurveFitSettings settings);
    void RunQuickRefocus(WorkerThread& self, QuickRefocusSettings settings);
    template <class Search, class End>
    void DriveCurveSearch(WorkerThread& self, Search& search, FomKind kind, SearchResult& result, End&& end);
    void Forward(const std::vector<TAutoFocusSearch::Note>& notes);
    // nullopt when cancelled or stopped first.
    std::optional<WaitResult> WaitForMove(WorkerThread& self, int timeoutMs);
    // Where the focuser stands once it has come to rest, waiting a bounded
    // time: a procedure cancelled during a move ends while the halted motor
    // still runs down, and the position it reports must be the final one.
    std::int32_t RestingPosition(IFocusDevices& devices);
    std::optional<FocusReading> Measure(WorkerThread& self, FomKind kind);
    bool Ended(const WorkerThread& self) const { return cancel_.load() || self.StopRequested(); }

    IFocusingView& view_;
    IDialogs& dialogs_;
    IClock& clock_;
    std::shared_ptr<NamedEvent> moveDone_;
    std::atomic<bool> cancel_{false};
    std::atomic<int> samples_{kDefaultFocusSamples};
    std::atomic<bool> smooth_{true};
    int frames_ = 0;  // focus frames of the running procedure (worker thread only)
    // Worker thread only (one procedure at a time, each joined before the next).
    TFocusLog* log_ = nullptr;
    std::optional<double> cfzSteps_;  // the running search's
    bool halted_ = false;  // a halt, not the user, ended the running procedure
    // The session's scale: where the counter's zero lies on it since the last
    // procedure's reset, and the running procedure's start on it. The scale
    // begins with the runner, so its key is the runner's own (CountingScale).
    const std::string scale_;
    std::int64_t origin_ = 0;
    std::int64_t start_ = 0;
    std::optional<std::int32_t> absoluteStart_;
    LogScale logScale_;  // of the procedure running, from NoteStart
    std::unique_ptr<IFocusDevices> devices_;
    std::unique_ptr<WorkerThread> worker_;
};

}  // namespace kv
