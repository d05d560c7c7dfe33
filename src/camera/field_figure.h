// The field figure: the median size of the stars around the selected one.
//
// One star's size jumps from frame to frame with the seeing over its few
// arcseconds of sky and with its own photon noise; the median over a field of
// stars averages much of both away, and one star that is blended, clipped or
// sits on a hot pixel cannot drag it. Only the sizes (HFD and FWHM) are taken
// over the field: Peak belongs to one star, and xFWHM and yFWHM are that
// star's row and column widths, so those kinds stay with the selected star.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>

#include "camera/focus_figures.h"
#include "camera/star_finder.h"

namespace kv {

// Fewer stars than this make no median worth the name: the reading is then
// "too few stars".
inline constexpr int kMinFieldStars = 3;
// A star fainter than this measures mostly noise; its size would widen the
// spread the median is meant to narrow.
inline constexpr double kMinFieldSnr = 10.0;

// True when `kind` is a size the field median replaces.
constexpr bool FieldKind(FomKind kind) { return kind == FomKind::FWHM || kind == FomKind::HFD; }

struct FieldFigures {
    double hfd = 0.0;   // median half-flux diameter, pixels of the frame
    double fwhm = 0.0;  // median FWHM, pixels of the frame
    int stars = 0;      // stars the medians are taken over
};

// Medians over the stars fit to measure focus on: not clipped, not at the
// edge, without a close neighbour, and at least `minSnr` bright. Elongated
// stars count: a slightly trailed field still focuses.
FieldFigures FieldMedian(const StarField& field, double minSnr = kMinFieldSnr);

// Finds the stars of a whole frame and takes their medians. `focusFrame` is
// the side of the focus frame: a star nearer the edge than half of it is left
// out, as the finder flags it.
FieldFigures MeasureField(int width, int height, const std::uint16_t* pixels, int focusFrame);
// As above, for a find that may be called off: nothing once `stop` says true.
std::optional<FieldFigures> MeasureField(int width, int height, const std::uint16_t* pixels, int focusFrame,
                                         const std::function<bool()>& stop);

// Turns the selected star's reading into the field reading when the kind is
// one the field replaces (otherwise only `stars` is set to 1): HFD and FWHM
// become the medians in the reading's units, `stars` their count, FOM follows.
// With fewer than kMinFieldStars the reading keeps the star's own figures and
// is TooFewStars.
void ApplyFieldFigures(const FieldFigures& field, const FocusSettings& settings, FocusReading& reading);

// ---- the whole-field measure: focusing on every star instead of one ----
//
// The focus star's figure is one star through a small frame: a passing
// cloud, a satellite or a star drifting out of the frame ruins a reading,
// and far from focus the star outgrows the frame. The whole-field measure
// reads the whole image (or its middle) and takes the median size of every
// usable star, the field figure's tests applied, so one bad star cannot
// move it; each reading keeps its stars so the same run can be read region
// by region of the sensor.

// A median over fewer stars than this is a handful of stars, not a field:
// the reading then has no star, "too few stars".
inline constexpr int kMinWholeFieldStars = 5;

struct WholeFieldOptions {
    // The share of each side taken, around the middle: 1 the whole image. A
    // smaller share leaves out the corners, where a fast telescope's stars
    // are least round.
    double fraction = 1.0;
    // As MeasureField's `focusFrame`: a star nearer the taken area's edge
    // than half of it is left out.
    int focusFrame = 100;
};

struct WholeField {
    FieldFigures figures;  // over `stars`
    FieldStars stars;      // the usable stars, positions on the whole image
};

// The usable stars of the image's middle `options.fraction` and their
// medians; nothing once `stop` says true.
std::optional<WholeField> MeasureWholeField(int width, int height, const std::uint16_t* pixels,
                                            const WholeFieldOptions& options, const std::function<bool()>& stop = {});

// The reading of a whole-field frame: its HFD and FWHM the medians (in the
// reading's units, as ApplyFieldFigures gives them), FOM by `kind` when that
// is a size and by HFD otherwise, `stars` and `field` the stars used. With
// fewer than kMinWholeFieldStars it is TooFewStars. Peak and its place stay
// the selected star's.
void ApplyWholeField(const WholeField& field, const FocusSettings& settings, FocusReading& reading);

// The figure a whole-field reading is given by: a size, FWHM when that is
// the chosen figure, otherwise HFD.
constexpr FomKind WholeFieldKind(FomKind kind) { return kind == FomKind::FWHM ? FomKind::FWHM : FomKind::HFD; }

// Appended to a status line that shows a figure: "  Stars: %d" when the
// figure stands for more than one star, else nothing (the single-star lines
// stay as they always were).
std::string StarsSuffix(const FocusReading& reading);

}  // namespace kv
