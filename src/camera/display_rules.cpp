#include "camera/display_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <utility>

namespace kv {
namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char buffer[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return {};
    return std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

// Rounds to nearest, ties to even, like every other rounding of the window.
int RoundToInt(double v) {
    const double r = std::nearbyint(v);
    if (!(r >= double{INT32_MIN})) return INT32_MIN;
    if (r > double{INT32_MAX}) return INT32_MAX;
    return static_cast<int>(r);
}

int AtLeastOne(int binning) { return binning < 1 ? 1 : binning; }

constexpr const char* kFomNames[] = {"FWHM", "xFWHM", "yFWHM", "Peak", "HFD"};

}  // namespace

Margins UsableMargins(int horizFocusFrame, int vertFocusFrame, int xBinning, int yBinning) {
    return {horizFocusFrame / (2 * AtLeastOne(xBinning)), vertFocusFrame / (2 * AtLeastOne(yBinning))};
}

bool IsUsablePoint(int x, int y, int width, int height, Margins m) {
    return m.mx < x && x < width - m.mx && m.my < y && y < height - m.my;
}

bool NearImageEdge(int x, int y, int width, int height) {
    return !(20 < x && x < width - 20 && 21 <= y && y < height - 20);
}

PixelRect FocusRoiRect(int horizFocusFrame, int vertFocusFrame, int roiSize) {
    return {(horizFocusFrame - roiSize) / 2, (vertFocusFrame - roiSize) / 2,
            (horizFocusFrame + roiSize) / 2, (vertFocusFrame + roiSize) / 2};
}

PixelRect ImageRoiRect(int focusX, int focusY, int roiSize, int xBinning, int yBinning) {
    const int hx = roiSize / (2 * AtLeastOne(xBinning));
    const int hy = roiSize / (2 * AtLeastOne(yBinning));
    return {focusX - hx, focusY - hy, focusX + hx, focusY + hy};
}

bool FocusRoiShown(double magnification) { return magnification <= 1.0; }

LineSizeFilter::LineSizeFilter(int lineSize, int initialPosition)
    : lineSize_(lineSize), last_(initialPosition) {}

bool LineSizeFilter::Accept(int position) {
    if (std::abs(static_cast<long long>(position) - last_) < lineSize_) return false;
    last_ = position;
    return true;
}

void LineSizeFilter::Reset(int position) { last_ = position; }

int LineSizeFilter::Last() const { return last_; }

double GainFromSlider(int position) { return position >= 4 ? position / 10.0 : 0.3; }

int DownloadTimerInterval(int downloadTimeMs, int exposureMs) {
    const double total = static_cast<double>(downloadTimeMs) + exposureMs;
    return std::max(1, RoundToInt(total / 10.0));
}

int DownloadProgress(int elapsedMs, int downloadTimeMs, int exposureMs) {
    const double total = static_cast<double>(downloadTimeMs) + exposureMs;
    if (total <= 0.0) return 100;
    return std::clamp(RoundToInt(elapsedMs * 100.0 / total), 0, 100);
}

int CenteredOffset(int panelSize, int boxSize) {
    return panelSize < boxSize - 4 ? (boxSize - panelSize) / 2 : 1;
}

int FocusPanelLeft(int clientWidth, int panelWidth) { return (clientWidth - panelWidth) / 2 - 1; }

ExposureSliderSetup ExposureSliderFor(double defaultSeconds) {
    return {RoundToInt(defaultSeconds * 1000.0), RoundToInt(defaultSeconds * 500.0),
            RoundToInt(defaultSeconds * 50.0)};
}

std::string PositionText(std::int32_t count) { return Format("%.4d", count); }

std::string ImageStatsText(int min, int max, double avg) {
    return Format(" Image: Min= %d  Max= %d  Avg= %d", min, max, RoundToInt(avg));
}

std::string StretchText(int black, int white) {
    return Format(" Stretch: Black= %d  White= %d", black, white);
}

std::string PointerText(int x, int y, int value, bool tooClose) {
    if (tooClose) return Format(" X: %.3d  Y: %.3d  Value: %.5d  (Too close)", x, y, value);
    return Format(" X: %.3d   Y: %.3d   Value: %.5d", x, y, value);
}

std::string SelectedText(int x, int y, int value) {
    return Format(" Selected:  X: %.3d   Y: %.3d   Value: %.5d", x, y, value);
}

std::string FocusStarText(int x, int y) { return Format(" Focus Star - X: %d  Y: %d", x, y); }

std::string MagnifiedText() { return " Magnified... Value of pixels is unavailable"; }

std::string ExposeTimeText(int positionMs) { return Format("Expose Time = %2.2f s", positionMs / 1000.0); }

std::string ExposureScaleText(double seconds) { return Format("%2.1f", seconds); }

std::string FocusGainText(double gain) { return Format("Focus Gain = %3.1f", gain); }

std::string MagnificationText(int m) { return Format("Magnification = %dx", m); }

std::string FWHMFactorText(int f) { return Format("FWHM Factor = %dx", f); }

std::string GammaText(double gamma) { return Format("Gamma = %1.1f", gamma); }

std::vector<std::string> CameraDataLines(const CameraInfo& info) {
    using std::to_string;
    return {
        "CameraType: " + info.CameraType,
        "Manufacturer: " + info.Manufacturer,
        "Image Bits: " + to_string(info.ImageBits),
        "Focus Bits: " + to_string(info.FocusBits),
        "HorizRes: " + to_string(info.HorizRes),
        "VertRes: " + to_string(info.VertRes),
        "HorizFocusFrame: " + to_string(info.HorizFocusFrame),
        "VertFocusFrame: " + to_string(info.VertFocusFrame),
        Format("HorizPixel: %3.1f", info.HorizPixel),
        Format("VertPixel: %3.1f", info.VertPixel),
        "FocusOffsetY: " + to_string(info.FocusOffsetY),
        "FocusOffsetX: " + to_string(info.FocusOffsetX),
        "DLLFileName: " + info.DLLFileName,
        "DLLVersion: " + info.DLLVersion,
        "Interface Type: " + to_string(info.InterfaceType),
        "Location00: " + to_string(info.Location00),
        "Orientation: " + to_string(info.Orientation),
        Format("FWHM Factor: %3.1f", info.FWHMFactor),
        Format("X  Binning: %d", info.XBinning),
        Format("Y  Binning: %d", info.YBinning),
        Format("Focus  Binning: %d", info.FocusBinning),
    };
}

bool IsSbigManufacturer(const std::string& manufacturer) {
    return manufacturer.find("Santa") != std::string::npos;
}

const char* FomName(int kind) {
    if (kind < 0 || kind >= static_cast<int>(std::size(kFomNames))) return "";
    return kFomNames[kind];
}

FomAxis FomAxisFor(int kind) {
    std::string title = std::string("Figure of Merit  ( ") + FomName(kind) + " )";
    if (kind == kFomPeak) return {std::move(title), 0.0, 64000.0, 40, "###0."};
    return {std::move(title), 1.0, 8.0, 20, "###0.0"};
}

std::pair<double, double> WidenToShow(double min, double max, double value) {
    if (!std::isfinite(value) || (value >= min && value <= max)) return {min, max};
    const double span = std::max(max, value) - std::min(min, value);
    const double unit = std::pow(10.0, std::floor(std::log10(span))) / 2.0;
    if (value > max) return {min, std::ceil(value / unit) * unit};
    return {std::floor(value / unit) * unit, max};
}

}  // namespace kv
