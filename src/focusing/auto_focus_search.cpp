#include "focusing/auto_focus_search.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include "camera/field_figure.h"

namespace kv {

namespace {

// The five measurement status lines: "Ra", "Rc", "Rb", "f1" or "f2" and then
// " FOM: %3.4f  Position: %d" (a field figure adds its star count; a field
// with too few stars shows that instead of a number).
std::string PointText(const char* name, const FocusReading& reading, std::int32_t position) {
    char buffer[96];
    if (reading.status == StarStatus::TooFewStars) {
        std::snprintf(buffer, sizeof buffer, " FOM: %s  Position: %d", StarStatusText(reading.status), position);
    } else {
        std::snprintf(buffer, sizeof buffer, " FOM: %3.4f  Position: %d", reading.FOM, position);
    }
    return name + std::string(buffer) + StarsSuffix(reading);
}

std::string NotInRangeFinalText(std::int32_t position) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, kNotInRangeFinalFormat, position);
    return buffer;
}

std::string FinalPositionText(std::int32_t position) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, kFinalPositionFormat, position);
    return buffer;
}

}  // namespace

int InitialStepForItem(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(kInitialSteps))) return kInitialSteps[kDefaultInitialStepItem];
    return kInitialSteps[index];
}

SearchChartAxes SearchAxesFor(int initialStep, FomKind kind) {
    SearchChartAxes axes;
    axes.position = {-static_cast<double>(initialStep), static_cast<double>(initialStep)};
    // Larger steps take more measurements before the bracket is narrow enough.
    axes.bottomMax = initialStep <= 100 ? 10.0 : initialStep < 200 ? 15.0 : 20.0;
    axes.quality = FomAxisFor(static_cast<int>(kind));
    return axes;
}

TAutoFocusSearch::TAutoFocusSearch(int initialStep, FomKind kind, std::int32_t start)
    : step_(initialStep), sign_(LargerIsBetter(kind) ? -1.0 : 1.0), start_(start), position_(start) {}

std::int32_t TAutoFocusSearch::Target(double relative) const {
    return start_ + static_cast<std::int32_t>(std::lround(relative));
}

void TAutoFocusSearch::Plot(std::int32_t position, double fom) {
    const SearchPoint point{static_cast<int>(points_.size()) + 1, position, fom};
    points_.push_back(point);
    notes_.push_back({Note::Plot, {}, point});
}

TAutoFocusSearch::Action TAutoFocusSearch::MeasureAt(double relative, Slot slot, Phase then) {
    pending_ = slot;
    phase_ = then;
    return {Action::Measure, Target(relative), {}};
}

std::vector<TAutoFocusSearch::Note> TAutoFocusSearch::TakeNotes() {
    std::vector<Note> taken;
    taken.swap(notes_);
    return taken;
}

TAutoFocusSearch::Action TAutoFocusSearch::Next() {
    const double s = step_;
    switch (phase_) {
        case Phase::Begin:
            Status("");
            Log("");
            Log(kSearchRule);
            Status(kAssuringText);
            Log("");
            phase_ = Phase::MeasureA;
            return {Action::CheckCancel, 0, {}};
        case Phase::MeasureA:
            return MeasureAt(-s, Slot::A, Phase::CancelA);
        case Phase::CancelA:
            phase_ = Phase::MeasureC;
            return {Action::CheckCancel, 0, {}};
        case Phase::MeasureC:
            return MeasureAt(s, Slot::C, Phase::CancelC);
        case Phase::CancelC:
            phase_ = Phase::MeasureB;
            return {Action::CheckCancel, 0, {}};
        case Phase::MeasureB:
            return MeasureAt(0.0, Slot::B, Phase::CancelB);
        case Phase::CancelB:
            phase_ = Phase::CheckRange;
            return {Action::CheckCancel, 0, {}};
        case Phase::CheckRange: {
            if (!(fb_ < fa_ && fb_ < fc_)) {
                Status(kNotInRangeStatus);
                Log(NotInRangeFinalText(position_));
                Log("");
                phase_ = Phase::NotInRange;
                return Next();
            }
            Log("");
            Status(kInRangeText);
            Log("");
            x0_ = -s;
            x3_ = s;
            const double b = kGoldenComplement * s;
            if (std::fabs(x0_ - b) > std::fabs(b - x3_)) {
                x1_ = b;
                x2_ = b + kGoldenComplement * (x0_ - b);
            } else {
                x2_ = b;
                x1_ = b - kGoldenComplement * (b - x3_);
            }
            last_ = 0.0;
            return MeasureAt(x1_, Slot::F1, Phase::CancelX1);
        }
        case Phase::CancelX1:
            phase_ = Phase::MeasureX2;
            return {Action::CheckCancel, 0, {}};
        case Phase::MeasureX2:
            return MeasureAt(x2_, Slot::F2, Phase::Narrow);
        case Phase::Narrow:
            // The positions are relative to the start, so the bracket is
            // narrowed to a fraction of the interior points' distance from it.
            if (std::fabs(x0_ - x3_) > kSearchTolerance * (std::fabs(x1_) + std::fabs(x2_))) {
                ++narrowing_;
                if (f2_ < f1_) {
                    x3_ = x1_;
                    x1_ = x2_;
                    x2_ = kGoldenRatio * x1_ + kGoldenComplement * x0_;
                    f1_ = f2_;
                    pending_ = Slot::F2;
                    last_ = x2_;
                } else {
                    x0_ = x2_;
                    x2_ = x1_;
                    x1_ = kGoldenRatio * x2_ + kGoldenComplement * x3_;
                    f2_ = f1_;
                    pending_ = Slot::F1;
                    last_ = x1_;
                }
                phase_ = Phase::MeasureNarrowed;
                return {Action::CheckCancel, 0, {}};
            } else {
                const bool firstBetter = f1_ < f2_;
                const double best = firstBetter ? x1_ : x2_;
                const double other = firstBetter ? x2_ : x1_;
                phase_ = Phase::Complete;
                if (last_ == other) return {Action::Move, Target(best), {}};
                return Next();
            }
        case Phase::MeasureNarrowed:
            return MeasureAt(last_, pending_, Phase::Narrow);
        case Phase::Complete:
            Status(kSearchCompleteText);
            Log("");
            Status(kGettingFinalText);
            Log("");
            phase_ = Phase::MeasureFinal;
            return {Action::CheckCancel, 0, {}};
        case Phase::MeasureFinal:
            // Where the focuser stands, which the driver told with the last
            // report (the move back is not reported).
            pending_ = Slot::Final;
            phase_ = Phase::Done;
            return {Action::Measure, position_, {}, true};
        case Phase::NotInRange:
            return {Action::Failed, position_, kNotInRangeText};
        case Phase::Done:
            break;
    }
    return {Action::Finished, position_, {}};
}

void TAutoFocusSearch::Report(const FocusReading& reading, std::int32_t position) {
    position_ = position;
    const double value = reading.FOM * sign_;
    const char* name = nullptr;
    switch (pending_) {
        case Slot::A: fa_ = value; name = "Ra"; break;
        case Slot::C: fc_ = value; name = "Rc"; break;
        case Slot::B: fb_ = value; name = "Rb"; break;
        case Slot::F1: f1_ = value; name = "f1"; break;
        case Slot::F2: f2_ = value; name = "f2"; break;
        case Slot::Final:
            final_ = reading;
            Log(FinalPositionText(position));
            if (reading.status == StarStatus::TooFewStars) {
                Log(std::string("Final Focus = ") + StarStatusText(reading.status));
            } else {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, kFinalFocusFormat, reading.FOM);
                Log(buffer + StarsSuffix(reading));
            }
            notes_.push_back({Note::StatusPanel, kSearchCompletePanelText, {}});
            if (reading.status != StarStatus::TooFewStars) Plot(position, reading.FOM);
            Log("");
            return;
    }
    Status(PointText(name, reading, position));
    // The search still steps on the selected star's own figure, which such a
    // reading carries, but a chart or the refinement fit must not take it
    // for a field figure.
    if (reading.status != StarStatus::TooFewStars) Plot(position, reading.FOM);
}

}  // namespace kv
