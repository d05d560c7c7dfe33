// Star finding: every star in a frame with its position, brightness and size.
//
// The sky is estimated per tile (a sigma-clipped median, so stars do not
// raise it, and per tile so that a gradient or moonlight does not either);
// its noise is the median of the tiles' robust widths. A star is a local
// maximum whose brightest pixel stands `thresholdSigma` noise widths above
// the sky and whose four sides hold light clearly above the noise: a single
// hot pixel or a lone noise spike has only sky beside it, a star has its
// spill there, however sharp it is. Two maxima belong to one star unless the light dips clearly on the
// way from one to the other (at the saddle between them), which keeps a
// noisy broad star whole, splits a close pair, and takes a far-defocused
// star behind a central obstruction (a ring with a dark middle) as one star
// centred on the ring's middle.
//
// The time taken grows with the pixels plus the stars, however crowded the
// field: each pixel is looked at a few times (on a field crowded with small
// stars, only those near a maximum after the first look), and each star
// meets only its near neighbours, never every other star.
//
// Each star is then measured against the sky in a ring around it: centroid
// (Gaussian-weighted, so noise far from the core hardly moves it), flux,
// half-flux diameter (from the cumulative flux on sub-pixels, so small stars
// are not measured a half pixel short; for a star only a pixel or two wide,
// from a profile fitted to its pixels, StarProfile), FWHM (from the area
// above half the peak, or that profile), elongation (from the second moments) and signal-to-noise (with a
// gain of one electron per count). Flags say why a star is poor for focusing;
// the field's own decisions (which star to pick) are made by the caller.
//
// Coordinates are pixels with (0, 0) at the centre of the first pixel, as
// the focus figures and the star selection count them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv {

class TImageObject;

struct StarFinderSettings {
    double thresholdSigma = 5.0;       // a star's brightest pixel stands this far above the sky
    int tileSize = 64;                 // side of the tiles the sky is estimated on
    int focusFrame = 100;              // side of the focus frame a usable star must fit in
    std::uint16_t saturation = 65535;  // a pixel at or above this is clipped
    double maxElongation = 1.5;        // major over minor axis above this: elongated
    // A neighbour nearer than this (pixels) makes a star crowded; 0 derives
    // it from how far both stars' light reaches.
    double isolation = 0.0;
    // The most stars returned. A field with more has every star found and
    // judged for crowding all the same (a star left out still crowds its
    // neighbours), but only the kept ones are measured: the brightest
    // maxStars by their light, unclipped ones first, so that time grows
    // with the pixels plus the kept stars. The light in the flood follows
    // the measured flux closely but not exactly: near the cap's edge a star
    // a little brighter by flux may give way to one a little fainter (on a
    // crowded test field, about one in ten of the cap's brightest). 500 is
    // far more than a field median or a pick needs, and measuring is most of
    // the work a star costs: on a crowded field of small stars 2000 kept
    // took longer to measure than the rest of the find.
    std::size_t maxStars = 500;
    // A field with fewer pixels than this per maximum is crowded. If its
    // stars are small (at most one maximum in ten part of another's light)
    // they are told apart by the light on the straight line between
    // neighbouring maxima, and each one's light is taken from the 5x5 pixels
    // around its maximum, instead of flooding the frame: the same stars,
    // measured the same, but over the cap ranked by that light (on crowded
    // test fields 95 of 100 and 446 of 500 kept are those the flood keeps,
    // among near-equals). If they are
    // large (defocused, rings) every pixel's smoothed level is worked out in
    // one pass instead of flooding out from each maximum, with the same stars.
    double wholeFrameBelow = 1000.0;
};

struct FoundStar {
    double x = 0.0;
    double y = 0.0;
    double peak = 0.0;        // brightest pixel above the sky (of a ring, on the ring)
    double flux = 0.0;        // all of the star above the sky
    double hfd = 0.0;         // half-flux diameter, pixels
    double fwhm = 0.0;        // pixels; of a ring, across where its light falls to half outside it
    double snr = 0.0;
    double elongation = 1.0;  // major over minor axis
    bool saturated = false;   // clipped or flat-topped: its size says nothing about focus
    bool nearEdge = false;    // a focus frame around it would leave the image
    bool crowded = false;     // a neighbour's light reaches into its own (at least 5 % as bright)
    bool elongated = false;   // trailed, or a double the finder could not split
    bool Usable() const { return !saturated && !nearEdge && !crowded && !elongated; }
    bool operator==(const FoundStar&) const = default;
};

struct StarField {
    double background = 0.0;  // the sky's median level
    double noise = 0.0;       // the sky's robust standard deviation
    std::vector<FoundStar> stars;  // brightest (by flux) first
    // Every star found, those the cap left out too: more than stars.size()
    // only when the cap applied.
    std::size_t found = 0;
};

StarField FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings = {});
// As above, asking `stop` every few thousand pixels or hundred stars whether
// the find is still wanted: nothing (never a part of the stars) once it says
// true, so that a find on a crowded field, which takes seconds, can be
// abandoned within a few milliseconds of a cancel.
std::optional<StarField> FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings,
                                   const std::function<bool()>& stop);

// A frame's pixels, copied so that a find on another thread neither holds the
// image's lock (the window draws from it) nor reads an image that the next
// frame overwrites or a re-initialised camera frees.
struct FrameCopy {
    int width = 0;
    int height = 0;
    std::vector<std::uint16_t> pixels;
};
// Copies the image object's raw frame under its lock.
FrameCopy CopyFrame(TImageObject& image);

// Finds the stars of the image object's raw frame; the pixels are copied
// under its lock and searched after it is let go.
StarField FindStars(TImageObject& image, const StarFinderSettings& settings = {});

// The star to focus on, or why there is none. A person would take a bright
// star that is not clipped, has no close neighbour, holds still in a focus
// frame and sits near the middle of the field (where the optics are best and
// the star stays in the frame as focus changes), so:
//   - only usable stars with a clear signal (kMinPickSnr) qualify;
//   - `fits(x, y)` is the window's own test that a focus frame around the
//     pixel (x, y) fits (the rule a click obeys);
//   - the brightest qualifying star wins, except that among stars at least
//     kPickEqualFlux as bright as it, the one nearest the centre does.
inline constexpr double kMinPickSnr = 10.0;
inline constexpr double kPickEqualFlux = 0.7;
struct StarPick {
    std::optional<FoundStar> star;
    std::string reason;  // when there is none: what was wrong, and what to do
};
StarPick PickFocusStar(const StarField& field, int width, int height, const std::function<bool(int, int)>& fits);

}  // namespace kv
