// The decisions of the image side of the main window as plain functions:
// where a star may be picked, where the ROI is drawn, how sliders map to
// values, how panels are placed, and the exact status and label texts.
// The desktop only shows what these return.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "camera/plugin_host.h"

namespace kv {

// How far from each edge of the main image a focus frame centre must stay.
struct Margins { int mx; int my; };
// HorizFocusFrame / (2 * XBinning), VertFocusFrame / (2 * YBinning), integer
// division. A binning below 1 counts as 1 (a plug-in reporting 0 must not crash the window).
Margins UsableMargins(int horizFocusFrame, int vertFocusFrame, int xBinning, int yBinning);
// mx < x < width - mx and my < y < height - my: a focus frame centred there fits.
bool IsUsablePoint(int x, int y, int width, int height, Margins m);
// Within 20 pixels of an edge: not (20 < x < width - 20 and 21 <= y < height - 20).
// The pointer text gives way to the stretch text there.
bool NearImageEdge(int x, int y, int width, int height);

struct PixelRect { int left, top, right, bottom; };
// The ROI on the focus display, centred in the focus frame.
PixelRect FocusRoiRect(int horizFocusFrame, int vertFocusFrame, int roiSize);
// The ROI on the main image around the selected star, in binned main-image
// pixels. A binning below 1 counts as 1. Divisions truncate toward zero.
PixelRect ImageRoiRect(int focusX, int focusY, int roiSize, int xBinning, int yBinning);
// The focus-display ROI only matches the picture at magnification 1 or less.
bool FocusRoiShown(double magnification);

// The line-size filter of the stretch level sliders: a change smaller than the
// line size since the last applied position is ignored, so dragging does not
// re-stretch the image on every pixel of travel.
class LineSizeFilter {
public:
    LineSizeFilter(int lineSize, int initialPosition);
    // True (and remembers `position`) when |position - Last()| >= line size.
    bool Accept(int position);
    // A position set by the program (parameter update), taken without filtering.
    void Reset(int position);
    int Last() const;

private:
    int lineSize_;
    int last_;
};

// The stretch level sliders' line size, and the items of both stretch choices.
inline constexpr int kStretchLevelLineSize = 100;
enum StretchChoice { StretchNone = 0, StretchManual = 1, StretchAuto = 2 };

// FocusGain slider (tenths): position / 10 for 4 and up, 0.3 below.
double GainFromSlider(int position);

// Download progress timer: interval round((downloadTime + exposureMs) / 10) ms,
// at least 1; progress round(elapsed * 100 / (downloadTime + exposureMs)),
// kept within 0..100; a total of 0 or less gives 100.
int DownloadTimerInterval(int downloadTimeMs, int exposureMs);
int DownloadProgress(int elapsedMs, int downloadTimeMs, int exposureMs);

// Placement of a panel in a box along one axis: (box - panel) / 2 (toward zero)
// when panel < box - 4, else 1.
int CenteredOffset(int panelSize, int boxSize);
// FocusDisplayPanel left edge: (clientWidth - panelWidth) / 2 - 1.
int FocusPanelLeft(int clientWidth, int panelWidth);

// Exposure slider from ExposureTimeDefault seconds: max = round(s*1000),
// position = round(s*500), tick = round(s*50).
struct ExposureSliderSetup { int maximum; int position; int tick; };
ExposureSliderSetup ExposureSliderFor(double defaultSeconds);

// Texts, exactly as the window shows them.
std::string PositionText(std::int32_t count);                     // "%.4d": 7 "0007", -12 "-0012"
std::string ImageStatsText(int min, int max, double avg);         // " Image: Min= %d  Max= %d  Avg= %d"
std::string StretchText(int black, int white);                    // " Stretch: Black= %d  White= %d"
// Usable: " X: %.3d   Y: %.3d   Value: %.5d";
// too close: " X: %.3d  Y: %.3d  Value: %.5d  (Too close)".
std::string PointerText(int x, int y, int value, bool tooClose);
std::string SelectedText(int x, int y, int value);                // " Selected:  X: %.3d   Y: %.3d   Value: %.5d"
std::string FocusStarText(int x, int y);                          // " Focus Star - X: %d  Y: %d"
std::string MagnifiedText();                                      // " Magnified... Value of pixels is unavailable"
std::string ExposeTimeText(int positionMs);                       // "Expose Time = %2.2f s"
std::string ExposureScaleText(double seconds);                    // "%2.1f", the slider's scale labels
std::string FocusGainText(double gain);                           // "Focus Gain = %3.1f"
std::string MagnificationText(int m);                             // "Magnification = %dx"
std::string FWHMFactorText(int f);                                // "FWHM Factor = %dx"
std::string GammaText(double gamma);                              // "Gamma = %1.1f"

// The CameraDataMemo lines of the parameter update, in order.
std::vector<std::string> CameraDataLines(const CameraInfo& info);
// IsSBIG: the manufacturer text contains "Santa".
bool IsSbigManufacturer(const std::string& manufacturer);

// Figure-of-merit kinds, the FOMKind index.
inline constexpr int kFomPeak = 3;
// Names by kind 0..4: "FWHM", "xFWHM", "yFWHM", "Peak", "HFD"; "" otherwise.
const char* FomName(int kind);
// The focusing charts' left axis for a figure-of-merit kind. Peak counts ADUs,
// the others are sizes in pixels, hence the different ranges and formats.
struct FomAxis { std::string title; double min; double max; int labelSize; const char* format; };
// Title "Figure of Merit  ( " + name + " )"; Peak 0..64000, label size 40,
// "###0."; every other kind 1.0..8.0, label size 20, "###0.0".
FomAxis FomAxisFor(int kind);

// A chart axis [min, max] widened, never narrowed, so that `value` lies on it:
// the end that moves goes to the value rounded outward to a multiple of half
// the power of ten below the new span (12.5 on 1..8 gives 1..15; 180 on
// -150..150 gives -150..200). A point drawn off a chart would be a lie.
std::pair<double, double> WidenToShow(double min, double max, double value);

}  // namespace kv
