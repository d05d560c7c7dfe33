// What the two receive-path fuzzers share: one driver for the whole run,
// unpaced, with command logging on so the log lines are exercised too, and a
// dialog service that answers at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/dialogs.h"
#include "shell/log_channel.h"

namespace kvfuzz {

class SilentDialogs final : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string&, kv::DialogType, kv::DialogButtons) override {
        return kv::DialogResult::Ok;
    }
    void Defer(const kv::DeferredMessage&) override {}
    void Beep() override {}
};

// Resets the driver's position, lets `before` start something, feeds the
// input as received bytes and drops the log lines it produced.
template <class Driver, class Before>
Driver& Receive(const std::uint8_t* data, std::size_t size, Before before) {
    static SilentDialogs dialogs;
    static Driver* focuser = [] {
        auto* f = new Driver(dialogs);
        f->SetPaced(false);
        f->SetLogCommands(true);
        return f;
    }();
    focuser->ResetPosition();  // a fresh reply buffer and first position
    before(*focuser);
    focuser->ReceiveBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    (void)kv::LogChannel::Instance().TakePending();
    return *focuser;
}

}  // namespace kvfuzz
