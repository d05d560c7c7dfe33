#include "camera/field_figure.h"

#include <algorithm>
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

}  // namespace

FieldFigures FieldMedian(const StarField& field, double minSnr) {
    std::vector<double> hfd;
    std::vector<double> fwhm;
    for (const FoundStar& s : field.stars) {
        if (s.saturated || s.nearEdge || s.crowded || !(s.snr >= minSnr)) continue;
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
