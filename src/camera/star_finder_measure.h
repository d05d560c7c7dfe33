// Star finder, stage 4: measurement.
//
// Takes the stars the hills give (each one's light, the box around it and its
// brightest maximum), the frame, its sky, the heights and the settings.
// Gives the field's stars, brightest (by flux) first: each measured against
// the sky in a ring around it, from its maximum or, where that lies off the
// middle of its light as on a ring, from that middle. Centroid
// (Gaussian-weighted), flux, half-flux diameter (from the cumulative flux on
// sub-pixels; for a star a pixel or two wide, from a fitted profile), FWHM,
// elongation and signal-to-noise, and the flags that say why a star is poor
// for focusing. Over the cap only the brightest by their light in the flood
// are measured, unclipped ones first; every star found still crowds its
// neighbours, and counts in field.found.
#pragma once

#include "camera/star_finder.h"
#include "camera/star_finder_flood.h"
#include "camera/star_finder_sky.h"
#include "camera/star_finder_stages.h"

namespace kv::star_stages {

// `apart` says the hills are a crowded field's told apart (star_finder_apart.h),
// whose light is not smoothed. Fills field.stars and field.found; false when
// the find was called off.
bool MeasureStars(const Frame& f, const Sky& sky, const RoomyVector<Candidate>& candidates, const Hills& hills, bool apart,
                  const Heights& heights, const StarFinderSettings& settings, const Stop& stopped, StarField& field);

}  // namespace kv::star_stages
