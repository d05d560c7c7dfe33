// Arbitrary bytes on the RoboFocus driver's receive path: whatever arrives,
// no crash, no undefined behaviour, and a position is only ever taken from a
// frame that checks out.
#include "focuser/rf_focus_control.h"
#include "receive_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& focuser = kvfuzz::Receive<kv::TRFFocusControl>(data, size, [](kv::TRFFocusControl&) {});
    const std::int32_t current = focuser.CurrentCount();
    if (current < 0 || current > kv::kRfMaxFramedPosition) __builtin_trap();
    if (focuser.MaxTravel() < 0 || focuser.MaxTravel() > kv::kRfMaxFramedPosition) __builtin_trap();
    return 0;
}
