#include "focusing/measure_focus.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "camera/camera_control.h"
#include "camera/image_object.h"
#include "camera/star_finder.h"
#include "focuser/focus_control.h"
#include "focuser/indi_focus_control.h"
#include "focuser/position_focus_control.h"

namespace kv {

bool TFocuserCameraDevices::FocuserIdle() { return focuser_.GetIdle(); }
std::int32_t TFocuserCameraDevices::Position() { return focuser_.CTSCount(); }
void TFocuserCameraDevices::ResetPosition() { focuser_.ResetPosition(); }
TFocuserCameraDevices::TFocuserCameraDevices(TFocusControl& focuser, TCameraControl& camera)
    : focuser_(focuser), camera_(camera), halts_(focuser.HaltCount()) {}
// Every move takes exactly one ticket, so the one after the last seen is this move's.
void TFocuserCameraDevices::MoveBy(std::int32_t steps) {
    ticket_ = focuser_.MoveTicket() + 1;
    focuser_.MoveBy(steps);
}
void TFocuserCameraDevices::MoveTo(std::int32_t position) {
    ticket_ = focuser_.MoveTicket() + 1;
    focuser_.MoveTo(position);
}
bool TFocuserCameraDevices::MoveHalted() {
    return focuser_.HaltCount() != halts_ || (ticket_ != 0 && focuser_.MoveTicket() != ticket_);
}
FomKind TFocuserCameraDevices::Kind() { return camera_.MeasureKind(); }

std::optional<std::int32_t> AbsolutePositionOf(const TFocusControl* focuser) {
    if (const auto* own = dynamic_cast<const TPositionFocusControl*>(focuser)) return own->CurrentCount();
    if (const auto* indi = dynamic_cast<const TIndiFocusControl*>(focuser)) return indi->AbsolutePosition();
    return std::nullopt;
}

int CountSenseOf(const TFocusControl* focuser) {
    // A device server's counter follows its absolute position.
    if (const auto* own = dynamic_cast<const TPositionFocusControl*>(focuser)) return own->CountSense();
    return 1;
}

std::optional<double> KeptTemperatureOf(const TFocusControl* focuser) {
    if (const auto* indi = dynamic_cast<const TIndiFocusControl*>(focuser)) return indi->Temperature();
    if (focuser == nullptr || !focuser->JMIFlag() || !focuser->TCAvgRead()) return std::nullopt;
    return focuser->TCAvg();
}

std::optional<std::int32_t> TFocuserCameraDevices::AbsolutePosition() { return AbsolutePositionOf(&focuser_); }
int TFocuserCameraDevices::CountSense() { return CountSenseOf(&focuser_); }

std::optional<double> TFocuserCameraDevices::Temperature() {
    if (const auto* indi = dynamic_cast<const TIndiFocusControl*>(&focuser_)) return indi->Temperature();
    double reading = kNoTemperature;
    if (focuser_.JMIFlag() && focuser_.TCAvail()) {
        // The unit is asked only once it has answered: an absent one would
        // hold the procedure's end for the query's time-outs.
        reading = focuser_.GetTemperature();
    }
    if (!(reading > kTemperatureFloor)) return std::nullopt;
    return reading;
}

FocusReading TFocuserCameraDevices::TakeFocusFrame() {
    // A frame that did not arrive in time is logged by the controller; the
    // sample is then whatever reading it holds.
    camera_.GetFocusFrame();
    if (recorder_) {
        if (TImageObject* image = camera_.FocusImage()) {
            recorder_->Record(*image, FrameHeader(camera_, true), focuser_.CTSCount());
        }
    }
    return camera_.Reading();
}

bool TFocuserCameraDevices::CanMeasureImage() { return camera_.Initialized(); }

int TFocuserCameraDevices::FocusFrameSide() {
    TImageObject* frame = camera_.FocusImage();
    return frame != nullptr ? std::min(frame->Width(), frame->Height()) : 0;
}

// Far from focus the star's blur is large and faint per pixel: it is read
// at a scale where it is compact (coarse_measure.h). It is followed by where
// it stood, from the focus frame's place on, so that another star or a blob
// of noise is not taken for it.
std::optional<double> TFocuserCameraDevices::MeasureImageHfd() {
    if (!camera_.GetMainImage()) return std::nullopt;
    TImageObject* image = camera_.MainImage();
    if (image == nullptr) return std::nullopt;
    const FrameCopy frame = CopyFrame(*image);
    const double side = std::max(8, FocusFrameSide());
    // On the whole field too: the coarse phase walks by the selected star,
    // whose blur the whole image shows at any size, where a crowded field's
    // median would read the blends of its neighbours.
    const CoarseFollow follow = followed_ ? CoarseFollow{followed_->x, followed_->y, std::max(side, followed_->hfd)}
                                          : CoarseFollow{double(camera_.FocusX()), double(camera_.FocusY()), side};
    const std::optional<CoarseStar> star = MeasureCoarseStar(frame.width, frame.height, frame.pixels.data(), follow);
    if (!star) return std::nullopt;
    followed_ = star;
    return star->hfd;
}

FocusReading SmoothedAverage(std::span<const FocusReading> samples, bool smooth, FomKind kind) {
    FocusReading result;
    const std::size_t n = samples.size();
    if (n == 0) {
        GetFigureOfMerit(result, kind);
        return result;
    }
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t lowest = kNone;
    std::size_t highest = kNone;
    if (smooth && n >= 4) {
        double minimum = kSmoothMinStart;
        double maximum = kSmoothMaxStart;
        for (std::size_t i = 0; i < n; ++i) {
            if (samples[i].FOM < minimum) {
                minimum = samples[i].FOM;
                lowest = i;
            }
            if (samples[i].FOM > maximum) {
                maximum = samples[i].FOM;
                highest = i;
            }
        }
    }
    std::int64_t peak = 0;
    std::int64_t peakX = 0;
    std::int64_t peakY = 0;
    std::int64_t stars = 0;
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == lowest || i == highest) continue;
        const FocusReading& s = samples[i];
        peak += s.Peak;
        peakX += s.PeakX;
        peakY += s.PeakY;
        stars += s.stars;
        result.xFWHM += s.xFWHM;
        result.yFWHM += s.yFWHM;
        result.FWHM += s.FWHM;
        result.HFD += s.HFD;
        ++count;
    }
    const auto d = static_cast<double>(count);
    // Integer division truncates toward zero, as the whole-number fields must.
    result.Peak = static_cast<std::int32_t>(peak / count);
    result.PeakX = static_cast<std::int32_t>(peakX / count);
    result.PeakY = static_cast<std::int32_t>(peakY / count);
    result.stars = static_cast<int>((stars + count / 2) / count);
    result.xFWHM /= d;
    result.yFWHM /= d;
    result.FWHM /= d;
    result.HFD /= d;
    GetFigureOfMerit(result, kind);
    // The stars of every frame kept: each frame is another look at them.
    auto merged = std::make_shared<FieldStars>();
    for (std::size_t i = 0; i < n; ++i) {
        if (i == lowest || i == highest || !samples[i].field) continue;
        const FieldStars& f = *samples[i].field;
        merged->width = f.width, merged->height = f.height;
        merged->stars.insert(merged->stars.end(), f.stars.begin(), f.stars.end());
        result.field = merged;
    }
    // The spread is of every frame, the smoothing's extremes included: it
    // stands for how far one frame may fall from the truth.
    if (n >= 2) {
        double mean = 0.0;
        for (const FocusReading& s : samples) mean += s.FOM;
        mean /= static_cast<double>(n);
        double squares = 0.0;
        for (const FocusReading& s : samples) squares += (s.FOM - mean) * (s.FOM - mean);
        result.fomSpread = std::sqrt(squares / static_cast<double>(n - 1));
    }
    return result;
}

std::optional<FocusReading> MeasureFocus(IFocusDevices& devices, IMeasureView& view, int samples, bool smooth,
                                         FomKind kind, const std::atomic<bool>& cancel, IClock& clock,
                                         const StopFn& stop) {
    const auto ended = [&] { return cancel.load() || (stop && stop()); };
    // A focuser that never reports idle would otherwise hold the worker for
    // good: a cancel must still end the wait.
    while (!devices.FocuserIdle()) {
        if (ended() || !SleepFor(clock, kIdlePollMs, ended)) {
            view.SampleProgress(0, samples);
            return std::nullopt;
        }
    }
    const int n = samples < 1 ? 1 : samples;
    view.SampleProgress(0, n);
    std::vector<FocusReading> taken;
    taken.reserve(static_cast<std::size_t>(n));
    for (int i = 1; i <= n; ++i) {
        taken.push_back(devices.TakeFocusFrame());
        view.SampleTaken(taken.back());
        view.SampleProgress(i, n);
        if (ended()) {
            view.SampleProgress(0, n);
            return std::nullopt;
        }
    }
    // A frame without a star (or a field with too few) has figures that mean
    // nothing: when most frames are such the reading is too, by the more
    // common of the two; otherwise the few are left out of the average.
    std::vector<FocusReading> withStar;
    std::size_t tooFew = 0;
    std::size_t tooLarge = 0;
    for (const FocusReading& r : taken) {
        switch (r.status) {
            case StarStatus::Ok: withStar.push_back(r); break;
            case StarStatus::TooFewStars: ++tooFew; break;
            case StarStatus::NoStar: tooLarge += r.tooLarge ? 1 : 0; break;
        }
    }
    FocusReading result;
    if (2 * withStar.size() < taken.size()) {
        result = SmoothedAverage(taken, smooth, kind);
        const std::size_t noStar = taken.size() - withStar.size() - tooFew;
        result.status = tooFew > noStar ? StarStatus::TooFewStars : StarStatus::NoStar;
        // A star at the edge of being too large fails the extent in some
        // frames and sinks into the noise in others: half is enough.
        result.tooLarge = result.status == StarStatus::NoStar && 2 * tooLarge >= noStar;
    } else {
        result = SmoothedAverage(withStar.size() == taken.size() ? taken : withStar, smooth, kind);
    }
    view.SampleProgress(0, n);
    return result;
}

}  // namespace kv
