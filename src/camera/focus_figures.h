// Focus figures: how sharp the star in a focus frame is.
//
// One measurement yields the brightest pixel (Peak) and four sizes of the
// star: the widths at half maximum along the row and the column through the
// peak (xFWHM, yFWHM), their mean (FWHM) and the half-flux diameter (HFD).
// The figure chosen by FOMKind is the figure of merit that the focusing
// procedures minimise (Peak: maximise).
//
// A star that shows has its HFD counted over the pixels around it, above the
// sky; a star up to a few pixels wide has its widths and HFD from a profile
// fitted to its pixels (StarProfile), where counting pixel by pixel would
// read it anything from nothing to a pixel off. A frame without a star has
// the HFD of the whole frame. A reading whose HFD no star of its FWHM could
// have is a star only when its light stands clearly above the noise.
//
// The measurement works on a plain row-major 16-bit frame, so it can be tested
// and benchmarked without an image object. With RemoveBackground the frame is
// reduced by the background level in place (the focus image keeps the reduced
// values, which is what the focus display then shows); the const overload
// measures the same figures without touching the pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

class TImageObject;

// The figure of merit in use. The values are the tags of the FWHM menu and the
// order of the settings' figure list.
enum class FomKind : std::uint8_t { FWHM = 0, xFWHM = 1, yFWHM = 2, Peak = 3, HFD = 4 };

// True when a larger value of the figure means better focus (only Peak).
constexpr bool LargerIsBetter(FomKind kind) { return kind == FomKind::Peak; }

// Whether a measurement saw a star at all. The figures of a frame without one
// (only noise, or a star spread over the whole frame) are numbers without
// meaning; the curve-fit search takes such a reading as far from focus. A
// figure taken over the field needs a few stars to be a median at all: with
// fewer it is TooFewStars and treated like NoStar.
enum class StarStatus : std::uint8_t { Ok, NoStar, TooFewStars };

// What the user sees instead of a figure that means nothing; empty for Ok.
constexpr const char* StarStatusText(StarStatus status) {
    switch (status) {
        case StarStatus::Ok: return "";
        case StarStatus::NoStar: return "no star";
        case StarStatus::TooFewStars: return "too few stars";
    }
    return "";
}

// One star of a whole-field reading, in pixels of the image it was found on.
struct FieldStar {
    double x = 0.0;
    double y = 0.0;
    double hfd = 0.0;
    double fwhm = 0.0;
    double flux = 0.0;
    bool operator==(const FieldStar&) const = default;
};

// The stars a whole-field reading took its median over, kept so that the
// same run can also be read region by region of the sensor.
struct FieldStars {
    std::vector<FieldStar> stars;
    int width = 0;   // the image's, pixels as read out (binned)
    int height = 0;
};

// One focus measurement, copied whole by the focusing procedures.
struct FocusReading {
    std::int32_t Peak = 0;
    std::int32_t PeakX = 0;
    std::int32_t PeakY = 0;
    double xFWHM = 0.0;
    double yFWHM = 0.0;
    double FWHM = 0.0;
    double HFD = 0.0;
    double FOM = 0.0;
    StarStatus status = StarStatus::Ok;
    // Stars the figure stands for: 1 for the selected star, more for a figure
    // taken over the field.
    int stars = 1;
    // With NoStar: light stood clearly above the sky, in its brightest pixel
    // or averaged over blocks of pixels, but reached the frame's edge or
    // spread across much of it. That is a star blurred larger than the frame,
    // which wants a different remedy from a frame with nothing in it.
    bool tooLarge = false;
    // An averaged reading: the standard deviation of its frames' FOM, from
    // which the focusing procedures judge whether more frames would steady
    // it. 0 for a single frame.
    double fomSpread = 0.0;
    // A whole-field reading's stars (every frame's, for an averaged one);
    // null for the selected star's. Shared: the list is never changed once
    // made, and readings are copied often.
    std::shared_ptr<const FieldStars> field = nullptr;
};

// Everything besides the pixels that the measurement reads: the controller's
// settings and the camera description's optics.
struct FocusSettings {
    std::int32_t ROISize = 20;
    bool ROIOn = false;
    bool RemoveBackground = true;
    std::int32_t FWHMFactorSetting = 1;  // user multiplier 1..3
    double FWHMFactor = 0.0;             // plug-in's correction, subtracted from the row width
    double HorizPixel = 1.0;
    double VertPixel = 1.0;
    // Divides the widths and the HFD. 0 or less from a plug-in is taken as 1.
    std::int32_t FocusBinning = 1;
    FomKind FOMKind = FomKind::FWHM;
};

// Measures the frame and fills every field of `reading`. PeakX and PeakY keep
// their previous values when no pixel of the measured area is above 0. A frame
// without any measured pixel has background 0. Null pixels or a non-positive
// size measure as an all-zero frame.
void ComputeFocusFigures(std::int32_t width, std::int32_t height, std::uint16_t* pixels,
                         const FocusSettings& settings, FocusReading& reading);
void ComputeFocusFigures(std::int32_t width, std::int32_t height, const std::uint16_t* pixels,
                         const FocusSettings& settings, FocusReading& reading);
// Measures the image object's frame under its lock.
void ComputeFocusFigures(TImageObject& image, const FocusSettings& settings, FocusReading& reading);

// The figure selected by `kind` from the stored results (Peak as a real); also
// stored in reading.FOM.
double GetFigureOfMerit(FocusReading& reading, FomKind kind);

// Border of the region of interest, the same for both axes; a pixel (x, y) is
// inside when b < x < width - b and b < y < height - b.
constexpr std::int32_t RoiBorder(std::int32_t width, std::int32_t roiSize, bool roiOn) {
    return ((width - roiSize) * (roiOn ? 1 : 0)) / 2;
}

// Half-flux diameter of the whole frame over background `background`, in
// pixels (not divided by the binning).
double HalfFluxDiameter(std::int32_t width, std::int32_t height, const std::uint16_t* pixels,
                        std::int64_t background);

}  // namespace kv
