// The size of a small star from a profile fitted to its pixels.
//
// A star only a pixel or two wide puts most of its light in one to four
// pixels, and where inside them the light lies decides its half-flux
// diameter: a star of FWHM 0.8 px centred on a pixel's corner lights four
// pixels nearly as a point there would. Counting each pixel's light at its
// centre, or spread evenly over it, then reads such a star anything from
// nothing to twice its size. A profile integrated over each pixel and
// fitted to the pixels around the star says where the light lies inside
// them; its half-flux diameter and widths are the star's own.
//
// The profile is a Moffat, (1 + r²/alpha²)^-beta, whose beta is fitted too:
// a real star's wings lie between a Gaussian's (beta without end) and a
// Moffat of beta 2, and they decide how much larger than the FWHM the
// half-flux diameter is (1.0 to 1.55 times). It is fitted as 1/beta, so
// that a Gaussian is the limit 0 and not an infinity. The widths along the
// rows and the columns are fitted apart, so that an astigmatic star keeps
// its two widths; the half-flux diameter is that of the round profile of
// their geometric mean. The sky under the star and its flux are fitted
// too (both enter linearly, so they are solved for at each step).
//
// Coordinates are pixels with (0, 0) at the centre of the first pixel.
#pragma once

#include <cstdint>
#include <optional>

namespace kv {

struct StarProfile {
    double x = 0.0, y = 0.0;     // the centre
    double flux = 0.0;           // all of the star above the sky, counts
    double sky = 0.0;            // under the star, counts per pixel
    double fwhmX = 0.0, fwhmY = 0.0;  // along the rows and the columns, pixels
    double hfd = 0.0;            // pixels
    double inverseBeta = 0.0;    // 0: a Gaussian
};

// Fits the star whose brightest pixel is near (x, y) in a window of about
// three FWHM (from `fwhmGuess`) around it; `noise` is the sky's noise per
// pixel. Nothing when the window leaves the frame, the
// fit finds no star in it (no light above the sky) or its light is wider
// than the window.
std::optional<StarProfile> FitStarProfile(int width, int height, const std::uint16_t* pixels, double x, double y,
                                          double fwhmGuess, double noise);

// The half-flux diameter of the round profile of FWHM `fwhm` and 1/beta
// `inverseBeta` (0: a Gaussian, whose half-flux diameter equals its FWHM).
double ProfileHfd(double fwhm, double inverseBeta);

}  // namespace kv
