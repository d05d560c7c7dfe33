// How blurred the followed star is on the whole image, from a sharp star to
// one a tenth of the frame wide.
//
// A star far from focus spreads its light so thin that no pixel of it stands
// out of the noise, while noise blobs and fragments of its own lumpy disc do:
// measured at full scale it reads far too small. Binned 2x, 4x or 8x (the
// mean of each block) the same star is compact and bright per pixel again.
// The image is searched at every scale; the star's light is the flux the
// finest scale that holds nearly all of it measures, and its size is read
// there. Hot pixels and lone noise spikes the star finder refuses at every
// scale (their neighbours are dark); noise blobs hold too little light to
// win.
#pragma once

#include <cstdint>
#include <optional>

namespace kv {

struct CoarseStar {
    double x = 0.0;    // centre, full-scale pixels
    double y = 0.0;
    double hfd = 0.0;  // half-flux diameter, full-scale pixels
    int bin = 1;       // the scale it was measured at
};

struct CoarseFollow {
    double x = 0.0;
    double y = 0.0;
    double reach = 0.0;  // full-scale pixels: a star further than this from (x, y) is another one
};

// The star nearest `follow` within its reach (without one: the brightest on
// the image), measured at the scale it is compact at; nullopt when no scale
// shows one.
std::optional<CoarseStar> MeasureCoarseStar(int width, int height, const std::uint16_t* pixels,
                                            const std::optional<CoarseFollow>& follow = std::nullopt);

}  // namespace kv
