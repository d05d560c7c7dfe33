#pragma once
// A dialog service that answers Ok and keeps every text it was asked to show,
// now or later.
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace kv::test {

class RecordingDialogs final : public IDialogs {
    template <typename F>
    auto Locked(F f) const {
        std::lock_guard lock(mutex_);
        return f();
    }

public:
    DialogResult Show(const std::string& text, DialogType, DialogButtons) override {
        Locked([&] { texts_.push_back(text); });
        return DialogResult::Ok;
    }
    void Defer(const DeferredMessage& message) override { Locked([&] { deferred_.push_back(message.text); }); }
    void Beep() override {}
    // What was shown and waited for, and what was handed over to be shown later.
    std::vector<std::string> Texts() const { return Locked([&] { return texts_; }); }
    std::vector<std::string> Deferred() const { return Locked([&] { return deferred_; }); }
    void Clear() { Locked([&] { texts_.clear(), deferred_.clear(); }); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<std::string> deferred_;
};

}  // namespace kv::test
