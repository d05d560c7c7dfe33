#pragma once
// A dialog service that answers Ok and keeps every text it was asked to show,
// now or later.
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace kv::test {

class RecordingDialogs final : public IDialogs {
public:
    DialogResult Show(const std::string& text, DialogType, DialogButtons) override {
        std::lock_guard lock(mutex_);
        texts_.push_back(text);
        return DialogResult::Ok;
    }
    void Defer(const DeferredMessage& message) override {
        std::lock_guard lock(mutex_);
        deferred_.push_back(message.text);
    }
    void Beep() override {}
    // What was shown and waited for.
    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    // What was handed over to be shown later.
    std::vector<std::string> Deferred() const {
        std::lock_guard lock(mutex_);
        return deferred_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::vector<std::string> deferred_;
};

}  // namespace kv::test
