// Arbitrary bytes as the frame file a device server sends: nothing may crash,
// a frame is either refused with a reason or holds exactly width x height
// pixels, and every one of them can be read as the plug-in's cut-out does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "indi_camera/fits_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::indi::FitsFrame frame;
    std::string error;
    if (!kv::indi::DecodeFits(reinterpret_cast<const char*>(data), size, frame, error)) {
        if (error.empty() || !frame.pixels.empty()) {
            std::fprintf(stderr, "invariant broken: a refused frame says why and holds nothing\n");
            std::abort();
        }
        return 0;
    }
    if (frame.width <= 0 || frame.height <= 0 ||
        frame.pixels.size() != static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height)) {
        std::fprintf(stderr, "invariant broken: %ld x %ld pixels, %zu held\n", frame.width, frame.height,
                     frame.pixels.size());
        std::abort();
    }
    volatile unsigned sum = 0;
    for (long y = 0; y < frame.height; ++y) {
        for (long x = 0; x < frame.width; ++x) sum = sum + frame.pixels[static_cast<std::size_t>(y * frame.width + x)];
    }
    return 0;
}
