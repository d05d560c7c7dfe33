#include "camera/field_figure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace kv {

namespace {

double Median(std::vector<double>& values) {
    if (values.empty()) return 0.0;
    const std::size_t mid = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
    const double upper = values[mid];
    if (values.size() % 2 != 0) return upper;
    const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
    return (lower + upper) / 2.0;
}

bool TakenForField(const FoundStar& s, double minSnr) {
    return !s.saturated && !s.nearEdge && !s.crowded && s.snr >= minSnr;
}

}  // namespace

FieldFigures FieldMedian(const StarField& field, double minSnr) {
    std::vector<double> hfd;
    std::vector<double> fwhm;
    for (const FoundStar& s : field.stars) {
        if (!TakenForField(s, minSnr)) continue;
        hfd.push_back(s.hfd);
        fwhm.push_back(s.fwhm);
    }
    FieldFigures result;
    result.stars = static_cast<int>(hfd.size());
    result.hfd = Median(hfd);
    result.fwhm = Median(fwhm);
    return result;
}

FieldFigures MeasureField(int width, int height, const std::uint16_t* pixels, int focusFrame) {
    if (pixels == nullptr || width <= 0 || height <= 0) return {};
    StarFinderSettings settings;
    settings.focusFrame = focusFrame;
    return FieldMedian(FindStars(width, height, pixels, settings));
}

std::optional<FieldFigures> MeasureField(int width, int height, const std::uint16_t* pixels, int focusFrame,
                                         const std::function<bool()>& stop) {
    if (pixels == nullptr || width <= 0 || height <= 0) return FieldFigures{};
    StarFinderSettings settings;
    settings.focusFrame = focusFrame;
    const std::optional<StarField> field = FindStars(width, height, pixels, settings, stop);
    if (!field) return std::nullopt;
    return FieldMedian(*field);
}

std::optional<WholeField> MeasureWholeField(int width, int height, const std::uint16_t* pixels,
                                            const WholeFieldOptions& options, const std::function<bool()>& stop) {
    WholeField result;
    result.stars.width = width;
    result.stars.height = height;
    if (pixels == nullptr || width <= 0 || height <= 0) return result;
    const double fraction = std::isfinite(options.fraction) ? std::clamp(options.fraction, 0.05, 1.0) : 1.0;
    const int w = std::max(1, static_cast<int>(std::lround(width * fraction)));
    const int h = std::max(1, static_cast<int>(std::lround(height * fraction)));
    const int left = (width - w) / 2;
    const int top = (height - h) / 2;
    // The middle is copied out: the finder reads one contiguous frame.
    std::vector<std::uint16_t> middle;
    const std::uint16_t* area = pixels;
    if (w != width || h != height) {
        middle.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        for (int y = 0; y < h; ++y)
            std::copy_n(pixels + static_cast<std::size_t>(top + y) * static_cast<std::size_t>(width) + left, w,
                        middle.begin() + static_cast<std::ptrdiff_t>(y) * w);
        area = middle.data();
    }
    StarFinderSettings settings;
    settings.focusFrame = options.focusFrame;
    std::optional<StarField> found;
    if (stop) {
        found = FindStars(w, h, area, settings, stop);
        if (!found) return std::nullopt;
    } else {
        found = FindStars(w, h, area, settings);
    }
    result.figures = FieldMedian(*found);
    for (const FoundStar& s : found->stars) {
        if (!TakenForField(s, kMinFieldSnr)) continue;
        result.stars.stars.push_back({s.x + left, s.y + top, s.hfd, s.fwhm, s.flux});
    }
    return result;
}

void ApplyWholeField(const WholeField& field, const FocusSettings& settings, FocusReading& reading) {
    reading.stars = field.figures.stars;
    reading.field = std::make_shared<const FieldStars>(field.stars);
    if (field.figures.stars < kMinWholeFieldStars) {
        reading.status = StarStatus::TooFewStars;
        reading.tooLarge = false;
        return;
    }
    const double binning = settings.FocusBinning > 0 ? settings.FocusBinning : 1;
    reading.HFD = field.figures.hfd / binning;
    reading.FWHM = field.figures.fwhm * settings.FWHMFactorSetting / binning;
    reading.status = StarStatus::Ok;
    reading.tooLarge = false;
    GetFigureOfMerit(reading, WholeFieldKind(settings.FOMKind));
}

void ApplyFieldFigures(const FieldFigures& field, const FocusSettings& settings, FocusReading& reading) {
    reading.stars = 1;
    if (!FieldKind(settings.FOMKind)) return;
    reading.stars = field.stars;
    if (field.stars < kMinFieldStars) {
        reading.status = StarStatus::TooFewStars;
        return;
    }
    // The same units as the selected star's figures, so a switch between the
    // two does not move the curve.
    const double binning = settings.FocusBinning > 0 ? settings.FocusBinning : 1;
    reading.HFD = field.hfd / binning;
    reading.FWHM = field.fwhm * settings.FWHMFactorSetting / binning;
    reading.status = StarStatus::Ok;
    GetFigureOfMerit(reading, settings.FOMKind);
}

std::string StarsSuffix(const FocusReading& reading) {
    if (reading.stars <= 1) return {};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "  Stars: %d", reading.stars);
    return buffer;
}

}  // namespace kv
