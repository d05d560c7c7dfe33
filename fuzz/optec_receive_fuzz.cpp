// Arbitrary bytes on the Optec driver's receive path: no crash, no undefined
// behaviour, and a position is only taken from a well-formed "P=nnnn" reply.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "focuser/o_focus_control.h"
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
    static kv::TOFocusControl* focuser = [] {
        auto* f = new kv::TOFocusControl(dialogs);
        f->SetPaced(false);
        f->SetLogCommands(true);
        return f;
    }();
    focuser->ResetPosition();
    // Some inputs start a move first, so the stepping routine runs on the replies.
    if (size > 0 && (data[0] & 1) != 0) focuser->MoveBy(static_cast<std::int8_t>(data[0]) * 30);
    focuser->ReceiveBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::int32_t current = focuser->CurrentCount();
    if (current < 0 || current > 9999) __builtin_trap();
    (void)kv::LogChannel::Instance().TakePending();
    return 0;
}
