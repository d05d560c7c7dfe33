// Star finder, stage 2: maxima and seeds.
//
// Takes the frame, its sky and the heights. Gives the seeds: the local
// maxima standing above the threshold, each climbed to its maximum on the
// 1-2-1 smoothed frame, once each, in the order they lie in (by row, then
// along it), and only those that are stars' cores: bright enough when
// smoothed, with light on their four sides as a star spills it and a hot
// pixel or a noise spike does not. Each says whether a pixel of its 3x3 is
// clipped, for the ranking of a capped field.
#pragma once

#include <cstdint>

#include "camera/star_finder_sky.h"
#include "camera/star_finder_stages.h"

namespace kv::star_stages {

// False when the find was called off.
bool FindSeeds(const Frame& f, const Sky& sky, const Heights& heights, std::uint16_t saturation, const Stop& stopped,
               RoomyVector<Candidate>& candidates);

}  // namespace kv::star_stages
