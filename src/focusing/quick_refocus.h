// The quick refocus: after a good curve fit the curve's shape is known, so a
// refocus only has to find where that curve sits now. Best focus is predicted
// from the last good fit and the temperature model; a few readings on the
// learned curve's flanks around the prediction fix its centre and its level
// (the shape itself stays as learned), and one check frame at the centre
// confirms it. That is 3 to 5 readings and the check frame instead of a walk
// over the whole curve.
//
// Its quality gate falls back to the full curve fit (TCurveFitSearch, started
// where the focuser then stands) whenever the learned shape no longer
// describes the star: a reading without a star, readings that stray from the
// learned curve, a curve that sits much higher or lower than learned (the
// seeing or the optics changed), a check frame that reads far off the learned
// bottom, or a best focus outside the readings. Without a learned shape at
// all (none of tonight's fits matches the frames) it falls back at once. Each
// fallback says why in the log and the status line.
//
// Driven as TCurveFitSearch (same Action and Note kinds, MeasureImage once it
// has fallen back). All positions are on the scale of `start`: the learned
// shape's last best focus must be on the same one.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "focusing/critical_focus_zone.h"
#include "focusing/curve_fit_search.h"

namespace kv {

// One stored curve fit that a shape may be learned from.
struct FitRecord {
    FitSummary fit;  // bestPosition on the scale the refocus will run on
    std::chrono::system_clock::time_point time;
    double exposureSeconds = 0.0;  // of its focus frames
    int binning = 1;
    std::optional<double> temperatureC;
    bool good = true;  // completed: its quality gate passed
    // Its readings' rms residual about its curve near the bottom, in the
    // fit's figure (BottomScatter; 0: not known).
    double scatter = 0.0;
};

// The rms residual of `samples` (those with a star) about `fit` where the
// curve stays below three times its bottom, in the fit's figure, each
// reading weighted by its frames; nullopt below 3 such readings. That is
// where the quick refocus reads, and how far a reading strays there.
std::optional<double> BottomScatter(const FitSummary& fit, std::span<const CurveSample> samples);

// Which fits describe the star the refocus will measure.
struct ShapeCriteria {
    FomKind kind = FomKind::HFD;
    double exposureSeconds = 0.0;  // the refocus's frames; 0: any exposure
    int binning = 1;
    std::chrono::system_clock::time_point now;
    // Tonight's fits only: the seeing, the collimation and the star used all
    // change between nights, and a night is shorter than this.
    std::chrono::minutes maxAge{8 * 60};
    // The newest few: averaging three fits steadies the flanks' slope against
    // one fit's noise, while older ones describe the seeing of hours ago.
    int maxFits = 3;
    // An exposure this many times longer or shorter measures a star whose
    // faint wings change its size: not the same curve.
    double exposureRatio = 2.0;
    // Older fits join the newest only while their bottom lies within this
    // share of the newest's: a fit under other seeing is another curve.
    double maxBottomSpread = 0.25;
};

// One learned curve, moved so its minimum lies at offset 0.
struct ShapeCurve {
    FitModel model = FitModel::None;
    std::vector<double> parameters;  // in the fit's figure (curve_fit.h)
};

struct LearnedShape {
    FomKind kind = FomKind::HFD;
    std::vector<ShapeCurve> curves;  // newest first
    double bottom = 0.0;             // the averaged curve's figure at offset 0
    // How far the fits' check frames read above their own curves (below:
    // negative), averaged over the fits that took one: a curve fitted to
    // the flanks can round the bottom below what the sky gives there, and
    // the check frame shows what it gives. The refocus's check frame may
    // read that far off the curve, on that side, before its margin starts.
    double checkLevel = 0.0;
    // The fits' readings' scatter about their curves near the bottom
    // (rms, averaged in square; 0: not known).
    double scatter = 0.0;
    double lastBest = 0.0;           // the newest fit's best focus
    std::optional<double> lastTemperatureC;
    std::chrono::system_clock::time_point lastTime;
    // The averaged curve's fit figure at `offset` steps from best focus.
    double Figure(double offset) const;
};

struct ShapeLearning {
    std::optional<LearnedShape> shape;
    std::string why;  // no shape: what was missing, for the fallback's text
};

// The shape of the newest good fits in `records` (any order) that match
// `criteria`; why none when none does.
ShapeLearning LearnShape(std::span<const FitRecord> records, const ShapeCriteria& criteria);

// Where best focus should lie now: the last best focus moved by the
// coefficient (steps per °C) times the temperature change; the last best
// focus itself without a coefficient or either temperature.
double PredictBestFocus(double lastBest, std::optional<double> lastTemperatureC, std::optional<double> coefficient,
                        std::optional<double> temperatureNowC);

// The learned curve fitted to readings by its centre and level only.
struct ShapeFit {
    bool ok = false;
    double centre = 0.0;
    double level = 0.0;  // added to the learned curve's figure
    double rms = 0.0;    // weighted rms residual, fit figure
    // The centre's standard error from the residuals and the curve's slope
    // at the readings (nullopt without a residual degree of freedom).
    std::optional<double> centreSpread;
};
// `points` in fit figures (at least 2 with positive weight); the centre is
// looked for within the points' span widened by half of it each side.
ShapeFit FitShape(const LearnedShape& shape, std::span<const FitPoint> points);

struct QuickRefocusSettings {
    // No shape: the full curve fit at once, saying `learned.why`.
    ShapeLearning learned;
    std::optional<double> coefficient;  // steps per °C
    std::optional<double> temperatureC; // now
    int readings = 4;                   // 3 to 5
    // Focuser steps between readings; 0: the readings go where the learned
    // curve has risen by innerRise and outerRise times its bottom.
    int step = 0;
    double innerRise = 1.0;
    double outerRise = 2.0;
    // No reading where the learned curve reads above this figure (a star
    // that would outgrow the focus frame); nullopt: no cap.
    std::optional<double> maxFigure;
    // Each gate allows the larger of its share of the bottom and
    // scatterAllowance times the learned scatter: a curve whose own readings
    // strayed that far is no sign of change when the refocus's do as well.
    double maxResidual = 0.15;     // rms residual over the bottom
    double maxLevelChange = 0.2;   // |level| over the bottom
    double checkMargin = 0.2;      // check frame beyond the learned check level, over the bottom
    double scatterAllowance = 2.5;
    std::optional<double> cfzSteps;  // for the result's error in zones
    // The full curve fit's settings; its overshoot, approach side and travel
    // limits (relative to the refocus's start) are the refocus's too.
    CurveFitSettings fallback;
};

// The readings' offsets from the prediction, in the order they are taken
// (from the approach side outward to the other).
std::vector<std::int32_t> QuickReadingOffsets(const LearnedShape& shape, const QuickRefocusSettings& settings);

// Texts of the quick refocus.
inline constexpr const char* kQuickStartText = "Quick refocus on the learned focus curve";
inline constexpr const char* kQuickPredictFormat =
    "Best focus predicted at %d: last best focus %d, %+.2f °C at %.2f steps/°C";
inline constexpr const char* kQuickPredictNoCoefficientFormat =
    "Best focus predicted at %d: the last best focus (no temperature coefficient)";
inline constexpr const char* kQuickPointFormat = "Quick FOM: %3.4f  Position: %d";
inline constexpr const char* kQuickFitFormat =
    "Quick fit: best focus %d, %+d steps from the prediction, level %+.0f %%, residuals %.0f %% of the bottom";
inline constexpr const char* kQuickDoneFormat = "Quick refocus: best focus %d after %d frames";
inline constexpr const char* kQuickDoneCfzFormat =
    "Quick refocus: best focus %d after %d frames, %.2f CFZ from the prediction";
inline constexpr const char* kQuickFallbackFormat = "Quick refocus falls back to the full curve fit: %s";
inline constexpr const char* kQuickNoStarFormat = "the reading at position %d shows no star";
inline constexpr const char* kQuickBeyondFormat = "best focus lies beyond the quick readings (near position %d)";
inline constexpr const char* kQuickStrayFormat =
    "the readings stray %s %% of the curve's bottom from the learned curve (%s %% allowed)";
inline constexpr const char* kQuickLevelFormat =
    "the curve sits %s %% %s than learned (%s %% allowed): the seeing or the optics changed";
inline constexpr const char* kQuickCheckFormat =
    "the check frame at position %d reads %s %% %s the learned curve (%s %% allowed): the seeing changed";
inline constexpr const char* kQuickCheckNoStarFormat = "the check frame at position %d shows no star";

class TQuickRefocusSearch {
public:
    using Action = TAutoFocusSearch::Action;
    using Note = TAutoFocusSearch::Note;

    TQuickRefocusSearch(QuickRefocusSettings settings, FomKind kind, std::int32_t start = 0);
    ~TQuickRefocusSearch();

    Action Next();
    void Report(const FocusReading& reading, std::int32_t position, int frames = 1);
    void ReportImage(std::optional<double> hfd, std::int32_t position);
    std::vector<Note> TakeNotes();

    // Where best focus was predicted; where it was found (once Finished).
    std::int32_t Predicted() const { return predicted_; }
    std::optional<std::int32_t> Found() const { return found_; }
    // |found - predicted| in critical focus zones, when both are known.
    std::optional<double> PredictionErrorCfz() const;
    bool FellBack() const { return fallback_ != nullptr; }
    // Why it fell back (empty when it did not).
    const std::string& FallbackReason() const { return fallbackReason_; }
    // Focus frames so far, the full curve fit's included.
    int Frames() const;
    int CoarseFrames() const { return fallback_ ? fallback_->CoarseFrames() : 0; }
    // Every chart point so far, numbered on.
    std::vector<SearchPoint> Points() const;
    // The quick readings, then the full fit's once it fell back (the last
    // FallbackSamples() of them).
    std::vector<CurveSample> Samples() const;
    std::ptrdiff_t FallbackSamples() const {
        return fallback_ ? static_cast<std::ptrdiff_t>(fallback_->Samples().size()) : 0;
    }
    const std::optional<ShapeFit>& QuickFit() const { return fit_; }
    // The full curve fit's fit, once it fell back and fitted.
    std::optional<FitSummary> Fit() const;
    const FocusReading& FinalReading() const;

private:
    enum class Phase { Begin, Read, Check, Fallback, Ended };

    Action MeasureAt(std::int32_t target);
    Action FitAndCheck();
    Action Judge();
    Action FallBack(std::string why);
    // A gate's allowance as a share of the learned bottom (QuickRefocusSettings).
    double Allowed(double share) const;
    Action FromFallback(Action a);
    std::int32_t Clamp(std::int32_t target) const;
    void Log(std::string text) { notes_.push_back({Note::Log, std::move(text), {}}); }
    void Status(std::string text) { notes_.push_back({Note::Status, std::move(text), {}}); }
    void Plot(std::int32_t position, double fom);

    const QuickRefocusSettings settings_;
    const FomKind kind_;
    const std::int32_t origin_;
    std::int32_t predicted_ = 0;
    std::vector<std::int32_t> targets_;  // the readings' positions, in order
    std::int32_t inner_ = 0;             // the nearest planned reading's distance from the prediction
    Phase phase_ = Phase::Begin;
    std::deque<Action> queue_;
    std::int32_t commanded_;
    bool approached_ = false;
    std::int32_t position_;
    int frames_ = 0;
    std::vector<CurveSample> samples_;
    std::vector<SearchPoint> points_;
    std::optional<ShapeFit> fit_;
    std::int32_t check_ = 0;
    std::optional<std::int32_t> found_;
    FocusReading final_;
    std::vector<Note> notes_;
    std::unique_ptr<TCurveFitSearch> fallback_;
    std::string fallbackReason_;
    bool fallbackEnded_ = false;
};

}  // namespace kv
