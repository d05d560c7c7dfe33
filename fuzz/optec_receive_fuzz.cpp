// Arbitrary bytes on the Optec driver's receive path: no crash, no undefined
// behaviour, and a position is only taken from a well-formed "P=nnnn" reply.
#include "focuser/o_focus_control.h"
#include "receive_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& focuser = kvfuzz::Receive<kv::TOFocusControl>(data, size, [&](kv::TOFocusControl& f) {
        // Some inputs start a move first, so the stepping routine runs on the replies.
        if (size > 0 && (data[0] & 1) != 0) f.MoveBy(static_cast<std::int8_t>(data[0]) * 30);
    });
    const std::int32_t current = focuser.CurrentCount();
    if (current < 0 || current > 9999) __builtin_trap();
    return 0;
}
