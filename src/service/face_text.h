// The engine's messages in the words of a network face (the INDI driver, the
// Alpaca server). The engine speaks to the desktop: of its COM port numbers,
// of the hub's raw count (whose sign runs against the position clients see)
// and of the desktop's settings, none of which a face's clients have.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// What a face says in place of the desktop's two settings the engine's texts
// send the user to: each a whole sentence of advice.
struct FaceWords {
    std::string checkModel;    // for "High Resolution Positioning" and the motor timings
    std::string reverseMotor;  // for "Reverse Focuser Direction"
};

// `engineText` with the port named as `device`, a count as `position`, and
// the desktop's settings as `words`. Text the engine words differently passes
// through with only its port names mended.
std::string FaceText(const std::string& engineText, const std::string& device, std::int32_t position,
                     const FaceWords& words);

}  // namespace kv
