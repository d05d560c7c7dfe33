// Arbitrary bytes on the RoboFocus driver's receive path: whatever arrives,
// no crash, no undefined behaviour, and a position is only ever taken from a
// frame that checks out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "focuser/rf_focus_control.h"
#include "platform/dialogs.h"
#include "shell/log_channel.h"

namespace {

class SilentDialogs final : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string&, kv::DialogType, kv::DialogButtons) override {
        return kv::DialogResult::Ok;
    }
    void Defer(const kv::DeferredMessage&) override {}
    void Beep() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SilentDialogs dialogs;
    static kv::TRFFocusControl* focuser = [] {
        auto* f = new kv::TRFFocusControl(dialogs);
        f->SetPaced(false);
        f->SetLogCommands(true);
        return f;
    }();
    focuser->ResetPosition();  // a fresh reply buffer and first position
    focuser->ReceiveBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::int32_t current = focuser->CurrentCount();
    if (current < 0 || current > kv::kRfMaxFramedPosition) __builtin_trap();
    if (focuser->MaxTravel() < 0 || focuser->MaxTravel() > kv::kRfMaxFramedPosition) __builtin_trap();
    (void)kv::LogChannel::Instance().TakePending();
    return 0;
}
