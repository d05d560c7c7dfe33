// Star finder, stage 1: the sky and its noise.
//
// Takes the frame's pixels and the tile size. Gives the sky's level at every
// pixel (a sigma-clipped median per tile, so stars do not raise it, and per
// tile so that a gradient or moonlight does not either, interpolated between
// the tiles' centres), its median level, and its noise (the median of the
// tiles' robust widths, from differences of neighbouring pixels). The
// clipped statistics are also what the measurement takes a star's own sky
// ring with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "camera/star_finder_stages.h"

namespace kv::star_stages {

inline constexpr int kClipPasses = 4;
// Sigma-clipped median and robust width of `v` (reordered).
void ClippedStats(std::vector<int>& v, double& median, double& sigma, int passes = kClipPasses);

// The sky level on a grid of tiles, interpolated between the tiles' centres.
class Sky {
public:
    // Abandoned (Stopped) when `stop` says yes before a row of tiles: on a
    // large frame the estimate alone takes a good part of a find.
    Sky(int width, int height, const std::uint16_t* pixels, int tile, const Stop& stop);

    bool Stopped() const { return stopped_; }
    double Noise() const { return noise_; }
    // As measured, below one count too: what a fit weighs the pixels by.
    double MeasuredNoise() const { return measuredNoise_; }
    double MedianLevel() const { return median_; }

    // The sky along row y, one value per column.
    void Row(int y, std::vector<float>& out) const;

    // The sky along row y as Level gives it, pixel by pixel.
    void Levels(int y, std::vector<double>& out) const;

    // The sky at one pixel, as Row gives it.
    double Level(int x, int y) const {
        const Span& c = columns_[static_cast<std::size_t>(x)];
        const Span& r = rows_[static_cast<std::size_t>(y)];
        const double lo = At(c.lo, r.lo) * (1 - r.w) + At(c.lo, r.hi) * r.w;
        const double hi = At(c.hi, r.lo) * (1 - r.w) + At(c.hi, r.hi) * r.w;
        return lo * (1 - c.w) + hi * c.w;
    }

private:
    template <typename T>
    void Along(int y, std::vector<T>& out) const;
    double At(int i, int j) const { return level_[static_cast<std::size_t>(j * nx_ + i)]; }
    double Centre(int i, int size) const;
    void Locate(int p, int n, int size, int& lo, int& hi, double& w) const;
    // Between the tiles' centres the sky is interpolated, beyond the outer
    // centres extrapolated: a gradient goes on to the frame's edge.
    struct Span {
        int lo = 0, hi = 0;
        double w = 0;
    };
    int width_, height_, tile_, nx_ = 0, ny_ = 0;
    std::vector<Span> columns_, rows_;
    std::vector<double> columnWeights_;
    std::vector<std::size_t> runStart_;  // the first column of each run between two tiles' centres, and the width
    std::vector<float> level_;
    double noise_ = kMinNoise, measuredNoise_ = 0.0, median_ = 0.0;
    bool stopped_ = false;
};

}  // namespace kv::star_stages
