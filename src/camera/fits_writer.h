// Camera frames saved as FITS files: 16-bit unsigned pixels (BITPIX 16, BZERO
// 32768) with the header an astronomer's tools look for, so a saved focus
// frame can be measured again elsewhere.
//
// The file is built in memory and then replaces its name atomically (a
// temporary file in the same folder, renamed over it), so a failure - a full
// disk, a folder the user may not write - never leaves a half file behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "shell/ini_file.h"  // WriteResult

namespace kv {

class TImageObject;

// The star a focus frame was measured on. Sizes in (unbinned) pixels as the
// focus panel shows them; the position is the brightest pixel's, counted
// from 0 like the image's own pixels.
struct FitsStar {
    double fwhm = 0.0;
    double hfd = 0.0;
    std::int32_t peak = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Everything besides the pixels. Empty optionals leave their keys out.
struct FitsHeader {
    std::chrono::system_clock::time_point exposureStart{};  // DATE-OBS
    double exposureSeconds = 0.0;                            // EXPTIME
    std::int32_t xBinning = 1;
    std::int32_t yBinning = 1;
    std::optional<std::int32_t> focuserPosition;  // FOCUSPOS, steps
    std::optional<double> focuserTemperature;     // FOCUSTEM, degrees C
    std::optional<FitsStar> star;                 // FWHM, HFD, PEAK, STARX, STARY
    std::string instrument;                       // INSTRUME: the camera plug-in's name
};

// The name ends in .fits, .fit or .fts (any case).
bool IsFitsFileName(const std::string& path);

// DATE-OBS as written: "2026-12-07T19:38:47.250" (UTC, milliseconds).
std::string FitsDate(std::chrono::system_clock::time_point t);

// Writes `pixels` (row-major, `width` x `height`, the first row first) to
// `path`. On failure the message names the file and the reason, and neither
// `path` nor a temporary file is left changed.
WriteResult WriteFitsImage(const std::string& path, std::int32_t width, std::int32_t height,
                           std::span<const std::uint16_t> pixels, const FitsHeader& header);
// The image object's frame, copied under its lock; the header's exposure
// time and start, and the focuser's position and temperature, are the ones
// the image keeps from its exposure.
WriteResult WriteFitsImage(const std::string& path, TImageObject& image, FitsHeader header);

}  // namespace kv
