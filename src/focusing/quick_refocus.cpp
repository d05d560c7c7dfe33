#include "focusing/quick_refocus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "camera/field_figure.h"
#include "platform/format_text.h"

namespace kv {

namespace {

bool Usable(const FitSummary& fit) {
    if (fit.parameters.size() < 3) return false;
    if (fit.model != FitModel::Hyperbola && fit.model != FitModel::Parabola) return false;
    return std::all_of(fit.parameters.begin(), fit.parameters.end(), [](double p) { return std::isfinite(p); });
}

// Where the learned curve first reaches `target` walking away from its
// minimum in direction `sign`; `limit` when it never does that far.
double RiseOffset(const LearnedShape& shape, double target, double sign, double limit) {
    double inside = 0.0;
    double outside = 1.0;
    while (shape.Figure(sign * outside) < target) {
        inside = outside;
        outside *= 2.0;
        if (outside > limit) return limit;
    }
    for (int i = 0; i < 60 && outside - inside > 0.25; ++i) {
        const double mid = (inside + outside) / 2.0;
        (shape.Figure(sign * mid) < target ? inside : outside) = mid;
    }
    return outside;
}

// No quick reading goes further than this from the prediction, whatever the
// learned curve says: a curve that flat is no curve to refocus on.
constexpr double kMaxOffset = 1e6;

// The learned fits' scatter is taken where the curve stays below this many
// times its bottom: the quick readings go no higher, and far out on a flank
// a fading star or a model that leaves the curve says nothing of the bottom.
constexpr double kScatterReach = 3.0;

// Whether `share` exceeds `allowed` as the texts show them, to a tenth of a
// percent: a refusal never reads "20 % above ... (20 % allowed)".
bool Exceeds(double share, double allowed) { return std::lround(1000.0 * share) > std::lround(1000.0 * allowed); }

// `share` in percent, whole unless whole percents would show it as `other`.
std::string Percent(double share, double other) {
    const bool alike = std::lround(100.0 * share) == std::lround(100.0 * other);
    return FormatText(alike ? "%.1f" : "%.0f", 100.0 * share);
}

}  // namespace

std::optional<double> BottomScatter(const FitSummary& fit, std::span<const CurveSample> samples) {
    if (!Usable(fit)) return std::nullopt;
    const double bottom = FitValue(fit.model, fit.parameters, fit.parameters[2]);
    double weights = 0.0;
    double squares = 0.0;
    int used = 0;
    for (const CurveSample& s : samples) {
        if (!s.star) continue;
        const double curve = FitValue(fit.model, fit.parameters, s.position);
        if (curve > kScatterReach * bottom) continue;
        const double residual = FitFigure(s.fom, fit.kind) - curve;
        if (!std::isfinite(residual)) continue;
        weights += std::max(1, s.frames);
        squares += std::max(1, s.frames) * residual * residual;
        ++used;
    }
    if (used < 3) return std::nullopt;
    return std::sqrt(squares / weights);
}

double LearnedShape::Figure(double offset) const {
    if (curves.empty()) return 0.0;
    double sum = 0.0;
    for (const ShapeCurve& c : curves) sum += FitValue(c.model, c.parameters, offset);
    return sum / static_cast<double>(curves.size());
}

ShapeLearning LearnShape(std::span<const FitRecord> records, const ShapeCriteria& criteria) {
    std::vector<const FitRecord*> matching;
    for (const FitRecord& r : records) {
        if (!r.good || !Usable(r.fit) || r.fit.kind != criteria.kind || r.binning != criteria.binning) continue;
        if (criteria.now - r.time > criteria.maxAge) continue;
        if (criteria.exposureSeconds > 0.0 && r.exposureSeconds > 0.0) {
            const double ratio = r.exposureSeconds / criteria.exposureSeconds;
            if (ratio > criteria.exposureRatio || ratio * criteria.exposureRatio < 1.0) continue;
        }
        matching.push_back(&r);
    }
    ShapeLearning learning;
    if (matching.empty()) {
        const auto hours = std::chrono::duration_cast<std::chrono::minutes>(criteria.maxAge).count() / 60.0;
        learning.why = FormatText("no good curve fit of the last %.0f h measured %s at binning %d", hours,
                              FomName(static_cast<int>(criteria.kind)), criteria.binning);
        if (criteria.exposureSeconds > 0.0)
            learning.why += FormatText(" with an exposure near %.3g s", criteria.exposureSeconds);
        learning.why += " to learn the curve's shape from";
        return learning;
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const FitRecord* a, const FitRecord* b) { return a->time > b->time; });
    LearnedShape shape;
    shape.kind = criteria.kind;
    const FitRecord& newest = *matching.front();
    shape.lastBest = newest.fit.bestPosition;
    shape.lastTemperatureC = newest.temperatureC;
    shape.lastTime = newest.time;
    const auto bottomOf = [](const FitSummary& f) { return FitValue(f.model, f.parameters, f.parameters[2]); };
    const double newestBottom = bottomOf(newest.fit);
    double levels = 0.0, squares = 0.0;
    int checked = 0, scattered = 0;
    for (const FitRecord* r : matching) {
        if (static_cast<int>(shape.curves.size()) >= std::max(1, criteria.maxFits)) break;
        if (std::fabs(bottomOf(r->fit) / newestBottom - 1.0) > criteria.maxBottomSpread) continue;
        ShapeCurve curve{r->fit.model, r->fit.parameters};
        curve.parameters[2] = 0.0;
        shape.curves.push_back(std::move(curve));
        const FitSummary& f = r->fit;
        if (f.checkPosition && f.checkFom && std::isfinite(*f.checkFom) && *f.checkFom > 0.0) {
            levels += FitFigure(*f.checkFom, f.kind) - FitValue(f.model, f.parameters, *f.checkPosition);
            ++checked;
        }
        if (r->scatter > 0.0 && std::isfinite(r->scatter)) {
            squares += r->scatter * r->scatter;
            ++scattered;
        }
    }
    shape.bottom = shape.Figure(0.0);
    if (checked > 0) shape.checkLevel = levels / checked;
    if (scattered > 0) shape.scatter = std::sqrt(squares / scattered);
    learning.shape = std::move(shape);
    return learning;
}

double PredictBestFocus(double lastBest, std::optional<double> lastTemperatureC, std::optional<double> coefficient,
                        std::optional<double> temperatureNowC) {
    if (!coefficient || !lastTemperatureC || !temperatureNowC) return lastBest;
    return lastBest + *coefficient * (*temperatureNowC - *lastTemperatureC);
}

ShapeFit FitShape(const LearnedShape& shape, std::span<const FitPoint> points) {
    ShapeFit fit;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    int used = 0;
    for (const FitPoint& p : points) {
        if (!(p.weight > 0.0) || !std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        lo = std::min(lo, p.x);
        hi = std::max(hi, p.x);
        ++used;
    }
    if (used < 2 || !(hi > lo) || shape.curves.empty()) return fit;
    // For a given centre the best level is the weighted mean residual, so
    // only the centre is searched: a grid first (a V's cost has kinks and
    // more than one dip), then a golden section inside the best cell.
    const auto solve = [&](double c, double* level) {
        double sw = 0.0, sr = 0.0;
        for (const FitPoint& p : points) {
            if (!(p.weight > 0.0) || !std::isfinite(p.x) || !std::isfinite(p.y)) continue;
            sw += p.weight;
            sr += p.weight * (p.y - shape.Figure(p.x - c));
        }
        const double l = sr / sw;
        double sse = 0.0;
        for (const FitPoint& p : points) {
            if (!(p.weight > 0.0) || !std::isfinite(p.x) || !std::isfinite(p.y)) continue;
            const double r = p.y - shape.Figure(p.x - c) - l;
            sse += p.weight * r * r;
        }
        if (level) *level = l;
        return sse / sw;
    };
    const double span = hi - lo;
    const double from = lo - span / 2.0;
    constexpr int kCells = 400;
    const double cell = 2.0 * span / kCells;
    double best = from;
    double bestCost = std::numeric_limits<double>::infinity();
    for (int i = 0; i <= kCells; ++i) {
        const double c = from + cell * i;
        const double cost = solve(c, nullptr);
        if (cost < bestCost) {
            bestCost = cost;
            best = c;
        }
    }
    double a = best - cell, b = best + cell;
    constexpr double kGolden = 0.61803398874989485;
    double x1 = b - kGolden * (b - a), x2 = a + kGolden * (b - a);
    double f1 = solve(x1, nullptr), f2 = solve(x2, nullptr);
    for (int i = 0; i < 60 && b - a > 1e-3; ++i) {
        if (f1 < f2) {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = b - kGolden * (b - a);
            f1 = solve(x1, nullptr);
        } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + kGolden * (b - a);
            f2 = solve(x2, nullptr);
        }
    }
    const double refined = (a + b) / 2.0;
    if (solve(refined, nullptr) < bestCost) best = refined;
    fit.centre = best;
    fit.rms = std::sqrt(solve(best, &fit.level));
    fit.ok = std::isfinite(fit.rms);
    // Linearised at the answer: the level takes the slopes' mean, the centre
    // only what varies about it.
    if (used > 2) {
        double sw = 0.0, sd = 0.0, sdd = 0.0;
        for (const FitPoint& p : points) {
            if (!(p.weight > 0.0) || !std::isfinite(p.x) || !std::isfinite(p.y)) continue;
            const double h = 0.5;
            const double slope = (shape.Figure(p.x - best + h) - shape.Figure(p.x - best - h)) / (2.0 * h);
            sw += p.weight;
            sd += p.weight * slope;
            sdd += p.weight * slope * slope;
        }
        const double spread = sdd - sd * sd / sw;
        // A few readings' own residuals may happen to lie close to the curve
        // (two degrees of freedom say little of the noise): the learned
        // fit's scatter, from many more readings on the same sky, is the
        // floor, for readings of as many frames as it had.
        const double variance = std::max(fit.rms * fit.rms * sw / (used - 2), shape.scatter * shape.scatter * sw / used);
        if (spread > 0.0) fit.centreSpread = std::sqrt(variance / spread);
    }
    return fit;
}

std::vector<std::int32_t> QuickReadingOffsets(const LearnedShape& shape, const QuickRefocusSettings& settings) {
    const int n = std::clamp(settings.readings, 3, 5);
    double inner[2], outer[2];  // below, above
    if (settings.step > 0) {
        for (int side = 0; side < 2; ++side) {
            inner[side] = settings.step;
            outer[side] = n == 3 ? settings.step : 2.0 * settings.step;
        }
    } else {
        const auto target = [&](double rise) {
            double t = shape.bottom * (1.0 + rise);
            // Below the cap's own share of the rise the readings would sit
            // in the bottom, where a curve says little about its centre.
            if (settings.maxFigure) t = std::min(t, std::max(*settings.maxFigure, shape.bottom * 1.2));
            return t;
        };
        const double innerTarget = target(n == 3 ? (settings.innerRise + settings.outerRise) / 2.0 : settings.innerRise);
        const double outerTarget = target(settings.outerRise);
        for (int side = 0; side < 2; ++side) {
            const double sign = side == 0 ? -1.0 : 1.0;
            inner[side] = RiseOffset(shape, innerTarget, sign, kMaxOffset);
            outer[side] = RiseOffset(shape, outerTarget, sign, kMaxOffset);
            if (n == 3) outer[side] = inner[side];
        }
    }
    std::vector<std::int32_t> offsets;
    for (int side = 0; side < 2; ++side) {
        const double sign = side == 0 ? -1.0 : 1.0;
        const auto in = static_cast<std::int32_t>(std::max(1.0, std::round(inner[side])));
        const auto out = std::max(in + 1, static_cast<std::int32_t>(std::round(outer[side])));
        if (n == 3) {
            offsets.push_back(static_cast<std::int32_t>(sign) * in);
        } else {
            offsets.push_back(static_cast<std::int32_t>(sign) * in);
            offsets.push_back(static_cast<std::int32_t>(sign) * out);
        }
    }
    if (n != 4) offsets.push_back(0);
    std::sort(offsets.begin(), offsets.end());
    if (settings.fallback.approach == ApproachSide::FromAbove) std::reverse(offsets.begin(), offsets.end());
    return offsets;
}

TQuickRefocusSearch::TQuickRefocusSearch(QuickRefocusSettings settings, FomKind kind, std::int32_t start)
    : settings_([&] {
          settings.fallback.overshoot = std::max(0, settings.fallback.overshoot);
          settings.readings = std::clamp(settings.readings, 3, 5);
          return std::move(settings);
      }()),
      kind_(kind),
      origin_(start),
      commanded_(start),
      position_(start) {
    if (const std::optional<LearnedShape>& shape = settings_.learned.shape) {
        predicted_ = Clamp(static_cast<std::int32_t>(std::lround(
            PredictBestFocus(shape->lastBest, shape->lastTemperatureC, settings_.coefficient, settings_.temperatureC))));
        std::vector<std::int32_t> offsets = QuickReadingOffsets(*shape, settings_);
        inner_ = std::numeric_limits<std::int32_t>::max();
        for (const std::int32_t o : offsets)
            if (o != 0) inner_ = std::min(inner_, std::abs(o));
        // Near a travel limit the pattern slides inward whole, so that it
        // still reads both flanks; only a pattern wider than the travel is cut.
        const auto [low, high] = std::minmax_element(offsets.begin(), offsets.end());
        std::int32_t shift = 0;
        if (const std::int32_t below = Clamp(predicted_ + *low) - (predicted_ + *low); below > 0) shift = below;
        if (const std::int32_t above = Clamp(predicted_ + *high) - (predicted_ + *high); above < 0) shift = above;
        for (const std::int32_t o : offsets) {
            const std::int32_t t = Clamp(predicted_ + o + shift);
            if (std::find(targets_.begin(), targets_.end(), t) == targets_.end()) targets_.push_back(t);
        }
    } else {
        predicted_ = start;
    }
}

TQuickRefocusSearch::~TQuickRefocusSearch() = default;

std::int32_t TQuickRefocusSearch::Clamp(std::int32_t target) const {
    const CurveFitSettings& s = settings_.fallback;
    if (s.travelMin) target = std::max(target, origin_ + *s.travelMin);
    if (s.travelMax) target = std::min(target, origin_ + *s.travelMax);
    return target;
}

void TQuickRefocusSearch::Plot(std::int32_t position, double fom) {
    const SearchPoint point{static_cast<int>(points_.size()) + 1, position, fom};
    points_.push_back(point);
    notes_.push_back({Note::Plot, {}, point});
}

std::vector<TQuickRefocusSearch::Note> TQuickRefocusSearch::TakeNotes() {
    if (fallback_) {
        // The full fit numbers its chart points from 1: they follow ours.
        for (Note& note : fallback_->TakeNotes()) {
            if (note.kind == Note::Plot) note.point.step += static_cast<int>(points_.size());
            notes_.push_back(std::move(note));
        }
    }
    std::vector<Note> taken;
    taken.swap(notes_);
    return taken;
}

TQuickRefocusSearch::Action TQuickRefocusSearch::MeasureAt(std::int32_t target) {
    queue_.push_back({Action::CheckCancel, 0, {}});
    const auto clamp = [this](std::int32_t p) { return Clamp(p); };
    for (const std::int32_t leg :
         ApproachLegs(approached_ ? std::optional(commanded_) : std::nullopt, target, settings_.fallback, clamp))
        queue_.push_back({Action::Move, leg, {}});
    approached_ = true;
    queue_.push_back({Action::Measure, target, {}});
    commanded_ = target;
    return Next();
}

TQuickRefocusSearch::Action TQuickRefocusSearch::Next() {
    if (!queue_.empty()) {
        Action a = queue_.front();
        queue_.pop_front();
        return a;
    }
    switch (phase_) {
        case Phase::Begin: {
            Status("");
            Log("");
            Log(kSearchRule);
            Status(kQuickStartText);
            const std::optional<LearnedShape>& shape = settings_.learned.shape;
            if (!shape) return FallBack(settings_.learned.why);
            const bool modelled = settings_.coefficient && shape->lastTemperatureC && settings_.temperatureC;
            if (modelled) {
                Log(FormatText(kQuickPredictFormat, predicted_, static_cast<int>(std::lround(shape->lastBest)),
                           *settings_.temperatureC - *shape->lastTemperatureC, *settings_.coefficient));
            } else {
                Log(FormatText(kQuickPredictNoCoefficientFormat, predicted_));
            }
            Log("");
            phase_ = Phase::Read;
            return MeasureAt(targets_.front());
        }
        case Phase::Read: {
            const CurveSample& last = samples_.back();
            if (!last.star) return FallBack(FormatText(kQuickNoStarFormat, last.position));
            if (samples_.size() < targets_.size()) return MeasureAt(targets_[samples_.size()]);
            return FitAndCheck();
        }
        case Phase::Check: return Judge();
        case Phase::Fallback: return FromFallback(fallback_->Next());
        case Phase::Ended: break;
    }
    return {Action::Finished, position_, {}};
}

TQuickRefocusSearch::Action TQuickRefocusSearch::FitAndCheck() {
    const LearnedShape& shape = *settings_.learned.shape;
    std::vector<FitPoint> points;
    for (const CurveSample& s : samples_) points.push_back({double(s.position), FitFigure(s.fom, kind_), double(s.frames)});
    fit_ = FitShape(shape, points);
    if (!fit_->ok) return FallBack(FormatText(kQuickBeyondFormat, predicted_));
    const auto centre = static_cast<std::int32_t>(std::lround(fit_->centre));
    const double bottom = shape.bottom;
    Log(FormatText(kQuickFitFormat, centre, centre - predicted_, 100.0 * fit_->level / bottom, 100.0 * fit_->rms / bottom));
    // Both flanks must have been read: with readings on one side only the
    // centre and the level trade off against each other along that flank.
    // Half the inner readings' distance, as planned: a pattern slid against
    // a travel limit does not get to count a reading just past the centre.
    const double margin = inner_ / 2.0;
    const bool below = std::any_of(samples_.begin(), samples_.end(), [&](const CurveSample& s) { return s.position <= fit_->centre - margin; });
    const bool above = std::any_of(samples_.begin(), samples_.end(), [&](const CurveSample& s) { return s.position >= fit_->centre + margin; });
    if (!below || !above || Clamp(centre) != centre) return FallBack(FormatText(kQuickBeyondFormat, centre));
    const double stray = fit_->rms / bottom;
    const double strayAllowed = Allowed(settings_.maxResidual);
    if (Exceeds(stray, strayAllowed))
        return FallBack(FormatText(kQuickStrayFormat, Percent(stray, strayAllowed).c_str(),
                                   Percent(strayAllowed, stray).c_str()));
    const double level = std::fabs(fit_->level) / bottom;
    const double levelAllowed = Allowed(settings_.maxLevelChange);
    if (Exceeds(level, levelAllowed))
        return FallBack(FormatText(kQuickLevelFormat, Percent(level, levelAllowed).c_str(),
                                   fit_->level > 0.0 ? "higher" : "lower", Percent(levelAllowed, level).c_str()));
    check_ = centre;
    phase_ = Phase::Check;
    return MeasureAt(centre);
}

double TQuickRefocusSearch::Allowed(double share) const {
    const LearnedShape& shape = *settings_.learned.shape;
    return std::max(share, settings_.scatterAllowance * shape.scatter / shape.bottom);
}

// The check frame sits at the bottom, where a change of seeing shows most:
// far out on a flank the blur of the defocus swamps it, so the flanks alone
// can read as the learned curve while the star at focus is larger. The
// learned fits' own check frames read the star there too: a curve fitted to
// the flanks may round the bottom lower than the star ever gets, so a check
// frame as far from the curve as theirs were is no change of seeing, and
// the margin counts from there.
TQuickRefocusSearch::Action TQuickRefocusSearch::Judge() {
    const LearnedShape& shape = *settings_.learned.shape;
    if (!ReadingHasStar(final_)) return FallBack(FormatText(kQuickCheckNoStarFormat, check_));
    const double expected = shape.Figure(check_ - fit_->centre);
    const double off = (FitFigure(final_.FOM, kind_) - expected) / shape.bottom;
    const double learned = (off > 0.0 ? 1.0 : -1.0) * shape.checkLevel / shape.bottom;
    const double allowed = Allowed(settings_.checkMargin) + std::max(0.0, learned);
    if (Exceeds(std::fabs(off), allowed))
        return FallBack(FormatText(kQuickCheckFormat, check_, Percent(std::fabs(off), allowed).c_str(),
                                   off > 0.0 ? "above" : "below", Percent(allowed, std::fabs(off)).c_str()));
    found_ = position_;
    Status(kSearchCompleteText);
    Log(FormatText(kFinalPositionFormat, position_));
    Log(FormatText(kFinalFocusFormat, final_.FOM));
    if (const std::optional<double> cfz = PredictionErrorCfz()) {
        Log(FormatText(kQuickDoneCfzFormat, position_, Frames(), *cfz));
    } else {
        Log(FormatText(kQuickDoneFormat, position_, Frames()));
    }
    notes_.push_back({Note::StatusPanel, kSearchCompletePanelText, {}});
    Log("");
    phase_ = Phase::Ended;
    queue_.push_back({Action::Finished, position_, {}});
    return Next();
}

TQuickRefocusSearch::Action TQuickRefocusSearch::FallBack(std::string why) {
    fallbackReason_ = why;
    Status(FormatText(kQuickFallbackFormat, why.c_str()));
    CurveFitSettings s = settings_.fallback;
    // The full fit starts where the focuser stands; its travel limits are
    // relative to its own start.
    const std::int32_t stand = position_;
    const std::int32_t moved = stand - origin_;
    if (s.travelMin) s.travelMin = *s.travelMin - moved;
    if (s.travelMax) s.travelMax = *s.travelMax - moved;
    fallback_ = std::make_unique<TCurveFitSearch>(s, kind_, stand);
    phase_ = Phase::Fallback;
    return FromFallback(fallback_->Next());
}

TQuickRefocusSearch::Action TQuickRefocusSearch::FromFallback(Action a) {
    if (a.kind == Action::Finished) {
        found_ = a.position;
        position_ = a.position;
        fallbackEnded_ = true;
        phase_ = Phase::Ended;
        return a;
    }
    if (a.kind != Action::Failed) return a;
    // The full fit went back to where it started; the refocus goes on to
    // where it started itself, so that a failure leaves the focuser as found.
    fallbackEnded_ = true;
    phase_ = Phase::Ended;
    const CurveFitSettings& s = settings_.fallback;
    for (const std::int32_t leg : BacklashMoves(a.position, origin_, s.overshoot, s.approach))
        queue_.push_back({Action::Move, leg == origin_ ? leg : Clamp(leg), {}});
    position_ = origin_;
    queue_.push_back({Action::Failed, origin_, std::move(a.message)});
    return Next();
}

namespace {
// A field with too few stars says so, with their count: the remedy differs.
std::string NoStarLine(const FocusReading& r, std::int32_t position) {
    if (r.status == StarStatus::TooFewStars) return FormatText(kCurveFitTooFewFormat, position, r.stars);
    return FormatText(kCurveFitNoStarFormat, position);
}
}  // namespace

void TQuickRefocusSearch::Report(const FocusReading& reading, std::int32_t position, int frames) {
    if (phase_ == Phase::Fallback) {
        fallback_->Report(reading, position, frames);
        return;
    }
    position_ = position;
    frames_ += std::max(1, frames);
    const bool star = ReadingHasStar(reading);
    if (phase_ == Phase::Check) {
        final_ = reading;
        if (star) {
            Status(FormatText(kCurveFitCheckFormat, reading.FOM, position) + StarsSuffix(reading));
            Plot(position, reading.FOM);
        } else {
            Status(NoStarLine(reading, position));
        }
        return;
    }
    samples_.push_back({position, reading.FOM, std::max(1, frames), star,
                        reading.status == StarStatus::NoStar && reading.tooLarge, reading.fomSpread, reading.field});
    if (star) {
        Status(FormatText(kQuickPointFormat, reading.FOM, position) + StarsSuffix(reading));
        Plot(position, reading.FOM);
    } else {
        Status(NoStarLine(reading, position));
    }
}

void TQuickRefocusSearch::ReportImage(std::optional<double> hfd, std::int32_t position) {
    if (fallback_) fallback_->ReportImage(hfd, position);
}

std::optional<double> TQuickRefocusSearch::PredictionErrorCfz() const {
    if (!found_) return std::nullopt;
    return ErrorInCfz(static_cast<double>(*found_ - predicted_), settings_.cfzSteps);
}

int TQuickRefocusSearch::Frames() const { return frames_ + (fallback_ ? fallback_->Frames() : 0); }

std::vector<SearchPoint> TQuickRefocusSearch::Points() const {
    std::vector<SearchPoint> all = points_;
    if (fallback_) {
        for (SearchPoint p : fallback_->Points()) {
            p.step += static_cast<int>(points_.size());
            all.push_back(p);
        }
    }
    return all;
}

std::vector<CurveSample> TQuickRefocusSearch::Samples() const {
    std::vector<CurveSample> all = samples_;
    if (fallback_) all.insert(all.end(), fallback_->Samples().begin(), fallback_->Samples().end());
    return all;
}

std::optional<FitSummary> TQuickRefocusSearch::Fit() const {
    if (fallback_) return fallback_->Fit();
    if (!fit_ || !fit_->ok || !settings_.learned.shape) return std::nullopt;
    // The newest learned curve moved to the fitted centre and level, to be
    // drawn over the readings.
    const LearnedShape& shape = *settings_.learned.shape;
    FitSummary s;
    s.model = shape.curves.front().model;
    s.parameters = shape.curves.front().parameters;
    s.parameters[2] = fit_->centre;
    if (s.model == FitModel::Hyperbola) {
        if (s.parameters.size() < 5) s.parameters = {s.parameters[0], s.parameters[1], s.parameters[2], 0.0, s.parameters[1]};
        s.parameters[3] += fit_->level;
    } else {
        s.parameters[0] += fit_->level;
    }
    s.kind = kind_;
    s.bestPosition = fit_->centre;
    s.predicted = FomFromFitFigure(FitValue(s.model, s.parameters, fit_->centre), kind_);
    if (phase_ == Phase::Ended || phase_ == Phase::Check) {
        if (samples_.size() == targets_.size() && final_.FOM > 0.0) {
            s.checkPosition = check_;
            s.checkFom = final_.FOM;
        }
    }
    return s;
}

const FocusReading& TQuickRefocusSearch::FinalReading() const {
    return fallback_ ? fallback_->FinalReading() : final_;
}

}  // namespace kv
