// The curve-fit auto focus as a state machine, free of devices and threads.
//
// It walks the focus curve on a grid of `step` around the start: the start
// and one step either side first, then outward on the side where the figure
// falls, until the lowest point has `pointsPerSide` points on each side and
// the outermost of them read at least `minDepth` above it (a side also ends
// at a "no star" reading, which is far from focus, and at a travel limit).
// A step that loses a sharp star, or outgrows the frame, within a reading or
// two of the lowest is halved around it; readings already taken that lie on
// the finer grid stand, so no position is read twice.
// It fits the readings (curve_fit.h), goes to the fitted minimum and takes one
// check frame there. The answer stands only when the fit is good (R^2 of at
// least minRSquared), the curve deep enough and the check frame no worse than
// the fit predicts by checkMargin; otherwise the focuser goes back to the
// start and the search fails with a message that says what to change.
//
// Every sample and the final position are approached from one side
// (backlash.h): a move that would end the other way overshoots and comes
// back, as Move actions before the Measure.
//
// Driving it is as for TAutoFocusSearch (same Action and Note kinds):
//   Measure     move to `position`, wait, take the averaged reading and
//               Report() it with the focuser's position and the frames in it;
//   Move        move to `position` and wait; a move that does not end is a
//               failure of the driver's;
//   CheckCancel end here if the user has cancelled, else call Next() again;
//   Finished    the focuser stands at `position`, best focus;
//   Failed      the focuser is back at the start; show `message` as an error.
#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "focusing/auto_focus_search.h"
#include "focusing/backlash.h"
#include "focusing/curve_fit.h"

namespace kv {

struct CurveFitSettings {
    int step = 100;          // focuser steps between samples
    int pointsPerSide = 5;   // readings needed each side of the lowest
    int maxPoints = 21;      // readings on the curve at most (the check frame not counted)
    double minDepth = 0.5;   // the edges must read this fraction above the bottom
    double minRSquared = 0.8;
    // The check frame may read this fraction worse than predicted. It is there
    // to catch a fit that missed best focus by far; a single frame at 8 %
    // seeing wander reads 35 % above a sharp star's size once in three hundred.
    double checkMargin = 0.5;
    int overshoot = 50;      // backlash overshoot, focuser steps (0: none)
    ApproachSide approach = ApproachSide::FromBelow;
    // Travel limits relative to the start (nullopt: unlimited).
    std::optional<std::int32_t> travelMin;
    std::optional<std::int32_t> travelMax;
    // The coarse phase: when the first focus frame shows no star (or the walk
    // loses it, or runs out of readings still falling), the walk measures the
    // star on the main image (MeasureImage) and moves towards focus by its
    // HFD until it is no larger than `coarseFitsHfd`; the curve is then
    // walked from there. A main image without a star, where no focus frame
    // showed one either, ends the search: the star is blurred beyond what
    // the whole image shows. Off: such starts fail as they always have.
    bool coarse = false;
    double coarseFitsHfd = 12.0;  // pixels on the main image
    int coarseMaxFrames = 8;
};

// The HFD at which a star sits comfortably inside a focus frame of `side`
// pixels, with room for the walk's first steps outward.
inline double CoarseFitsHfd(int side) { return side / 8.0; }

// One reading on the curve, as measured.
struct CurveSample {
    std::int32_t position = 0;
    double fom = 0.0;  // raw figure of merit
    int frames = 1;
    bool star = true;  // false: "no star", fom means nothing
    bool tooLarge = false;  // no star: the star had blurred larger than the frame
    double spread = 0.0;    // standard deviation of the frames' FOM (0: one frame)
    // A whole-field reading's stars, for reading the optics region by
    // region from the same run; null for the focus star.
    std::shared_ptr<const FieldStars> field = nullptr;
    bool operator==(const CurveSample&) const = default;
};

// What the window draws and the result carries of a fit.
struct FitSummary {
    FitModel model = FitModel::None;
    std::vector<double> parameters;  // in the fit's figure (curve_fit.h), absolute positions
    FomKind kind = FomKind::HFD;
    double rSquared = 0.0;
    double depth = 0.0;
    double bestPosition = 0.0;  // the fitted minimum, absolute
    double predicted = 0.0;     // the FOM the fit predicts there (raw, as charted)
    std::optional<std::int32_t> checkPosition;  // the check frame, when one was taken
    std::optional<double> checkFom;
    // True for the golden section's own points fitted after it ended: shown
    // beside its answer, the focuser is not moved there.
    bool refinement = false;
};
// A reading means nothing when the measurement saw no star, or when a size
// comes out as nothing at all (an empty frame).
inline bool ReadingHasStar(const FocusReading& r) {
    return r.status == StarStatus::Ok && std::isfinite(r.FOM) && r.FOM > 0.0;
}
// The moves before a reading at `target`, each clamped by `clamp`, so that
// the reading is reached from the set side. Which way the focuser last moved
// before a search is unknown (`from` empty): the first reading is approached
// from the set side all the same.
std::vector<std::int32_t> ApproachLegs(std::optional<std::int32_t> from, std::int32_t target,
                                       const CurveFitSettings& settings,
                                       const std::function<std::int32_t(std::int32_t)>& clamp);
// The fitted curve's FOM at position x (raw, as charted).
double FitSummaryValue(const FitSummary& fit, double x);
// Fits the golden section's points (its final reading included) for the
// refinement; nullopt when they do not make a curve.
std::optional<FitSummary> RefineSearchPoints(std::span<const SearchPoint> points, FomKind kind);

// Texts of the curve-fit search.
inline constexpr const char* kCurveFitStartText = "Measuring the focus curve";
inline constexpr const char* kCurveFitPointFormat = "Curve FOM: %3.4f  Position: %d";
inline constexpr const char* kCurveFitNoStarFormat = "Curve: no star  Position: %d";
inline constexpr const char* kCurveFitTooFewFormat = "Curve: too few stars  Position: %d  Stars: %d";
inline constexpr const char* kCurveFitFitFormat =
    "Fitted %s: best focus %d, predicted FOM %3.4f, R^2 %.3f, depth %.0f %%";
inline constexpr const char* kCurveFitCheckFormat = "Check FOM: %3.4f  Position: %d";
inline constexpr const char* kCurveFitBackText = "Auto focus failed; returning to the starting position";
inline constexpr const char* kFitTooFlatFormat =
    "The focus curve is too flat to find best focus: its edges read only %.0f %% above its bottom "
    "(%.0f %% needed).\r\nThe focuser is back at its starting position. Use a larger step.";
// Too noisy and too few stars can each have more than one cause: their texts
// end in %s, the advice that suits what the readings showed.
inline constexpr const char* kFitTooNoisyFormat =
    "The focus readings are too noisy to fit a curve: the curve explains %.0f %% of their spread "
    "(%.0f %% needed).\r\nThe focuser is back at its starting position. %s";
inline constexpr const char* kNoisyTakeSamples = "Take more samples per focus measurement.";
inline constexpr const char* kNoisyShallowFormat =
    "Across the positions read the curve rose only %.0f %% above its bottom, too little for the readings' "
    "scatter: use a larger step.";
inline constexpr const char* kNoisyShallowTakeSamplesFormat =
    "Across the positions read the curve rose only %.0f %% above its bottom, too little for the readings' "
    "scatter: use a larger step, or take more samples per focus measurement.";
inline constexpr const char* kNoisyUnsteady =
    "The readings stray from the curve further than their own frames scatter, so more samples would not "
    "steady them: wait for steadier seeing, or use a larger step.";
inline constexpr const char* kFitEdgeFormat =
    "Best focus lies at or beyond the edge of the focuser's travel (near position %d).\r\nThe focuser is back "
    "at its starting position. Move it by hand towards best focus, or widen the travel limits, and start again.";
inline constexpr const char* kFitNotFoundFormat =
    "No focus minimum was found within %d readings.\r\nThe focuser is back at its starting position. Focus "
    "roughly by hand or use a larger step, and start again.";
inline constexpr const char* kFitNoStarFormat =
    "Too few focus frames showed a star (%d of %d readings).\r\nThe focuser is back at its starting position. %s";
inline constexpr const char* kNoStarCheckFrame =
    "Check that the star is inside the focus frame, or lengthen the exposure, and start again.";
inline constexpr const char* kNoStarTooLargeAtStart =
    "The star had blurred larger than the focus frame around the starting position: focus roughly by hand "
    "nearer to best focus, or use a larger focus frame, and start again.";
inline constexpr const char* kNoStarTooLargeFurtherOut =
    "The star blurred larger than the focus frame beyond the positions where it showed: use a smaller step "
    "or a larger focus frame, and start again.";
inline constexpr const char* kNoStarFadedFurtherOut =
    "The star blurred into the sky beyond the positions where it showed: use a smaller step, or lengthen the "
    "exposure, and start again.";
inline constexpr const char* kFitCheckFormat =
    "The check frame at the fitted best focus (position %d) reads %.4f, worse than the %.4f the fit predicts."
    "\r\nThe focuser is back at its starting position. Take more samples per focus measurement or wait for "
    "steadier seeing, and start again.";
inline constexpr const char* kCoarseStartText = "No star in the focus frame: measuring the star on the whole image";
inline constexpr const char* kCoarsePointFormat = "Coarse HFD: %.1f  Position: %d";
inline constexpr const char* kCoarseNoStarFormat = "Coarse: no star on the whole image  Position: %d";
inline constexpr const char* kCoarseDoneFormat =
    "Coarse phase: %d whole-image frames brought the star into the focus frame at position %d";
inline constexpr const char* kCoarseNoImageStarText =
    "The whole image shows no star to walk by: walking the curve from here";
inline constexpr const char* kCoarseBlurredFormat =
    "At position %d the star is blurred beyond what the whole image shows.\r\nThe focuser is back at its starting "
    "position. Focus roughly by hand towards best focus, or start nearer to it, and start again.";
inline constexpr const char* kCoarseLostFormat =
    "The star was lost on the whole image at position %d while walking towards focus.\r\nThe focuser is back at "
    "its starting position. Focus roughly by hand and start again.";
inline constexpr const char* kCoarseTooManyFormat =
    "The star still blurred larger than the focus frame after %d whole-image frames (HFD %.1f, %.1f wanted)."
    "\r\nThe focuser is back at its starting position. Focus roughly by hand and start again.";
inline constexpr const char* kCurveFitFinerFormat =
    "The star blurred larger than the focus frame within a step or two of the lowest reading: walking again "
    "around position %d with a step of %d";
inline constexpr const char* kFitCheckNoStarFormat =
    "The check frame at the fitted best focus (position %d) shows no star.\r\nThe focuser is back at its "
    "starting position. Check that the star is inside the focus frame and start again.";

// The charts for a curve-fit search: positions over the walk's likely reach.
SearchChartAxes CurveFitAxesFor(const CurveFitSettings& settings, FomKind kind);

class TCurveFitSearch {
public:
    using Action = TAutoFocusSearch::Action;
    using Note = TAutoFocusSearch::Note;

    TCurveFitSearch(const CurveFitSettings& settings, FomKind kind, std::int32_t start = 0);

    Action Next();
    // The averaged reading of the last Measure, the focuser's position after
    // it and the frames it was made of.
    void Report(const FocusReading& reading, std::int32_t position, int frames = 1);
    // The main image's reading of the last MeasureImage: the star's HFD, or
    // nullopt when the image showed none.
    void ReportImage(std::optional<double> hfd, std::int32_t position);
    std::vector<Note> TakeNotes();

    // The charts' points so far (readings with a star, and the check frame).
    const std::vector<SearchPoint>& Points() const { return points_; }
    // Every reading on the curve, "no star" ones included (not the check frame).
    const std::vector<CurveSample>& Samples() const { return samples_; }
    // The check frame's reading, once Finished.
    const FocusReading& FinalReading() const { return final_; }
    // Focus frames taken so far, the check frame included.
    int Frames() const { return frames_; }
    // Main-image frames of the coarse phase.
    int CoarseFrames() const { return static_cast<int>(coarse_.size()); }
    // The fit, once made (also when the gate then refused it).
    const std::optional<FitSummary>& Fit() const { return fit_; }
    const CurveFit& RawFit() const { return raw_; }
    const CurveFitSettings& Settings() const { return settings_; }

private:
    enum class Phase { Begin, Coarse, Walk, Check, Ended };

    Action MeasureAt(std::int32_t target);
    Action Decide();
    Action FitAndGate();
    Action Fail(std::string message);
    // The failures whose advice depends on what the readings showed.
    Action FailTooFewStars(int withStar);
    // No focus frame of the run showed a star, and the whole image showed
    // what it followed once at most: that may have been the noise, and the
    // star itself never showed.
    bool NeverSeen() const;
    // The coarse walk lost what it followed: the blurred star's text when it
    // was never seen (NeverSeen), else that it was lost at `position`.
    Action FailCoarseLost(std::int32_t position);
    Action FailTooNoisy();
    Action BeginCoarse();
    Action CoarseStep();
    std::int32_t Clamp(std::int32_t target) const;
    bool Inside(std::int32_t position) const;
    std::int32_t At(int k) const { return start_ + k * step_; }
    // Starts the walk afresh around `centre` (the grid, its sides); `keep`
    // keeps the readings that lie on the new grid, so none is taken twice.
    Action Restart(std::int32_t centre, bool keep = false);
    bool CanWalkFiner() const;
    // A star small enough to sit well inside the focus frame: near focus.
    bool Sharp(const CurveSample& s) const;
    // The reading's star stands where the run's star has stood (noise taken
    // for a star does not); a reading that does is remembered.
    bool HoldsStill(const FocusReading& reading);
    // Restarts around `centre` with half the step.
    Action WalkFiner(std::int32_t centre);
    // Fit figure at grid index k; +infinity for "no star" (and unmeasured).
    double Figure(int k) const;
    void Log(std::string text) { notes_.push_back({Note::Log, std::move(text), {}}); }
    void Status(std::string text) { notes_.push_back({Note::Status, std::move(text), {}}); }
    void Plot(std::int32_t position, double fom);

    const CurveFitSettings settings_;
    const FomKind kind_;
    const std::int32_t origin_;  // where the focuser stood: limits and failures refer to it
    std::int32_t start_;         // the walk's grid centre: the origin, or where the coarse phase ended
    struct CoarsePoint {
        std::int32_t position;
        std::optional<double> hfd;
        bool probe;  // a short move to learn the slope, not a jump towards focus
        bool crossing = false;  // the probe of where focus lies if the jump before crossed it
    };
    std::vector<CoarsePoint> coarse_;
    int step_;             // the walk's step: the setting's, halved while the star outgrows the frame
    int finer_ = 0;        // times it was halved
    int earlierReadings_ = 0, earlierStars_ = 0;  // of the walks it replaced
    bool coarseProbe_ = false;  // the pending MeasureImage is a probe
    bool coarseCrossing_ = false;  // ... of a crossing
    struct Centre {
        std::int32_t x, y;
        double size;
    };
    std::vector<Centre> centres_;  // of the readings taken as the star, the whole run
    Phase phase_ = Phase::Begin;
    std::deque<Action> queue_;  // actions decided but not handed out yet
    std::int32_t commanded_;    // where the focuser was last sent
    bool approached_ = false;   // a move has been made
    std::int32_t position_;     // where the focuser last said it stood
    bool checking_ = false;     // the pending Measure is the check frame
    int pendingK_ = 0;          // grid index of the pending Measure
    int lo_ = 0, hi_ = 0;       // measured grid indices [lo_, hi_]
    bool loClosed_ = false, hiClosed_ = false;  // a travel limit ends that side
    std::vector<int> ks_;       // grid index of each sample
    std::int32_t answer_ = 0;
    int frames_ = 0;
    std::vector<CurveSample> samples_;
    std::vector<SearchPoint> points_;
    std::optional<FitSummary> fit_;
    CurveFit raw_;
    FocusReading final_;
    std::vector<Note> notes_;
};

}  // namespace kv
