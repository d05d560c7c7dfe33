// The benchmarks' dialogs: every box answers OK at once and nothing is kept,
// so a measured run is never held up by a question.
#pragma once

#include <string>

#include "platform/dialogs.h"

namespace kvbench {

class NoDialogs final : public kv::IDialogs {
public:
    kv::DialogResult Show(const std::string&, kv::DialogType, kv::DialogButtons) override { return kv::DialogResult::Ok; }
    void Defer(const kv::DeferredMessage&) override {}
    void Beep() override {}
};

}  // namespace kvbench
