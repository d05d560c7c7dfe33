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

// Appended to a status line that shows a figure: "  Stars: %d" when the
// figure stands for more than one star, else nothing (the single-star lines
// stay as they always were).
std::string StarsSuffix(const FocusReading& reading);

}  // namespace kv
