// The focus scan (Manual Focus page) and the auto-focus search (Auto Focus
// page) in the window: their buttons, charts, read-outs, status bar and the
// one worker that runs them.
//
// The worker reports on its own thread; every report is copied into a queued
// call that runs on the GUI thread, so the worker never waits for the window.
// A report that arrives after this object has gone is dropped with it.
#pragma once

#include <QObject>
#include <QVariantMap>
#include <cstdint>
#include <memory>
#include <optional>

#include "focusing/focusing_runner.h"
#include "focusing/learned_curves.h"

class TPageContext;
namespace kv {
class TFocusControl;
}

using kv::AbsolutePositionOf;

class TFocusingView final : public QObject, public kv::IFocusingView {
    Q_OBJECT
public:
    explicit TFocusingView(TPageContext& form);
    // Cancels and joins a running procedure.
    ~TFocusingView() override;

    kv::TFocusingRunner& Runner() { return *runner_; }
    bool Running() const { return runner_->Running(); }
    enum class Procedure { None, Scan, AutoFocus };
    // What runs now.
    Procedure RunningProcedure() const { return Running() ? started_ : Procedure::None; }
    // Ends a running procedure and waits for its worker: the focuser or the
    // camera is about to be replaced or freed. Its last report still reaches
    // the window afterwards.
    void CancelAndJoin();

    // The buttons.
    void StartScanButtonClick();
    void ScanCancelButtonClick();
    void StartSearchClick();
    void CancelSearchClick();

    // ---- the worker's reports (worker thread)
    void SampleProgress(int position, int maximum) override;
    void SampleTaken(const kv::FocusReading& sample) override;
    void StatusPanel(const std::string& text) override;
    void ScanStarted(const kv::AxisRange& positions) override;
    void ScanPoint(const kv::ChartPoint& point) override;
    void ScanEnded(const kv::ScanResult& result) override;
    void SearchStarted(const kv::SearchChartAxes& axes) override;
    void SearchPoint(const kv::SearchPoint& point) override;
    void SearchEnded(const kv::SearchResult& result) override;
    void SearchFit(const kv::FitSummary& fit) override;

signals:
    // A measured point of the running procedure ("scan" or "autofocus"),
    // numbered from 1; and its end, with where the focuser stands (the best
    // position for a completed scan) and the figure of merit there.
    void procedureProgress(const QString& procedure, int step, int position, double fom);
    void procedureEnded(const QString& procedure, bool completed, int position, double fom, const QString& message);
    // An auto focus's end in full, just before its procedureEnded: "method"
    // ("golden" or "fit"), "completed", "position", "fom", "frames",
    // "message", "absolutePosition" where the focuser has one, and for a fit
    // "rSquared", "model", "parameters", "bestPosition", "predicted" and,
    // once taken, "checkPosition" and "checkFom".
    void searchDetails(const QVariantMap& details);

private:
    // What a start does first: the compensation warning, continuous focus
    // off, the samples and smoothing as the controls stand, and the one
    // focus image the procedure starts from. Null devices: nothing to run on.
    std::unique_ptr<kv::IFocusDevices> PrepareStart();
    // The warning shown (then a beep) while automatic compensation runs.
    void WarnIfCompensating();
    void SetEnabled(std::initializer_list<const char*> names, bool enabled);
    // The controls a scan or search ends by enabling; those that need a
    // star or a camera only when there is one (the parameter update may have
    // forgotten the star while the procedure ended).
    void EnableAfter(std::initializer_list<const char*> names);
    void SetProgress(int position, int maximum);
    // A focus log that could not be written says so once: the program log
    // and the status bar. The procedure itself goes on as if nothing happened.
    void ShowLogWarning();
    // Runs `f` on the GUI thread later.
    template <class F>
    void Post(F&& f);
    // The learned curves of the settings folder, read on first use (again
    // when the folder moved).
    kv::LearnedCurves& Learned();
    // A completed curve fit teaches a curve, a quick refocus where focus is
    // now; both are written at once (a failed write is logged, nothing more).
    void Learn(const kv::SearchResult& result);
    // What a quick refocus starts from: the learned shape for the frames the
    // camera takes now, the temperature coefficient when one reads.
    void PrepareQuick(kv::SearchOptions& options);

    TPageContext& form_;
    // The scan's settings as it started (the spin edits stay free meanwhile).
    kv::ScanSettings scanSettings_;
    int savedWidths_[3] = {0, 0, 0};
    int scanPoints_ = 0;
    int searchReadings_ = 0;  // the readings the running or last search reported
    kv::FocusMethod method_ = kv::FocusMethod::GoldenSection;  // of the search running or last run
    Procedure started_ = Procedure::None;  // the one running or last run
    bool widened_ = false;
    // Before the runner, which writes to it until it is gone.
    std::unique_ptr<kv::TFocusLog> log_;
    kv::LearnedCurves learned_;
    std::optional<std::string> learnedPath_;
    std::unique_ptr<kv::TFocusingRunner> runner_;
};
