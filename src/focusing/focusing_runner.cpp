#include "focusing/focusing_runner.h"

#include <algorithm>
#include <cstdio>

#include "camera/display_rules.h"
#include "focusing/critical_focus_zone.h"
#include "focusing/search_error.h"
#include "shell/log_channel.h"

namespace kv {
namespace {

const char* OutcomeName(FocusOutcome outcome, bool halted) {
    switch (outcome) {
        case FocusOutcome::Completed: return "completed";
        case FocusOutcome::Cancelled: return halted ? "halted" : "cancelled";
        case FocusOutcome::Failed: return "failed";
        case FocusOutcome::NotInRange: return "not in range";
        case FocusOutcome::Rejected: return "rejected";
        case FocusOutcome::Uncertain: return "uncertain";
    }
    return "";
}

// A hyperbola's flanks trade places in a mirror; a parabola is its own mirror.
void MirrorFlanks(FitModel model, std::vector<double>& parameters) {
    if (model == FitModel::Hyperbola && parameters.size() >= 5) std::swap(parameters[1], parameters[4]);
}

}  // namespace

void LogScale::ToLog(FitSummary& fit) const {
    fit.bestPosition = ToLog(fit.bestPosition);
    if (fit.parameters.size() > 2) fit.parameters[2] = ToLog(fit.parameters[2]);
    if (sense < 0) MirrorFlanks(fit.model, fit.parameters);
    if (fit.checkPosition) fit.checkPosition = static_cast<std::int32_t>(ToLog(*fit.checkPosition));
}

void LogScale::ToCount(LearnedShape& shape) const {
    shape.lastBest = ToCount(shape.lastBest);
    if (sense < 0)
        for (ShapeCurve& curve : shape.curves) MirrorFlanks(curve.model, curve.parameters);
}

void IFocusingView::Log(const std::string& text) { WriteProgramLog(text); }
void IFocusingView::Status(const std::string& text) { ShowStatus(text); }
void IFocusingView::StatusPanel(const std::string& text) { PostLogText(text, kStatusBar); }

TFocusingRunner::TFocusingRunner(IFocusingView& view, IDialogs& dialogs, IClock& clock)
    : view_(view),
      dialogs_(dialogs),
      clock_(clock),
      moveDone_(OpenNamedEvent(kGeneralDelayEvent)),
      scale_(CountingScale(clock.Now())) {}

TFocusingRunner::~TFocusingRunner() {
    Cancel();
    if (worker_) {
        worker_->RequestStop();
        worker_->Join();
    }
    worker_.reset();
    devices_.reset();
}

bool TFocusingRunner::Running() const { return worker_ && !worker_->Finished(); }

void TFocusingRunner::Join() {
    if (worker_) worker_->Join();
}

void TFocusingRunner::SetSamples(int samples) {
    samples_.store(std::clamp(samples, kFocusSamplesMin, kFocusSamplesMax));
}

bool TFocusingRunner::Start(std::unique_ptr<IFocusDevices> devices, WorkerThread::Procedure procedure) {
    if (Running() || !devices) return false;
    if (worker_) worker_->Join();
    worker_.reset();
    devices_ = std::move(devices);
    cancel_.store(false);
    frames_ = 0;
    worker_ = std::make_unique<WorkerThread>(std::move(procedure));
    worker_->Start();
    return true;
}

bool TFocusingRunner::StartScan(std::unique_ptr<IFocusDevices> devices, const ScanSettings& settings) {
    return Start(std::move(devices), [this, settings](WorkerThread& self) { RunScan(self, settings); });
}

bool TFocusingRunner::StartSearch(std::unique_ptr<IFocusDevices> devices, int initialStep) {
    SearchOptions options;
    options.initialStep = initialStep;
    return StartSearch(std::move(devices), options);
}

std::optional<WaitResult> TFocusingRunner::WaitForMove(WorkerThread& self, int timeoutMs) {
    // A cancel ends the wait too: a stalled focuser would otherwise keep the
    // procedure (and the next Start) waiting out the whole bound. A halted
    // move also signals the event, but the focuser is not where the
    // procedure sent it: a reading there would be filed under the wrong
    // position, so the procedure ends as if cancelled.
    const auto halted = [this] { return devices_->MoveHalted(); };
    std::optional<WaitResult> waited =
        WaitForEvent(*moveDone_, timeoutMs, clock_, [this, &self, &halted] { return Ended(self) || halted(); });
    if (halted()) {
        if (!cancel_.exchange(true)) {
            halted_ = true;
            view_.Log(kMoveHaltedText);
        }
        return std::nullopt;
    }
    return waited;
}

std::int32_t TFocusingRunner::RestingPosition(IFocusDevices& devices) {
    constexpr int kPollMs = 20;
    constexpr int kStillMs = 200;   // a coasting motor's count changes well within this
    constexpr int kBoundMs = 3000;  // a focuser that never settles is reported as it stands
    std::int32_t last = devices.Position();
    int still = 0;
    for (int waited = 0; waited < kBoundMs && still < kStillMs; waited += kPollMs) {
        (void)SleepFor(clock_, kPollMs);
        const std::int32_t now = devices.Position();
        still = devices.FocuserIdle() && now == last ? still + kPollMs : 0;
        last = now;
    }
    return last;
}

std::optional<FocusReading> TFocusingRunner::Measure(WorkerThread& self, FomKind kind) {
    const int samples = samples_.load();
    std::optional<FocusReading> reading = MeasureFocus(*devices_, view_, samples, smooth_.load(), kind, cancel_,
                                                       clock_, [&self] { return self.StopRequested(); });
    if (reading) frames_ += std::max(1, samples);
    return reading;
}

void TFocusingRunner::NoteStart(IFocusDevices& devices) {
    halted_ = false;
    start_ = origin_ + devices.Position();
    origin_ = start_;
    absoluteStart_ = devices.AbsolutePosition();
    logScale_ = absoluteStart_ ? LogScale{*absoluteStart_, devices.CountSense()} : LogScale{start_, 1};
}

void TFocusingRunner::WriteLog(IFocusDevices& devices, FocusLogEntry entry, FocusOutcome outcome,
                               std::int32_t relativeFinal) {
    if (log_ == nullptr) return;
    entry.time = FocusLogTime(clock_.Now());
    entry.outcome = OutcomeName(outcome, halted_);
    entry.start = start_;
    entry.final = origin_ + relativeFinal;
    entry.absoluteStart = absoluteStart_;
    // The absolute position of `relativeFinal`, which a scan's best need not be where it stands.
    if (const std::optional<std::int32_t> absolute = devices.AbsolutePosition()) {
        entry.absoluteFinal = LogScale{*absolute, devices.CountSense()}.ToLog(relativeFinal - devices.Position());
    }
    // Counted positions compare only within this runner's session.
    entry.scale = entry.absoluteFinal ? std::string() : scale_;
    entry.kind = FomName(static_cast<int>(devices.Kind()));
    entry.frames = frames_;
    if (!entry.temperatureC) entry.temperatureC = devices.Temperature();
    if (entry.reason.empty() && outcome == FocusOutcome::Cancelled) entry.reason = halted_ ? kMoveHaltedText : "Cancelled";
    // A message laid out for a box reads as one sentence in a log line.
    std::string reason;
    for (const char c : entry.reason) {
        const bool space = c == ' ' || c == '\r' || c == '\n' || c == '\t';
        if (!space) reason += c;
        else if (!reason.empty() && reason.back() != ' ') reason += ' ';
    }
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    entry.reason = std::move(reason);
    log_->Append(entry);
}

void TFocusingRunner::LogSearch(IFocusDevices& devices, const SearchResult& result) {
    FocusLogEntry entry;
    entry.procedure = "autofocus";
    entry.method = result.method == FocusMethod::CurveFit       ? "curve fit"
                   : result.method == FocusMethod::QuickRefocus ? "quick refocus"
                                                                : "golden section";
    // A failed move leaves all-zero boxes, which are no figure.
    if (result.reading && (result.outcome == FocusOutcome::Completed || result.outcome == FocusOutcome::Uncertain)) {
        entry.figure = result.reading->FOM;
        entry.stars = result.reading->stars;
    }
    // A quick refocus that did not fall back fitted no curve, only moved the learned one.
    const bool quick = result.method == FocusMethod::QuickRefocus;
    if (result.fit && !(quick && !result.fellBack)) entry.rSquared = result.fit->rSquared;
    if (quick && result.predicted) entry.predicted = result.scale.ToLog(*result.predicted);
    if (quick && result.fellBack) entry.fallback = result.fallbackReason;
    entry.temperatureC = result.temperatureC;
    entry.cfzSteps = result.cfzSteps;
    entry.errorSteps = result.errorSteps;
    if (result.errorSteps) entry.errorCfz = ErrorInCfz(*result.errorSteps, result.cfzSteps);
    entry.reason = result.message;
    WriteLog(devices, std::move(entry), result.outcome, result.position);
}

void TFocusingRunner::RunScan(WorkerThread& self, ScanSettings settings) {
    IFocusDevices& devices = *devices_;
    const FomKind kind = devices.Kind();
    ScanResult result;
    std::vector<int> stars;  // of each point's reading
    const auto end = [&](FocusOutcome outcome) {
        result.outcome = outcome;
        FocusLogEntry entry;
        entry.procedure = "scan";
        entry.reason = result.message;
        std::int32_t final = devices.Position();
        for (std::size_t i = 0; i < result.points.size(); ++i) {
            if (result.best && static_cast<std::int32_t>(result.points[i].x) == *result.best) {
                final = *result.best;
                entry.figure = result.points[i].y;
                entry.stars = stars[i];
            }
        }
        WriteLog(devices, entry, outcome, final);
        view_.ScanEnded(result);
    };
    const auto cancelled = [&] {
        view_.SampleProgress(0, samples_.load());
        view_.Log(kScanCancelledText);
        end(FocusOutcome::Cancelled);
    };
    // nullopt: go on; otherwise the scan has ended.
    const auto waitFailed = [&]() -> bool {
        const std::optional<WaitResult> waited = WaitForMove(self, kScanMoveWaitMs);
        if (!waited) {
            cancelled();
            return true;
        }
        const char* text = WaitFailureText(kScanWaitMessages, *waited);
        if (text == nullptr) return false;
        result.message = text;
        dialogs_.Defer({text, DialogType::Error, DialogButtons::Ok});
        view_.SampleProgress(0, samples_.load());
        view_.Log(kScanErrorText);
        end(FocusOutcome::Failed);
        return true;
    };
    const auto measureHere = [&]() -> bool {
        const std::optional<FocusReading> reading = Measure(self, kind);
        if (!reading) {
            cancelled();
            return false;
        }
        const std::int32_t position = devices.Position();
        char line[64];
        if (reading->status == StarStatus::TooFewStars) {
            // Not a figure: said in words, and no point of the curve.
            std::snprintf(line, sizeof line, kScanTooFewFormat, position, StarStatusText(reading->status));
            view_.Log(line);
            return true;
        }
        std::snprintf(line, sizeof line, kScanPointFormat, position, reading->FOM);
        view_.Log(line);
        const ChartPoint point{static_cast<double>(position), reading->FOM};
        result.points.push_back(point);
        stars.push_back(reading->stars);
        view_.ScanPoint(point);
        return true;
    };

    NoteStart(devices);
    devices.ResetPosition();
    view_.ScanStarted(ScanAxisRange(settings));
    view_.Log("");
    view_.Log(kStartingScanText);
    view_.Log("");
    char moving[64];
    std::snprintf(moving, sizeof moving, kMovingToFormat, settings.start);
    view_.Log(moving);
    devices.MoveBy(settings.start);
    if (waitFailed()) return;
    for (std::int32_t i = 1; i <= settings.steps; ++i) {
        if (Ended(self)) return cancelled();
        if (!measureHere()) return;
        devices.MoveBy(settings.increment);
        if (Ended(self)) return cancelled();
        if (waitFailed()) return;
    }
    if (!measureHere()) return;
    result.best = BestScanPosition(result.points, kind);
    if (result.best) {
        const auto at = std::find_if(result.points.begin(), result.points.end(),
                                     [&](const ChartPoint& p) { return static_cast<std::int32_t>(p.x) == *result.best; });
        char line[96];
        std::snprintf(line, sizeof line, kScanBestFormat, *result.best, at != result.points.end() ? at->y : 0.0);
        view_.Log(line);
    }
    end(FocusOutcome::Completed);
}

bool TFocusingRunner::StartSearch(std::unique_ptr<IFocusDevices> devices, const SearchOptions& options) {
    if (options.method == FocusMethod::QuickRefocus) {
        QuickRefocusSettings quick = options.quick;
        quick.fallback = options.fit;
        if (!quick.cfzSteps) quick.cfzSteps = options.cfzSteps;
        return Start(std::move(devices), [this, quick = std::move(quick)](WorkerThread& self) {
            cfzSteps_ = quick.cfzSteps;
            RunQuickRefocus(self, quick);
        });
    }
    // Taken over on the worker, which alone reads it.
    const std::optional<double> cfz = options.cfzSteps;
    if (options.method == FocusMethod::GoldenSection) {
        return Start(std::move(devices), [this, cfz, initialStep = options.initialStep](WorkerThread& self) {
            cfzSteps_ = cfz;
            RunSearch(self, initialStep);
        });
    }
    return Start(std::move(devices), [this, cfz, settings = options.fit](WorkerThread& self) {
        cfzSteps_ = cfz;
        RunCurveFit(self, settings);
    });
}

void TFocusingRunner::AddZoneFigures(IFocusDevices& devices, SearchResult& result) const {
    // Asked once: the log line and the learned curve share the reading.
    result.temperatureC = devices.Temperature();
    result.scale = logScale_;
    result.absoluteScale = absoluteStart_.has_value();
    result.cfzSteps = cfzSteps_;
    if (result.outcome != FocusOutcome::Completed) result.errorSteps.reset();
    else if (!result.errorSteps) result.errorSteps = SearchErrorSteps(result);
}

void TFocusingRunner::JudgeCertainty(SearchResult& result, int step) {
    if (result.outcome != FocusOutcome::Completed || !IsUncertain(result.errorSteps, result.cfzSteps, step)) return;
    const double tolerance = UncertainTolerance(result.cfzSteps, step);
    result.outcome = FocusOutcome::Uncertain;
    result.message = UncertainText(result, result.errorSteps, tolerance);
    dialogs_.Defer({result.message, DialogType::Warning, DialogButtons::Ok});
}

void TFocusingRunner::Forward(const std::vector<TAutoFocusSearch::Note>& notes) {
    for (const TAutoFocusSearch::Note& note : notes) {
        switch (note.kind) {
            case TAutoFocusSearch::Note::Log: view_.Log(note.text); break;
            case TAutoFocusSearch::Note::Status: view_.Status(note.text); break;
            case TAutoFocusSearch::Note::StatusPanel: view_.StatusPanel(note.text); break;
            case TAutoFocusSearch::Note::Plot: view_.SearchPoint(note.point); break;
        }
    }
}

// Drives the curve fit or the quick refocus (the same actions) to its end.
// Every move is watched: a cancel ends the search, a move that does not end
// in time fails it with the wait's own message. The fit is drawn once made
// and again once its check frame is in. `end` is called once, with how the
// search ended.
template <class Search, class End>
void TFocusingRunner::DriveCurveSearch(WorkerThread& self, Search& search, FomKind kind, SearchResult& result,
                                       End&& end) {
    IFocusDevices& devices = *devices_;
    int fitShown = 0;
    const auto showFit = [&] {
        const std::optional<FitSummary> fit = search.Fit();
        const int due = !fit ? 0 : fit->checkFom ? 2 : 1;
        if (due > fitShown) view_.SearchFit(*fit);
        fitShown = due;
    };
    const auto moved = [&](std::int32_t target) -> std::optional<FocusOutcome> {
        devices.MoveTo(target);
        const std::optional<WaitResult> waited = WaitForMove(self, kSearchMoveWaitMs);
        if (!waited) return FocusOutcome::Cancelled;
        if (const char* text = WaitFailureText(kFocusFunctionWaitMessages, *waited)) {
            result.message = text;
            result.reading = FocusReading{};
            dialogs_.Defer({text, DialogType::Error, DialogButtons::Ok});
            return FocusOutcome::Failed;
        }
        return std::nullopt;
    };
    using Action = typename Search::Action;
    for (;;) {
        const Action action = search.Next();
        Forward(search.TakeNotes());
        showFit();
        switch (action.kind) {
            case Action::CheckCancel:
                if (Ended(self)) return end(FocusOutcome::Cancelled);
                break;
            case Action::Move:
                if (const auto failed = moved(action.position)) return end(*failed);
                break;
            case Action::Measure: {
                if (const auto failed = moved(action.position)) return end(*failed);
                const int samples = samples_.load();
                const std::optional<FocusReading> reading = Measure(self, kind);
                if (!reading) return end(FocusOutcome::Cancelled);
                search.Report(*reading, devices.Position(), samples);
                Forward(search.TakeNotes());
                showFit();
                break;
            }
            case Action::MeasureImage: {
                if (const auto failed = moved(action.position)) return end(*failed);
                const std::optional<double> hfd = devices.MeasureImageHfd();
                if (Ended(self)) return end(FocusOutcome::Cancelled);
                search.ReportImage(hfd, devices.Position());
                Forward(search.TakeNotes());
                break;
            }
            case Action::Finished:
                result.reading = search.FinalReading();
                return end(FocusOutcome::Completed);
            case Action::Failed:
                result.message = action.message;
                dialogs_.Defer({action.message, DialogType::Error, DialogButtons::Ok});
                return end(FocusOutcome::Rejected);
        }
    }
}

void TFocusingRunner::RunCurveFit(WorkerThread& self, CurveFitSettings settings) {
    IFocusDevices& devices = *devices_;
    const FomKind kind = devices.Kind();
    NoteStart(devices);
    devices.ResetPosition();
    view_.SearchStarted(CurveFitAxesFor(settings, kind));
    if (devices.CanMeasureImage()) {
        settings.coarse = true;
        if (const int side = devices.FocusFrameSide(); side > 0) settings.coarseFitsHfd = CoarseFitsHfd(side);
    }
    TCurveFitSearch search(settings, kind, devices.Position());
    SearchResult result;
    result.method = FocusMethod::CurveFit;
    const auto end = [&](FocusOutcome outcome) {
        result.outcome = outcome;
        result.position = outcome == FocusOutcome::Completed ? devices.Position() : RestingPosition(devices);
        result.points = search.Points();
        result.frames = frames_;
        result.coarseFrames = search.CoarseFrames();
        result.fit = search.Fit();
        result.measured = search.Samples();
        if (outcome == FocusOutcome::Cancelled || outcome == FocusOutcome::Failed)
            view_.SampleProgress(0, samples_.load());
        AddZoneFigures(devices, result);
        JudgeCertainty(result, settings.step);
        LogSearch(devices, result);
        view_.SearchEnded(result);
    };
    DriveCurveSearch(self, search, kind, result, end);
}

// The share of the focus frame's largest star size the quick readings may reach.
constexpr double kQuickFrameShare = 0.75;

void TFocusingRunner::RunQuickRefocus(WorkerThread& self, QuickRefocusSettings settings) {
    IFocusDevices& devices = *devices_;
    const FomKind kind = devices.Kind();
    NoteStart(devices);
    devices.ResetPosition();
    // The learned best focus comes on the log's scale; the search counts
    // from 0 where it starts, as every procedure here does.
    if (settings.learned.shape) logScale_.ToCount(*settings.learned.shape);
    if (!settings.temperatureC) settings.temperatureC = devices.Temperature();
    if (devices.CanMeasureImage()) {
        settings.fallback.coarse = true;
        if (const int side = devices.FocusFrameSide(); side > 0) {
            settings.fallback.coarseFitsHfd = CoarseFitsHfd(side);
            // A reading whose star outgrew the frame would say nothing, and
            // one that loses the star costs the whole walk of the fallback:
            // the readings stay well inside the size a star still fits at.
            // The widths (not the peak) grow with defocus.
            if (kind != FomKind::Peak && !settings.maxFigure) settings.maxFigure = kQuickFrameShare * CoarseFitsHfd(side);
        }
    }
    view_.SearchStarted(CurveFitAxesFor(settings.fallback, kind));
    TQuickRefocusSearch search(settings, kind, devices.Position());
    SearchResult result;
    result.method = FocusMethod::QuickRefocus;
    const auto end = [&](FocusOutcome outcome) {
        result.outcome = outcome;
        result.position = outcome == FocusOutcome::Completed ? devices.Position() : RestingPosition(devices);
        result.points = search.Points();
        result.frames = frames_;
        result.coarseFrames = search.CoarseFrames();
        result.fit = search.Fit();
        result.measured = search.Samples();
        result.predicted = search.Predicted();
        result.found = search.Found();
        result.fellBack = search.FellBack();
        result.fallbackReason = search.FallbackReason();
        if (outcome == FocusOutcome::Completed) result.errorSteps = QuickRefocusErrorSteps(search, result.position);
        if (outcome == FocusOutcome::Cancelled || outcome == FocusOutcome::Failed)
            view_.SampleProgress(0, samples_.load());
        AddZoneFigures(devices, result);
        JudgeCertainty(result, settings.fallback.step);
        LogSearch(devices, result);
        view_.SearchEnded(result);
    };
    DriveCurveSearch(self, search, kind, result, end);
}

void TFocusingRunner::RunSearch(WorkerThread& self, int initialStep) {
    IFocusDevices& devices = *devices_;
    const FomKind kind = devices.Kind();
    NoteStart(devices);
    devices.ResetPosition();
    view_.SearchStarted(SearchAxesFor(initialStep, kind));
    TAutoFocusSearch search(initialStep, kind, devices.Position());
    SearchResult result;
    const auto forward = [&] {
        for (const TAutoFocusSearch::Note& note : search.TakeNotes()) {
            switch (note.kind) {
                case TAutoFocusSearch::Note::Log: view_.Log(note.text); break;
                case TAutoFocusSearch::Note::Status: view_.Status(note.text); break;
                case TAutoFocusSearch::Note::StatusPanel: view_.StatusPanel(note.text); break;
                case TAutoFocusSearch::Note::Plot: view_.SearchPoint(note.point); break;
            }
        }
    };
    const auto end = [&](FocusOutcome outcome) {
        result.outcome = outcome;
        result.position = outcome == FocusOutcome::Completed ? devices.Position() : RestingPosition(devices);
        result.narrowingSteps = search.NarrowingSteps();
        result.points = search.Points();
        result.frames = frames_;
        if (outcome == FocusOutcome::Completed) {
            result.fit = RefineSearchPoints(result.points, kind);
            if (result.fit) view_.SearchFit(*result.fit);
        }
        if (outcome == FocusOutcome::Cancelled || outcome == FocusOutcome::Failed)
            view_.SampleProgress(0, samples_.load());
        AddZoneFigures(devices, result);
        LogSearch(devices, result);
        view_.SearchEnded(result);
    };

    for (;;) {
        const TAutoFocusSearch::Action action = search.Next();
        forward();
        switch (action.kind) {
            case TAutoFocusSearch::Action::CheckCancel:
                if (Ended(self)) return end(FocusOutcome::Cancelled);
                break;
            case TAutoFocusSearch::Action::Move:
                // A time-out is not checked: the final reading is taken wherever
                // the focuser stands. A halt or cancel ends the search.
                devices.MoveTo(action.position);
                if (!WaitForMove(self, kSearchMoveWaitMs)) return end(FocusOutcome::Cancelled);
                break;
            case TAutoFocusSearch::Action::Measure: {
                devices.MoveTo(action.here ? devices.Position() : action.position);
                const std::optional<WaitResult> waited = WaitForMove(self, kSearchMoveWaitMs);
                if (!waited) return end(FocusOutcome::Cancelled);
                if (const char* text = WaitFailureText(kFocusFunctionWaitMessages, *waited)) {
                    result.message = text;
                    result.reading = FocusReading{};
                    dialogs_.Defer({text, DialogType::Error, DialogButtons::Ok});
                    return end(FocusOutcome::Failed);
                }
                const std::optional<FocusReading> reading = Measure(self, kind);
                if (!reading) return end(FocusOutcome::Cancelled);
                search.Report(*reading, devices.Position());
                forward();
                break;
            }
            case TAutoFocusSearch::Action::MeasureImage: break;  // the curve fit's alone
            case TAutoFocusSearch::Action::Finished:
                result.reading = search.FinalReading();
                return end(FocusOutcome::Completed);
            case TAutoFocusSearch::Action::Failed:
                result.message = action.message;
                dialogs_.Defer({action.message, DialogType::Error, DialogButtons::Ok});
                return end(FocusOutcome::NotInRange);
        }
    }
}

}  // namespace kv
