#include "focusing/curve_fit_search.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>
#include <vector>

#include "camera/field_figure.h"
#include "platform/format_text.h"

namespace kv {

namespace {

// "Curve: no star  Position: %d", or "too few stars" for a field that had them.
std::string NoStarText(const FocusReading& r, std::int32_t position) {
    if (r.status == StarStatus::TooFewStars) return FormatText(kCurveFitTooFewFormat, position, r.stars);
    return FormatText(kCurveFitNoStarFormat, position);
}

// A share as a whole percent, rounded down: a figure refused for falling
// short of a limit must not print as the limit itself.
double PercentBelow(double share) { return std::floor(std::max(0.0, share) * 100.0); }

// How far the readings themselves rose above the lowest, on the side that
// rose less, by the middle reading of each side (one wild reading does not
// make a side deep). A fit that explains too little of the readings can put
// its outermost points level with its bottom while the readings climb
// steeply: then the readings, not the fit, say how deep the walk went.
double ReadDepth(const std::vector<CurveSample>& samples, FomKind kind) {
    std::vector<std::pair<std::int32_t, double>> read;
    for (const CurveSample& s : samples)
        if (s.star) read.emplace_back(s.position, FitFigure(s.fom, kind));
    if (read.empty()) return 0.0;
    const auto lowest = *std::min_element(read.begin(), read.end(), [](auto& l, auto& r) { return l.second < r.second; });
    if (!(lowest.second > 0.0)) return 0.0;
    std::vector<double> below, above;
    for (const auto& [position, figure] : read) {
        if (position < lowest.first) below.push_back(figure);
        if (position > lowest.first) above.push_back(figure);
    }
    if (below.empty() || above.empty()) return 0.0;
    const auto middle = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    return std::min(middle(below), middle(above)) / lowest.second - 1.0;
}

// A change of blur smaller than this share between two whole-image frames
// says too little about the slope to jump on.
constexpr double kCoarseMinChange = 0.1;
// A jump goes this share of the way to where the flank extrapolates to no
// blur: a V's flank reaches zero beyond focus (by the seeing over the
// slope), a hyperbola's asymptote at it; either way the walk then starts
// on the near side of best focus, well inside the reach of its grid.
constexpr double kCoarseReach = 0.85;
// A jump is aimed to leave a sixth or so of the blur; one that leaves more
// than this share may have crossed focus.
constexpr double kCoarseLandedBlur = 0.5;
// However flat the flank reads, no jump goes further than this many steps
// of the walk.
constexpr int kCoarseMaxJumpSteps = 40;
constexpr int kMaxFiner = 3;
// The run's star centre is the median of this many readings at least.
constexpr std::size_t kCentreReadings = 3;
// A star may drift this far (focus frame pixels) from it; a blurred one's
// brightest pixel also wanders within its disc, so a reading may stray by
// the largest star size read as well.
constexpr double kCentreSlack = 8.0;
constexpr int kMinSideReadings = 2;


}  // namespace

double FitSummaryValue(const FitSummary& fit, double x) {
    return FomFromFitFigure(FitValue(fit.model, fit.parameters, x), fit.kind);
}

namespace {

FitSummary Summarise(const CurveFit& fit, FomKind kind) {
    FitSummary s;
    s.model = fit.model;
    s.parameters = fit.parameters;
    s.kind = kind;
    s.rSquared = fit.rSquared;
    s.depth = fit.depth;
    s.bestPosition = fit.minimumX;
    s.predicted = FomFromFitFigure(fit.predicted, kind);
    return s;
}

}  // namespace

std::optional<FitSummary> RefineSearchPoints(std::span<const SearchPoint> points, FomKind kind) {
    std::vector<FitPoint> fitted;
    for (const SearchPoint& p : points)
        if (std::isfinite(p.fom) && p.fom > 0.0) fitted.push_back({double(p.position), FitFigure(p.fom, kind), 1.0});
    const CurveFit fit = FitFocusCurve(fitted);
    if (!fit.ok) return std::nullopt;
    FitSummary s = Summarise(fit, kind);
    s.refinement = true;
    return s;
}

SearchChartAxes CurveFitAxesFor(const CurveFitSettings& settings, FomKind kind) {
    SearchChartAxes axes = SearchAxesFor(settings.step, kind);
    const double reach = static_cast<double>(settings.step) * (settings.pointsPerSide + 3);
    axes.position = {-reach, reach};
    axes.bottomMax = std::max(10, settings.maxPoints + 2);
    return axes;
}

TCurveFitSearch::TCurveFitSearch(const CurveFitSettings& settings, FomKind kind, std::int32_t start)
    : settings_([&] {
          CurveFitSettings s = settings;
          s.step = std::max(1, s.step);
          s.pointsPerSide = std::max(1, s.pointsPerSide);
          s.maxPoints = std::max(4, s.maxPoints);
          s.overshoot = std::max(0, s.overshoot);
          return s;
      }()),
      kind_(kind),
      origin_(start),
      start_(start),
      step_(settings_.step),
      commanded_(start),
      position_(start) {}

std::vector<TCurveFitSearch::Note> TCurveFitSearch::TakeNotes() {
    std::vector<Note> taken;
    taken.swap(notes_);
    return taken;
}

void TCurveFitSearch::Plot(std::int32_t position, double fom) {
    const SearchPoint point{static_cast<int>(points_.size()) + 1, position, fom};
    points_.push_back(point);
    notes_.push_back({Note::Plot, {}, point});
}

bool TCurveFitSearch::Inside(std::int32_t position) const {
    const std::int32_t relative = position - origin_;
    return (!settings_.travelMin || relative >= *settings_.travelMin) &&
           (!settings_.travelMax || relative <= *settings_.travelMax);
}

std::int32_t TCurveFitSearch::Clamp(std::int32_t target) const {
    if (settings_.travelMin) target = std::max(target, origin_ + *settings_.travelMin);
    if (settings_.travelMax) target = std::min(target, origin_ + *settings_.travelMax);
    return target;
}

double TCurveFitSearch::Figure(int k) const {
    for (std::size_t i = 0; i < ks_.size(); ++i)
        if (ks_[i] == k)
            return samples_[i].star ? FitFigure(samples_[i].fom, kind_) : std::numeric_limits<double>::infinity();
    return std::numeric_limits<double>::infinity();
}

// The legs to `target` are queued: an overshoot leg (kept inside the travel
// limits) as a Move, then the Measure itself; a cancel test comes first.
std::vector<std::int32_t> ApproachLegs(std::optional<std::int32_t> from, std::int32_t target,
                                       const CurveFitSettings& settings,
                                       const std::function<std::int32_t(std::int32_t)>& clamp) {
    const std::int32_t start = from ? *from
                               : settings.approach == ApproachSide::FromBelow ? target + 1
                                                                              : target - 1;
    std::vector<std::int32_t> legs;
    for (const std::int32_t leg : BacklashMoves(start, target, settings.overshoot, settings.approach)) {
        if (leg == target) break;
        const std::int32_t clamped = clamp(leg);
        if (clamped != target) legs.push_back(clamped);
    }
    return legs;
}

TCurveFitSearch::Action TCurveFitSearch::MeasureAt(std::int32_t target) {
    queue_.push_back({Action::CheckCancel, 0, {}});
    const auto clamp = [this](std::int32_t p) { return Clamp(p); };
    for (const std::int32_t leg : ApproachLegs(approached_ ? std::optional(commanded_) : std::nullopt, target, settings_, clamp))
        queue_.push_back({Action::Move, leg, {}});
    approached_ = true;
    queue_.push_back({Action::Measure, target, {}});
    commanded_ = target;
    return Next();
}

TCurveFitSearch::Action TCurveFitSearch::Fail(std::string message) {
    Status(kCurveFitBackText);
    Log("");
    for (const std::int32_t leg : BacklashMoves(commanded_, origin_, settings_.overshoot, settings_.approach))
        queue_.push_back({Action::Move, leg == origin_ ? leg : Clamp(leg), {}});
    commanded_ = origin_;
    queue_.push_back({Action::Failed, origin_, std::move(message)});
    phase_ = Phase::Ended;
    return Next();
}

TCurveFitSearch::Action TCurveFitSearch::Next() {
    if (!queue_.empty()) {
        Action a = queue_.front();
        queue_.pop_front();
        return a;
    }
    switch (phase_) {
        case Phase::Begin:
            Status("");
            Log("");
            Log(kSearchRule);
            Status(kCurveFitStartText);
            Log("");
            phase_ = Phase::Walk;
            return Decide();
        case Phase::Walk: return Decide();
        case Phase::Coarse: return CoarseStep();
        case Phase::Check: {
            const double predicted = fit_->predicted;
            if (!ReadingHasStar(final_)) return Fail(FormatText(kFitCheckNoStarFormat, answer_));
            const double figure = FitFigure(final_.FOM, kind_);
            if (figure > raw_.predicted * (1.0 + settings_.checkMargin))
                return Fail(FormatText(kFitCheckFormat, answer_, final_.FOM, predicted));
            Status(kSearchCompleteText);
            Log(FormatText(kFinalPositionFormat, position_));
            Log(FormatText(kFinalFocusFormat, final_.FOM));
            notes_.push_back({Note::StatusPanel, kSearchCompletePanelText, {}});
            Log("");
            phase_ = Phase::Ended;
            queue_.push_back({Action::Finished, position_, {}});
            return Next();
        }
        case Phase::Ended: break;
    }
    return {Action::Finished, position_, {}};
}

TCurveFitSearch::Action TCurveFitSearch::Decide() {
    if (std::find(ks_.begin(), ks_.end(), 0) == ks_.end()) {
        pendingK_ = 0;
        return MeasureAt(start_);
    }
    // No star in the first frame (the focus figures call light that reaches
    // the frame's edge no star, too large): far out, most likely.
    if (settings_.coarse && coarse_.empty() && samples_.size() == 1 && !samples_.front().star) return BeginCoarse();
    int kMin = 0;
    double vMin = std::numeric_limits<double>::infinity();
    int good = 0;
    for (int k = lo_; k <= hi_; ++k) {
        const double v = Figure(k);
        if (std::isfinite(v)) ++good;
        if (v < vMin) {
            vMin = v;
            kMin = k;
        }
    }
    const int total = static_cast<int>(samples_.size());
    if (good == 0) {
        // Beyond both ends there is only more blur: no use walking on.
        if (total >= 3) return FailTooFewStars(good);
        kMin = 0;
    }
    const double risen = vMin * (1.0 + settings_.minDepth);
    const auto done = [&](int end, int count, bool closed) {
        if (closed) return true;
        const double v = Figure(end);
        if (!std::isfinite(v)) return good > 0;  // a "no star" end is far from focus
        return count >= settings_.pointsPerSide && v >= risen;
    };
    const bool loDone = done(lo_, kMin - lo_, loClosed_);
    const bool hiDone = done(hi_, hi_ - kMin, hiClosed_);
    // A side the star outgrew the frame on after fewer than two readings
    // beyond the lowest leaves the fit to guess its flank. Past a sharp
    // bottom two are not enough either, however the star was lost: the step
    // is large for the curve, and a lopsided one shows its steep side only
    // in the few readings before the star leaves.
    const auto sample = [&](int k) -> const CurveSample& {
        return samples_[static_cast<std::size_t>(std::find(ks_.begin(), ks_.end(), k) - ks_.begin())];
    };
    const auto outgrown = [&](int end, int beyond) {
        const CurveSample& s = sample(end);
        if (s.star) return false;
        if (Sharp(sample(kMin))) return beyond <= kMinSideReadings;
        return s.tooLarge && beyond < kMinSideReadings;
    };
    if (loDone && hiDone && good > 0 && CanWalkFiner() &&
        (outgrown(lo_, kMin - lo_ - 1) || outgrown(hi_, hi_ - kMin - 1)))
        return WalkFiner(At(kMin));
    if (loDone && hiDone) return FitAndGate();
    if (total >= settings_.maxPoints) {
        if ((kMin == lo_ && !loDone) || (kMin == hi_ && !hiDone)) {
            // Still falling at the end of the readings: far out on a gentle
            // flank, where a faint star's size reads too small to tell.
            if (settings_.coarse && coarse_.empty()) return BeginCoarse();
            return Fail(FormatText(kFitNotFoundFormat, total));
        }
        return FitAndGate();
    }
    bool down;
    if (loDone != hiDone) {
        down = !loDone;
    } else {
        // Both need more: first the side with fewer points beyond the lowest,
        // then the side whose end reads lower (the curve falls that way).
        const int loCount = kMin - lo_;
        const int hiCount = hi_ - kMin;
        if (loCount != hiCount) {
            down = loCount < hiCount;
        } else if (Figure(lo_) != Figure(hi_)) {
            down = Figure(lo_) < Figure(hi_);
        } else {
            down = true;
        }
    }
    const int k = down ? lo_ - 1 : hi_ + 1;
    if (!Inside(At(k))) {
        if (kMin == (down ? lo_ : hi_)) return Fail(FormatText(kFitEdgeFormat, At(kMin)));
        (down ? loClosed_ : hiClosed_) = true;
        return Decide();
    }
    // A reading an earlier, coarser walk took there stands.
    if (std::find(ks_.begin(), ks_.end(), k) != ks_.end()) {
        (down ? lo_ : hi_) = k;
        return Decide();
    }
    pendingK_ = k;
    return MeasureAt(At(k));
}

TCurveFitSearch::Action TCurveFitSearch::FitAndGate() {
    std::vector<FitPoint> points;
    for (const CurveSample& s : samples_)
        if (s.star) points.push_back({double(s.position), FitFigure(s.fom, kind_), double(s.frames)});
    const int total = static_cast<int>(samples_.size());
    if (points.size() < 4) return FailTooFewStars(static_cast<int>(points.size()));
    raw_ = FitFocusCurve(points);
    if (!raw_.parameters.empty()) fit_ = Summarise(raw_, kind_);
    if (!raw_.ok) {
        if (raw_.parameters.empty()) {
            // No curve through the readings with a star: when others lost it,
            // they are what was missing, not depth.
            if (static_cast<int>(points.size()) < total) return FailTooFewStars(static_cast<int>(points.size()));
            return Fail(FormatText(kFitTooFlatFormat, 0.0, settings_.minDepth * 100.0));
        }
        // The minimum lies beyond the readings: at a closed side, the edge of travel.
        const bool below = raw_.minimumX < points.front().x;
        if ((below && loClosed_) || (!below && hiClosed_))
            return Fail(FormatText(kFitEdgeFormat, below ? At(lo_) : At(hi_)));
        return Fail(FormatText(kFitNotFoundFormat, total));
    }
    const auto answer = static_cast<std::int32_t>(std::lround(raw_.minimumX));
    Log(FormatText(kCurveFitFitFormat, FitModelName(raw_.model), answer, fit_->predicted, raw_.rSquared,
               raw_.depth * 100.0));
    if (!Inside(answer)) return Fail(FormatText(kFitEdgeFormat, answer));
    if (raw_.rSquared < settings_.minRSquared) return FailTooNoisy();
    if (raw_.depth < settings_.minDepth)
        return Fail(FormatText(kFitTooFlatFormat, PercentBelow(raw_.depth), settings_.minDepth * 100.0));
    answer_ = answer;
    checking_ = true;
    phase_ = Phase::Check;
    return MeasureAt(answer);
}


// Far from focus the focus frame shows no star, but the main image still
// does: the star's HFD there grows along the curve's flank, so two frames
// give the slope and the slope says how far focus is.
TCurveFitSearch::Action TCurveFitSearch::CoarseStep() {
    std::int32_t here = commanded_;
    const auto imageAt = [this](std::int32_t next) {
        queue_.push_back({Action::CheckCancel, 0, {}});
        queue_.push_back({Action::MeasureImage, next, {}});
        commanded_ = next;
        return Next();
    };
    double target = here;
    coarseProbe_ = coarseCrossing_ = false;
    if (!coarse_.empty()) {
        std::vector<const CoarsePoint*> seen;
        for (const CoarsePoint& p : coarse_)
            if (p.hfd) seen.push_back(&p);
        // The check for a crossing found a larger blur, or none: the jump
        // fell short, and the walk goes on from it as it would have.
        const CoarsePoint& last = coarse_.back();
        const bool fellShort = last.crossing && (!last.hfd || *last.hfd >= *coarse_[coarse_.size() - 2].hfd);
        if (fellShort) here = coarse_[coarse_.size() - 2].position;
        if (fellShort && last.hfd) seen.pop_back();
        if (!last.hfd && !fellShort) {
            if (coarse_.size() == 1) {
                // Not even the binned whole image shows the star the focus
                // frame never did: it is spread too thin to see anywhere.
                const bool seenInFrame = earlierStars_ > 0 ||
                    std::any_of(samples_.begin(), samples_.end(), [](const CurveSample& s) { return s.star; });
                if (!seenInFrame) return Fail(FormatText(kCoarseBlurredFormat, coarse_.back().position));
                // Nothing to go by on the whole image: the walk goes on as it
                // would have, and its own failure says what it saw.
                Log(kCoarseNoImageStarText);
                phase_ = Phase::Walk;
                return Decide();
            }
            // A jump towards focus that lost the star went too far (across
            // focus, or on a reading the star was faint in): half of it
            // from where the star last showed, while that is a step or more.
            if (!coarse_.back().probe) {
                const std::int32_t from = seen.back()->position;
                const std::int32_t half = from + (coarse_.back().position - from) / 2;
                const bool read = std::any_of(coarse_.begin(), coarse_.end(),
                                              [half](const CoarsePoint& p) { return p.position == half; });
                if (std::abs(half - from) < settings_.step || read)
                    return FailCoarseLost(coarse_.back().position);
                return imageAt(half);
            }
            // A probe outward can lose a faint star in the blur: the other
            // side is then the way to focus.
            if (coarse_.size() > 2) return FailCoarseLost(coarse_.back().position);
            coarseProbe_ = true;
            target = 2.0 * coarse_.front().position - coarse_.back().position;
            const std::int32_t other = Clamp(static_cast<std::int32_t>(std::lround(target)));
            if (other == coarse_.front().position) return FailCoarseLost(coarse_.back().position);
            return imageAt(other);
        }
        const CoarsePoint& b = *seen.back();
        const double fits = settings_.coarseFitsHfd;
        if (*b.hfd <= fits) {
            if (coarse_.size() == 1 && samples_.size() == 1) {
                // The star is small enough where the walk started: the focus
                // frame's trouble is something else, which the walk reports.
                phase_ = Phase::Walk;
                return Decide();
            }
            Log(FormatText(kCoarseDoneFormat, CoarseFrames(), b.position));
            return Restart(b.position);
        }
        if (CoarseFrames() >= settings_.coarseMaxFrames)
            return Fail(FormatText(kCoarseTooManyFormat, CoarseFrames(), *b.hfd, fits));
        const double probe = 2.0 * settings_.step;
        if (seen.size() == 1) {
            // Which side focus lies on is unknown: a probe tells.
            coarseProbe_ = true;
            target = Inside(static_cast<std::int32_t>(here + probe)) ? here + probe : here - probe;
        } else {
            const CoarsePoint& a = *seen[seen.size() - 2];
            const double ha = *a.hfd, hb = *b.hfd;
            const double dx = static_cast<double>(b.position) - a.position;
            if (!b.probe && !fellShort && hb > ha) {
                // The jump crossed focus: it lies between, nearer the smaller blur.
                target = a.position + dx * ha / (ha + hb);
            } else if (!b.probe && !fellShort && &a == &coarse_[coarse_.size() - 2] && hb > kCoarseLandedBlur * ha) {
                // A jump from a (not the half of one that lost the star) meant
                // to land near focus that still reads over half the blur either
                // fell short on a slope read too steep or, on a flank read too
                // flat (a far star's blur reads small), crossed focus by as
                // much. Where focus lies if it crossed tells the two apart in
                // one frame: a smaller blur there, or a larger one.
                coarseProbe_ = coarseCrossing_ = true;
                target = a.position + dx * ha / (ha + hb);
            } else if (dx == 0.0 || std::fabs(hb - ha) < kCoarseMinChange * std::max(ha, hb)) {
                coarseProbe_ = true;
                const double downhill = (hb <= ha) == (dx >= 0.0) ? 1.0 : -1.0;
                target = here + downhill * std::max(probe, 2.0 * std::fabs(dx));
            } else {
                const double slope = (hb - ha) / dx;
                target = b.position + kCoarseReach * (-hb / slope);
            }
        }
        const double reach = static_cast<double>(kCoarseMaxJumpSteps) * settings_.step;
        target = std::clamp(target, here - reach, here + reach);
    }
    const std::int32_t next = Clamp(static_cast<std::int32_t>(std::lround(target)));
    if (!coarse_.empty() && next == here) return Fail(FormatText(kFitEdgeFormat, here));
    return imageAt(next);
}

TCurveFitSearch::Action TCurveFitSearch::BeginCoarse() {
    Status(kCoarseStartText);
    phase_ = Phase::Coarse;
    return CoarseStep();
}

bool TCurveFitSearch::Sharp(const CurveSample& s) const {
    return s.star && (LargerIsBetter(kind_) || s.fom <= settings_.coarseFitsHfd);
}

bool TCurveFitSearch::CanWalkFiner() const { return finer_ < kMaxFiner && step_ >= 2; }

// Half the step keeps more of the curve inside the frame; three times at
// most (a step of 500 down to 62, which reads a sharp star's bottom to a
// step or two), so a star the frame never holds still fails soon.
TCurveFitSearch::Action TCurveFitSearch::WalkFiner(std::int32_t centre) {
    ++finer_;
    step_ /= 2;
    Log(FormatText(kCurveFitFinerFormat, centre, step_));
    return Restart(centre, true);
}

// A reading within a quarter step of a grid position stands for it: an odd
// step halved does not fall on the old grid, and a reading a step's fraction
// away says as much as a new one there.
TCurveFitSearch::Action TCurveFitSearch::Restart(std::int32_t centre, bool keep) {
    start_ = centre;
    std::vector<CurveSample> kept;
    ks_.clear();
    for (const CurveSample& s : samples_) {
        const auto k = static_cast<int>(std::lround(double(s.position - centre) / step_));
        const bool near = std::abs(s.position - At(k)) <= step_ / 4;
        if (keep && near && std::find(ks_.begin(), ks_.end(), k) == ks_.end()) {
            kept.push_back(s);
            ks_.push_back(k);
        } else if (keep) {
            // Counted as the earlier walks' readings.
            ++earlierReadings_;
            earlierStars_ += s.star ? 1 : 0;
        }
    }
    samples_ = std::move(kept);
    lo_ = hi_ = 0;
    loClosed_ = hiClosed_ = false;
    phase_ = Phase::Walk;
    return Decide();
}

void TCurveFitSearch::ReportImage(std::optional<double> hfd, std::int32_t position) {
    position_ = position;
    coarse_.push_back({position, hfd && std::isfinite(*hfd) && *hfd > 0.0 ? hfd : std::nullopt, coarseProbe_,
                       coarseCrossing_});
    Status(coarse_.back().hfd ? FormatText(kCoarsePointFormat, *hfd, position) : FormatText(kCoarseNoStarFormat, position));
}

// A star seen somewhere on the walk shows that the frame and the exposure
// are right there: the readings without one further out lost it to the blur,
// and the step walked past it. Without a star anywhere, only light that
// reached past the frame tells a blurred star from no star at all.
bool TCurveFitSearch::NeverSeen() const {
    if (earlierStars_ > 0 || std::any_of(samples_.begin(), samples_.end(), [](const CurveSample& s) { return s.star; }))
        return false;
    // The whole image's star is followed by where it was last seen: a
    // sighting that comes back at another focus position is the star; one
    // that never does may be a clump of noise.
    return std::count_if(coarse_.begin(), coarse_.end(), [](const CoarsePoint& p) { return p.hfd.has_value(); }) < 2;
}

TCurveFitSearch::Action TCurveFitSearch::FailCoarseLost(std::int32_t position) {
    if (NeverSeen()) return Fail(FormatText(kCoarseBlurredFormat, coarse_.front().position));
    return Fail(FormatText(kCoarseLostFormat, position));
}

TCurveFitSearch::Action TCurveFitSearch::FailTooFewStars(int withStar) {
    const int total = static_cast<int>(samples_.size());
    // A step too large for the frame: the star outgrew it a step or two
    // from the bottom, before the sides had their readings.
    const auto lowest = std::min_element(samples_.begin(), samples_.end(), [&](const CurveSample& a, const CurveSample& b) {
        return (a.star ? FitFigure(a.fom, kind_) : std::numeric_limits<double>::infinity()) <
               (b.star ? FitFigure(b.fom, kind_) : std::numeric_limits<double>::infinity());
    });
    const bool outgrew = std::any_of(samples_.begin(), samples_.end(), [](const CurveSample& s) { return s.tooLarge; });
    // A sharp star that the walk lost: the step jumped past it, and half
    // the step from where it showed finds it again.
    const bool sharp = Sharp(*lowest);
    if (withStar > 0 && (outgrew || sharp) && lowest->star && CanWalkFiner()) return WalkFiner(lowest->position);
    // A faint star far out shows in some frames and not in others: the walk
    // may start on a frame that caught it and lose it a step on. The main
    // image tells how far out it really is. A sharp star is near focus
    // already; the whole image would only lead away from it.
    if (settings_.coarse && coarse_.empty() && !sharp) return BeginCoarse();
    std::int32_t low = std::numeric_limits<std::int32_t>::max();
    std::int32_t high = std::numeric_limits<std::int32_t>::min();
    for (const CurveSample& s : samples_) {
        if (!s.star) continue;
        low = std::min(low, s.position);
        high = std::max(high, s.position);
    }
    bool tooLarge = false;
    bool outward = true;
    for (const CurveSample& s : samples_) {
        if (s.star) continue;
        tooLarge = tooLarge || s.tooLarge;
        outward = outward && (s.position < low || s.position > high);
    }
    // The whole image led the walk to a place where no focus frame found
    // the star: what it followed was not the star, which is blurred beyond
    // what any frame shows.
    if (!coarse_.empty() && NeverSeen()) return Fail(FormatText(kCoarseBlurredFormat, coarse_.front().position));
    const char* advice = kNoStarCheckFrame;
    if (withStar == 0) {
        if (tooLarge) advice = kNoStarTooLargeAtStart;
    } else if (outward) {
        advice = tooLarge ? kNoStarTooLargeFurtherOut : kNoStarFadedFurtherOut;
    }
    return Fail(FormatText(kFitNoStarFormat, earlierStars_ + withStar, earlierReadings_ + total, advice));
}

namespace {

// Below this rise on its shallower side a walk has seen too little of the
// curve to stand out of much noise: twice the bottom is where a V's flanks
// start to dominate the seeing's round bottom.
constexpr double kShallowDepth = 1.0;
// More frames steady a reading only as far as the readings stray from the
// curve because of their frames' own scatter: when that accounts for less
// than this share of the misfit, the rest (seeing drifting between
// positions, a curve the model does not follow) stays however many are taken.
constexpr double kFrameNoiseShare = 0.5;

}  // namespace

// The fit explains too little of the readings' spread: either the curve
// rose too little across the walk (a larger step reaches further up it), or
// each reading scatters too much (more frames average that down, but only
// the part their own frames' scatter accounts for).
TCurveFitSearch::Action TCurveFitSearch::FailTooNoisy() {
    double misfit = 0.0;      // sum of squared residuals of the averaged readings
    double frameNoise = 0.0;  // sum of the variances their frames' scatter implies
    int judged = 0;
    int index = 0;
    for (const CurveSample& s : samples_) {
        if (!s.star) continue;
        const bool rejected = index++ == raw_.rejected;
        if (rejected || s.frames < 2) continue;
        const double figure = FitFigure(s.fom, kind_);
        // The spread is of the FOM; the fit works on its figure (Peak as a
        // size), so it is carried over by the figure's slope there.
        const double h = 1e-3 * s.fom;
        const double slope = (FitFigure(s.fom + h, kind_) - FitFigure(s.fom - h, kind_)) / (2.0 * h);
        const double spread = std::fabs(slope) * s.spread;
        const double residual = figure - FitValue(raw_, static_cast<double>(s.position));
        misfit += residual * residual;
        frameNoise += spread * spread / s.frames;
        ++judged;
    }
    // Single frames say nothing of their own scatter; averaging is then the
    // first thing to try.
    const bool samplesHelp = judged == 0 || frameNoise >= kFrameNoiseShare * misfit;
    const double rise = std::max(raw_.depth, ReadDepth(samples_, kind_));
    const double depth = PercentBelow(rise);
    std::string advice;
    if (rise < settings_.minDepth) {
        // However steady the readings, a curve this flat would not pass the
        // depth gate: only a walk further up it helps.
        advice = FormatText(kNoisyShallowFormat, depth);
    } else if (rise < kShallowDepth) {
        advice = FormatText(samplesHelp ? kNoisyShallowTakeSamplesFormat : kNoisyShallowFormat, depth);
    } else {
        advice = samplesHelp ? kNoisyTakeSamples : kNoisyUnsteady;
    }
    return Fail(FormatText(kFitTooNoisyFormat, PercentBelow(raw_.rSquared), settings_.minRSquared * 100.0,
                       advice.c_str()));
}

// A figure over the field's stars has no one centre to hold.
bool TCurveFitSearch::HoldsStill(const FocusReading& r) {
    if (r.stars > 1) return true;
    const double size = std::isfinite(r.HFD) && r.HFD > 0.0 ? r.HFD : r.FWHM;
    if (centres_.size() >= kCentreReadings) {
        std::vector<std::int32_t> xs, ys;
        double largest = 0.0;
        for (const Centre& c : centres_) {
            xs.push_back(c.x);
            ys.push_back(c.y);
            largest = std::max(largest, c.size);
        }
        const auto mid = static_cast<std::ptrdiff_t>(xs.size() / 2);
        std::nth_element(xs.begin(), xs.begin() + mid, xs.end());
        std::nth_element(ys.begin(), ys.begin() + mid, ys.end());
        const double away = std::hypot(double(r.PeakX - xs[static_cast<std::size_t>(mid)]),
                                        double(r.PeakY - ys[static_cast<std::size_t>(mid)]));
        if (away > std::max(kCentreSlack, largest)) return false;
    }
    centres_.push_back({r.PeakX, r.PeakY, std::isfinite(size) ? size : 0.0});
    return true;
}

void TCurveFitSearch::Report(const FocusReading& reading, std::int32_t position, int frames) {
    position_ = position;
    frames_ += std::max(1, frames);
    bool star = ReadingHasStar(reading);
    if (checking_) {
        checking_ = false;
        final_ = reading;
        fit_->checkPosition = position;
        fit_->checkFom = reading.FOM;
        if (star) {
            Status(FormatText(kCurveFitCheckFormat, reading.FOM, position) + StarsSuffix(reading));
            Plot(position, reading.FOM);
        } else {
            Status(NoStarText(reading, position));
        }
        return;
    }
    star = star && HoldsStill(reading);
    samples_.push_back({position, reading.FOM, std::max(1, frames), star,
                        reading.status == StarStatus::NoStar && reading.tooLarge, reading.fomSpread, reading.field});
    ks_.push_back(pendingK_);
    lo_ = std::min(lo_, pendingK_);
    hi_ = std::max(hi_, pendingK_);
    if (star) {
        Status(FormatText(kCurveFitPointFormat, reading.FOM, position) + StarsSuffix(reading));
        Plot(position, reading.FOM);
    } else {
        Status(NoStarText(reading, position));
    }
}

}  // namespace kv
