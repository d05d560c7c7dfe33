// Star finder, stage 3 on a field crowded with small stars: telling them
// apart without a flood.
//
// Takes the seeds, the frame and the heights. Gives the same hills as the
// flood (star_finder_flood.h), one for each maximum: its light summed over
// the 5x5 pixels around it, and where two maxima lie close, the lowest
// smoothed light on the straight line between them as their saddle; the
// hills are then joined as the flood joins them. A few dozen pixels a star,
// where a flood looks at every pixel of the frame several times. A field
// where many maxima join others has large stars (defocused, or rings, whose
// light runs round a curve a straight line cuts across): it is to be
// flooded after all, and the hills are left empty.
#pragma once

#include "camera/star_finder_flood.h"
#include "camera/star_finder_stages.h"

namespace kv::star_stages {

enum class Apart {
    Stopped,   // the find was called off
    Told,      // the stars are told apart, in `hills`
    TooLarge,  // too many maxima joined others: flood the field instead
};

Apart TellApart(const Frame& f, const RoomyVector<Candidate>& candidates, const Heights& heights, const Stop& stopped,
                Hills& hills);

}  // namespace kv::star_stages
