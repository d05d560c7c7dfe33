// Star finder, stage 3: one star per light.
//
// Takes the seeds, the frame, its sky and the heights. Gives the hills: the
// flooded pixels each go with the maximum their steepest way up leads to,
// and each hill's light is summed with the box around it and its brightest
// maximum. Where two hills meet, the saddle between them decides whether the
// fainter is a star of its own (the light dips clearly there) or part of the
// brighter one. Gives, too, which hills are stars.
//
// The pixels around the maxima are flooded down to the lowest level at which
// two maxima could still be one star. Following the light the way it runs
// splits a close pair, keeps a broad noisy star whole, and keeps a ring (a
// defocused star behind a central obstruction, all of whose maxima lie on
// one bright ridge) whole too, where a straight line across it would dip
// into its dark middle. Each pixel is looked at a few times, in the order it
// lies in; only the saddles are sorted, by a radix sort.
#pragma once

#include <utility>
#include <vector>

#include "camera/star_finder_sky.h"
#include "camera/star_finder_stages.h"

namespace kv::star_stages {

struct Saddle {
    int a, b;
    float level;
};

// The hills of a find: their lights, where they touch, and those that are stars.
struct Hills {
    RoomyVector<Light> lights;
    // The hills that are stars. A hill's light no longer changes once it is
    // told apart from a brighter one (all that joins it later goes to that
    // one), so its place is all a star needs to keep.
    std::vector<int> stars;
    std::vector<Saddle> saddles;
    std::vector<std::vector<std::pair<int, float>>> touching;  // of each hill, the higher-numbered ones it touches
    int count = 0;
};

// Floods around the seeds into `hills` (empty), over the whole frame at once
// when `crowded` and the memory for it is there; false when the find was
// called off.
bool Flood(const Frame& f, const Sky& sky, const RoomyVector<Candidate>& candidates, const Heights& heights, bool crowded,
           const Stop& stopped, Hills& hills);

// The hills joined, highest saddle first, into hills.stars: a hill with a
// maximum is a star of its own where its light dips clearly below its
// maximum at the saddle to a brighter one.
void JoinHills(Hills& hills, double dipNoise);

}  // namespace kv::star_stages
