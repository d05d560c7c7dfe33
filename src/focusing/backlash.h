// Backlash approach: the moves that reach a position always travelling the
// same way at the end, so that the gears' play is taken up on the same side
// for every sample and for the final position.
//
// A move that already ends in the configured direction goes straight there;
// one that would end in the other direction first runs `overshoot` steps past
// the target and then comes back. With no overshoot every move is direct.
#pragma once

#include <cstdint>
#include <vector>

namespace kv {

enum class ApproachSide : std::uint8_t {
    FromBelow,  // the last motion towards a position is upward (increasing counts)
    FromAbove,  // ... downward
};

// The targets to move to in order; empty when `to` equals `from`.
inline std::vector<std::int32_t> BacklashMoves(std::int32_t from, std::int32_t to, std::int32_t overshoot,
                                               ApproachSide side) {
    if (to == from) return {};
    const bool upward = to > from;
    const bool wanted = side == ApproachSide::FromBelow ? upward : !upward;
    if (wanted || overshoot <= 0) return {to};
    return {side == ApproachSide::FromBelow ? to - overshoot : to + overshoot, to};
}

}  // namespace kv
