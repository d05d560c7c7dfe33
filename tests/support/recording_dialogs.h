#pragma once
// A dialog service that answers Ok and keeps every text it was asked to show.
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
    void Beep() override {}
    std::vector<std::string> Texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace kv::test
