// The star finder's path through its stages. Each stage has its own file,
// whose header says what it takes and gives:
//
//   1. star_finder_sky      the sky per tile and its noise; the threshold from them.
//   2. star_finder_seeds    the local maxima above the threshold, climbed on the
//                           smoothed frame, that are stars' cores.
//   3. star_finder_apart    on a field crowded with small stars, the maxima told
//                           apart by the light on the lines between them;
//      star_finder_flood    elsewhere, or where those stars prove large, the
//                           flood: one hill per light, joined at their saddles.
//   4. star_finder_measure  each star measured against its sky ring, the cap,
//                           the crowding between neighbours, brightest first.
//
// What they share (the frame, a seed, a light, the heights, the question
// whether the find is still wanted) is in star_finder_stages.h.
#include "camera/star_finder.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "camera/image_object.h"
#include "camera/star_finder_apart.h"
#include "camera/star_finder_flood.h"
#include "camera/star_finder_measure.h"
#include "camera/star_finder_seeds.h"
#include "camera/star_finder_sky.h"
#include "camera/star_finder_stages.h"

namespace kv {
namespace {

using namespace star_stages;

std::optional<StarField> Find(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings,
                              const std::function<bool()>* stop) {
    const Stop stopped(stop);
    StarField field;
    // A pixel's place is packed in 32 bits, 16 for each axis: far beyond
    // any sensor made.
    if (pixels == nullptr || width < 3 || height < 3 || width > 65536 || height > 65536) return field;

    // 1. The sky, and the heights light is judged by.
    const Sky sky(width, height, pixels, settings.tileSize, stopped);
    if (sky.Stopped()) return std::nullopt;
    field.noise = sky.Noise();
    field.background = sky.MedianLevel();
    const Frame f(width, height, pixels);
    const Heights heights(settings.thresholdSigma, field.noise);

    // 2. The seeds.
    RoomyVector<Candidate> candidates;
    if (!FindSeeds(f, sky, heights, settings.saturation, stopped, candidates)) return std::nullopt;

    // 3. One star per light. A field with few pixels per maximum is crowded:
    // if its stars are small they are told apart along straight lines,
    // else (or without them told apart) it is flooded in one pass over the
    // whole frame. A sparser field is flooded around its maxima only.
    Hills hills;
    bool crowded = static_cast<double>(candidates.size()) * settings.wholeFrameBelow > static_cast<double>(width) * height;
    bool apart = false;
    if (crowded) {
        const Apart told = TellApart(f, candidates, heights, stopped, hills);
        if (told == Apart::Stopped) return std::nullopt;
        apart = told == Apart::Told;
    }
    if (!apart && !Flood(f, sky, candidates, heights, crowded, stopped, hills)) return std::nullopt;
    if (stopped()) return std::nullopt;
    if (!apart) JoinHills(hills, heights.dipNoise);

    // 4. Each star measured, and the field's stars brightest first.
    if (!MeasureStars(f, sky, candidates, hills, apart, heights, settings, stopped, field)) return std::nullopt;
    return field;
}

}  // namespace

StarField FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings) {
    return *Find(width, height, pixels, settings, nullptr);
}

std::optional<StarField> FindStars(int width, int height, const std::uint16_t* pixels, const StarFinderSettings& settings,
                                   const std::function<bool()>& stop) {
    return Find(width, height, pixels, settings, &stop);
}

FrameCopy CopyFrame(TImageObject& image) {
    std::lock_guard lock(image.Lock());
    FrameCopy copy{image.Width(), image.Height(), {}};
    if (image.Pixels() != nullptr && copy.width > 0 && copy.height > 0)
        copy.pixels.assign(image.Pixels(), image.Pixels() + static_cast<std::size_t>(copy.width) * static_cast<std::size_t>(copy.height));
    return copy;
}

StarField FindStars(TImageObject& image, const StarFinderSettings& settings) {
    const FrameCopy frame = CopyFrame(image);
    if (frame.pixels.empty()) return {};
    return FindStars(frame.width, frame.height, frame.pixels.data(), settings);
}

StarPick PickFocusStar(const StarField& field, int width, int height, const std::function<bool(int, int)>& fits) {
    StarPick pick;
    std::vector<const FoundStar*> qualified;
    int saturated = 0, poor = 0, faint = 0;
    for (const FoundStar& s : field.stars) {
        const int x = static_cast<int>(std::lround(s.x)), y = static_cast<int>(std::lround(s.y));
        if (s.saturated) {
            ++saturated;
        } else if (!s.Usable() || !fits(x, y)) {
            ++poor;
        } else if (s.snr < kMinPickSnr) {
            ++faint;
        } else {
            qualified.push_back(&s);
        }
    }
    if (field.stars.empty()) {
        pick.reason = "No star was found in the image. Take a longer exposure, or check that the telescope points at the sky and is roughly in focus.";
        return pick;
    }
    if (qualified.empty()) {
        pick.reason = "None of the " + std::to_string(field.stars.size()) + " stars found suits focusing (" +
                      std::to_string(saturated) + " saturated, " + std::to_string(poor) +
                      " too close to the edge or to another star or elongated, " + std::to_string(faint) +
                      " too faint). " +
                      (saturated > 0 ? "Take a shorter exposure or a lower gain, or click a star yourself."
                                     : "Take a longer exposure, or click a star yourself.");
        return pick;
    }
    const double brightest = (*std::max_element(qualified.begin(), qualified.end(), [](const FoundStar* a, const FoundStar* b) {
                                 return a->flux < b->flux;
                             }))->flux;
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    const FoundStar* best = nullptr;
    for (const FoundStar* s : qualified) {
        if (s->flux < kPickEqualFlux * brightest) continue;
        if (best == nullptr || star_stages::Distance2(s->x - cx, s->y - cy) < star_stages::Distance2(best->x - cx, best->y - cy))
            best = s;
    }
    pick.star = *best;
    return pick;
}

}  // namespace kv
